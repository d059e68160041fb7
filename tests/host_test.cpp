// The host's render engine and image files: thread-count independence, cancellation, and image
// writing that never leaves a partial file.
#include <gtest/gtest.h>

#include <cstdio>

#include <OpenImageIO/half.h>
#include <OpenImageIO/imageio.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/ImageFile.h"
#include "engine/RenderEngine.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;

// Reads pixels as stored, without associating alpha.
std::unique_ptr<OIIO::ImageInput> OpenImage(const std::string& path) {
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  return OIIO::ImageInput::open(path, &config);
}

// A shader whose value depends on the pixel only: a few non-trivial float operations.
void Shade(int y, int x0, int x1, float* out) {
  for (int x = x0; x < x1; ++x, out += 2) {
    out[0] = std::sin(static_cast<float>(x) * 0.37f) * std::cos(static_cast<float>(y) * 0.11f);
    out[1] = static_cast<float>(x + 1000 * y);
  }
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tamrel_host_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  int FileCount() const {
    int n = 0;
    for (auto& e : fs::directory_iterator(dir_)) n += e.is_regular_file();
    return n;
  }
  fs::path dir_;
};

TEST(RenderEngine, ConcurrentTilesGiveTheSameBitsForAnyThreadCount) {
  Raster one, many, odd;
  RenderOptions o1;
  o1.threads = 1;
  ASSERT_TRUE(RenderRaster(one, 203, 97, 2, Shade, o1));
  RenderOptions o8;
  o8.threads = 8;
  o8.tileSize = 16;
  ASSERT_TRUE(RenderRaster(many, 203, 97, 2, Shade, o8));
  RenderOptions o3;
  o3.threads = 3;
  o3.tileSize = 7;
  int lastDone = -1, lastTotal = -1;
  o3.progress = [&](int done, int total) {
    EXPECT_GE(done, lastDone);
    lastDone = done;
    lastTotal = total;
  };
  ASSERT_TRUE(RenderRaster(odd, 203, 97, 2, Shade, o3));
  ASSERT_EQ(one.pixels.size(), 203u * 97u * 2u);
  EXPECT_EQ(0, std::memcmp(one.pixels.data(), many.pixels.data(), one.pixels.size() * 4));
  EXPECT_EQ(0, std::memcmp(one.pixels.data(), odd.pixels.data(), one.pixels.size() * 4));
  EXPECT_EQ(lastDone, lastTotal);
  EXPECT_EQ(one.Pixel(5, 7)[1], 7005.0f);
}

TEST(RenderEngine, CancellationAndShaderErrorsStopTheRender) {
  std::atomic<bool> cancel{true};
  RenderOptions o;
  o.cancel = &cancel;
  Raster r;
  EXPECT_FALSE(RenderRaster(r, 64, 64, 2, Shade, o));

  RenderOptions o2;
  o2.threads = 2;
  Raster r2;
  EXPECT_THROW(RenderRaster(
                   r2, 64, 64, 1,
                   [](int y, int, int, float*) {
                     if (y == 40) throw std::runtime_error("bad sample");
                   },
                   o2),
               std::runtime_error);
}

Raster Gradient(int w, int h, int channels) {
  Raster r;
  RenderRaster(r, w, h, channels, [&](int y, int x0, int x1, float* out) {
    for (int x = x0; x < x1; ++x) {
      for (int c = 0; c < channels; ++c) *out++ = static_cast<float>(x + y + c) / static_cast<float>(w + h + 4);
    }
  });
  return r;
}

using ImageFileTest = TempDir;

TEST_F(ImageFileTest, FormatsAndTypesRoundTrip) {
  const Raster r = Gradient(17, 9, 4);
  const struct {
    const char* name;
    PixelType type;
    bool data;
    float tol;
    const char* colourSpace;
  } cases[] = {{"a.png", PixelType::DEFAULT, true, 1.0f / 65535 + 1e-6f, "Linear"},
               {"b.png", PixelType::UINT8, true, 0.5f / 255 + 1e-6f, "Linear"},
               {"c.exr", PixelType::FLOAT, true, 0.0f, "Linear"},
               {"d.exr", PixelType::HALF, false, 1e-3f, "Linear"},
               {"e.tif", PixelType::UINT16, true, 1.0f / 65535 + 1e-6f, "Linear"}};
  for (const auto& c : cases) {
    ImageFileOptions opt;
    opt.type = c.type;
    opt.data = c.data;
    opt.metadata = {{"ImageDescription", "{\"size\": 10}"}};
    ASSERT_EQ(WriteImageFile(Path(c.name), r, opt), "") << c.name;
    auto in = OpenImage(Path(c.name));
    ASSERT_TRUE(in) << c.name;
    const OIIO::ImageSpec& header = in->spec();
    EXPECT_EQ(header.width, 17);
    EXPECT_EQ(header.height, 9);
    EXPECT_EQ(header.nchannels, 4);
    EXPECT_EQ(header.get_string_attribute("ImageDescription"), "{\"size\": 10}") << c.name;
    std::vector<float> back(r.pixels.size());
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, back.data()));
    for (std::size_t i = 0; i < back.size(); ++i) {
      ASSERT_NEAR(back[i], r.pixels[i], c.tol) << c.name << " at " << i;
    }
  }
  EXPECT_EQ(FileCount(), 5);  // no temporary files left behind
}

TEST_F(ImageFileTest, ColourInIntegerFilesIsSrgbEncoded) {
  Raster r;
  r.width = r.height = 1;
  r.channels = 4;
  r.pixels = {0.5f, 0.0f, 1.0f, 0.5f};
  ASSERT_EQ(WriteImageFile(Path("c.png"), r, {}), "");
  auto in = OpenImage(Path("c.png"));
  ASSERT_TRUE(in);
  unsigned char px[4];
  ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, px));
  EXPECT_EQ(px[0], 188);  // sRGB(0.5) = 0.7354
  EXPECT_EQ(px[1], 0);
  EXPECT_EQ(px[2], 255);
  EXPECT_EQ(px[3], 128);  // alpha stays linear
}

TEST_F(ImageFileTest, FailuresAreReportedAndLeaveNoFile) {
  const Raster r = Gradient(4, 4, 3);
  ImageFileOptions opt;
  EXPECT_NE(WriteImageFile(Path("x.bmpx"), r, opt).find("unknown image format"), std::string::npos);
  EXPECT_NE(WriteImageFile(Path("noext"), r, opt).find("unknown image format"), std::string::npos);
  opt.type = PixelType::HALF;
  EXPECT_NE(WriteImageFile(Path("x.png"), r, opt).find("PNG cannot hold half"), std::string::npos);
  opt.type = PixelType::DEFAULT;
  EXPECT_NE(WriteImageFile(Path("missing/dir/x.png"), r, opt).find("cannot write"),
            std::string::npos);
  EXPECT_NE(WriteImageFile(Path("empty.png"), Raster{}, opt), "");
  EXPECT_EQ(FileCount(), 0);

  // A failed write keeps the previous image in place.
  ASSERT_EQ(WriteImageFile(Path("keep.png"), r, opt), "");
  const auto before = fs::file_size(Path("keep.png"));
  EXPECT_NE(WriteImageFile(Path("keep.png"), Raster{}, opt), "");
  EXPECT_EQ(fs::file_size(Path("keep.png")), before);
  EXPECT_EQ(FileCount(), 1);
}

// A writer given up part way (an interrupt, a failure elsewhere in the set) leaves no file and
// prints nothing of its own: the libraries' complaints about the unfinished file stay off
// standard error, which works as before afterwards.
TEST_F(ImageFileTest, AbortedWritersLeaveNoFileAndPrintNothing) {
  const Raster r = Gradient(64, 64, 4);
  for (const char* name : {"a.png", "a.exr", "a.tif"}) {
    for (const int rows : {0, 1, 10}) {
      ImageFileWriter w;
      ASSERT_EQ(w.Open(Path(name), 64, 64, 4, ImageFileOptions{}), "") << name;
      if (rows > 0) {
        ASSERT_EQ(w.WriteRows(0, rows, r.pixels.data()), "") << name;
      }
      ::testing::internal::CaptureStderr();
      w.Abort();
      std::fputs("after", stderr);
      std::fflush(stderr);
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), "after") << name << " " << rows;
      EXPECT_EQ(FileCount(), 0) << name << " " << rows;
    }
  }
}

TEST_F(ImageFileTest, WriterStreamsBandsInOrderAndReplacesOnlyWhenCommitted) {
  const Raster whole = Gradient(5, 7, 3);
  ImageFileOptions opt;
  opt.data = true;
  opt.type = PixelType::FLOAT;
  ASSERT_EQ(WriteImageFile(Path("old.exr"), Gradient(2, 2, 1), opt), "");
  {
    ImageFileWriter w;
    ASSERT_EQ(w.Open(Path("old.exr"), 5, 7, 3, opt), "");
    EXPECT_EQ(w.type(), PixelType::FLOAT);
    EXPECT_FALSE(w.encoded());
    ASSERT_EQ(w.WriteRows(0, 3, whole.Pixel(0, 0)), "");
    // Rows must come in order, without gaps or repeats.
    EXPECT_NE(w.WriteRows(4, 7, whole.Pixel(0, 4)).find("out of order"), std::string::npos);
  }
  // The failed writer took its temporary file with it and left the old image alone.
  EXPECT_EQ(FileCount(), 1);
  EXPECT_EQ(OpenImage(Path("old.exr"))->spec().width, 2);

  ImageFileWriter w;
  ASSERT_EQ(w.Open(Path("old.exr"), 5, 7, 3, opt), "");
  ASSERT_EQ(w.WriteRows(0, 3, whole.Pixel(0, 0)), "");
  EXPECT_NE(w.Close().find("incomplete"), std::string::npos);
  EXPECT_EQ(FileCount(), 1);
  ASSERT_EQ(w.Open(Path("old.exr"), 5, 7, 3, opt), "");
  ASSERT_EQ(w.WriteRows(0, 3, whole.Pixel(0, 0)), "");
  ASSERT_EQ(w.WriteRows(3, 3, whole.Pixel(0, 3)), "");  // an empty band is allowed
  ASSERT_EQ(w.WriteRows(3, 7, whole.Pixel(0, 3)), "");
  ASSERT_EQ(w.Close(), "");
  EXPECT_EQ(OpenImage(Path("old.exr"))->spec().width, 2) << "replaced before Commit";
  ASSERT_EQ(w.Commit(), "");
  EXPECT_EQ(FileCount(), 1);
  auto in = OpenImage(Path("old.exr"));
  ASSERT_TRUE(in);
  std::vector<float> back(whole.pixels.size());
  ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, back.data()));
  EXPECT_EQ(back, whole.pixels);
}

// A set whose last file cannot go in place leaves no file of it: the files it had replaced come
// back as they were (through a symbolic link too), those it had added are gone, and no second
// name or temporary is left; the same set then goes in whole.
TEST_F(ImageFileTest, ASetThatFailsPartWayPutsBackWhatItReplaced) {
  const auto slurp = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const auto debris = [&] {
    int n = 0;
    for (const fs::path& d : {dir_, dir_ / "real"}) {
      for (auto& e : fs::directory_iterator(d)) {
        n += e.path().filename().string().rfind(".tmrl-", 0) == 0;
      }
    }
    return n;
  };
  fs::create_directories(dir_ / "real");
  std::ofstream(Path("a.png"), std::ios::binary) << "old a";
  std::ofstream(dir_ / "real" / "old.tif", std::ios::binary) << "old link";
  fs::create_symlink(dir_ / "real" / "old.tif", Path("link.tif"));
  const Raster r = Gradient(6, 5, 3);
  const char* names[] = {"a.png", "link.tif", "new.exr", "last.png"};
  const auto openAll = [&] {
    std::vector<std::unique_ptr<ImageFileWriter>> writers;
    for (const char* name : names) {
      auto w = std::make_unique<ImageFileWriter>();
      EXPECT_EQ(w->Open(Path(name), 6, 5, 3, ImageFileOptions{}), "") << name;
      EXPECT_EQ(w->WriteRows(0, 5, r.pixels.data()), "") << name;
      writers.push_back(std::move(w));
    }
    return writers;
  };

  auto writers = openAll();
  // The last target turns into a folder after its writer opened: its rename fails.
  fs::create_directories(dir_ / "last.png" / "inside");
  const std::string error = CloseAndCommitAll(writers);
  EXPECT_NE(error.find("last.png"), std::string::npos) << error;
  EXPECT_EQ(slurp(Path("a.png")), "old a");
  EXPECT_TRUE(fs::is_symlink(Path("link.tif")));
  EXPECT_EQ(slurp(dir_ / "real" / "old.tif"), "old link");
  EXPECT_FALSE(fs::exists(Path("new.exr")));
  EXPECT_TRUE(fs::is_directory(Path("last.png")));
  EXPECT_EQ(debris(), 0);

  fs::remove_all(Path("last.png"));
  writers = openAll();
  ASSERT_EQ(CloseAndCommitAll(writers), "");
  for (const char* name : names) {
    auto in = OpenImage(Path(name));
    ASSERT_TRUE(in) << name;
    EXPECT_EQ(in->spec().width, 6) << name;
  }
  EXPECT_TRUE(fs::is_symlink(Path("link.tif")));
  EXPECT_EQ(debris(), 0);
}

std::string SlurpFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets SOURCE_DATE_EPOCH for a test and puts back what was there.
class SourceDateEpoch {
 public:
  explicit SourceDateEpoch(const char* value) {
    if (const char* old = std::getenv("SOURCE_DATE_EPOCH")) saved_ = old, had_ = true;
    if (value) {
      ::setenv("SOURCE_DATE_EPOCH", value, 1);
    } else {
      ::unsetenv("SOURCE_DATE_EPOCH");
    }
  }
  ~SourceDateEpoch() {
    if (had_) {
      ::setenv("SOURCE_DATE_EPOCH", saved_.c_str(), 1);
    } else {
      ::unsetenv("SOURCE_DATE_EPOCH");
    }
  }

 private:
  std::string saved_;
  bool had_ = false;
};

// Every attribute a reader sees, by name, as text.
std::map<std::string, std::string> Attributes(const OIIO::ImageSpec& header) {
  std::map<std::string, std::string> all;
  for (const OIIO::ParamValue& p : header.extra_attribs) all[p.name().string()] = p.get_string();
  return all;
}

// Values from below 0 to above 1 in every channel, different in each sample, with the alpha (the
// last channel) passing through 0 where the colour is not 0.
Raster Ramp(int w, int h, int channels) {
  Raster r;
  r.width = w;
  r.height = h;
  r.channels = channels;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) {
        r.pixels.push_back(static_cast<float>((x * 3 + y * 5 + c * 7) % 97) / 83.0f - 0.08f);
      }
    }
  }
  return r;
}

// What an integer sample of v is: v in [0, 1] scaled in float and rounded half up (so a product
// a hair below a half rounds down, as the writers always did).
long Expected(float v, float top) {
  return static_cast<long>(std::floor(std::clamp(v, 0.0f, 1.0f) * top + 0.5f));
}

// For each format, pixel type and channel count: every stored value exactly, and every attribute
// a reader finds, with its value. Bands of 7 rows cross EXR's 16-row chunks and TIFF's 32-row
// strips unevenly.
TEST_F(ImageFileTest, EveryFormatTypeAndChannelCountKeepsItsValuesAndMetadata) {
  const SourceDateEpoch epoch("1700000000");
  const std::string description = "{\"tamrel\": {\"size\": [23, 41]}, \"note\": \"caf\xc3\xa9\"}";
  const std::string software = "tamrel 9.8.7; test";
  const struct {
    const char* ext;
    PixelType type;
  } formats[] = {{"png", PixelType::UINT8},  {"png", PixelType::UINT16}, {"tif", PixelType::UINT8},
                 {"tif", PixelType::UINT16}, {"tif", PixelType::FLOAT},  {"exr", PixelType::HALF},
                 {"exr", PixelType::FLOAT}};
  for (const auto& f : formats) {
    for (int channels = 1; channels <= 4; ++channels) {
      // Colour (sRGB-encoded in integer files) needs three channels; fewer are data.
      const bool data = channels < 3 || std::string(f.ext) == "exr";
      const bool integer = f.type == PixelType::UINT8 || f.type == PixelType::UINT16;
      const bool srgb = integer && !data;
      const std::string name = std::string(PixelTypeName(f.type)) + "_" +
                               std::to_string(channels) + "." + f.ext;
      const std::string where = name;
      const Raster r = Ramp(23, 41, channels);
      ImageFileOptions opt;
      opt.type = f.type;
      opt.data = data;
      opt.compression = 7;
      opt.metadata = {{"ImageDescription", description}, {"Software", software}};
      ImageFileWriter w;
      ASSERT_EQ(w.Open(Path(name), 23, 41, channels, opt), "") << where;
      for (int y = 0; y < 41; y += 7) {
        ASSERT_EQ(w.WriteRows(y, std::min(41, y + 7), r.Pixel(0, y)), "") << where;
      }
      ASSERT_EQ(w.Commit(), "") << where;

      auto in = OpenImage(Path(name));
      ASSERT_TRUE(in) << where;
      const OIIO::ImageSpec& header = in->spec();
      ASSERT_EQ(header.width, 23) << where;
      ASSERT_EQ(header.height, 41) << where;
      ASSERT_EQ(header.nchannels, channels) << where;

      // The values as stored.
      const std::size_t count = r.pixels.size();
      const int colour = srgb ? std::min(channels, 3) : 0;
      if (integer) {
        const bool eight = f.type == PixelType::UINT8;
        ASSERT_EQ(header.format, eight ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16) << where;
        std::vector<std::uint16_t> back(count);
        ASSERT_TRUE(in->read_image(0, 0, 0, channels, OIIO::TypeDesc::UINT16, back.data()));
        for (std::size_t i = 0; i < count; ++i) {
          const float v = r.pixels[i];
          const float stored = static_cast<int>(i % channels) < colour ? LinearToSrgb(v) : v;
          const long want = Expected(stored, eight ? 255.0f : 65535.0f);
          // Eight bits read as sixteen are the byte repeated.
          ASSERT_EQ(back[i], eight ? want * 257 : want) << where << " at " << i << " of " << v;
        }
      } else if (f.type == PixelType::HALF) {
        ASSERT_EQ(header.format, OIIO::TypeDesc::HALF) << where;
        std::vector<Imath::half> back(count);
        ASSERT_TRUE(in->read_image(0, 0, 0, channels, OIIO::TypeDesc::HALF, back.data()));
        for (std::size_t i = 0; i < count; ++i) {
          ASSERT_EQ(back[i].bits(), Imath::half(r.pixels[i]).bits()) << where << " at " << i;
        }
      } else {
        ASSERT_EQ(header.format, OIIO::TypeDesc::FLOAT) << where;
        std::vector<float> back(count);
        ASSERT_TRUE(in->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, back.data()));
        ASSERT_EQ(back, r.pixels) << where;
      }

      // The channels by name.
      std::vector<std::string> names(header.channelnames.begin(), header.channelnames.end());
      const std::vector<std::vector<std::string>> kNames = {
          {"Y"}, {"R", "G"}, {"R", "G", "B"}, {"R", "G", "B", "A"}};
      std::vector<std::string> wantNames = kNames[channels - 1];
      if (std::string(f.ext) == "png" && channels == 2) wantNames = {"Y", "A"};
      EXPECT_EQ(names, wantNames) << where;

      // Every attribute.
      std::map<std::string, std::string> want = {{"DateTime", "2023:11:14 22:13:20"},
                                                 {"ImageDescription", description},
                                                 {"Software", software}};
      const std::string ext = f.ext;
      if (ext == "png") {
        want["oiio:ColorSpace"] = srgb ? "sRGB" : "Linear";
        if (!srgb) want["oiio:Gamma"] = "1";
        // The reader's word that it leaves the values as stored, as it was asked.
        want["oiio:UnassociatedAlpha"] = "1";
      } else if (ext == "tif") {
        const int bits = f.type == PixelType::UINT8 ? 8 : f.type == PixelType::UINT16 ? 16 : 32;
        want["compression"] = "zip";
        want["Orientation"] = "1";
        want["planarconfig"] = "contig";
        want["oiio:BitsPerSample"] = std::to_string(bits);
        want["tiff:Compression"] = "8";
        want["tiff:PhotometricInterpretation"] = channels >= 3 ? "2" : "1";
        want["tiff:PlanarConfiguration"] = "1";
        want["tiff:RowsPerStrip"] = "32";
        if (channels == 4) want["tiff:UnassociatedAlpha"] = want["oiio:UnassociatedAlpha"] = "1";
        if (srgb) {
          want["Exif:ColorSpace"] = "1";
          want["oiio:ColorSpace"] = "sRGB";
        }
      } else {
        want["compression"] = "zip";
        want["PixelAspectRatio"] = "1";
        want["screenWindowCenter"] = "0, 0";
        want["screenWindowWidth"] = "1";
        want["oiio:ColorSpace"] = "Linear";
        want["oiio:subimages"] = "1";
      }
      EXPECT_EQ(Attributes(header), want) << where;
    }
  }
  EXPECT_EQ(FileCount(), 28);  // no temporary files left behind
}

// Where a value falls between two steps, and values outside [0, 1], infinite or not a number.
TEST_F(ImageFileTest, SamplesRoundAndClampExactly) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  Raster r;
  r.width = 12;
  r.height = 1;
  r.channels = 1;
  r.pixels = {nan, -1.0f, 0.0f, 0.49f / 255, 0.51f / 255, 0.5f, 127.4f / 255, 127.6f / 255,
              0.999f, 1.0f, 2.0f, inf};
  ImageFileOptions opt;
  opt.data = true;
  opt.type = PixelType::UINT8;
  ASSERT_EQ(WriteImageFile(Path("a.png"), r, opt), "");
  ASSERT_EQ(WriteImageFile(Path("a.tif"), r, opt), "");
  for (const char* name : {"a.png", "a.tif"}) {
    auto in = OpenImage(Path(name));
    ASSERT_TRUE(in) << name;
    std::vector<std::uint8_t> back(12);
    ASSERT_TRUE(in->read_image(0, 0, 0, 1, OIIO::TypeDesc::UINT8, back.data()));
    EXPECT_EQ(back, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 128, 127, 128, 255, 255, 255, 255}))
        << name;
  }

  r.pixels = {nan, -1.0f, 0.49f / 65535, 0.51f / 65535, 0.5f, 1000.4f / 65535, 1000.6f / 65535,
              0.99999f, 1.0f, 1.5f, inf, 0.25f};
  opt.type = PixelType::UINT16;
  ASSERT_EQ(WriteImageFile(Path("b.png"), r, opt), "");
  ASSERT_EQ(WriteImageFile(Path("b.tif"), r, opt), "");
  for (const char* name : {"b.png", "b.tif"}) {
    auto in = OpenImage(Path(name));
    ASSERT_TRUE(in) << name;
    std::vector<std::uint16_t> back(12);
    ASSERT_TRUE(in->read_image(0, 0, 0, 1, OIIO::TypeDesc::UINT16, back.data()));
    EXPECT_EQ(back, (std::vector<std::uint16_t>{0, 0, 0, 1, 32768, 1000, 1001, 65534, 65535,
                                                 65535, 65535, 16384}))
        << name;
  }

  // Halves round to the nearest, ties to even; too large is infinite, too small zero.
  r.pixels = {1.0f / 3, 65504.0f, 65519.0f, 65520.0f, 1e-8f, 6e-8f, -2.0f, 1.0f + 1.0f / 2048,
              1.0f + 3.0f / 2048, -inf, inf, 0.0f};
  opt.type = PixelType::HALF;
  ASSERT_EQ(WriteImageFile(Path("c.exr"), r, opt), "");
  auto in = OpenImage(Path("c.exr"));
  ASSERT_TRUE(in);
  std::vector<Imath::half> halves(12);
  ASSERT_TRUE(in->read_image(0, 0, 0, 1, OIIO::TypeDesc::HALF, halves.data()));
  std::vector<unsigned> bits;
  for (const Imath::half h : halves) bits.push_back(h.bits());
  EXPECT_EQ(bits, (std::vector<unsigned>{0x3555, 0x7bff, 0x7bff, 0x7c00, 0x0000, 0x0001, 0xc000,
                                         0x3c00, 0x3c02, 0xfc00, 0x7c00, 0x0000}));

  // Floats are kept to the bit, signed zero and infinities included.
  r.pixels = {-0.0f, 1e-30f, -inf, inf, 3.14159f, -1e30f, 1.0f / 3, 0.1f, 7.0f, -7.5f, 1e-45f, 2.0f};
  opt.type = PixelType::FLOAT;
  for (const char* name : {"d.exr", "d.tif"}) {
    ASSERT_EQ(WriteImageFile(Path(name), r, opt), "") << name;
    auto back = OpenImage(Path(name));
    ASSERT_TRUE(back) << name;
    std::vector<float> floats(12);
    ASSERT_TRUE(back->read_image(0, 0, 0, 1, OIIO::TypeDesc::FLOAT, floats.data()));
    EXPECT_EQ(std::memcmp(floats.data(), r.pixels.data(), 12 * sizeof(float)), 0) << name;
  }
}

// The same image twice is the same bytes; without SOURCE_DATE_EPOCH the date is the epoch's.
TEST_F(ImageFileTest, TheSameImageGivesTheSameBytesAndTheEpochDate) {
  const SourceDateEpoch epoch(nullptr);
  const Raster r = Ramp(40, 37, 4);
  for (const char* ext : {"png", "tif", "exr"}) {
    ImageFileOptions opt;
    opt.metadata = {{"ImageDescription", "twice"}};
    const std::string one = Path(std::string("one.") + ext), two = Path(std::string("two.") + ext);
    ASSERT_EQ(WriteImageFile(one, r, opt), "") << ext;
    ASSERT_EQ(WriteImageFile(two, r, opt), "") << ext;
    const std::string bytes = SlurpFile(one);
    EXPECT_GT(bytes.size(), 100u) << ext;
    EXPECT_EQ(bytes, SlurpFile(two)) << ext;
    EXPECT_EQ(OpenImage(one)->spec().get_string_attribute("DateTime"), "1970:01:01 00:00:00")
        << ext;
  }
}

// The PNG level changes the size, never the pixels; EXR and TIFF do not depend on it. A level
// outside 0 to 9 is refused before any file is made.
TEST_F(ImageFileTest, PngCompressionLevelChangesOnlyTheSize) {
  const Raster r = Ramp(64, 48, 3);
  ImageFileOptions opt;
  opt.data = true;
  opt.type = PixelType::UINT16;
  std::vector<std::uintmax_t> sizes;
  std::vector<std::vector<std::uint16_t>> pixels;
  for (const int level : {0, 1, 9}) {
    opt.compression = level;
    const std::string name = Path("l" + std::to_string(level) + ".png");
    ASSERT_EQ(WriteImageFile(name, r, opt), "") << level;
    sizes.push_back(fs::file_size(name));
    auto in = OpenImage(name);
    ASSERT_TRUE(in);
    std::vector<std::uint16_t> back(r.pixels.size());
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT16, back.data()));
    pixels.push_back(back);
  }
  EXPECT_EQ(pixels[0], pixels[1]);
  EXPECT_EQ(pixels[0], pixels[2]);
  // Level 0 stores the filtered rows as they are: one filter byte and six bytes a pixel per row.
  EXPECT_GE(sizes[0], 48u * (1 + 64 * 6));
  EXPECT_LT(sizes[1], sizes[0] / 2);
  EXPECT_LE(sizes[2], sizes[1]);

  opt.type = PixelType::FLOAT;
  for (const char* ext : {"exr", "tif"}) {
    opt.compression = 0;
    ASSERT_EQ(WriteImageFile(Path(std::string("x0.") + ext), r, opt), "");
    opt.compression = 9;
    ASSERT_EQ(WriteImageFile(Path(std::string("x9.") + ext), r, opt), "");
    EXPECT_EQ(SlurpFile(Path(std::string("x0.") + ext)), SlurpFile(Path(std::string("x9.") + ext)))
        << ext;
  }
  const int before = FileCount();
  opt.type = PixelType::UINT16;
  for (const int bad : {-1, 10}) {
    opt.compression = bad;
    EXPECT_EQ(WriteImageFile(Path("bad.png"), r, opt),
              "the PNG compression level must be from 0 to 9, not " + std::to_string(bad));
  }
  EXPECT_EQ(FileCount(), before);
}

// A full disk fails the image with the disk's own reason, in each format, and leaves no file.
TEST_F(ImageFileTest, FullDiskFailsEachFormatWithTheDisksReason) {
  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  if (::geteuid() != 0 || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "mounting a tmpfs needs the superuser";
  }
  // Noise does not compress: 128 x 128 x 4 floats is four times the disk.
  Raster r;
  r.width = r.height = 128;
  r.channels = 4;
  std::uint32_t state = 12345;
  for (int i = 0; i < 128 * 128 * 4; ++i) {
    state = state * 1664525u + 1013904223u;
    r.pixels.push_back(static_cast<float>(state >> 8) / 16777216.0f);
  }
  for (const char* name : {"a.png", "a.tif", "a.exr"}) {
    ImageFileOptions opt;
    opt.data = true;
    opt.type = std::string(name) == "a.exr" ? PixelType::FLOAT : PixelType::UINT16;
    const std::string path = (small / name).string();
    EXPECT_EQ(WriteImageFile(path, r, opt),
              "cannot write " + path + ": writing: No space left on device");
    EXPECT_TRUE(fs::is_empty(small)) << name;
  }
  ::umount(small.c_str());
}

}  // namespace
}  // namespace tamrel::host
