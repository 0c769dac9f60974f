#include "auth/IdentityQuestion.h"

#include "auth/DesktopNotices.h"
#include "auth/InformationBox.h"
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

void askToTrustNewIdentity(QWidget* parent, const std::string& endpoint,
                           const std::string& remembered, const std::string& shown,
                           std::function<void(bool)> answered)
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

    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Appliance identity changed"),
                                QString(), QMessageBox::Yes | QMessageBox::No, parent);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    box->setModal(true);
    QObject::connect(box, &QMessageBox::finished, box, [box, answered = std::move(answered)] {
        answered(box->clickedButton() == box->button(QMessageBox::Yes));
        box->deleteLater();
    });
    box->show();
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

VelmoraAuth::Answer VelmoraAuth::askToTrust(const std::string& endpoint,
                                            const std::string& remembered, const std::string& shown)
{
    // Written under questionMutex.
    auto answer = std::make_shared<std::optional<bool>>();
    {
        std::lock_guard lock(questionMutex);
        if (questionsClosed)
            return Answer::programEnds;
    }
    // The box has no event loop of its own: the steps and ticks queued behind this one run in
    // the program's loop as they come, not inside the question. An Exit or a termination signal
    // while it shows leaves it unanswered, and the end of the program answers for it.
    onGuiThread([this, answer, endpoint, remembered, shown] {
        {
            std::lock_guard lock(questionMutex);
            if (questionsClosed)
                return;
        }
        velmora::askToTrustNewIdentity(this, endpoint, remembered, shown,
                                       [this, answer](bool trusted) {
                                           {
                                               std::lock_guard lock(questionMutex);
                                               *answer = trusted;
                                           }
                                           questionAnswered.notify_all();
                                       });
    });
    std::unique_lock lock(questionMutex);
    questionAnswered.wait(lock, [&] { return answer->has_value() || questionsClosed; });
    if (!answer->has_value() || (questionsClosed && **answer))
        return Answer::programEnds;
    return **answer ? Answer::yes : Answer::no;
}

void VelmoraAuth::closeQuestions()
{
    {
        std::lock_guard lock(questionMutex);
        questionsClosed = true;
    }
    questionAnswered.notify_all();
}

void VelmoraAuth::noteIdentityChange(const std::string& endpoint, const std::string& shown)
{
    {
        std::lock_guard lock(stateMutex);
        if (identityChangeTold == shown)
            return;
        identityChangeTold = shown;
        identityNotice = velmora::identityChangedNotice(endpoint);
    }
    // Never in the middle of the exchange that noticed it, which may run on the GUI thread.
    onGuiThread([this] { QTimer::singleShot(0, this, [this] { tellIdentityChange(); }); });
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
