// Values echoed back in messages: a file name, a parameter value or a line of a preset may be
// anything a user or a hostile file put there. Echoed text is quoted, its control characters
// (newlines, terminal escapes, NUL) and broken UTF-8 written as escapes, and a long value cut with
// a note of its length, so that every message stays one readable line of bounded length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tamrel::host {

// 'value' with escapes, cut after about maxBytes bytes: 'abc'... (50000000 bytes). The mark
// (' or ") opens and closes it and is escaped inside.
std::string Quote(std::string_view value, std::size_t maxBytes = 80, char mark = '\'');

// A whole message made safe for one terminal line: escapes as Quote, no quotes added, cut after
// about maxBytes bytes.
std::string OneLine(std::string_view message, std::size_t maxBytes = 1000);

}  // namespace tamrel::host
