// Output files as every bake and save names and checks them: the frame-number and map-name
// patterns of file names, the checks that refuse an output before any work is done, and text
// files replaced whole or not at all.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tamrel::host {

// True when the file name carries a run of '#' for the frame number.
bool HasFramePattern(const std::string& path);
// Replaces the last run of '#' in the file name (not the folders) by the frame number padded with
// zeros to the run's length; a name without one is returned as it is.
std::string ExpandFramePattern(const std::string& path, int frame);

// True when the file name template holds "{map}".
bool HasMapPattern(const std::string& path);
// Replaces every "{map}" by the map's name.
std::string ExpandMapPattern(const std::string& path, const std::string& map);

// Replaces the file whole or not at all, as the images are; fails with EXIT_OUTPUT.
void WriteTextFile(const std::string& path, const std::string& text, const char* what);
// Refuses before any work an output that could not be written afterwards: an empty name
// (EXIT_USAGE), a missing or read-only folder, a folder in its place, a name too long for the
// file system, a folder that takes no new file (EXIT_OUTPUT). what names the file ("image").
void CheckWritableFolder(const std::string& path, const char* what);
// Refuses (EXIT_USAGE) two outputs that would land in one file: the same name, another spelling
// of it (a relative and an absolute path, a symbolic link to it) or names that differ only in
// letter case, which case-insensitive file systems take for one. Each output is (what, path),
// what naming it in the message ("the map color", "the preset").
void CheckDistinctOutputs(const std::vector<std::pair<std::string, std::string>>& outputs);
// The absolute, normalised form of path as reports show it (path itself if that fails).
std::string ShownPath(const std::string& path);

}  // namespace tamrel::host
