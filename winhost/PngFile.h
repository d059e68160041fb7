// Writes 8-bit RGB pictures as PNG files: the editor's screenshots. Stored (uncompressed) deflate
// blocks keep the writer small; screenshots are a few hundred kilobytes.
#pragma once

#include <string>
#include <vector>

// rgb holds width * height pixels, top row first. False when the file cannot be written.
bool WritePng(const std::wstring& path, const std::vector<unsigned char>& rgb, int width,
              int height);
