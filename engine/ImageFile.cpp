#include "engine/ImageFile.h"


#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "atomicfile.h"
#include "engine/LowerCase.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;

std::string LowerExtension(const std::string& path) {
  return LowerAscii(fs::path(path).extension().string());
}

struct FormatInfo {
  const char* extensions[3];
  const char* name;
  PixelType colourDefault, dataDefault;
  PixelType allowed[3];
};

constexpr FormatInfo kFormats[] = {
    {{".png", nullptr, nullptr},
     "PNG",
     PixelType::UINT8,
     PixelType::UINT16,
     {PixelType::UINT8, PixelType::UINT16, PixelType::DEFAULT}},
    {{".exr", nullptr, nullptr},
     "OpenEXR",
     PixelType::HALF,
     PixelType::FLOAT,
     {PixelType::HALF, PixelType::FLOAT, PixelType::DEFAULT}},
    {{".tif", ".tiff", nullptr},
     "TIFF",
     PixelType::UINT8,
     PixelType::UINT16,
     {PixelType::UINT8, PixelType::UINT16, PixelType::FLOAT}},
};

const FormatInfo* FindFormat(const std::string& ext) {
  for (const FormatInfo& f : kFormats) {
    for (const char* e : f.extensions) {
      if (e && ext == e) return &f;
    }
  }
  return nullptr;
}

// A second name for the regular file at target, beside it: a hard link under a name like an
// atomic file's temporary, so that anything left by a killed process reads as one. Empty when the
// file system cannot link, or on any other failure.
fs::path KeepPrevious(const fs::path& target) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::random_device random;
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::uint64_t x = (static_cast<std::uint64_t>(random()) << 32) ^ random();
    std::string name = ".tmrl-";
    for (int c = 0; c < 6; ++c, x /= 62) name += kLetters[x % 62];
    const fs::path keep = dir / name;
    if (::link(target.c_str(), keep.c_str()) == 0) return keep;
    if (errno != EEXIST) return {};
  }
  return {};
}

bool IsInteger(PixelType t) {
  return t == PixelType::UINT8 || t == PixelType::UINT16;
}

}  // namespace

bool ParsePixelType(const std::string& name, PixelType& type) {
  static const std::pair<const char*, PixelType> kNames[] = {{"uint8", PixelType::UINT8},
                                                             {"uint16", PixelType::UINT16},
                                                             {"half", PixelType::HALF},
                                                             {"float", PixelType::FLOAT}};
  for (const auto& [n, t] : kNames) {
    if (name == n) {
      type = t;
      return true;
    }
  }
  return false;
}

const char* PixelTypeName(PixelType type) {
  switch (type) {
    case PixelType::UINT8:
      return "uint8";
    case PixelType::UINT16:
      return "uint16";
    case PixelType::HALF:
      return "half";
    case PixelType::FLOAT:
      return "float";
    default:
      return "default";
  }
}

std::string ResolvePixelType(const std::string& path, const ImageFileOptions& options,
                             PixelType& resolved) {
  const std::string ext = LowerExtension(path);
  const FormatInfo* format = FindFormat(ext);
  if (!format) {
    return "unknown image format '" + (ext.empty() ? std::string("(no extension)") : ext) +
           "' for " + path + " (use .png, .exr, .tif or .tiff)";
  }
  if (options.type == PixelType::DEFAULT) {
    resolved = options.data ? format->dataDefault : format->colourDefault;
    return {};
  }
  std::string allowed;
  for (PixelType t : format->allowed) {
    if (t == PixelType::DEFAULT) continue;
    if (t == options.type) {
      resolved = t;
      return {};
    }
    allowed += (allowed.empty() ? "" : ", ") + std::string(PixelTypeName(t));
  }
  return std::string(format->name) + " cannot hold " + PixelTypeName(options.type) +
         " pixels (it takes " + allowed + ")";
}

float LinearToSrgb(float v) {
  if (!(v > 0.0f)) return 0.0f;
  if (v >= 1.0f) return 1.0f;
  return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

std::string ImageFileWriter::Fail(const std::string& what) {
  const std::string message =
      "cannot write " + path_ + ": " + (what.empty() ? std::string("the writer failed") : what);
  Abort();
  return message;
}

std::string ImageFileWriter::Open(const std::string& path, int width, int height, int channels,
                                  const ImageFileOptions& options) {
  Abort();
  path_ = path;
  if (std::string error = ResolvePixelType(path, options, type_); !error.empty()) return error;
  if (width <= 0 || height <= 0 || channels <= 0) return "nothing to write: the image is empty";
  if (options.compression < 0 || options.compression > kMaxPngCompression) {
    return "the PNG compression level must be from 0 to " + std::to_string(kMaxPngCompression) +
           ", not " + std::to_string(options.compression);
  }
  width_ = width;
  height_ = height;
  channels_ = channels;
  nextRow_ = 0;
  closed_ = false;
  // Integer files of colour carry sRGB-encoded values; alpha and data stay linear.
  encode_ = IsInteger(type_) && !options.data;
  std::string error;
  encoder_ = NewImageEncoder(error);
  if (!encoder_) return Fail(error);
  if (std::string why =
          encoder_->Open(path, width, height, channels, type_, encode_, options.compression,
                         options.metadata);
      !why.empty()) {
    return Fail(why);
  }
  return {};
}

std::string ImageFileWriter::WriteRows(int y0, int y1, const float* pixels) {
  if (!encoder_ || closed_) return "cannot write " + path_ + ": the file is not open";
  if (y0 != nextRow_ || y1 < y0 || y1 > height_) {
    return Fail("rows " + std::to_string(y0) + ".." + std::to_string(y1) + " out of order");
  }
  const std::size_t count = static_cast<std::size_t>(y1 - y0) * width_ * channels_;
  const float* data = pixels;
  if (encode_) {
    // The colour channels of each pixel encoded, alpha copied.
    encoded_.assign(pixels, pixels + count);
    const int colourChannels = std::min(channels_, 3);
    // Most pixels of a map away from its scratches are one colour: a channel whose value is the
    // bits of the one before it in that channel takes its encoding again. Each channel starts
    // from +0, whose encoding is +0.
    std::uint32_t lastIn[3] = {}, lastOut[3] = {};
    for (std::size_t i = 0; i < count; i += static_cast<std::size_t>(channels_)) {
      for (int c = 0; c < colourChannels; ++c) {
        float& v = encoded_[i + c];
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        if (bits != lastIn[c]) {
          lastIn[c] = bits;
          const float e = LinearToSrgb(v);
          std::memcpy(&lastOut[c], &e, sizeof e);
        }
        std::memcpy(&v, &lastOut[c], sizeof v);
      }
    }
    data = encoded_.data();
  }
  if (y1 > y0) {
    if (std::string why = encoder_->WriteRows(y0, y1, data); !why.empty()) return Fail(why);
  }
  nextRow_ = y1;
  return {};
}

std::string ImageFileWriter::Close() {
  if (!encoder_ || closed_) return "cannot write " + path_ + ": the file is not open";
  if (nextRow_ != height_) return Fail("the image is incomplete");
  if (std::string why = encoder_->Close(); !why.empty()) return Fail(why);
  closed_ = true;
  return {};
}

std::string ImageFileWriter::Commit() {
  if (!closed_) {
    if (std::string error = Close(); !error.empty()) return error;
  }
  if (std::string why = encoder_->Commit(); !why.empty()) return Fail(why);
  encoder_.reset();
  closed_ = false;
  return {};
}

void ImageFileWriter::Abort() {
  if (encoder_) encoder_->Abort();
  encoder_.reset();
  closed_ = false;
}

std::string CloseAndCommitAll(const std::vector<std::unique_ptr<ImageFileWriter>>& writers) {
  for (const auto& w : writers) {
    if (std::string why = w->Close(); !why.empty()) return why;
  }
  // Each file that a later one of the set could still undo keeps its previous content under a
  // second name (a hard link beside it) until the whole set is in place; a set that fails part
  // way puts those back and removes the new files that replaced nothing. One file alone is
  // replaced atomically by its rename and needs none of this.
  struct Placed {
    fs::path target;  // where the new file went, past any symbolic links
    fs::path kept;    // the previous file's second name, or empty when there was none
  };
  std::vector<Placed> placed;
  for (std::size_t i = 0; i < writers.size(); ++i) {
    const auto& w = writers[i];
    Placed p{w->path(), {}};
    if (!FollowSymbolicLinks(p.target)) p.target = w->path();
    std::error_code ec;
    if (i + 1 < writers.size() && fs::is_regular_file(p.target, ec)) {
      p.kept = KeepPrevious(p.target);
    }
    if (std::string why = w->Commit(); !why.empty()) {
      std::error_code ignored;
      if (!p.kept.empty()) fs::remove(p.kept, ignored);
      for (const Placed& q : placed) {
        if (q.kept.empty()) {
          fs::remove(q.target, ignored);
        } else {
          fs::rename(q.kept, q.target, ignored);
        }
      }
      placed.clear();
      return why;
    }
    placed.push_back(std::move(p));
  }
  for (const Placed& p : placed) {
    std::error_code ec;
    if (!p.kept.empty()) fs::remove(p.kept, ec);
  }
  return {};
}

std::string WriteImageFile(const std::string& path, const Raster& raster,
                           const ImageFileOptions& options) {
  if (raster.width <= 0 || raster.height <= 0 || raster.channels <= 0) {
    PixelType type;
    if (std::string error = ResolvePixelType(path, options, type); !error.empty()) return error;
    return "nothing to write: the image is empty";
  }
  ImageFileWriter writer;
  if (std::string e = writer.Open(path, raster.width, raster.height, raster.channels, options);
      !e.empty()) {
    return e;
  }
  if (std::string e = writer.WriteRows(0, raster.height, raster.pixels.data()); !e.empty())
    return e;
  return writer.Commit();
}

}  // namespace tamrel::host
