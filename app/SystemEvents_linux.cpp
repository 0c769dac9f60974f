#include "app/SystemEvents.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QObject>
#include <QVariantMap>

#include <atomic>

// NetworkManager and logind on the system bus. The bus connection is the watcher's own, so that
// it reads DBUS_SYSTEM_BUS_ADDRESS when it is made and goes away with the watcher.

namespace velmora {

namespace {

const QString networkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString networkManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString login = QStringLiteral("org.freedesktop.login1");
const QString loginPath = QStringLiteral("/org/freedesktop/login1");
const QString loginManager = QStringLiteral("org.freedesktop.login1.Manager");

// NetworkManager's NMState: from CONNECTED_LOCAL (50) up an address is configured.
constexpr uint connectedLocal = 50;
// Its NMConnectivityState: PORTAL (2), LIMITED (3) and FULL (4) all say a network is there.
constexpr uint connectivityPortal = 2;
constexpr uint connectivityFull = 4;

std::atomic<int> watchers { 0 };

} // namespace

class SystemBusListener : public QObject
{
    Q_OBJECT

public:
    explicit SystemBusListener(SystemEvents::Handler handler)
        : m_handler(std::move(handler))
        , m_connection(QStringLiteral("velmora-system-events-%1").arg(++watchers))
    {
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connection);
        if (!bus.isConnected()) {
            m_handler(SystemEvent::noNetworkEvents);
            m_handler(SystemEvent::noResumeEvents);
            return;
        }
        bus.connect(networkManager, networkManagerPath, networkManager,
                    QStringLiteral("StateChanged"), this, SLOT(stateChanged(uint)));
        bus.connect(networkManager, networkManagerPath, properties,
                    QStringLiteral("PropertiesChanged"), this,
                    SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        // Older NetworkManagers announce their properties on their own interface.
        bus.connect(networkManager, networkManagerPath, networkManager,
                    QStringLiteral("PropertiesChanged"), this,
                    SLOT(managerPropertiesChanged(QVariantMap)));
        bus.connect(login, loginPath, loginManager, QStringLiteral("PrepareForSleep"), this,
                    SLOT(prepareForSleep(bool)));

        // Whether each service is there, asked without waiting and without starting one.
        QDBusMessage state = QDBusMessage::createMethodCall(networkManager, networkManagerPath,
                                                            properties, QStringLiteral("Get"));
        state << networkManager << QStringLiteral("State");
        state.setAutoStartService(false);
        whenAnswered(bus.asyncCall(state), [this](const QDBusMessage& answer) {
            if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) {
                m_handler(SystemEvent::noNetworkEvents);
                return;
            }
            const uint now =
                qvariant_cast<QDBusVariant>(answer.arguments().first()).variant().toUInt();
            if (now < connectedLocal)
                m_handler(SystemEvent::networkDown);
        });
        QDBusMessage hasLogin = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        hasLogin << login;
        whenAnswered(bus.asyncCall(hasLogin), [this](const QDBusMessage& answer) {
            if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()
                || !answer.arguments().first().toBool())
                m_handler(SystemEvent::noResumeEvents);
        });
    }

    ~SystemBusListener() override
    {
        // Nothing of the connection may outlive it: the answers not yet come, then the signals.
        qDeleteAll(findChildren<QDBusPendingCallWatcher*>());
        QDBusConnection bus(m_connection);
        bus.disconnect(networkManager, networkManagerPath, networkManager,
                       QStringLiteral("StateChanged"), this, SLOT(stateChanged(uint)));
        bus.disconnect(networkManager, networkManagerPath, properties,
                       QStringLiteral("PropertiesChanged"), this,
                       SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        bus.disconnect(networkManager, networkManagerPath, networkManager,
                       QStringLiteral("PropertiesChanged"), this,
                       SLOT(managerPropertiesChanged(QVariantMap)));
        bus.disconnect(login, loginPath, loginManager, QStringLiteral("PrepareForSleep"), this,
                       SLOT(prepareForSleep(bool)));
        QDBusConnection::disconnectFromBus(m_connection);
    }

private slots:
    void stateChanged(uint state)
    {
        m_handler(state >= connectedLocal ? SystemEvent::networkUp : SystemEvent::networkDown);
    }

    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
    {
        if (interface == networkManager)
            managerPropertiesChanged(changed);
    }

    void managerPropertiesChanged(const QVariantMap& changed)
    {
        const auto connectivity = changed.constFind(QStringLiteral("Connectivity"));
        if (connectivity == changed.constEnd())
            return;
        const uint value = connectivity->toUInt();
        if (value >= connectivityPortal && value <= connectivityFull)
            m_handler(SystemEvent::networkUp);
    }

    void prepareForSleep(bool start)
    {
        if (!start)
            m_handler(SystemEvent::resumed);
    }

private:
    template<typename Answered> void whenAnswered(const QDBusPendingCall& call, Answered answered)
    {
        auto* watcher = new QDBusPendingCallWatcher(call, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [watcher, answered](QDBusPendingCallWatcher*) {
                    answered(watcher->reply());
                    watcher->deleteLater();
                });
    }

    SystemEvents::Handler m_handler;
    QString m_connection;
};

class SystemEvents::Watcher
{
public:
    explicit Watcher(Handler handler)
        : listener(std::move(handler))
    {
    }
    SystemBusListener listener;
};

SystemEvents::SystemEvents(Handler handler)
    : m_watcher(std::make_unique<Watcher>(std::move(handler)))
{
}

SystemEvents::~SystemEvents() = default;

} // namespace velmora

#include "SystemEvents_linux.moc"
