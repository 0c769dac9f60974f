#include "settings/Keyring.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <qt5keychain/keychain.h>

// The Secret Service through QtKeychain (its libsecret backend). The item of a settings key has
// the service "Velmora Auth" and the key path as its key, so its attributes read
// server="Velmora Auth", user="Software\Velmora\VelmoraAuth", type="plaintext"; the keyring shows
// it under the label "Velmora Auth".
//
// libsecret answers through glib's main context of the thread that asked: Qt's GUI thread runs it
// (unless QT_NO_GLIB turns glib's loop off, when no answer ever comes).

namespace velmora {

namespace {

const QString serviceName = QStringLiteral("Velmora Auth");
const QString secretsName = QStringLiteral("org.freedesktop.secrets");

// A question to the bus daemon with one name as its argument.
bool busAnswersTrue(const QDBusConnection& bus, const QString& method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), method);
    call << secretsName;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && reply.arguments().constFirst().toBool();
}

bool canBeStarted(const QDBusConnection& bus)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && reply.arguments().constFirst().toStringList().contains(secretsName);
}

KeyringAnswer answerOf(const QKeychain::Job& job)
{
    switch (job.error()) {
    case QKeychain::NoError:
        return KeyringAnswer::done;
    case QKeychain::EntryNotFound:
        return KeyringAnswer::notFound;
    case QKeychain::NoBackendAvailable:
        return KeyringAnswer::noService;
    default:
        return KeyringAnswer::failed;
    }
}

} // namespace

// The jobs' answers are delivered in this object's context, so none arrives after the Keyring is
// gone. A job is never deleted before it has finished: libsecret still holds it until then.
struct Keyring::Jobs
{
    QObject context;

    template<typename Job, typename Done> void start(Job* job, const std::u16string& key, Done done)
    {
        job->setAutoDelete(true);
        job->setKey(QString::fromStdU16String(key));
        QObject::connect(job, &QKeychain::Job::finished, &context,
                         [done](QKeychain::Job* finished) { done(*static_cast<Job*>(finished)); });
        job->start();
    }
};

Keyring::Keyring()
    : m_jobs(std::make_unique<Jobs>())
{
}

Keyring::~Keyring() = default;

bool Keyring::isOffered() const
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    return busAnswersTrue(bus, QStringLiteral("NameHasOwner")) || canBeStarted(bus);
}

std::string Keyring::absenceNote() const
{
    return "No keyring service on the session bus: the remembered password stays in the settings "
           "file. A keyring (GNOME Keyring, KWallet or KeePassXC) would keep it out of the file.";
}

void Keyring::read(const std::u16string& settingsKey, ReadAnswer answer)
{
    m_jobs->start(new QKeychain::ReadPasswordJob(serviceName), settingsKey,
                  [answer](const QKeychain::ReadPasswordJob& job) {
                      const KeyringAnswer result = answerOf(job);
                      answer(result,
                             result == KeyringAnswer::done ? job.binaryData().toStdString()
                                                           : std::string(),
                             job.errorString().toStdString());
                  });
}

void Keyring::write(const std::u16string& settingsKey, const std::string& password, Answer answer)
{
    auto* job = new QKeychain::WritePasswordJob(serviceName);
    // As text: the keyring shows the password as typed, and libsecret stores it as "plaintext".
    job->setTextData(QString::fromStdString(password));
    m_jobs->start(job, settingsKey, [answer](const QKeychain::WritePasswordJob& job) {
        answer(answerOf(job), job.errorString().toStdString());
    });
}

void Keyring::erase(const std::u16string& settingsKey, Answer answer)
{
    m_jobs->start(new QKeychain::DeletePasswordJob(serviceName), settingsKey,
                  [answer](const QKeychain::DeletePasswordJob& job) {
                      answer(answerOf(job), job.errorString().toStdString());
                  });
}

} // namespace velmora
