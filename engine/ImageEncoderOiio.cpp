// The image encoder module: images written through OpenImageIO into an AtomicFile. tamrel loads
// it the first time it writes an image (see ImageEncoder.h).
#include <fcntl.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string_view>

#include "atomicfile.h"
#include "engine/ImageEncoder.h"

namespace tamrel::host {
namespace {

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

class OiioEncoder final : public ImageEncoder {
 public:
  ~OiioEncoder() override { Abort(); }

  std::string Open(const std::string& path, int width, int height, int channels, PixelType type,
                   bool encoded,
                   const std::vector<std::pair<std::string, std::string>>& metadata) override {
    OIIO::ImageSpec header(width, height, channels, ToTypeDesc(type));
    if (channels == 4) {
      header.alpha_channel = 3;
      // The values are written as they are; formats that store unassociated alpha (PNG) must
      // not divide them by alpha on the way out.
      header.attribute("oiio:UnassociatedAlpha", 1);
    }
    header.attribute("oiio:ColorSpace", encoded ? "sRGB" : "Linear");
    for (const auto& [key, value] : metadata) header.attribute(key, value);
    header.attribute("DateTime", ReproducibleDateTime());

    std::string error;
    if (!file_.Create(path, error)) return error;
    image_ = OIIO::ImageOutput::create(path);
    if (!image_) return Reason(OIIO::geterror());
    // libtiff checks every write itself and reads its file back while writing it, which the
    // proxy does not serve faithfully; it writes to the temporary file by name.
    if (std::string_view(image_->format_name()) != "tiff") {
      proxy_ = std::make_unique<AtomicFileProxy>(file_);
      if (!image_->set_ioproxy(proxy_.get())) return Reason(image_->geterror());
    }
    if (!image_->open(file_.TempPath().string(), header)) return Reason(image_->geterror());
    return {};
  }

  std::string WriteRows(int y0, int y1, const float* pixels) override {
    // A short write (a full disk) is reported by Close, once every row has gone out: closing a
    // half-written PNG makes libpng complain on its own.
    if (!image_->write_scanlines(y0, y1, 0, OIIO::TypeDesc::FLOAT, pixels)) {
      return Reason(image_->geterror());
    }
    return {};
  }

  std::string Close() override {
    if (!image_->close()) return Reason(image_->geterror());
    image_.reset();
    if (proxy_ && !proxy_->failure().empty()) return Reason({});
    return {};
  }

  std::string Commit() override {
    std::string error;
    return file_.Commit(error) ? std::string() : error;
  }

  void Abort() override {
    if (image_) {
      if (std::string_view(image_->format_name()) == "png") {
        // libpng cannot end a file whose compressed rows have not filled a chunk yet, and says
        // so on standard error itself, past any handler. The file is being thrown away and
        // tamrel reports why in its own words, so that line is kept off the terminal.
        static std::mutex quiet;
        const std::lock_guard lock(quiet);
        std::fflush(stderr);
        const int saved = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        image_->close();
        std::fflush(stderr);
        if (saved >= 0 && null >= 0) ::dup2(saved, STDERR_FILENO);
        if (null >= 0) ::close(null);
        if (saved >= 0) ::close(saved);
      } else {
        image_->close();
      }
    }
    image_.reset();
    file_.Discard();
  }

 private:
  // A failing writer's own word, unless a short write came first: that is the real reason.
  std::string Reason(const std::string& what) const {
    if (proxy_ && !proxy_->failure().empty()) return proxy_->failure();
    return what.empty() ? "the writer failed" : what;
  }

  AtomicFile file_;
  std::unique_ptr<AtomicFileProxy> proxy_;
  std::unique_ptr<OIIO::ImageOutput> image_;
};

}  // namespace
}  // namespace tamrel::host

extern "C" __attribute__((visibility("default"))) tamrel::host::ImageEncoder*
TamrelNewImageEncoder() {
  return new tamrel::host::OiioEncoder();
}
