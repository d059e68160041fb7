// Escapes: \n, \r, \t, \\ and the quote mark by name, any other C0 or C1 control character, DEL and
// every byte that is not part of valid UTF-8 as \xHH. Valid multi-byte characters pass unchanged,
// and a cut never splits one.
#include "engine/EchoText.h"

#include <cstdio>

namespace tamrel::host {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the byte starts none.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  unsigned min = 0;
  unsigned cp = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, min = 0x80, cp = b & 0x1Fu;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, min = 0x800, cp = b & 0x0Fu;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, min = 0x10000, cp = b & 0x07u;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (c & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  if (cp >= 0x80 && cp <= 0x9F) return 0;  // C1 controls: 0x9B starts a terminal sequence
  return n;
}

void AppendHex(std::string& out, unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", c);
  out += buf;
}

// Escapes value into out until out has grown by about maxBytes; returns the bytes consumed.
std::size_t Escape(std::string_view value, std::size_t maxBytes, char mark, std::string& out) {
  const std::size_t start = out.size();
  std::size_t i = 0;
  while (i < value.size() && out.size() - start < maxBytes) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) {
      const std::size_t n = Utf8Length(value, i);
      if (n == 0) {
        AppendHex(out, c);
        ++i;
      } else {
        out.append(value.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += mark ? "\\\\" : "\\";
        break;
      default:
        if (mark && c == static_cast<unsigned char>(mark)) {
          out.push_back('\\');
          out.push_back(mark);
        } else if (c < 0x20 || c == 0x7F) {
          AppendHex(out, c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  return i;
}

}  // namespace

std::string Quote(std::string_view value, std::size_t maxBytes, char mark) {
  std::string out(1, mark);
  const std::size_t used = Escape(value, maxBytes, mark, out);
  out += mark;
  if (used < value.size()) out += "... (" + std::to_string(value.size()) + " bytes)";
  return out;
}

std::string OneLine(std::string_view message, std::size_t maxBytes) {
  std::string out;
  const std::size_t used = Escape(message, maxBytes, 0, out);
  if (used < message.size()) out += "... (" + std::to_string(message.size()) + " bytes)";
  return out;
}

}  // namespace tamrel::host
