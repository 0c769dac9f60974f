#pragma once

#include <QObject>
#include <QSet>
#include <QString>

// The desktop's own notification service, where it has one: on Linux the freedesktop
// notification interface on the session bus; elsewhere none, and the tray's balloon speaks.
class NotificationService : public QObject
{
    Q_OBJECT

public:
    explicit NotificationService(QObject* parent = nullptr);

    // Whether a service is there now, or would be started by the bus at the first notice.
    bool isAvailable() const;

    // Shows a notice with one action, "Show"; `replaces` is the number of an earlier notice to
    // take the place of (0 for none). The service answers with the new notice's number through
    // sent(), or with failed().
    void send(const QString& title, const QString& text, quint32 replaces = 0);

signals:
    void sent(quint32 id);
    void failed(const QString& error);
    // The user clicked one of our notices, or chose its "Show" action.
    void clicked();

private slots:
    void onActionInvoked(quint32 id, const QString& action);
    void onNotificationClosed(quint32 id, quint32 reason);

private:
    // Whether the session bus is there; it is connected at the first notice rather than at the
    // window's start, and our handlers of the service's signals with it.
    bool connectBus() const;

    mutable bool m_listening = false;
    // Numbers of our notices the service still shows: the bus carries every program's.
    QSet<quint32> m_shown;
    // A click can overtake the answer that tells the notice's number.
    int m_awaitingAnswers = 0;
    QSet<quint32> m_clickedBeforeAnswer;
};
