#include "ScriptBook.h"

#include <stdexcept>
#include <string>

namespace standin {
namespace {

// Scripts come from tests; a thousand waiting rules means a runaway loop, not a test.
constexpr std::size_t maxRules = 1000;
constexpr auto maxDelay = std::chrono::minutes(10);
// A reason phrase past this is as endless as the client can tell.
constexpr std::size_t maxReasonSize = std::size_t(1) << 30;

bool appliesTo(Exchange ruleExchange, Exchange exchange)
{
    return ruleExchange == Exchange::any || ruleExchange == exchange;
}

bool isHandshakeFault(const ScriptedAction& action)
{
    const auto* fault = std::get_if<FaultRule>(&action);
    return fault && fault->fault == Fault::failedHandshake;
}

} // namespace

ScriptBook::ScriptBook(std::size_t listenerCount)
    : m_listenerCount(listenerCount)
{
}

void ScriptBook::add(AnswerRule rule)
{
    checkCommon(rule.times, rule.listener);
    // 1xx answers are not final answers; a client would wait for the real one.
    if (rule.answer.status < 200 || rule.answer.status > 599)
        throw std::invalid_argument("a scripted status must be from 200 to 599, not "
                                    + std::to_string(rule.answer.status));
    if (rule.answer.delay.count() < 0 || rule.answer.delay > maxDelay)
        throw std::invalid_argument("a scripted delay must be from 0 to 10 minutes");
    append({ std::move(rule.answer), rule.exchange, rule.listener, rule.times.count });
}

void ScriptBook::add(FaultRule rule)
{
    checkCommon(rule.times, rule.listener);
    if (rule.fault == Fault::failedHandshake && rule.exchange != Exchange::any)
        throw std::invalid_argument(
            "a failed handshake comes before the request, so it cannot pick an exchange");
    if (rule.delay.count() < 0 || rule.delay > maxDelay)
        throw std::invalid_argument("a fault's delay must be from 0 to 10 minutes");
    if (rule.size == 0 || rule.size > maxReasonSize)
        throw std::invalid_argument("a fault's size must be from 1 byte to 1 GiB");
    const Exchange exchange = rule.exchange;
    const auto listener = rule.listener;
    const int remaining = rule.times.count;
    append({ std::move(rule), exchange, listener, remaining });
}

void ScriptBook::clear()
{
    std::lock_guard lock(m_mutex);
    m_rules.clear();
}

std::optional<FaultRule> ScriptBook::takeHandshakeFault(std::size_t listener)
{
    std::lock_guard lock(m_mutex);
    for (auto rule = m_rules.begin(); rule != m_rules.end(); ++rule) {
        if (rule->listener && *rule->listener != listener)
            continue;
        if (!isHandshakeFault(rule->action))
            continue;
        FaultRule fault = std::get<FaultRule>(rule->action);
        useUp(m_rules, rule);
        return fault;
    }
    return std::nullopt;
}

std::optional<ScriptedAction> ScriptBook::takeFor(std::size_t listener, Exchange exchange)
{
    std::lock_guard lock(m_mutex);
    for (auto rule = m_rules.begin(); rule != m_rules.end(); ++rule) {
        if ((rule->listener && *rule->listener != listener) || !appliesTo(rule->exchange, exchange)
            || isHandshakeFault(rule->action))
            continue;
        ScriptedAction action = rule->action;
        useUp(m_rules, rule);
        return action;
    }
    return std::nullopt;
}

void ScriptBook::checkCommon(Times times, std::optional<std::size_t> listener) const
{
    if (times.count < 1 && times.count != -1)
        throw std::invalid_argument("a rule applies once or more, or until cleared");
    if (listener && *listener >= m_listenerCount)
        throw std::invalid_argument("there is no listener " + std::to_string(*listener));
}

void ScriptBook::append(Rule rule)
{
    std::lock_guard lock(m_mutex);
    if (m_rules.size() >= maxRules)
        throw std::invalid_argument("too many scripted rules waiting; clear them first");
    m_rules.push_back(std::move(rule));
}

void ScriptBook::useUp(std::list<Rule>& rules, std::list<Rule>::iterator rule)
{
    if (rule->remaining > 0 && --rule->remaining == 0)
        rules.erase(rule);
}

} // namespace standin
