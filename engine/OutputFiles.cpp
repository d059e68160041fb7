#include "engine/OutputFiles.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>

#include "atomicfile.h"
#include "engine/Host.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;

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

bool HasMapPattern(const std::string& path) { return path.find("{map}") != std::string::npos; }

std::string ExpandMapPattern(const std::string& path, const std::string& map) {
  std::string out = path;
  for (std::size_t at = out.find("{map}"); at != std::string::npos;
       at = out.find("{map}", at + map.size())) {
    out.replace(at, 5, map);
  }
  return out;
}

// Replaces the file whole or not at all, as the images are.
void WriteTextFile(const std::string& path, const std::string& text, const char* what) {
  std::string error;
  if (!WriteFileAtomically(path, text, error)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": " + error);
  }
}

// Refuses before rendering an output that could not be written afterwards.
void CheckWritableFolder(const std::string& path, const char* what) {
  if (path.empty()) Fail(EXIT_USAGE, std::string("the ") + what + " needs a file name");
  const fs::path p(path);
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": folder " +
                          dir.string() + " does not exist");
  }
  if (::access(dir.c_str(), W_OK) != 0) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": folder " +
                          dir.string() + " is not writable");
  }
  if (fs::is_directory(p, ec)) Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " +
                                                     path + ": it is a folder");
  // A name the file system cannot hold, or a folder that takes no new file, fails now rather
  // than after the render.
  const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  const std::size_t nameLength = p.filename().string().size();
  if (nameMax > 0 && nameLength > static_cast<std::size_t>(nameMax)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": its name is " +
                          std::to_string(nameLength) + " bytes long, more than the " +
                          std::to_string(nameMax) + " its folder allows");
  }
  AtomicFile trial;
  std::string error;
  if (!trial.Create(p, error)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": " + error);
  }
}

void CheckDistinctOutputs(const std::vector<std::pair<std::string, std::string>>& outputs) {
  // The file each name lands in, as the file system resolves it, in one letter case.
  const auto key = [](const std::string& path) {
    std::error_code ec;
    fs::path named = fs::absolute(path, ec);
    // Where the write lands, as the files are written: a link whose file does not exist yet
    // still names that file.
    fs::path target = named;
    if (FollowSymbolicLinks(target)) named = target;
    fs::path resolved = fs::weakly_canonical(named, ec);
    if (ec) resolved = named.lexically_normal();
    std::string k = resolved.string();
    for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return k;
  };
  std::vector<std::string> keys;
  for (const auto& [what, path] : outputs) keys.push_back(key(path));
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (keys[i] != keys[j] || outputs[i].first == outputs[j].first) continue;
      Fail(EXIT_USAGE, outputs[j].first + " and " + outputs[i].first + " would both be written to " +
                           outputs[i].second);
    }
  }
}

std::string ShownPath(const std::string& path) {
  std::error_code ec;
  const fs::path abs = fs::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

}  // namespace tamrel::host
