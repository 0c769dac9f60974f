#pragma once

#include "ApplianceTypes.h"

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <variant>

namespace standin {

using ScriptedAction = std::variant<Answer, FaultRule>;

// The scripted answers and faults waiting for requests, in the order they were added. The
// first rule that matches a request is used up by it.
class ScriptBook
{
public:
    // `listenerCount` bounds the listener indexes that rules may name.
    explicit ScriptBook(std::size_t listenerCount);

    // Throw std::invalid_argument for a rule that could never apply sensibly.
    void add(AnswerRule rule);
    void add(FaultRule rule);
    void clear();

    // A failed-handshake fault for a connection just accepted on `listener`.
    std::optional<FaultRule> takeHandshakeFault(std::size_t listener);
    // Any other rule for a request that has been read.
    std::optional<ScriptedAction> takeFor(std::size_t listener, Exchange exchange);

private:
    struct Rule
    {
        ScriptedAction action;
        Exchange exchange;
        std::optional<std::size_t> listener;
        int remaining; // -1: until cleared
    };

    void checkCommon(Times times, std::optional<std::size_t> listener) const;
    void append(Rule rule);
    static void useUp(std::list<Rule>& rules, std::list<Rule>::iterator rule);

    const std::size_t m_listenerCount;
    std::mutex m_mutex;
    std::list<Rule> m_rules;
};

} // namespace standin
