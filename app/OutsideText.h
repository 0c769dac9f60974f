#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

// How much of one outside value (an answer's body, the parser's message about it, a refusal's
// text, the route tracer's output) a log or console line may carry. Real answers are a few
// hundred bytes; a whole keep-alive then adds a few KiB to the log at most.
inline constexpr std::size_t outsideExcerptBytes = 2048;

// An outside value as the log and the console may show it: on one line, bounded, and without a
// password the program has sent.
// - Control characters are written as \xHH, byte by byte: C0 (CR, LF, NUL, ESC, ...), DEL, the
//   C1 range, the line and paragraph separators and the bidirectional embeddings, overrides and
//   isolates, so that no value can end a line, start a forged one, steer a terminal or reorder
//   what a reader sees. Bytes that are not UTF-8 are written the same way; valid UTF-8 stays.
// - Past `limit` bytes of that, the excerpt ends with " [… cut: N bytes in all]".
// - Each password given to hideFromOutsideText() is replaced by "********".
std::string outsideText(std::string_view value, std::size_t limit = outsideExcerptBytes);

// The value with every hidden password replaced by "********", and nothing else changed, for
// texts that are shown rather than logged. Of a value longer than `limit` bytes, only so much is
// returned (and any password that starts within it, whole).
std::string withoutPasswords(std::string_view value, std::size_t limit = std::string_view::npos);

// From now on, outsideText() and withoutPasswords() hide this text wherever it appears. The login
// gives each password it sends, in each form an answer may repeat it in. The last few are kept.
void hideFromOutsideText(std::string_view secret);

} // namespace velmora
