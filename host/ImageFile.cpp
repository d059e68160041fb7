#include "host/ImageFile.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "atomicfile.h"

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
    {{".png", nullptr, nullptr}, "PNG", PixelType::UINT8, PixelType::UINT16,
     {PixelType::UINT8, PixelType::UINT16, PixelType::DEFAULT}},
    {{".exr", nullptr, nullptr}, "OpenEXR", PixelType::HALF, PixelType::FLOAT,
     {PixelType::HALF, PixelType::FLOAT, PixelType::DEFAULT}},
    {{".tif", ".tiff", nullptr}, "TIFF", PixelType::UINT8, PixelType::UINT16,
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

OIIO::TypeDesc ToTypeDesc(PixelType t) {
  switch (t) {
    case PixelType::UINT8:
      return OIIO::TypeDesc::UINT8;
    case PixelType::UINT16:
      return OIIO::TypeDesc::UINT16;
    case PixelType::HALF:
      return OIIO::TypeDesc::HALF;
    default:
      return OIIO::TypeDesc::FLOAT;
  }
}

bool IsInteger(PixelType t) { return t == PixelType::UINT8 || t == PixelType::UINT16; }

// The writers' output, straight into an AtomicFile. Some writers do not check what their writes
// return, so a short write on a full disk is remembered here and fails the image afterwards.
class AtomicFileProxy final : public OIIO::Filesystem::IOProxy {
 public:
  explicit AtomicFileProxy(AtomicFile& file)
      : IOProxy(file.TempPath().string(), IOProxy::Write), file_(file) {}
  const char* proxytype() const override { return "tamrel-atomic"; }
  size_t write(const void* buf, size_t size) override {
    const size_t n = pwrite(buf, size, m_pos);
    m_pos += static_cast<int64_t>(n);
    return n;
  }
  size_t pwrite(const void* buf, size_t size, int64_t offset) override {
    if (!failure_.empty()) return 0;
    if (!file_.WriteAt(buf, size, offset, failure_)) return 0;
    size_ = std::max<int64_t>(size_, offset + static_cast<int64_t>(size));
    return size;
  }
  size_t size() const override { return static_cast<size_t>(size_); }
  const std::string& failure() const { return failure_; }

 private:
  AtomicFile& file_;
  int64_t size_ = 0;
  std::string failure_;
};

// The date and time the formats carry: SOURCE_DATE_EPOCH when set, as reproducible builds do,
// else the start of that epoch, so that the same bake gives the same bytes.
std::string ReproducibleDateTime() {
  std::time_t when = 0;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    char* end = nullptr;
    const long long v = std::strtoll(epoch, &end, 10);
    if (end && *end == '\0' && v >= 0 && v <= 253402300799LL) when = static_cast<std::time_t>(v);
  }
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &utc);
  return text;
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

std::string WriteImageFile(const std::string& path, const Raster& raster,
                           const ImageFileOptions& options) {
  PixelType type;
  if (std::string error = ResolvePixelType(path, options, type); !error.empty()) return error;
  if (raster.width <= 0 || raster.height <= 0 || raster.channels <= 0) {
    return "nothing to write: the image is empty";
  }

  // Integer files of colour carry sRGB-encoded values; alpha and data stay linear.
  const bool encode = IsInteger(type) && !options.data;
  std::vector<float> pixels = raster.pixels;
  if (encode) {
    const int colourChannels = std::min(raster.channels, 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      if (static_cast<int>(i % raster.channels) < colourChannels) {
        pixels[i] = LinearToSrgb(pixels[i]);
      }
    }
  }

  OIIO::ImageSpec header(raster.width, raster.height, raster.channels, ToTypeDesc(type));
  if (raster.channels == 4) {
    header.alpha_channel = 3;
    // The values are written as they are; formats that store unassociated alpha (PNG) must not
    // divide them by alpha on the way out.
    header.attribute("oiio:UnassociatedAlpha", 1);
  }
  header.attribute("oiio:ColorSpace", encode ? "sRGB" : "Linear");
  for (const auto& [key, value] : options.metadata) header.attribute(key, value);

  header.attribute("DateTime", ReproducibleDateTime());

  AtomicFile file;
  std::string error;
  if (!file.Create(path, error)) return "cannot write " + path + ": " + error;
  auto out = OIIO::ImageOutput::create(path);
  if (!out) return "cannot write " + path + ": " + OIIO::geterror();
  // libtiff checks every write itself and reads its file back while writing it, which the proxy
  // does not serve faithfully; it writes to the temporary file by name.
  AtomicFileProxy proxy(file);
  const bool viaProxy = std::string_view(out->format_name()) != "tiff";
  if (viaProxy && !out->set_ioproxy(&proxy)) {
    return "cannot write " + path + ": " + out->geterror();
  }
  auto fail = [&](std::string what) {
    if (!proxy.failure().empty()) return "cannot write " + path + ": " + proxy.failure();
    return "cannot write " + path + ": " + (what.empty() ? "the writer failed" : what);
  };
  if (!out->open(file.TempPath().string(), header)) return fail(out->geterror());
  if (!out->write_image(OIIO::TypeDesc::FLOAT, pixels.data())) {
    const std::string e = out->geterror();
    out->close();
    return fail(e);
  }
  if (!out->close()) return fail(out->geterror());
  out.reset();
  if (!proxy.failure().empty()) return "cannot write " + path + ": " + proxy.failure();
  if (!file.Commit(error)) return "cannot write " + path + ": " + error;
  return {};
}

}  // namespace tamrel::host
