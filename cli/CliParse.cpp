#include "cli/CliParse.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tamrel::host {
namespace {

bool ParseInt(const std::string& s, int& v) {
  if (s.empty() || s[0] == '+' || s[0] == '-') return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && ptr == s.data() + s.size();
}

}  // namespace

bool ParseOffset(const std::string& text, int& x, int& y) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  auto signedInt = [](const std::string& s, int& v) {
    const bool negative = !s.empty() && s[0] == '-';
    if (!ParseInt(negative ? s.substr(1) : s, v) || v > kMaxOffset) return false;
    if (negative) v = -v;
    return true;
  };
  int a, b;
  if (!signedInt(text.substr(0, comma), a) || !signedInt(text.substr(comma + 1), b)) return false;
  x = a;
  y = b;
  return true;
}

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

bool ParseRegion(const std::string& text, int& x0, int& y0, int& x1, int& y1) {
  int v[4];
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t comma = i < 3 ? text.find(',', start) : text.size();
    if (comma == std::string::npos) return false;
    if (!ParseInt(text.substr(start, comma - start), v[i])) return false;
    start = comma + 1;
  }
  if (v[0] >= v[2] || v[1] >= v[3]) return false;
  x0 = v[0];
  y0 = v[1];
  x1 = v[2];
  y1 = v[3];
  return true;
}

bool ParseFloatPair(const std::string& text, float& a, float& b) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  auto parse = [](const std::string& s, float& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    const double d = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(d)) return false;
    out = static_cast<float>(d);
    return true;
  };
  return parse(text.substr(0, comma), a) && parse(text.substr(comma + 1), b);
}

bool ParseNameList(const std::string& text, std::vector<std::string>& names, std::string& bad) {
  names.clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    std::string name = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                      : comma - start);
    const auto first = name.find_first_not_of(' ');
    const auto last = name.find_last_not_of(' ');
    name = first == std::string::npos ? "" : name.substr(first, last - first + 1);
    if (name.empty()) {
      bad = "(empty)";
      return false;
    }
    for (const std::string& n : names) {
      if (n == name) {
        bad = name;
        return false;
      }
    }
    names.push_back(name);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace tamrel::host
