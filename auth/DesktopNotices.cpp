#include "auth/DesktopNotices.h"

#include "app/Trace.h"
#include "auth/NotificationService.h"

#include <QSystemTrayIcon>
#include <QWidget>

namespace {

constexpr int balloonMilliseconds = 10000;

// An appliance's reason on one line, without control or direction marks, cut at a word where it
// is long.
QString shortReason(QString reason)
{
    QString kept;
    for (const QChar c : reason.simplified()) {
        if (c.category() != QChar::Other_Control && c.category() != QChar::Other_Format)
            kept += c;
    }
    reason = kept;
    if (reason.size() <= DesktopNotices::reasonCharacters)
        return reason;
    reason.truncate(DesktopNotices::reasonCharacters);
    const int lastBlank = reason.lastIndexOf(QLatin1Char(' '));
    if (lastBlank > DesktopNotices::reasonCharacters / 2)
        reason.truncate(lastBlank);
    return reason + QStringLiteral("…");
}

} // namespace

DesktopNotices::DesktopNotices(QWidget* window, QSystemTrayIcon* tray, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_tray(tray)
    , m_service(new NotificationService(this))
{
    connect(m_service, &NotificationService::clicked, this, &DesktopNotices::clicked);
    connect(m_service, &NotificationService::sent, this, [this](quint32 id) {
        if (!m_awaitingAnswer.isEmpty() && m_awaitingAnswer.dequeue().outage)
            m_outageNoticeId = id;
    });
    connect(m_service, &NotificationService::failed, this, [this](const QString& error) {
        traceError("Desktop notice failed: " + error.toStdString());
        if (!m_awaitingAnswer.isEmpty()) {
            const Sent notice = m_awaitingAnswer.dequeue();
            showInTray(notice.title, notice.text);
        }
    });
    if (m_tray)
        connect(m_tray, &QSystemTrayIcon::messageClicked, this, &DesktopNotices::clicked);
}

DesktopNotices::~DesktopNotices() = default;

bool DesktopNotices::notify(const QString& title, const QString& text)
{
    return windowIsHidden() && show(title, text);
}

void DesktopNotices::sessionEnded(const QString& reason)
{
    notify(QStringLiteral("Logged out by the appliance"),
           QStringLiteral("The appliance ended your session: %1").arg(shortReason(reason)));
}

void DesktopNotices::reloginFailed(const QString& reason)
{
    notify(QStringLiteral("Could not log in again"),
           QStringLiteral("Your session expired and logging in again failed: %1")
               .arg(shortReason(reason)));
}

void DesktopNotices::automaticLoginFailed(const QString& reason)
{
    notify(QStringLiteral("Could not log in"),
           QStringLiteral("Logging in automatically failed: %1").arg(shortReason(reason)));
}

void DesktopNotices::keepAliveUnanswered()
{
    if (++m_unanswered != unansweredBeforeNotice)
        return;
    emit silenceChanged();
    if (!windowIsHidden())
        return;
    m_outageNoticeShown = true;
    m_outageNoticeId = 0;
    show(QStringLiteral("Appliance not answering"),
         QStringLiteral("The last three keep-alives got no answer. You may be offline; Velmora "
                        "Auth keeps trying."),
         0, true);
}

void DesktopNotices::applianceAnswered()
{
    const bool wasSilent = isApplianceSilent();
    m_unanswered = 0;
    if (!wasSilent)
        return;
    emit silenceChanged();
    if (!m_outageNoticeShown)
        return;
    m_outageNoticeShown = false;
    // Said even with the window shown: the user was told of the outage, and is told it is over.
    show(QStringLiteral("Appliance answering again"),
         QStringLiteral("The appliance answers the keep-alive again."), m_outageNoticeId);
}

bool DesktopNotices::windowIsHidden() const
{
    return !m_window || !m_window->isVisible() || m_window->isMinimized();
}

bool DesktopNotices::show(const QString& title, const QString& text, quint32 replaces, bool outage)
{
    if (m_service->isAvailable()) {
        traceInfo("Show notice on the desktop: " + title.toStdString());
        m_awaitingAnswer.enqueue({ title, text, outage });
        m_service->send(title, text, replaces);
        return true;
    }
    return showInTray(title, text);
}

bool DesktopNotices::showInTray(const QString& title, const QString& text)
{
    if (!m_tray || !m_tray->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable()) {
        traceInfo("No tray to show the notice in: " + title.toStdString());
        return false;
    }
    traceInfo("Show notice in the system tray: " + title.toStdString());
    m_tray->showMessage(title, text, QSystemTrayIcon::Information, balloonMilliseconds);
    return true;
}
