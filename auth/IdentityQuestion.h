#pragma once

#include <string>

class QWidget;

namespace velmora {

// The box that asks whether to trust an appliance that shows another identity than the one
// trusted for its endpoint (empty `shown`: it answers over plain HTTP, without any). Yes and No,
// No the default; closing the box says No. True for Yes.
bool askToTrustNewIdentity(QWidget* parent, const std::string& endpoint,
                           const std::string& remembered, const std::string& shown);

// The login's message after the user said No.
std::string identityRefusedMessage(const std::string& endpoint);

// What the user is told of a changed identity that nobody was asked about (a keep-alive, the
// start-up session check, a logout).
std::string identityChangedNotice(const std::string& endpoint);

} // namespace velmora
