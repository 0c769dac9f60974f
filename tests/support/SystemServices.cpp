#include "support/SystemServices.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QThread>

namespace {

const QString busName = QStringLiteral("velmora-test-system-bus");

} // namespace

SystemServices::SystemServices()
    : m_oldAddress(qgetenv("DBUS_SYSTEM_BUS_ADDRESS"))
{
    m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bus.start(QStringLiteral("dbus-daemon"),
                { QStringLiteral("--config-file=" VELMORA_TEST_SUPPORT_DIR "/system-bus.conf"),
                  QStringLiteral("--nofork"), QStringLiteral("--print-address=1") });
    if (!m_bus.waitForStarted(10000))
        return;
    QDeadlineTimer deadline(10000);
    while (!m_bus.canReadLine() && !deadline.hasExpired())
        m_bus.waitForReadyRead(100);
    m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
    if (m_address.isEmpty())
        return;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    QDBusConnection::connectToBus(m_address, busName);
}

SystemServices::~SystemServices()
{
    stopServices();
    QDBusConnection::disconnectFromBus(busName);
    m_bus.terminate();
    m_bus.waitForFinished(5000);
    if (m_oldAddress.isNull())
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    else
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_oldAddress);
}

QDBusConnection SystemServices::bus() const
{
    return QDBusConnection(busName);
}

bool SystemServices::startMock(QProcess& process, const QString& name, const QString& templateName)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Debian's interpreter, where python3-dbusmock is installed, whatever else is on PATH.
    process.start(QStringLiteral("/usr/bin/python3"),
                  { QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                    QStringLiteral("--template"), templateName });
    if (!process.waitForStarted(10000))
        return false;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (bus().interface()->isServiceRegistered(name))
            return true;
        if (process.state() != QProcess::Running)
            return false;
        QThread::msleep(50);
    }
    return false;
}

bool SystemServices::startNetworkManager()
{
    return startMock(m_networkManager, QStringLiteral("org.freedesktop.NetworkManager"),
                     QStringLiteral("networkmanager"));
}

bool SystemServices::startLogind()
{
    return startMock(m_logind, QStringLiteral("org.freedesktop.login1"), QStringLiteral("logind"));
}

void SystemServices::stopServices()
{
    for (QProcess* process : { &m_networkManager, &m_logind }) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        process->waitForFinished(5000);
    }
}

bool SystemServices::callMock(const QString& service, const QString& path, const QString& method,
                              const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(arguments);
    const QDBusMessage answer = bus().call(call, QDBus::Block, 10000);
    if (answer.type() == QDBusMessage::ErrorMessage)
        qWarning("%s: %s", qPrintable(method), qPrintable(answer.errorMessage()));
    return answer.type() == QDBusMessage::ReplyMessage;
}

bool SystemServices::setNetworkState(uint state)
{
    return callMock(QStringLiteral("org.freedesktop.NetworkManager"),
                    QStringLiteral("/org/freedesktop/NetworkManager"),
                    QStringLiteral("SetGlobalConnectionState"), { state });
}

bool SystemServices::setConnectivity(uint connectivity)
{
    return callMock(QStringLiteral("org.freedesktop.NetworkManager"),
                    QStringLiteral("/org/freedesktop/NetworkManager"),
                    QStringLiteral("SetConnectivity"), { connectivity });
}

bool SystemServices::prepareForSleep(bool start)
{
    return callMock(QStringLiteral("org.freedesktop.login1"),
                    QStringLiteral("/org/freedesktop/login1"), QStringLiteral("EmitSignal"),
                    { QStringLiteral("org.freedesktop.login1.Manager"),
                      QStringLiteral("PrepareForSleep"), QStringLiteral("b"),
                      QVariantList { QVariant(start) } });
}
