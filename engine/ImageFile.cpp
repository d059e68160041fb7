#include "engine/ImageFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
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

bool IsInteger(PixelType t) {
  return t == PixelType::UINT8 || t == PixelType::UINT16;
}

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

struct ImageFileWriter::Output {
  AtomicFile file;
  std::unique_ptr<AtomicFileProxy> proxy;
  std::unique_ptr<OIIO::ImageOutput> image;
};

std::string ImageFileWriter::Fail(const std::string& what) {
  std::string reason = what.empty() ? "the writer failed" : what;
  if (out_ && out_->proxy && !out_->proxy->failure().empty()) reason = out_->proxy->failure();
  const std::string message = "cannot write " + path_ + ": " + reason;
  Abort();
  return message;
}

std::string ImageFileWriter::Open(const std::string& path, int width, int height, int channels,
                                  const ImageFileOptions& options) {
  Abort();
  path_ = path;
  if (std::string error = ResolvePixelType(path, options, type_); !error.empty()) return error;
  if (width <= 0 || height <= 0 || channels <= 0) return "nothing to write: the image is empty";
  width_ = width;
  height_ = height;
  channels_ = channels;
  nextRow_ = 0;
  closed_ = false;
  // Integer files of colour carry sRGB-encoded values; alpha and data stay linear.
  encode_ = IsInteger(type_) && !options.data;

  OIIO::ImageSpec header(width, height, channels, ToTypeDesc(type_));
  if (channels == 4) {
    header.alpha_channel = 3;
    // The values are written as they are; formats that store unassociated alpha (PNG) must not
    // divide them by alpha on the way out.
    header.attribute("oiio:UnassociatedAlpha", 1);
  }
  header.attribute("oiio:ColorSpace", encode_ ? "sRGB" : "Linear");
  for (const auto& [key, value] : options.metadata) header.attribute(key, value);
  header.attribute("DateTime", ReproducibleDateTime());

  out_ = std::make_shared<Output>();
  std::string error;
  if (!out_->file.Create(path, error)) {
    out_.reset();
    return "cannot write " + path + ": " + error;
  }
  out_->image = OIIO::ImageOutput::create(path);
  if (!out_->image) return Fail(OIIO::geterror());
  // libtiff checks every write itself and reads its file back while writing it, which the proxy
  // does not serve faithfully; it writes to the temporary file by name.
  if (std::string_view(out_->image->format_name()) != "tiff") {
    out_->proxy = std::make_unique<AtomicFileProxy>(out_->file);
    if (!out_->image->set_ioproxy(out_->proxy.get())) return Fail(out_->image->geterror());
  }
  if (!out_->image->open(out_->file.TempPath().string(), header)) {
    return Fail(out_->image->geterror());
  }
  return {};
}

std::string ImageFileWriter::WriteRows(int y0, int y1, const float* pixels) {
  if (!out_ || closed_) return "cannot write " + path_ + ": the file is not open";
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
  if (y1 > y0 && !out_->image->write_scanlines(y0, y1, 0, OIIO::TypeDesc::FLOAT, data)) {
    return Fail(out_->image->geterror());
  }
  // A short write (a full disk) is reported by Close, once every row has gone out: closing a
  // half-written PNG makes libpng complain on its own.
  nextRow_ = y1;
  return {};
}

std::string ImageFileWriter::Close() {
  if (!out_ || closed_) return "cannot write " + path_ + ": the file is not open";
  if (nextRow_ != height_) return Fail("the image is incomplete");
  if (!out_->image->close()) return Fail(out_->image->geterror());
  out_->image.reset();
  if (out_->proxy && !out_->proxy->failure().empty()) return Fail({});
  closed_ = true;
  return {};
}

std::string ImageFileWriter::Commit() {
  if (!closed_) {
    if (std::string error = Close(); !error.empty()) return error;
  }
  std::string error;
  if (!out_->file.Commit(error)) return Fail(error);
  out_.reset();
  closed_ = false;
  return {};
}

void ImageFileWriter::Abort() {
  if (out_ && out_->image) {
    if (std::string_view(out_->image->format_name()) == "png") {
      // libpng cannot end a file whose compressed rows have not filled a chunk yet, and says so
      // on standard error itself, past any handler. The file is being thrown away and tamrel
      // reports why in its own words, so that line is kept off the terminal.
      static std::mutex quiet;
      const std::lock_guard lock(quiet);
      std::fflush(stderr);
      const int saved = ::dup(STDERR_FILENO);
      const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
      if (saved >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
      out_->image->close();
      std::fflush(stderr);
      if (saved >= 0 && null >= 0) ::dup2(saved, STDERR_FILENO);
      if (null >= 0) ::close(null);
      if (saved >= 0) ::close(saved);
    } else {
      out_->image->close();
    }
  }
  if (out_) {
    out_->image.reset();
    out_->file.Discard();
  }
  out_.reset();
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
