// The host's render engine and image files: thread-count independence, cancellation, and image
// writing that never leaves a partial file.
#include <gtest/gtest.h>

#include <cstdio>

#include <OpenImageIO/imageio.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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

}  // namespace
}  // namespace tamrel::host
