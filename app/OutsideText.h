#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

// How much of one outside value (an answer's body, the parser's message about it, a refusal's
// text, the route tracer's output) a log or console line may carry. Real answers are a few
// hundred bytes; a whole keep-alive then adds a few KiB to the log at most.
inline constexpr std::size_t outsideExcerptBytes = 2048;

// C0 (CR, LF, NUL, ESC, ...), DEL and the C1 range.
bool isControlCharacter(char32_t point);

// The characters that steer how the text around them shows rather than being text: the line and
// paragraph separators and the bidirectional marks, embeddings, overrides and isolates. Outside
// text keeps none of them, in the log, on the console or in a box.
bool isSteeringCharacter(char32_t point);

// An outside value as the log and the console may show it: on one line, bounded, and without a
// password the program has sent.
// - Control characters are written as \xHH, byte by byte: C0 (CR, LF, NUL, ESC, ...), DEL, the
//   C1 range and the steering characters, so that no value can end a line, start a forged one,
//   steer a terminal or reorder what a reader sees. Bytes that are not UTF-8 are written the
//   same way; valid UTF-8 stays.
// - Past `limit` bytes of that, the excerpt ends with " [… cut: N bytes in all]".
// - Each echo of a password given to hideFromOutsideText() is replaced by "********".
std::string outsideText(std::string_view value, std::size_t limit = outsideExcerptBytes);

// The value with every echo of a hidden password replaced by "********", and nothing else
// changed, for texts that are shown rather than logged. Of a value longer than `limit` bytes, the
// masked text is returned up to just past `limit` bytes: an echo that the limit falls into is
// masked whole, never returned in part.
std::string withoutPasswords(std::string_view value, std::size_t limit = std::string_view::npos);

// From now on, outsideText() and withoutPasswords() hide every echo of this text: any stretch that
// reads as it once each piece is decoded, whatever mix of forms it is written in (as it is,
// percent-encoded in either case, '+' for a blank, JSON escapes, HTML character references). The
// last few are kept.
void hideFromOutsideText(std::string_view secret);

} // namespace velmora
