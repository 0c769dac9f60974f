#pragma once

#include <functional>
#include <string>

class QWidget;

namespace velmora {

// The box that asks whether to trust an appliance that shows another identity than the one
// trusted for its endpoint (empty `shown`: it answers over plain HTTP, without any). Yes and No,
// No the default; closing the box says No. Modal, but without an event loop of its own: it
// returns at once, and `answered` gets true for Yes when the user answers. A box destroyed
// unanswered (with its parent, at the end of the program) calls nothing.
void askToTrustNewIdentity(QWidget* parent, const std::string& endpoint,
                           const std::string& remembered, const std::string& shown,
                           std::function<void(bool)> answered);

// The login's message after the user said No.
std::string identityRefusedMessage(const std::string& endpoint);

// What the user is told of a changed identity that nobody was asked about (a keep-alive, the
// start-up session check, a logout).
std::string identityChangedNotice(const std::string& endpoint);

} // namespace velmora
