#include "host/CliParse.h"

#include <charconv>

namespace tamrel::host {
namespace {

bool ParseInt(const std::string& s, int& v) {
  if (s.empty() || s[0] == '+' || s[0] == '-') return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && ptr == s.data() + s.size();
}

// Index of the last '#' run in the file-name part of path, or npos.
std::size_t PatternEnd(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t hash = path.find_last_of('#');
  if (hash == std::string::npos || (slash != std::string::npos && hash < slash)) {
    return std::string::npos;
  }
  return hash;
}

}  // namespace

bool ParseImageSize(const std::string& text, int& width, int& height) {
  const std::size_t x = text.find_first_of("xX");
  int w, h;
  if (x == std::string::npos) {
    if (!ParseInt(text, w)) return false;
    h = w;
  } else if (!ParseInt(text.substr(0, x), w) || !ParseInt(text.substr(x + 1), h)) {
    return false;
  }
  if (w < 1 || h < 1 || w > kMaxImageEdge || h > kMaxImageEdge) return false;
  width = w;
  height = h;
  return true;
}

bool ParseFrameRange(const std::string& text, int& first, int& last) {
  const std::size_t dash = text.find('-');
  int a, b;
  if (dash == std::string::npos) {
    if (!ParseInt(text, a)) return false;
    b = a;
  } else if (!ParseInt(text.substr(0, dash), a) || !ParseInt(text.substr(dash + 1), b)) {
    return false;
  }
  if (a > b || b > kMaxFrame) return false;
  first = a;
  last = b;
  return true;
}

bool HasFramePattern(const std::string& path) { return PatternEnd(path) != std::string::npos; }

std::string ExpandFramePattern(const std::string& path, int frame) {
  const std::size_t end = PatternEnd(path);
  if (end == std::string::npos) return path;
  std::size_t begin = end;
  while (begin > 0 && path[begin - 1] == '#') --begin;
  const int width = static_cast<int>(end - begin + 1);
  std::string digits = std::to_string(frame);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
  return path.substr(0, begin) + digits + path.substr(end + 1);
}

}  // namespace tamrel::host
