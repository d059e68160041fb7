#include "engine/ImageFile.h"


#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;

std::string LowerExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
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
  std::vector<float> encoded;
  if (encode_) {
    encoded.assign(pixels, pixels + count);
    const int colourChannels = std::min(channels_, 3);
    for (std::size_t i = 0; i < count; ++i) {
      if (static_cast<int>(i % channels_) < colourChannels) encoded[i] = LinearToSrgb(encoded[i]);
    }
    data = encoded.data();
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
  std::vector<std::string> committed;
  for (const auto& w : writers) {
    if (std::string why = w->Commit(); !why.empty()) {
      for (const std::string& p : committed) {
        std::error_code ec;
        std::filesystem::remove(p, ec);
      }
      return why;
    }
    committed.push_back(w->path());
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
