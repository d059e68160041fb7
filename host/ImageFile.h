// Writing rasters to image files through OpenImageIO: the format from the file name's extension,
// the pixel type checked against what the format can hold, colour encoded to sRGB where an
// integer format expects it, data left linear, and the file replaced only once it is complete.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/RenderEngine.h"

namespace tamrel::host {

enum class PixelType { DEFAULT, UINT8, UINT16, HALF, FLOAT };

// Parses "uint8", "uint16", "half", "float"; false for anything else.
bool ParsePixelType(const std::string& name, PixelType& type);
const char* PixelTypeName(PixelType type);

struct ImageFileOptions {
  PixelType type = PixelType::DEFAULT;  // DEFAULT: the format's usual type for colour or data
  bool data = false;  // true: values are data (mono, height, normal), written and tagged linear
  std::vector<std::pair<std::string, std::string>> metadata;  // string attributes to embed
};

// The pixel type a file of this name gets: the requested one, or the format's default. Empty
// error when the format can hold it; otherwise a one-line message naming the problem.
std::string ResolvePixelType(const std::string& path, const ImageFileOptions& options,
                             PixelType& resolved);

// Writes the raster to path. The pixels go to a temporary file beside it, renamed over path only
// when complete, so a failed write never leaves a partial image or loses an existing one. Returns
// an empty string on success, else a one-line error.
std::string WriteImageFile(const std::string& path, const Raster& raster,
                           const ImageFileOptions& options);

// The sRGB transfer function, for values in [0, 1].
float LinearToSrgb(float v);

}  // namespace tamrel::host
