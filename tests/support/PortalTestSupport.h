#pragma once

#include "StandInAppliance.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// The lines the log gained since this object was made.
class LogTail
{
public:
    explicit LogTail(const QString& logFile);

    QStringList lines() const;
    int count(const QString& text) const;
    bool contains(const QString& text) const { return count(text) > 0; }
    // A line at the given level ("info", "error") whose message is exactly the text.
    bool hasLine(const QString& level, const QString& message) const;

private:
    QString m_path;
    qint64 m_start = 0;
};

// A loopback port where nothing listens, so a connection is refused at once.
std::uint16_t refusedLoopbackPort();

// What the process writes to standard output while this object lives.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    QByteArray text();

private:
    int m_saved = -1;
    QString m_file;
};

// A stand-in appliance on the given loopback listeners (port 0: any free port) with the account
// ann / secret.
std::unique_ptr<standin::StandInAppliance>
startAppliance(std::vector<standin::ListenAddress> listeners,
               std::vector<standin::Account> accounts = { { "ann", "secret", false } });

// The appliance's refusal of a login or keep-alive, with its reason, which may hold anything:
// JSON carries control characters escaped, and the client's parser turns them back into bytes.
std::string refusal(const std::string& reason);

standin::AnswerRule scripted(standin::Exchange exchange, int status, std::string body,
                             standin::Times times = standin::Times::once());

// One fault for the next matching request; a failed handshake matches any request.
standin::FaultRule faultOn(standin::Exchange exchange, standin::Fault fault,
                           std::chrono::milliseconds delay = std::chrono::seconds(3));
