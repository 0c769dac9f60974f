#pragma once

#include <QObject>

#include <optional>

class QStackedWidget;
class QWidget;

// Keeps input that the user aimed at one page of the window from acting on the page that replaced
// it. It would in two ways: a click or key made while an exchange holds the GUI thread is
// delivered only once the thread is free, to whatever is under it by then; and the second click of
// a double click can land after the first one has switched the page.
class StaleInputFilter : public QObject
{
public:
    // Watches the input of every widget in `window`; installed on the application.
    StaleInputFilter(QWidget* window, QStackedWidget* pages);

    // While an exchange holds the GUI thread, input to the window is dropped, also where the
    // exchange lets events through to paint a page it switched to.
    class Hold
    {
    public:
        explicit Hold(StaleInputFilter& filter);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        // Delivers the input that reached the window meanwhile, and so drops it. For an exchange
        // that switched the page: input made during it was aimed at the page it left.
        void dropQueuedInput() const;

    private:
        StaleInputFilter& m_filter;
    };
    [[nodiscard]] Hold hold() { return Hold(*this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Press
    {
        qint64 timestamp = 0;
        int pageState = 0;
    };

    int pageState() const;

    QWidget* m_window;
    QStackedWidget* m_pages;
    int m_holds = 0;
    std::optional<Press> m_lastPress;
};
