#include "auth/NotificationService.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
// The application id: the service finds the program's name and icon through its desktop entry.
const QString applicationId = QStringLiteral("com.velmora.VelmoraAuth");
// A call to a service that hangs must not hold the window long.
constexpr int callMilliseconds = 2000;

QDBusMessage call(const QString& method)
{
    return QDBusMessage::createMethodCall(service, path, interface, method);
}

// Services that understand markup in the body would take "<b>" from an appliance as markup.
bool readsMarkup(QDBusConnection& bus)
{
    const QDBusMessage reply =
        bus.call(call(QStringLiteral("GetCapabilities")), QDBus::Block, callMilliseconds);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
}

} // namespace

NotificationService::NotificationService(QObject* parent)
    : QObject(parent)
{
}

bool NotificationService::connectBus() const
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!m_listening) {
        auto* self = const_cast<NotificationService*>(this);
        bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), self,
                    SLOT(onActionInvoked(quint32, QString)));
        bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), self,
                    SLOT(onNotificationClosed(quint32, quint32)));
        m_listening = true;
    }
    return true;
}

bool NotificationService::isAvailable() const
{
    if (!connectBus())
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.interface())
        return false;
    return bus.interface()->isServiceRegistered(service).value()
        || bus.interface()->activatableServiceNames().value().contains(service);
}

void NotificationService::send(const QString& title, const QString& text, quint32 replaces)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!connectBus()) {
        emit failed(bus.lastError().message());
        return;
    }
    QDBusMessage notify = call(QStringLiteral("Notify"));
    const QVariantMap hints { { QStringLiteral("desktop-entry"), applicationId },
                              { QStringLiteral("urgency"), QVariant::fromValue(uchar(1)) } };
    notify << QStringLiteral("Velmora Auth") << replaces << applicationId << title
           << (readsMarkup(bus) ? text.toHtmlEscaped() : text)
           << QStringList { QStringLiteral("default"), QStringLiteral("Show") } << hints
           << qint32(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify, callMilliseconds), this);
    ++m_awaitingAnswers;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<quint32> reply = *finished;
                const bool clickedAlready =
                    !reply.isError() && m_clickedBeforeAnswer.remove(reply.value());
                if (--m_awaitingAnswers == 0)
                    m_clickedBeforeAnswer.clear();
                if (reply.isError()) {
                    emit failed(reply.error().message());
                    return;
                }
                m_shown.insert(reply.value());
                emit sent(reply.value());
                if (clickedAlready)
                    emit clicked();
            });
}

void NotificationService::onActionInvoked(quint32 id, const QString& action)
{
    if (action != QLatin1String("default"))
        return;
    if (m_shown.contains(id))
        emit clicked();
    else if (m_awaitingAnswers > 0)
        m_clickedBeforeAnswer.insert(id); // perhaps ours: its number comes with the answer
}

void NotificationService::onNotificationClosed(quint32 id, quint32)
{
    m_shown.remove(id);
}
