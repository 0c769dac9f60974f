#pragma once

#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

class NotificationService;
class QSystemTrayIcon;
class QWidget;

// Tells the user what happened to their session while the window is hidden: through the
// desktop's notification service, or the tray's balloon where there is none. Clicking a notice
// shows the window (clicked()). Every call is one event and gives at most one notice; GUI thread
// only (other threads hand their calls over).
class DesktopNotices : public QObject
{
    Q_OBJECT

public:
    // How much of an appliance's reason a notice carries; a notice is read at a glance.
    static constexpr int reasonCharacters = 120;
    // Keep-alives in a row without an answer before the user hears of it: one lost answer is
    // common on a busy network, three (12 seconds) are not.
    static constexpr int unansweredBeforeNotice = 3;

    DesktopNotices(QWidget* window, QSystemTrayIcon* tray, QObject* parent = nullptr);
    ~DesktopNotices() override;

    // A notice of any event, shown only while the window is hidden. False when it was not shown:
    // the window shows, or neither a service nor a tray is there to show it.
    bool notify(const QString& title, const QString& text);

    // The portal session's events.
    void sessionEnded(const QString& reason);
    void reloginFailed(const QString& reason);
    // Logging in automatically kept failing until its back-off ran out.
    void automaticLoginFailed(const QString& reason);
    void keepAliveUnanswered();
    // Any answer of the appliance to a keep-alive or a login.
    void applianceAnswered();
    // Three keep-alives in a row got no answer, and none since.
    bool isApplianceSilent() const { return m_unanswered >= unansweredBeforeNotice; }

signals:
    void clicked();
    // The appliance went silent, or answers again.
    void silenceChanged();

private:
    bool windowIsHidden() const;
    // Shows the notice; `replaces` the number of an earlier desktop notice it takes the place of,
    // `outage` whether it is the outage notice, whose number is kept.
    bool show(const QString& title, const QString& text, quint32 replaces = 0, bool outage = false);
    bool showInTray(const QString& title, const QString& text);

    QPointer<QWidget> m_window;
    QPointer<QSystemTrayIcon> m_tray;
    NotificationService* m_service = nullptr;
    int m_unanswered = 0;
    // The outage notice, kept to say that it is over; its number at the desktop's service.
    bool m_outageNoticeShown = false;
    quint32 m_outageNoticeId = 0;
    // Notices sent to the service whose answer has not come yet, oldest first: a refused one
    // goes to the tray instead.
    struct Sent
    {
        QString title;
        QString text;
        bool outage = false;
    };
    QQueue<Sent> m_awaitingAnswer;
};
