#include "auth/NotificationService.h"

// Windows shows a tray icon's messages as the desktop's own notifications: the balloon is the
// service there.

NotificationService::NotificationService(QObject* parent)
    : QObject(parent)
{
}

bool NotificationService::isAvailable() const
{
    return false;
}

void NotificationService::send(const QString&, const QString&, quint32)
{
    emit failed(QStringLiteral("no notification service"));
}

void NotificationService::onActionInvoked(quint32, const QString&)
{
}

void NotificationService::onNotificationClosed(quint32, quint32)
{
}
