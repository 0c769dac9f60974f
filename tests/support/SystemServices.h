#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>

#include <memory>

// A system bus of the test program's own, with NetworkManager and logind played by
// python3-dbusmock's templates. DBUS_SYSTEM_BUS_ADDRESS points at it while the object lives, so
// a window made meanwhile watches these services.
class SystemServices
{
public:
    // NetworkManager's states and connectivity, as its D-Bus interface numbers them.
    static constexpr uint asleep = 10;
    static constexpr uint disconnected = 20;
    static constexpr uint connectedGlobal = 70;
    static constexpr uint connectivityPortal = 2;
    static constexpr uint connectivityFull = 4;

    SystemServices();
    ~SystemServices();

    bool isRunning() const { return !m_address.isEmpty(); }

    // Each waits until the service is on the bus.
    bool startNetworkManager();
    bool startLogind();
    void stopServices();

    // NetworkManager's StateChanged and Connectivity, logind's PrepareForSleep.
    bool setNetworkState(uint state);
    bool setConnectivity(uint connectivity);
    bool prepareForSleep(bool start);

private:
    bool startMock(QProcess& process, const QString& name, const QString& templateName);
    bool callMock(const QString& service, const QString& path, const QString& method,
                  const QVariantList& arguments);
    QDBusConnection bus() const;

    QProcess m_bus;
    QProcess m_networkManager;
    QProcess m_logind;
    QString m_address;
    QByteArray m_oldAddress;
};
