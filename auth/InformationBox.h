#pragma once

#include <QString>

#include <string>

class QWidget;

namespace velmora {

// How much of a message a box or a label shows. The appliance's messages are a sentence long; a
// longer one is cut rather than laid out whole (8 MiB of text would hold the window for minutes).
inline constexpr int shownMessageCharacters = 300;

// A message that may come from the appliance, as a box or a label may show it: without a password
// the program sent, without the characters that steer direction (the line and paragraph
// separators become blanks), at most shownMessageCharacters characters, with " […]" where it was
// cut. It is meant to be shown as plain text.
QString shownMessage(const std::string& message);

// The modal "Information" box with a single OK button. The message is shown as plain text, never
// as rich text: no link, image or styled heading can come from an answer.
void showInformation(QWidget* parent, const std::string& message);

// Looks up what the first "Information" box of a run would look up as it shows: its icon and its
// button's, through the icon theme. Qt keeps both, so the box comes up that much sooner.
void prepareInformationBox();

} // namespace velmora
