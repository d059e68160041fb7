// The image encoder module: PNG through libpng, TIFF through libtiff and OpenEXR through its own
// library, each writing into an AtomicFile. tamrel loads it the first time it writes an image
// (see ImageEncoder.h); the three libraries and what they need load in a few milliseconds.
//
// What each file carries is what the readers of these files expect of a texture: the colour
// space (PNG's sRGB/gAMA/cHRM chunks and an "oiio:ColorSpace" text, TIFF's Exif colour space,
// nothing in EXR, which is linear), the metadata as the format names it (ImageDescription is
// PNG's "Description" text and EXR's "comments"), and the date as PNG's tIME, TIFF's DateTime
// and EXR's capDate. Alpha is stored unassociated, as the values arrive.
#include <png.h>
#include <setjmp.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "atomicfile.h"
#include "engine/ImageEncoder.h"
#include "engine/LowerCase.h"

namespace tamrel::host {
namespace {

using Metadata = std::vector<std::pair<std::string, std::string>>;

// The date and time the formats carry: SOURCE_DATE_EPOCH when set, as reproducible builds do,
// else the start of that epoch, so that the same bake gives the same bytes.
std::tm ReproducibleTime() {
  std::time_t when = 0;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    char* end = nullptr;
    const long long v = std::strtoll(epoch, &end, 10);
    if (end && *end == '\0' && v >= 0 && v <= 253402300799LL) when = static_cast<std::time_t>(v);
  }
  std::tm utc{};
  gmtime_r(&when, &utc);
  return utc;
}

// "YYYY:MM:DD HH:MM:SS", as TIFF's DateTime and EXR's capDate write it.
std::string DateTimeText(const std::tm& t) {
  char text[32];
  std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &t);
  return text;
}

// Integer samples from floats: scaled, rounded half up, clamped; NaN is 0.
inline float Quantize(float v, float top) {
  const float s = v * top + 0.5f;
  return s >= 0.0f ? (s <= top ? s : top) : 0.0f;
}

void Quantize8(const float* pixels, std::size_t count, std::uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i)
    out[i] = static_cast<std::uint8_t>(Quantize(pixels[i], 255.0f));
}

// PNG stores 16-bit samples big-endian.
void QuantizeBigEndian16(const float* pixels, std::size_t count, std::uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto v = static_cast<std::uint16_t>(Quantize(pixels[i], 65535.0f));
    out[2 * i] = static_cast<std::uint8_t>(v >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(v & 0xff);
  }
}

// ---------------------------------------------------------------------------------------------
// PNG

class PngEncoder final : public ImageEncoder {
 public:
  ~PngEncoder() override { Abort(); }

  std::string Open(const std::string& path, int width, int height, int channels, PixelType type,
                   bool encoded, int compression, const Metadata& metadata) override {
    if (channels < 1 || channels > 4) {
      return "PNG holds 1 to 4 channels, not " + std::to_string(channels);
    }
    if (compression < 0 || compression > 9) {
      return "the PNG compression level must be from 0 to 9, not " + std::to_string(compression);
    }
    compression_ = compression;
    width_ = width;
    channels_ = channels;
    sixteen_ = type == PixelType::UINT16;
    std::string error;
    if (!file_.Create(path, error)) return error;
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, &PngEncoder::OnError,
                                   &PngEncoder::OnWarning);
    if (png_) info_ = png_create_info_struct(png_);
    if (!png_ || !info_) return "out of memory";
    row_.resize(static_cast<std::size_t>(width) * channels * (sixteen_ ? 2 : 1));

    // Text chunks keep pointers until png_write_info: they point into these strings.
    texts_.clear();
    chunks_.clear();
    texts_.emplace_back("oiio:ColorSpace", encoded ? "sRGB" : "Linear");
    for (const auto& [key, value] : metadata) {
      const std::string k = LowerAscii(key);
      if (k == "imagedescription" || k == "description") {
        texts_.emplace_back("Description", value);
      } else if (k == "artist") {
        texts_.emplace_back("Author", value);
      } else if (k == "documentname" || k == "name") {
        texts_.emplace_back("Title", value);
      } else {
        texts_.emplace_back(key, value);
      }
    }
    chunks_.resize(texts_.size());
    for (std::size_t i = 0; i < texts_.size(); ++i) {
      chunks_[i].compression = PNG_TEXT_COMPRESSION_NONE;
      chunks_[i].key = texts_[i].first.data();
      chunks_[i].text = texts_[i].second.data();
      chunks_[i].text_length = texts_[i].second.size();
    }
    const std::tm when = ReproducibleTime();
    return Guarded([&] {
      static const int kColourType[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                        PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
      png_set_write_fn(png_, this, &PngEncoder::OnWrite, &PngEncoder::OnFlush);
      png_set_IHDR(png_, info_, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                   sixteen_ ? 16 : 8, kColourType[channels - 1], PNG_INTERLACE_NONE,
                   PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
      png_set_compression_level(png_, compression_);
      png_set_filter(png_, PNG_FILTER_TYPE_BASE, kPngFilters);
      if (encoded) {
        png_set_sRGB_gAMA_and_cHRM(png_, info_, PNG_sRGB_INTENT_ABSOLUTE);
      } else {
        png_set_gAMA(png_, info_, 1.0);
      }
      png_set_oFFs(png_, info_, 0, 0, PNG_OFFSET_PIXEL);
      png_time t{};
      t.year = static_cast<png_uint_16>(when.tm_year + 1900);
      t.month = static_cast<png_byte>(when.tm_mon + 1);
      t.day = static_cast<png_byte>(when.tm_mday);
      t.hour = static_cast<png_byte>(when.tm_hour);
      t.minute = static_cast<png_byte>(when.tm_min);
      t.second = static_cast<png_byte>(when.tm_sec);
      png_set_tIME(png_, info_, &t);
      png_set_text(png_, info_, chunks_.data(), static_cast<int>(chunks_.size()));
      png_write_info(png_, info_);
    });
  }

  std::string WriteRows(int y0, int y1, const float* pixels) override {
    const std::size_t count = static_cast<std::size_t>(width_) * channels_;
    for (int y = y0; y < y1; ++y, pixels += count) {
      // The samples are converted outside the guarded call, whose setjmp would keep the loop
      // from being vectorised.
      if (sixteen_) {
        QuantizeBigEndian16(pixels, count, row_.data());
      } else {
        Quantize8(pixels, count, row_.data());
      }
      std::string error = Guarded([&] { png_write_row(png_, row_.data()); });
      if (!error.empty()) return error;
    }
    return {};
  }

  std::string Close() override {
    std::string why = Guarded([&] { png_write_end(png_, nullptr); });
    Release();
    return why;
  }

  std::string Commit() override {
    std::string error;
    return file_.Commit(error) ? std::string() : error;
  }

  void Abort() override {
    Release();
    file_.Discard();
  }

  // Each sample less its left neighbour. On 4096 x 4096 bakes it gave the smallest colour files
  // of the single filters and of libpng's adaptive choice among all five (which takes twice as
  // long, trying each on every row), and height files within 1 % of the smallest (no filter).
  static constexpr int kPngFilters = PNG_FILTER_SUB;

 private:
  // Runs a series of libpng calls; a libpng error (or a failed write) jumps back here. Nothing
  // in body may own memory across a libpng call, since the jump skips its destructors.
  template <typename Body>
  std::string Guarded(const Body& body) {
    if (!png_) return "the file is not open";
    if (!failure_.empty()) return failure_;
    if (setjmp(png_jmpbuf(png_))) {
      if (failure_.empty()) failure_ = "the PNG writer failed";
      return failure_;
    }
    body();
    return {};
  }

  void Release() {
    if (png_) png_destroy_write_struct(&png_, info_ ? &info_ : nullptr);
    png_ = nullptr;
    info_ = nullptr;
  }

  static void OnError(png_structp png, png_const_charp message) {
    auto* self = static_cast<PngEncoder*>(png_get_error_ptr(png));
    if (self->failure_.empty()) self->failure_ = message ? message : "the PNG writer failed";
    png_longjmp(png, 1);
  }
  static void OnWarning(png_structp, png_const_charp) {}
  static void OnWrite(png_structp png, png_bytep data, png_size_t size) {
    auto* self = static_cast<PngEncoder*>(png_get_io_ptr(png));
    // The disk's reason is the image's: libpng's own words would only say the write failed.
    // Nothing here owns memory, since png_error jumps over this frame.
    if (!self->file_.Write(data, size, self->failure_)) png_error(png, self->failure_.c_str());
  }
  static void OnFlush(png_structp) {}

  AtomicFile file_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  int compression_ = 0;
  int width_ = 0, channels_ = 0;
  bool sixteen_ = false;
  std::vector<png_byte> row_;
  std::vector<std::pair<std::string, std::string>> texts_;
  std::vector<png_text> chunks_;
  std::string failure_;
};

// ---------------------------------------------------------------------------------------------
// TIFF

// Strips of 32 rows, deflate-compressed with the predictor that suits the samples.
constexpr std::uint32_t kTiffRowsPerStrip = 32;

class TiffEncoder final : public ImageEncoder {
 public:
  ~TiffEncoder() override { Abort(); }

  std::string Open(const std::string& path, int width, int height, int channels, PixelType type,
                   bool encoded, int, const Metadata& metadata) override {
    width_ = width;
    channels_ = channels;
    type_ = type;
    std::string error;
    if (!file_.Create(path, error)) return error;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return "out of memory";
    TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffEncoder::OnError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, &TiffEncoder::OnWarning, this);
    // "m": libtiff reads and writes through the procedures below, never a memory map.
    tif_ = TIFFClientOpenExt(file_.TempPath().c_str(), "wm", this, &TiffEncoder::OnRead,
                             &TiffEncoder::OnWrite, &TiffEncoder::OnSeek, &TiffEncoder::OnClose,
                             &TiffEncoder::OnSize, nullptr, nullptr, options);
    TIFFOpenOptionsFree(options);
    if (!tif_) return Reason();

    const int bits = type == PixelType::UINT8 ? 8 : type == PixelType::UINT16 ? 16 : 32;
    bool ok = TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width)) &&
              TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height)) &&
              TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(channels)) &&
              TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(bits)) &&
              TIFFSetField(tif_, TIFFTAG_SAMPLEFORMAT,
                           static_cast<std::uint16_t>(type == PixelType::FLOAT
                                                          ? SAMPLEFORMAT_IEEEFP
                                                          : SAMPLEFORMAT_UINT)) &&
              TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC,
                           static_cast<std::uint16_t>(channels >= 3 ? PHOTOMETRIC_RGB
                                                                    : PHOTOMETRIC_MINISBLACK)) &&
              TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, static_cast<std::uint16_t>(PLANARCONFIG_CONTIG)) &&
              TIFFSetField(tif_, TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(ORIENTATION_TOPLEFT)) &&
              TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, kTiffRowsPerStrip) &&
              TIFFSetField(tif_, TIFFTAG_COMPRESSION, static_cast<std::uint16_t>(COMPRESSION_ADOBE_DEFLATE)) &&
              TIFFSetField(tif_, TIFFTAG_PREDICTOR,
                           static_cast<std::uint16_t>(type == PixelType::FLOAT
                                                          ? PREDICTOR_FLOATINGPOINT
                                                          : PREDICTOR_HORIZONTAL));
    if (ok && channels == 4) {
      // The fourth sample is alpha, stored as it arrives (not multiplied into the colour).
      const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
      ok = TIFFSetField(tif_, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(1), extra);
    } else if (ok && channels > 4) {
      std::vector<std::uint16_t> extra(static_cast<std::size_t>(channels - 3),
                                       EXTRASAMPLE_UNSPECIFIED);
      extra[0] = EXTRASAMPLE_UNASSALPHA;
      ok = TIFFSetField(tif_, TIFFTAG_EXTRASAMPLES, static_cast<std::uint16_t>(extra.size()),
                        extra.data());
    }
    for (const auto& [key, value] : metadata) {
      const std::string k = LowerAscii(key);
      const ttag_t tag = k == "imagedescription" || k == "description" ? TIFFTAG_IMAGEDESCRIPTION
                         : k == "software"                             ? TIFFTAG_SOFTWARE
                         : k == "artist"                               ? TIFFTAG_ARTIST
                         : k == "copyright"                            ? TIFFTAG_COPYRIGHT
                         : k == "documentname"                         ? TIFFTAG_DOCUMENTNAME
                         : k == "hostcomputer"                         ? TIFFTAG_HOSTCOMPUTER
                                                                       : 0;
      // TIFF has no place for other names; they are left out.
      if (ok && tag) ok = TIFFSetField(tif_, tag, value.c_str());
    }
    if (ok) ok = TIFFSetField(tif_, TIFFTAG_DATETIME, DateTimeText(ReproducibleTime()).c_str());
    srgb_ = encoded;
    if (!ok) return Reason();
    row_.resize(static_cast<std::size_t>(width) * channels * (bits / 8));
    return {};
  }

  std::string WriteRows(int y0, int y1, const float* pixels) override {
    if (!tif_) return "the file is not open";
    const std::size_t count = static_cast<std::size_t>(width_) * channels_;
    for (int y = y0; y < y1; ++y, pixels += count) {
      void* row = row_.data();
      if (type_ == PixelType::UINT8) {
        Quantize8(pixels, count, row_.data());
      } else if (type_ == PixelType::UINT16) {
        for (std::size_t i = 0; i < count; ++i) {
          const auto v = static_cast<std::uint16_t>(Quantize(pixels[i], 65535.0f));
          std::memcpy(row_.data() + 2 * i, &v, 2);
        }
      } else {
        std::memcpy(row, pixels, count * sizeof(float));
      }
      // The predictor works on the buffer in place, so it is always this copy that is given.
      if (TIFFWriteScanline(tif_, row, static_cast<std::uint32_t>(y), 0) < 0) return Reason();
    }
    return {};
  }

  std::string Close() override {
    if (!tif_) return "the file is not open";
    bool ok = TIFFWriteDirectory(tif_) != 0;
    if (ok && srgb_) {
      // The Exif directory after the image, then the main directory again, now pointing to it.
      toff_t exif = 0;
      ok = TIFFCreateEXIFDirectory(tif_) == 0 &&
           TIFFSetField(tif_, EXIFTAG_COLORSPACE, static_cast<std::uint16_t>(1)) &&
           TIFFWriteCustomDirectory(tif_, &exif) && TIFFSetDirectory(tif_, 0) &&
           TIFFSetField(tif_, TIFFTAG_EXIFIFD, exif) && TIFFRewriteDirectory(tif_);
    }
    TIFFClose(tif_);
    tif_ = nullptr;
    if (!ok || !failure_.empty()) return Reason();
    return {};
  }

  std::string Commit() override {
    std::string error;
    return file_.Commit(error) ? std::string() : error;
  }

  void Abort() override {
    if (tif_) {
      // Closing flushes what is pending; the file is thrown away, so any failure is moot.
      quiet_ = true;
      TIFFClose(tif_);
      tif_ = nullptr;
    }
    file_.Discard();
  }

 private:
  // A short write's reason when there was one: it is the real cause of whatever libtiff said.
  std::string Reason() const {
    if (!failure_.empty()) return failure_;
    return message_.empty() ? "the TIFF writer failed" : message_;
  }

  static int OnError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* self = static_cast<TiffEncoder*>(user);
    if (self->message_.empty() && !self->quiet_) {
      char text[512];
      std::vsnprintf(text, sizeof text, format, args);
      self->message_ = module && *module ? std::string(module) + ": " + text : text;
    }
    return 1;  // handled: nothing on standard error
  }
  static int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

  static tmsize_t OnRead(thandle_t handle, void* data, tmsize_t size) {
    auto* self = static_cast<TiffEncoder*>(handle);
    const ssize_t n = ::pread(self->file_.Descriptor(), data, static_cast<std::size_t>(size),
                              static_cast<off_t>(self->position_));
    if (n < 0) return -1;
    self->position_ += static_cast<std::uint64_t>(n);
    return n;
  }
  static tmsize_t OnWrite(thandle_t handle, void* data, tmsize_t size) {
    auto* self = static_cast<TiffEncoder*>(handle);
    if (!self->failure_.empty()) return -1;
    if (!self->file_.WriteAt(data, static_cast<std::size_t>(size),
                             static_cast<long long>(self->position_), self->failure_)) {
      return -1;
    }
    self->position_ += static_cast<std::uint64_t>(size);
    self->size_ = std::max(self->size_, self->position_);
    return size;
  }
  static toff_t OnSeek(thandle_t handle, toff_t offset, int whence) {
    auto* self = static_cast<TiffEncoder*>(handle);
    switch (whence) {
      case SEEK_SET:
        self->position_ = offset;
        break;
      case SEEK_CUR:
        self->position_ += offset;
        break;
      case SEEK_END:
        self->position_ = self->size_ + offset;
        break;
      default:
        return static_cast<toff_t>(-1);
    }
    return self->position_;
  }
  static int OnClose(thandle_t) { return 0; }
  static toff_t OnSize(thandle_t handle) { return static_cast<TiffEncoder*>(handle)->size_; }

  AtomicFile file_;
  TIFF* tif_ = nullptr;
  std::uint64_t position_ = 0, size_ = 0;
  int width_ = 0, channels_ = 0;
  PixelType type_ = PixelType::UINT8;
  bool srgb_ = false, quiet_ = false;
  std::vector<std::uint8_t> row_;
  std::string failure_, message_;
};

// ---------------------------------------------------------------------------------------------
// OpenEXR

// OpenEXR's output, straight into the AtomicFile. A failed write remembers the disk's reason,
// which is the image's even where the library words it its own way or, closing, swallows it.
class AtomicFileStream final : public Imf::OStream {
 public:
  explicit AtomicFileStream(AtomicFile& file)
      : Imf::OStream(file.TempPath().c_str()), file_(file) {}
  void write(const char c[], int n) override {
    if (failure_.empty() &&
        file_.WriteAt(c, static_cast<std::size_t>(n), static_cast<long long>(position_),
                      failure_)) {
      position_ += static_cast<std::uint64_t>(n);
      return;
    }
    throw Iex::IoExc(failure_);
  }
  std::uint64_t tellp() override { return position_; }
  void seekp(std::uint64_t pos) override { position_ = pos; }
  const std::string& failure() const { return failure_; }

 private:
  AtomicFile& file_;
  std::uint64_t position_ = 0;
  std::string failure_;
};

class ExrEncoder final : public ImageEncoder {
 public:
  ~ExrEncoder() override { Abort(); }

  std::string Open(const std::string& path, int width, int height, int channels, PixelType type,
                   bool, int, const Metadata& metadata) override {
    width_ = width;
    channels_ = channels;
    half_ = type == PixelType::HALF;
    std::string error;
    if (!file_.Create(path, error)) return error;
    try {
      Imf::Header header(width, height);  // ZIP compression by 16 rows, increasing y
      const Imf::PixelType stored = type == PixelType::HALF ? Imf::HALF : Imf::FLOAT;
      for (int c = 0; c < channels; ++c) {
        header.channels().insert(ChannelName(c, channels), Imf::Channel(stored));
      }
      for (const auto& [key, value] : metadata) {
        const std::string k = LowerAscii(key);
        const std::string name = k == "imagedescription" || k == "description" ? "comments"
                                 : k == "copyright"                             ? "owner"
                                                                                : key;
        header.insert(name, Imf::StringAttribute(value));
      }
      Imf::addCapDate(header, DateTimeText(ReproducibleTime()));
      stream_ = std::make_unique<AtomicFileStream>(file_);
      const int threads = static_cast<int>(std::min(8u, std::thread::hardware_concurrency()));
      image_ = std::make_unique<Imf::OutputFile>(*stream_, header, threads);
    } catch (const std::exception& e) {
      return Reason(e.what());
    }
    return {};
  }

  std::string WriteRows(int y0, int y1, const float* pixels) override {
    if (!image_) return "the file is not open";
    try {
      const std::size_t count = static_cast<std::size_t>(y1 - y0) * width_ * channels_;
      const char* band = reinterpret_cast<const char*>(pixels);
      if (half_) {
        // The library takes the samples in the file's own type: halves rounded to nearest even.
        halves_.resize(count);
        for (std::size_t i = 0; i < count; ++i) halves_[i] = Imath::half(pixels[i]);
        band = reinterpret_cast<const char*>(halves_.data());
      }
      const std::size_t size = half_ ? sizeof(Imath::half) : sizeof(float);
      const std::size_t xStride = size * channels_;
      const std::size_t yStride = xStride * width_;
      // Slices are addressed by absolute row: the band's base is moved back by y0 rows.
      char* base = const_cast<char*>(band) - static_cast<std::ptrdiff_t>(yStride) * y0;
      Imf::FrameBuffer frame;
      for (int c = 0; c < channels_; ++c) {
        frame.insert(ChannelName(c, channels_),
                     Imf::Slice(half_ ? Imf::HALF : Imf::FLOAT, base + size * c, xStride,
                                yStride));
      }
      image_->setFrameBuffer(frame);
      image_->writePixels(y1 - y0);
    } catch (const std::exception& e) {
      return Reason(e.what());
    }
    return {};
  }

  std::string Close() override {
    if (!image_) return "the file is not open";
    // The line offsets go out as the file closes; a failure there is kept by the stream.
    try {
      image_.reset();
    } catch (const std::exception& e) {
      return Reason(e.what());
    }
    if (!stream_->failure().empty()) return stream_->failure();
    return {};
  }

  std::string Commit() override {
    std::string error;
    return file_.Commit(error) ? std::string() : error;
  }

  void Abort() override {
    try {
      image_.reset();
    } catch (...) {
    }
    stream_.reset();
    file_.Discard();
  }

 private:
  static const char* ChannelName(int c, int channels) {
    static const char* const kNames[] = {"R", "G", "B", "A"};
    return channels == 1 ? "Y" : kNames[c];
  }

  std::string Reason(const char* what) const {
    if (stream_ && !stream_->failure().empty()) return stream_->failure();
    return what && *what ? what : "the OpenEXR writer failed";
  }

  AtomicFile file_;
  std::unique_ptr<AtomicFileStream> stream_;
  std::unique_ptr<Imf::OutputFile> image_;
  int width_ = 0, channels_ = 0;
  bool half_ = false;
  std::vector<Imath::half> halves_;
};

// ---------------------------------------------------------------------------------------------

// The encoder tamrel gets before it names a file: the file's extension picks the format at Open.
class FormatEncoder final : public ImageEncoder {
 public:
  std::string Open(const std::string& path, int width, int height, int channels, PixelType type,
                   bool encoded, int compression, const Metadata& metadata) override {
    const std::string ext = LowerAscii(std::filesystem::path(path).extension().string());
    if (ext == ".png") {
      format_ = std::make_unique<PngEncoder>();
    } else if (ext == ".tif" || ext == ".tiff") {
      format_ = std::make_unique<TiffEncoder>();
    } else if (ext == ".exr") {
      format_ = std::make_unique<ExrEncoder>();
    } else {
      return "no encoder for '" + ext + "' files";
    }
    return format_->Open(path, width, height, channels, type, encoded, compression, metadata);
  }
  std::string WriteRows(int y0, int y1, const float* pixels) override {
    return format_ ? format_->WriteRows(y0, y1, pixels) : "the file is not open";
  }
  std::string Close() override { return format_ ? format_->Close() : "the file is not open"; }
  std::string Commit() override { return format_ ? format_->Commit() : "the file is not open"; }
  void Abort() override {
    if (format_) format_->Abort();
  }

 private:
  std::unique_ptr<ImageEncoder> format_;
};

}  // namespace
}  // namespace tamrel::host

extern "C" __attribute__((visibility("default"))) tamrel::host::ImageEncoder*
TamrelNewImageEncoder() {
  return new tamrel::host::FormatEncoder();
}
