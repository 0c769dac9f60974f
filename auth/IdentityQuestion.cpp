#include "auth/IdentityQuestion.h"

#include "auth/ApplianceText.h"
#include "auth/DesktopNotices.h"
#include "auth/VelmoraAuth.h"

#include <QMessageBox>
#include <QShowEvent>
#include <QTimer>

#include <memory>

namespace velmora {

namespace {

// Two lines of 16 pairs, as browsers show a fingerprint: the box stays narrow.
QString twoLines(const std::string& identity)
{
    constexpr std::size_t half = 16 * 3;
    if (identity.size() <= half)
        return QString::fromStdString(identity);
    return QString::fromStdString(identity.substr(0, half - 1)) + QLatin1Char('\n')
        + QString::fromStdString(identity.substr(half));
}

} // namespace

bool askToTrustNewIdentity(QWidget* parent, const std::string& endpoint,
                           const std::string& remembered, const std::string& shown)
{
    const QString where = QString::fromStdString(endpoint);
    QString text = shown.empty()
        ? QStringLiteral("The appliance at %1 answers over plain HTTP, without an identity. At "
                         "your last login it showed the identity below over HTTPS. Over plain "
                         "HTTP your password is sent unencrypted.")
              .arg(where)
        : QStringLiteral("The appliance at %1 shows a different identity than at your last "
                         "login.")
              .arg(where);
    text += QStringLiteral(" It may have been replaced, or another device may be posing as it to "
                           "get your password.\n\nTrusted identity (SHA-256 of its key):\n")
        + twoLines(remembered) + QStringLiteral("\n\nIdentity shown now:\n")
        + (shown.empty() ? QStringLiteral("none") : twoLines(shown))
        + (shown.empty() ? QStringLiteral("\n\nTrust it and log in over plain HTTP?")
                         : QStringLiteral("\n\nTrust the new identity and log in?"));

    QMessageBox box(QMessageBox::Warning, QStringLiteral("Appliance identity changed"), QString(),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

std::string identityRefusedMessage(const std::string& endpoint)
{
    return "The login was stopped and your password was not sent: you did not trust the changed "
           "identity of the appliance at "
        + endpoint + ".";
}

std::string identityChangedNotice(const std::string& endpoint)
{
    return "The appliance at " + endpoint
        + " shows a different identity than at your last login, so nothing was sent to it. If "
          "the appliance was replaced, log in again to see both identities and decide whether to "
          "trust the new one.";
}

} // namespace velmora

bool VelmoraAuth::askOnGuiThread(const std::string& endpoint, const std::string& remembered,
                                 const std::string& shown)
{
    // Written under questionMutex.
    auto answer = std::make_shared<std::optional<bool>>();
    {
        std::lock_guard lock(questionMutex);
        if (questionsClosed)
            return false;
    }
    onGuiThread([this, answer, endpoint, remembered, shown] {
        bool closed = false;
        {
            std::lock_guard lock(questionMutex);
            closed = questionsClosed;
        }
        // An Exit or a termination signal while the box shows closes it: that answers No.
        const bool trusted =
            !closed && velmora::askToTrustNewIdentity(this, endpoint, remembered, shown);
        {
            std::lock_guard lock(questionMutex);
            *answer = trusted;
        }
        questionAnswered.notify_all();
    });
    std::unique_lock lock(questionMutex);
    questionAnswered.wait(lock, [&] { return answer->has_value() || questionsClosed; });
    return answer->value_or(false) && !questionsClosed;
}

void VelmoraAuth::closeQuestions()
{
    {
        std::lock_guard lock(questionMutex);
        questionsClosed = true;
    }
    questionAnswered.notify_all();
}

void VelmoraAuth::tellIdentityChange()
{
    std::string notice;
    {
        std::lock_guard lock(stateMutex);
        notice = identityNotice;
    }
    if (notice.empty())
        return;
    // A hidden window tells through the desktop's notice; where there is none, it tells when it
    // shows again.
    const bool hidden = !isVisible() || isMinimized();
    if (hidden
        && !notices->notify(QStringLiteral("Appliance identity changed"),
                            QString::fromStdString(notice)))
        return;
    {
        std::lock_guard lock(stateMutex);
        identityNotice.clear();
    }
    if (!hidden)
        velmora::showInformation(nullptr, notice);
}

void VelmoraAuth::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // After the window is up, not in the middle of showing it.
    QTimer::singleShot(0, this, [this] {
        tellIdentityChange();
        tellKeyringNotice();
    });
}
