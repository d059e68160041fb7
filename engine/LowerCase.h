// File names and keys compared without regard to letter case (ASCII letters only: extensions,
// metadata keys and names on case-insensitive file systems).
#pragma once

#include <cctype>
#include <string>

namespace tamrel::host {

inline std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace tamrel::host
