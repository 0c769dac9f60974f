#include "support/PortalTestSupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryFile>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <unistd.h>

LogTail::LogTail(const QString& logFile)
    : m_path(logFile)
    , m_start(QFile(logFile).size())
{
}

QStringList LogTail::lines() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_start))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int LogTail::count(const QString& text) const
{
    int found = 0;
    for (const QString& line : lines())
        found += line.contains(text);
    return found;
}

bool LogTail::hasLine(const QString& level, const QString& message) const
{
    const QString ending = QStringLiteral("()] - ") + message;
    const QString marker = QStringLiteral("[") + level + QStringLiteral("] ");
    for (const QString& line : lines()) {
        if (line.contains(marker) && line.endsWith(ending))
            return true;
    }
    return false;
}

std::uint16_t refusedLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const auto port = server.serverPort();
    server.close();
    return port;
}

StdoutCapture::StdoutCapture()
{
    QTemporaryFile file;
    file.setAutoRemove(false);
    if (!file.open())
        return;
    m_file = file.fileName();
    std::fflush(stdout);
    m_saved = ::dup(STDOUT_FILENO);
    ::dup2(file.handle(), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    if (m_saved >= 0) {
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    QFile::remove(m_file);
}

QByteArray StdoutCapture::text()
{
    std::fflush(stdout);
    QFile file(m_file);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::unique_ptr<standin::StandInAppliance>
startAppliance(std::vector<standin::ListenAddress> listeners,
               std::vector<standin::Account> accounts)
{
    standin::Options options;
    options.listeners = std::move(listeners);
    options.accounts = std::move(accounts);
    return std::make_unique<standin::StandInAppliance>(std::move(options));
}

std::string refusal(const std::string& reason)
{
    return nlohmann::json { { "status", "fail" }, { "errors", reason } }.dump();
}

standin::AnswerRule scripted(standin::Exchange exchange, int status, std::string body,
                             standin::Times times)
{
    standin::AnswerRule rule;
    rule.exchange = exchange;
    rule.answer.status = status;
    rule.answer.body = std::move(body);
    rule.answer.contentType = "application/json";
    rule.times = times;
    return rule;
}

standin::FaultRule faultOn(standin::Exchange exchange, standin::Fault fault,
                           std::chrono::milliseconds delay)
{
    standin::FaultRule rule;
    rule.fault = fault;
    rule.exchange = fault == standin::Fault::failedHandshake ? standin::Exchange::any : exchange;
    rule.delay = delay;
    return rule;
}
