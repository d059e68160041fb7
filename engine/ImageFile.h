// Writing rasters to image files: the format from the file name's extension, the pixel type
// checked against what the format can hold, colour encoded to sRGB where an integer format
// expects it, data left linear, and the file replaced only once it is complete. The formats
// themselves are written by the image module (ImageEncoder.h), loaded on first use.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/ImageEncoder.h"
#include "engine/RenderEngine.h"

namespace tamrel::host {


// Parses "uint8", "uint16", "half", "float"; false for anything else.
bool ParsePixelType(const std::string& name, PixelType& type);
const char* PixelTypeName(PixelType type);

// PNG's zlib level when none is asked: the last of zlib's fast levels. A 4096 x 4096 colour bake
// is written in about 0.27 s at 1 to 3 and 0.42 s at 6 (2.2 s at 9), and 3 is the smallest of
// the fast ones (1.55 MB against 1.70 MB at 1 and 1.12 MB at 6); the height map's sizes hardly
// move until 4. Previews and bakes alike are written without waiting on zlib.
inline constexpr int kDefaultPngCompression = 3;
inline constexpr int kMaxPngCompression = 9;

struct ImageFileOptions {
  PixelType type = PixelType::DEFAULT;  // DEFAULT: the format's usual type for colour or data
  bool data = false;  // true: values are data (mono, height, normal), written and tagged linear
  // PNG's zlib level, 0 (stored) to 9 (smallest, slowest); EXR and TIFF keep their lossless
  // compression whatever it says.
  int compression = kDefaultPngCompression;
  std::vector<std::pair<std::string, std::string>> metadata;  // string attributes to embed
};

// The pixel type a file of this name gets: the requested one, or the format's default. Empty
// error when the format can hold it; otherwise a one-line message naming the problem.
std::string ResolvePixelType(const std::string& path, const ImageFileOptions& options,
                             PixelType& resolved);

// Writes one image band by band, so that memory does not grow with the image: rows go to a
// temporary file beside the target, top to bottom, and Commit renames it over the target once it
// is complete. A writer destroyed before Commit removes its temporary file.
class ImageFileWriter {
 public:
  ImageFileWriter() = default;
  ImageFileWriter(const ImageFileWriter&) = delete;
  ImageFileWriter& operator=(const ImageFileWriter&) = delete;
  ~ImageFileWriter() { Abort(); }

  // Each returns an empty string on success, else a one-line error (and the writer is aborted).
  std::string Open(const std::string& path, int width, int height, int channels,
                   const ImageFileOptions& options);
  // Rows y0 .. y1-1 of channels-interleaved floats; y0 must be the first row not yet written.
  std::string WriteRows(int y0, int y1, const float* pixels);
  // Closes the file; the image is complete but still under its temporary name.
  std::string Close();
  // Renames the closed file into place.
  std::string Commit();
  // Removes the temporary file, if any.
  void Abort();

  const std::string& path() const { return path_; }
  PixelType type() const { return type_; }
  bool encoded() const { return encode_; }  // integer colour, stored sRGB-encoded

 private:
  std::string Fail(const std::string& what);

  std::unique_ptr<ImageEncoder> encoder_;
  std::string path_;
  int width_ = 0, height_ = 0, channels_ = 0, nextRow_ = 0;
  PixelType type_ = PixelType::DEFAULT;
  bool encode_ = false, closed_ = false;
  std::vector<float> encoded_;  // a band's sRGB-encoded copy, kept from band to band
};

// Closes every writer, then renames each file into place, so that files written together are all
// complete before any of them replaces one; a rename that fails puts back the files the set had
// already replaced and removes those it had added, so that no set is left half new and half old
// and nothing the set replaced is lost. Empty on success, else a one-line error.
std::string CloseAndCommitAll(const std::vector<std::unique_ptr<ImageFileWriter>>& writers);

// Writes the raster to path. The pixels go to a temporary file beside it, renamed over path only
// when complete, so a failed write never leaves a partial image or loses an existing one. Returns
// an empty string on success, else a one-line error.
std::string WriteImageFile(const std::string& path, const Raster& raster,
                           const ImageFileOptions& options);

// The sRGB transfer function, for values in [0, 1].
float LinearToSrgb(float v);

}  // namespace tamrel::host
