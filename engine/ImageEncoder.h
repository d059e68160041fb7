// The part of writing an image that needs the format libraries (libpng, libtiff, OpenEXR). They
// live in a module of their own, tamrel_images.so beside tamrel, loaded the first time an image
// is written (in about 2.5 ms), so that a command that writes no image (--version, params, info,
// the editor until its first preview) never loads them, and one that cannot find the module
// still does everything else.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tamrel::host {

enum class PixelType { DEFAULT, UINT8, UINT16, HALF, FLOAT };

// One image on its way to a file: rows go to a temporary file beside the target, which Commit
// renames into place. Every call returns an empty string, or the reason it failed without the
// file's name (the writer above says which file).
class ImageEncoder {
 public:
  virtual ~ImageEncoder() = default;
  // type is resolved (never DEFAULT); encoded says the colour channels arrive sRGB-encoded;
  // compression is PNG's zlib level, 0 to 9 (the other formats have their own, lossless).
  virtual std::string Open(const std::string& path, int width, int height, int channels,
                           PixelType type, bool encoded, int compression,
                           const std::vector<std::pair<std::string, std::string>>& metadata) = 0;
  // Rows y0 .. y1-1 of channels-interleaved floats, in order.
  virtual std::string WriteRows(int y0, int y1, const float* pixels) = 0;
  // Ends the image; it is complete but still under its temporary name.
  virtual std::string Close() = 0;
  virtual std::string Commit() = 0;
  // Gives the image up and removes its temporary file, quietly.
  virtual void Abort() = 0;
};

// What the module exports, by this name.
using NewImageEncoderFunction = ImageEncoder* (*)();
inline constexpr const char* kNewImageEncoderSymbol = "TamrelNewImageEncoder";

// A new encoder from the module, which is loaded on first use: $TAMREL_IMAGE_MODULE, else
// tamrel_images.so beside the running program, else the one this build made. Null, with the
// reason in error, when the module cannot be loaded.
std::unique_ptr<ImageEncoder> NewImageEncoder(std::string& error);

}  // namespace tamrel::host
