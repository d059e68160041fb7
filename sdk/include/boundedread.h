// Reading a whole input file without trusting it: only a regular file is read (a FIFO, a device
// such as /dev/zero or a folder is refused at once, without blocking), and never more than a
// stated number of bytes, so an endless or huge input cannot hang the reader or eat its memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Reads path into out. False with a one-line reason (which does not repeat the path) when it is
// not a regular file, cannot be read, or holds more than maxBytes.
bool ReadRegularFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& out,
                     std::string& error);
