#pragma once

#include <QObject>

#include <optional>

class QStackedWidget;
class QWidget;

// Keeps input that the user aimed at one page of the window from acting on the page that replaced
// it: the second click of a double click can land after the first one has switched the page.
class StaleInputFilter : public QObject
{
public:
    // Watches the input of every widget in `window`; installed on the application.
    StaleInputFilter(QWidget* window, QStackedWidget* pages);

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
    std::optional<Press> m_lastPress;
};
