// The tamrel command as a user runs it: the default bake against a stored golden image, identical
// files for any thread count, one-line errors with distinct exit codes that leave nothing behind,
// and presets, scenes and metadata that reproduce an image.
//
// The golden image is a 128x128 bake of the new map at the default settings and the default
// bake's pixel density (5 scene units across, as 1024 pixels span 40). It is compared channel
// by channel with a tolerance of 2/255, which absorbs an encoder or sRGB rounding difference but
// not a changed pattern. Regenerate it with TAMREL_UPDATE_GOLDEN=1 after checking the new image.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/TamrelRun.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using tamrel::testing::Result;
using tamrel::testing::Slurp;

using Cli = tamrel::testing::TamrelFolderTest;

struct Image {
  int width = 0, height = 0, channels = 0;
  std::string format, description, software, colourSpace;
  std::vector<float> pixels;
};

Image ReadImage(const fs::path& path) {
  Image img;
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path.string(), &config);
  if (!in) return img;
  const OIIO::ImageSpec& header = in->spec();
  img.width = header.width;
  img.height = header.height;
  img.channels = header.nchannels;
  img.format = header.format.c_str();
  img.description = header.get_string_attribute("ImageDescription");
  img.software = header.get_string_attribute("Software");
  img.colourSpace = header.get_string_attribute("oiio:ColorSpace");
  img.pixels.resize(static_cast<std::size_t>(img.width) * img.height * img.channels);
  if (!in->read_image(0, 0, 0, img.channels, OIIO::TypeDesc::FLOAT, img.pixels.data())) {
    img.pixels.clear();
  }
  return img;
}

TEST_F(Cli, DefaultRenderWritesScratchesPngAndSaysWhere) {
  const Result r = Run("");
  ASSERT_EQ(r.code, 2) << "a subcommand is required";
  const Result ok = Run("render --samples 1");  // the default size; one sample keeps it quick
  ASSERT_EQ(ok.code, 0) << ok.err;
  EXPECT_NE(ok.out.find((dir_ / "scratches.png").string()), std::string::npos) << ok.out;
  EXPECT_EQ(Files(), std::set<std::string>{"scratches.png"});
  const Image img = ReadImage(Path("scratches.png"));
  EXPECT_EQ(img.width, 1024);
  EXPECT_EQ(img.height, 1024);
  EXPECT_EQ(img.channels, 4);
  EXPECT_EQ(img.format, "uint8");
}

TEST_F(Cli, DefaultRenderMatchesTheGoldenImage) {
  const Result r = Run("render --size 128x128 --extent 5 -o small.png -q");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(r.out.empty()) << "--quiet printed " << r.out;
  const fs::path golden = fs::path(TAMREL_SOURCE_DIR) / "tests/data/golden_default_128.png";
  if (const char* update = std::getenv("TAMREL_UPDATE_GOLDEN"); update && *update == '1') {
    fs::create_directories(golden.parent_path());
    fs::copy_file(Path("small.png"), golden, fs::copy_options::overwrite_existing);
    GTEST_SKIP() << "golden image rewritten: " << golden;
  }
  const Image want = ReadImage(golden);
  const Image got = ReadImage(Path("small.png"));
  ASSERT_EQ(want.width, 128) << "missing golden image " << golden;
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  ASSERT_EQ(got.channels, want.channels);
  float worst = 0.0f;
  double sum = 0.0;
  for (std::size_t i = 0; i < want.pixels.size(); ++i) {
    const float d = std::fabs(want.pixels[i] - got.pixels[i]);
    worst = std::max(worst, d);
    sum += want.pixels[i];
  }
  EXPECT_LE(worst, 2.0f / 255.0f);
  // A blank image would match a blank golden image: the golden one must show scratches.
  const double mean = sum / static_cast<double>(want.pixels.size());
  EXPECT_GT(mean, 0.5);
  EXPECT_LT(mean, 0.999);
}

// Bakes are reproducible to the byte in every format (no clock in the headers).
void ExpectSameImage(const fs::path& a, const fs::path& b) {
  const std::string bytes = Slurp(a);
  EXPECT_FALSE(bytes.empty()) << a;
  EXPECT_TRUE(bytes == Slurp(b)) << a << " and " << b << " differ";
}

TEST_F(Cli, OneThreadAndManyThreadsWriteTheSameImage) {
  for (const char* ext : {"png", "exr", "tif"}) {
    const std::string common = std::string("render --size 97x61 -q --set erosion=0.7 ") +
                               "--set useErosion=1 --output height -o ";
    ASSERT_EQ(Run(common + "one." + ext + " --threads 1").code, 0);
    ASSERT_EQ(Run(common + "many." + ext + " --threads 7").code, 0);
    ExpectSameImage(Path(std::string("one.") + ext), Path(std::string("many.") + ext));
  }
}

// The image formats load only when an image is written: without their module the commands that
// write none still work, and a bake says what is missing in one line, with exit 4. (Sanitizer
// builds link the formats in, so there is no module to miss.)
TEST_F(Cli, CommandsThatWriteNoImageNeedNoImageModule) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer builds link the image formats in";
#else
  const std::string missing = "TAMREL_IMAGE_MODULE=" + Path("none.so").string();
  EXPECT_EQ(Shell("\"$T\" --version", missing).code, 0);
  const Result params = Shell("\"$T\" params", missing);
  EXPECT_EQ(params.code, 0) << params.err;
  EXPECT_NE(params.out.find("erosion"), std::string::npos);
  const Result bake = Shell("\"$T\" render -q --size 4 -o x.png", missing);
  EXPECT_EQ(bake.code, 4);
  EXPECT_EQ(bake.err, "tamrel: error: cannot write x.png: the image module tamrel_images.so is "
                      "missing (looked for " + Path("none.so").string() + ")\n");
  EXPECT_EQ(Files(), std::set<std::string>{});
#endif
}

// Every documented limit is taken exactly at the limit (the table above refuses one past each).
TEST_F(Cli, LimitsAreTakenExactly) {
  for (const char* args : {
           "render -q --size 16384x1 --region 16383,0,16384,1 --samples 1 -o edge.png",
           "render -q --size 1 --samples 1 --offset 1048576,-1048576 -o offset.png",
           "render -q --size 1 --samples 1 --offset -1048576,1048576 --tileable -o tile.png",
           "render -q --size 1 --samples 1 --frames 1000000 -o frame.png",
           "render -q --size 1 --samples 4096 -o samples.png",
           "render -q --size 2048 --region 0,0,1,1 --samples 1 --repeat 8 -o repeat.png",
           "render -q --size 8192x1 --samples 1 --maps color,height -o s_{map}.png --sheet sheet.png",
       }) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, 0) << args << ": " << r.err;
  }
  EXPECT_EQ(ReadImage(Path("repeat.png")).width, 8);
  EXPECT_EQ(ReadImage(Path("sheet.png")).width, 16384);
  EXPECT_EQ(ReadImage(Path("edge.png")).width, 1);
}

TEST_F(Cli, BadInputsGiveOneLineErrorsAndLeaveNothingBehind) {
  Write("bad.json", "{\"size\": 4,");
  Write("wrong.json", "{\"levels\": 12}");
  Write("corrupt.scn", std::string("\x7f"
                                   "not a scene at all",
                                   19));
  fs::create_directories(Path("locked"));
  fs::permissions(Path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  const bool root = ::geteuid() == 0;
  struct Case {
    std::string args;
    int code;
    std::string mustSay;
  };
  std::vector<Case> cases = {
      {"render --set nosuch=1", 2, "unknown parameter \"nosuch\""},
      {"render --set levels=two", 2, "\"levels\" (int in block \"params\", range 1 .. 8)"},
      {"render --set size=-5", 2, "'-5' is out of range"},
      {"render --set erosion=1.5", 2, "\"erosion\" (float in block \"params\", range 0 .. 1)"},
      {"render --set 'color1=1,2'", 2, "not a colour r,g,b"},
      {"render --size 0x0", 2, "--size takes WxH"},
      {"render --size 100x", 2, "--size takes WxH"},
      {"render --threads -1", 2, "tamrel: error:"},
      {"render --frames 0-3 -o still.png", 2, "'####' frame pattern"},
      {"render --output normal --geometry sphere", 2, "use --geometry plane"},
      {"render --output height --bits 8", 2, "16-bit or float"},
      {"render --bogus", 2, "tamrel: error:"},
      {"render -o out.jpg", 4, "unknown image format '.jpg'"},
      {"render -o noext", 4, "unknown image format"},
      {"render -o out.exr --type uint8", 4, "OpenEXR cannot hold uint8"},
      {"render -o missing/out.png", 4, "folder missing does not exist"},
      {"render --save-preset missing/p.json", 4, "cannot write preset"},
      {"render --preset bad.json", 3, "preset bad.json is not valid JSON"},
      {"render --preset wrong.json", 3, "\"levels\" (int in block \"params\", range 1 .. 8)"},
      {"render --preset absent.json", 3, "cannot read preset absent.json"},
      {"render --scene corrupt.scn", 3, "cannot load scene corrupt.scn"},
      {"render --scene absent.scn", 3, "cannot read scene absent.scn"},
      {"--plugin nowhere.dlt info", 5, "cannot load plug-in nowhere.dlt"},
      // Each documented limit, one past it (the limit itself is taken: LimitsAreTakenExactly).
      {"render --size 16385x1", 2, "--size takes WxH or N with edges from 1 to 16384"},
      {"render --offset 1048577,0", 2, "--offset takes X,Y in whole pixels from -1048576"},
      {"render --offset 0,-1048577", 2, "--offset takes X,Y"},
      {"render --frames 1000001", 2, "--frames takes A-B or N (0 to 1000000"},
      {"render --samples 4097", 2, "tamrel: error:"},
      {"render --repeat 9", 2, "tamrel: error:"},
      {"render --compression 10", 2, "--compression: Value 10 not in range 0 to 9"},
      {"render --compression -1", 2, "--compression: Value -1 not in range 0 to 9"},
      {"render --size 2049 --repeat 8", 2, "exceeds the largest image edge, 16384"},
      {"render --size 8193x1 --maps color,height -o s_{map}.png --sheet sheet.png", 2,
       "--sheet would be wider than 16384 pixels"},
  };
  // The superuser writes into read-only folders, so the locked folder proves nothing there.
  if (!root) cases.push_back({"render -o locked/out.png", 4, "folder locked is not writable"});
  const std::set<std::string> before = Files();
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << ": " << r.err;
    EXPECT_EQ(r.err.rfind("tamrel: error: ", 0), 0u) << c.args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.mustSay), std::string::npos) << c.args << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << c.args << ": " << r.out;
    EXPECT_EQ(Files(), before) << c.args;
  }
}

TEST_F(Cli, PresetAndSceneRoundTripsReproduceTheImage) {
  const std::string look =
      "--size 80x48 -q --set size=3 --set spread=0.4 --set 'color1=0.5,0.1,0' "
      "--set 'stretch@0=5' --set 'stretch@8=40' --frames 4 -o ";
  ASSERT_EQ(Run("render " + look + "direct.png --save-preset p.json --save-scene s.scn").code, 0);
  const Result viaPreset = Run("render --preset p.json --size 80x48 -q --frames 4 -o preset.png");
  ASSERT_EQ(viaPreset.code, 0) << viaPreset.err;
  const Result viaScene = Run("render --scene s.scn --size 80x48 -q --frames 4 -o scene.png");
  ASSERT_EQ(viaScene.code, 0) << viaScene.err;
  ExpectSameImage(Path("direct.png"), Path("preset.png"));
  ExpectSameImage(Path("direct.png"), Path("scene.png"));

  const json preset = json::parse(Slurp(Path("p.json")));
  EXPECT_EQ(preset["size"], 3.0);
  EXPECT_EQ(preset["stretch"]["keys"], json::parse("[[0.0, 5.0], [8.0, 40.0]]"));
  // A later --set wins over the preset.
  ASSERT_EQ(Run("render --preset p.json --set size=6 --size 80x48 -q --frames 4 -o six.png").code,
            0);
  EXPECT_NE(ReadImage(Path("six.png")).pixels, ReadImage(Path("direct.png")).pixels);
}

TEST_F(Cli, MetadataSaysHowToReproduceTheImage) {
  for (const char* name : {"m.png", "m.exr", "m.tif"}) {
    ASSERT_EQ(
        Run(std::string("render --size 16x16 -q --set levels=3 --output mono -o ") + name).code, 0);
    const Image img = ReadImage(Path(name));
    ASSERT_EQ(img.channels, 1) << name;
    EXPECT_NE(img.software.find("tamrel 1.0.0"), std::string::npos) << img.software;
    EXPECT_NE(img.software.find("TamrelScratches"), std::string::npos) << img.software;
    const json d = json::parse(img.description, nullptr, false);
    ASSERT_FALSE(d.is_discarded()) << name << ": " << img.description;
    EXPECT_EQ(d["params"]["levels"], 3) << name;
    EXPECT_EQ(d["params"]["size"], 10.0) << name;
    EXPECT_EQ(d["tamrel"]["output"], "mono") << name;
  }
  // The parameters in the metadata are a preset that bakes the same image again.
  const json d = json::parse(ReadImage(Path("m.exr")).description);
  Write("again.json", d["params"].dump());
  ASSERT_EQ(Run("render --size 16x16 -q --preset again.json --output mono -o again.exr").code, 0);
  ExpectSameImage(Path("again.exr"), Path("m.exr"));
}

TEST_F(Cli, OneRunBakesAllEightMapsFromOneEvaluation) {
  const Result r = Run(
      "render --size 40x30 --samples 3 --set size=2 --roughness 0.2,0.7 --json "
      "--maps color,mono,height,normal,normal-gl,normal-dx,roughness,anisotropy -o set_{map}.png "
      "--map-format mono=exr --map-format height=exr "
      "--map-format color=exr");
  ASSERT_EQ(r.code, 0) << r.err;
  struct Want {
    const char* file;
    int channels;
    const char* type;
    const char* colourSpace;
  };
  const Want wants[] = {
      {"set_color.exr", 4, "half", "Linear"},       {"set_mono.exr", 1, "float", "Linear"},
      {"set_height.exr", 1, "float", "Linear"},     {"set_normal.png", 3, "uint16", "Linear"},
      {"set_normal-gl.png", 3, "uint16", "Linear"}, {"set_normal-dx.png", 3, "uint16", "Linear"},
      {"set_roughness.png", 1, "uint16", "Linear"}, {"set_anisotropy.png", 3, "uint16", "Linear"}};
  std::set<std::string> expected;
  for (const Want& w : wants) {
    expected.insert(w.file);
    const Image img = ReadImage(Path(w.file));
    ASSERT_FALSE(img.pixels.empty()) << w.file;
    EXPECT_EQ(img.width, 40) << w.file;
    EXPECT_EQ(img.height, 30) << w.file;
    EXPECT_EQ(img.channels, w.channels) << w.file;
    EXPECT_EQ(img.format, w.type) << w.file;
    EXPECT_EQ(img.colourSpace, w.colourSpace) << w.file;
  }
  EXPECT_EQ(Files(), expected);

  // The report lists exactly the files that exist, with what each holds.
  const json report = json::parse(r.out);
  std::set<std::string> listed;
  for (const json& f : report["files"]) {
    const std::string name = fs::path(f["path"].get<std::string>()).filename().string();
    listed.insert(name);
    for (const Want& w : wants) {
      if (name != w.file) continue;
      EXPECT_EQ(f["channels"], w.channels) << name;
      EXPECT_EQ(f["pixel_type"], w.type) << name;
      EXPECT_EQ(f["color_space"], w.colourSpace) << name;
      EXPECT_EQ(f["width"], 40);
    }
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(report["samples_per_pixel"], 3);
  EXPECT_EQ(report["params"]["size"], 2.0);
  EXPECT_GT(report["samples_per_second"].get<double>(), 0.0);
  EXPECT_GE(report["threads"].get<int>(), 1);

  // One evaluation: the mono value, height and roughness are one intensity under three mappings.
  const Image mono = ReadImage(Path("set_mono.exr"));
  const Image height = ReadImage(Path("set_height.exr"));
  const Image rough = ReadImage(Path("set_roughness.png"));
  int scratched = 0;
  for (std::size_t i = 0; i < height.pixels.size(); ++i) {
    const float h = height.pixels[i];
    ASSERT_NEAR(mono.pixels[i], h, 1e-6f) << i;
    // 16-bit roughness: within half a step of the exact blend.
    ASSERT_NEAR(rough.pixels[i], 0.7f * (1.0f - h) + 0.2f * h, 0.5f / 65535.0f + 1e-7f) << i;
    scratched += h < 0.9f;
  }
  EXPECT_GT(scratched, 0);
  // normal is the OpenGL one unless --normal-convention says otherwise.
  EXPECT_EQ(ReadImage(Path("set_normal.png")).pixels, ReadImage(Path("set_normal-gl.png")).pixels);
  EXPECT_NE(ReadImage(Path("set_normal.png")).pixels, ReadImage(Path("set_normal-dx.png")).pixels);
}

// A report is valid JSON for any file name: bytes that are not UTF-8 come out as U+FFFD, in the
// files written and in an error alike, with the exit code of the run.
// --compression sets the zlib level of every PNG of the run (maps and sheet) and changes only
// their size; the EXR maps of the run are the same bytes at any level. The report says the level.
TEST_F(Cli, CompressionSetsThePngLevelOnly) {
  for (const char* level : {"0", "9"}) {
    const Result r = Run(std::string("render --size 48x40 --maps color,height -o l") + level +
                         "_{map}.png --map-format height=exr --sheet s" + level +
                         ".png --json --compression " + level);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["png_compression"], std::stoi(level));
  }
  // Level 0 stores the rows as they are: a filter byte and four bytes a pixel per row.
  EXPECT_GE(fs::file_size(Path("l0_color.png")), 40u * (1 + 48 * 4));
  EXPECT_GE(fs::file_size(Path("s0.png")), 40u * (1 + 96 * 3));
  EXPECT_LT(fs::file_size(Path("l9_color.png")) * 2, fs::file_size(Path("l0_color.png")));
  EXPECT_LT(fs::file_size(Path("s9.png")) * 2, fs::file_size(Path("s0.png")));
  EXPECT_EQ(ReadImage(Path("l0_color.png")).pixels, ReadImage(Path("l9_color.png")).pixels);
  EXPECT_EQ(ReadImage(Path("s0.png")).pixels, ReadImage(Path("s9.png")).pixels);
  EXPECT_EQ(Slurp(Path("l0_height.exr")), Slurp(Path("l9_height.exr")));
  // Unasked, the level is the documented default, and so are the samples the report counts.
  const Result plain = Run("render --size 8 -o d.png --json");
  ASSERT_EQ(plain.code, 0) << plain.err;
  EXPECT_EQ(json::parse(plain.out)["png_compression"], 3);
  EXPECT_EQ(json::parse(plain.out)["samples_per_pixel"], 4);
  const Result help = Run("render --help");
  EXPECT_NE(help.out.find("PNG zlib level 0-9 (default 3)"), std::string::npos) << help.out;
}

TEST_F(Cli, ReportsAreValidJsonForFileNamesThatAreNotUtf8) {
  const Result ok = Run("render --size 4 --json -o \"$(printf 'a\\377b.png')\" "
                        "--save-preset \"$(printf '\\376.json')\"");
  ASSERT_EQ(ok.code, 0) << ok.err;
  const json report = json::parse(ok.out);
  ASSERT_EQ(report["files"].size(), 1u);
  EXPECT_EQ(fs::path(report["files"][0]["path"].get<std::string>()).filename().string(),
            "a\xEF\xBF\xBD" "b.png");
  EXPECT_TRUE(fs::exists(Path("a\xFF" "b.png")));
  EXPECT_TRUE(fs::exists(Path("\xFE.json")));

  const Result bad = Run("render --size 4 --json -o \"$(printf 'no\\377/x.png')\"");
  EXPECT_EQ(bad.code, 4);
  const json error = json::parse(bad.out);
  EXPECT_EQ(error["exit_code"], 4);
  EXPECT_NE(error["error"].get<std::string>().find("no\xEF\xBF\xBD/x.png"), std::string::npos)
      << error["error"];
  EXPECT_EQ(error["files"], json::array());
}

TEST_F(Cli, RegionsStitchedWithOiiotoolEqualTheSingleBake) {
  const std::string common = "render -q --size 64x48 --samples 2 --set size=3 --maps color,normal ";
  ASSERT_EQ(Run(common + "-o full_{map}.png").code, 0);
  const char* tiles[] = {"0,0,32,24", "32,0,64,24", "0,24,32,48", "32,24,64,48"};
  for (int i = 0; i < 4; ++i) {
    const Result r = Run(common + "--region " + tiles[i] + " -o t" + std::to_string(i) +
                         "_{map}.png --threads " + std::to_string(i + 1));
    ASSERT_EQ(r.code, 0) << r.err;
  }
  for (const char* map : {"color", "normal"}) {
    const std::string m = map;
    const std::string stitch = "cd '" + dir_.string() + "' && oiiotool t0_" + m + ".png t1_" + m +
                               ".png t2_" + m + ".png t3_" + m + ".png --mosaic 2x2 -o st_" + m +
                               ".png";
    ASSERT_EQ(std::system(stitch.c_str()), 0) << stitch;
    const Image a = ReadImage(Path("st_" + m + ".png")), b = ReadImage(Path("full_" + m + ".png"));
    ASSERT_EQ(a.width, 64);
    ASSERT_EQ(a.height, 48);
    EXPECT_TRUE(a.pixels == b.pixels) << map;
  }
}

TEST_F(Cli, JsonReportsFailuresAndSetsLeaveNothingBehind) {
  const Result bad =
      Run("render --json --size 16 --set size=-5 --maps color,height -o s_{map}.png");
  EXPECT_EQ(bad.code, 2);
  const json report = json::parse(bad.out);
  EXPECT_EQ(report["exit_code"], 2);
  EXPECT_NE(report["error"].get<std::string>().find("'-5' is out of range"), std::string::npos);
  EXPECT_EQ(report["files"], json::array());
  EXPECT_TRUE(Files().empty());

  const Result parse = Run("render --json --samples 0");
  EXPECT_EQ(parse.code, 2);
  EXPECT_EQ(json::parse(parse.out)["exit_code"], 2);

  struct Case {
    std::string args;
    int code;
    const char* mustSay;
  };
  const Case cases[] = {
      {"--maps color,height -o one.png", 2, "needs a '{map}' pattern"},
      {"--maps color,shine -o s_{map}.png", 2, "not 'shine'"},
      {"--maps color,color -o s_{map}.png", 2, "'color' is empty or repeated"},
      {"--maps color, -o s_{map}.png", 2, "empty or repeated"},
      {"--maps height --output color", 2, "excludes"},
      {"--maps color,height -o s_{map}.png --bits 8", 2, "height map needs 16-bit"},
      {"--maps color,height -o 'x.{map}' --map-format color=exr --map-format height=exr", 2,
       "would both be written to x.exr"},
      {"--maps color --map-format height=exr", 2, "--map-format takes MAP=EXT"},
      {"--maps color,height -o s_{map}.png --map-format height=", 2,
       "--map-format takes MAP=EXT for a map being baked (for example height=exr), not 'height='"},
      {"--maps color,height -o s_{map}.png --map-format height", 2, "not 'height'"},
      {"--maps color,height -o 'x.{map}' --map-format color=EXR --map-format height=exr", 2,
       "maps color and height would both be written to x.exr"},
      {"--region 0,0,17,10", 2, "inside the 16x16 image"},
      {"--region 10,0,10,5", 2, "--region takes X0,Y0,X1,Y1"},
      {"--region 1,2,3", 2, "--region takes X0,Y0,X1,Y1"},
      {"--roughness 0.5", 2, "--roughness takes SURFACE,SCRATCH"},
      {"--roughness 0.5,1.5", 2, "roughness values must be from 0 to 1"},
      {"--geometry sphere --maps color,anisotropy -o s_{map}.png", 2, "tangent-space map"},
      {"--samples 5000", 2, "--samples"},
  };
  for (const Case& c : cases) {
    const Result r = Run("render --size 16 " + c.args);
    EXPECT_EQ(r.code, c.code) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.mustSay), std::string::npos) << c.args << " -> " << r.err;
    EXPECT_TRUE(Files().empty()) << c.args;
  }
}

TEST_F(Cli, FramesFollowTheKeys) {
  const Result r =
      Run("render --size 24x24 -q --frames 0-2 --set 'size@0=4' --set 'size@2=12' "
          "-o 'f.##.png'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Files(), (std::set<std::string>{"f.00.png", "f.01.png", "f.02.png"}));
  EXPECT_NE(ReadImage(Path("f.00.png")).pixels, ReadImage(Path("f.02.png")).pixels);
  EXPECT_EQ(json::parse(ReadImage(Path("f.01.png")).description)["tamrel"]["frame"], 1);
}

TEST_F(Cli, TileableBakesReportTheirNudgeAndRepeat) {
  // One scratch unit across: the scratches need a visible nudge, and the user is told.
  const Result small = Run("render --size 32 --extent 10 --set type=0 --tileable -o t.png");
  ASSERT_EQ(small.code, 0) << small.err;
  EXPECT_NE(small.out.find("tileable; scratches nudged by up to "), std::string::npos) << small.out;
  EXPECT_NE(small.err.find("tamrel: warning: the tile is small for these scratches"),
            std::string::npos)
      << small.err;
  const json d = json::parse(ReadImage(Path("t.png")).description);
  EXPECT_EQ(d["tamrel"]["tileable"]["period"], 32);
  const double length = d["tamrel"]["tileable"]["nudge"]["length"];
  char shown[32];
  std::snprintf(shown, sizeof shown, "%.2f %% in length", length * 100.0);
  EXPECT_NE(small.out.find(shown), std::string::npos) << small.out;

  // Sixteen units across: no warning. A view moved by one tile is the same image.
  const Result large = Run("render --size 32 --extent 160 --set type=0 --tileable -q -o a.png");
  ASSERT_EQ(large.code, 0) << large.err;
  EXPECT_EQ(large.err, "");
  ASSERT_EQ(Run("render --size 32 --extent 160 --set type=0 --tileable -q --offset -32,64 "
                "-o b.png")
                .code,
            0);
  EXPECT_EQ(ReadImage(Path("a.png")).pixels, ReadImage(Path("b.png")).pixels);
  EXPECT_EQ(json::parse(ReadImage(Path("b.png")).description)["tamrel"]["offset"],
            json::array({-32, 64}));
  // --repeat lays the bake side by side: each quadrant is the bake itself.
  const Result repeated =
      Run("render --size 32 --extent 160 --set type=0 --tileable --json --repeat 2 -o r.png");
  ASSERT_EQ(repeated.code, 0) << repeated.err;
  // The report gives the size written, not the tile's.
  const json written = json::parse(repeated.out)["files"];
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["width"], 64);
  EXPECT_EQ(written[0]["height"], 64);
  const Image one = ReadImage(Path("a.png")), four = ReadImage(Path("r.png"));
  ASSERT_EQ(four.width, 64);
  ASSERT_EQ(four.height, 64);
  int mismatches = 0;
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      for (int c = 0; c < 4; ++c) {
        if (four.pixels[(y * 64 + x) * 4 + c] != one.pixels[((y % 32) * 32 + x % 32) * 4 + c]) {
          ++mismatches;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);

  // Non-square images: the period is the width, both ways.
  const Result tall = Run("render --size 32x48 --extent 160 --tileable -q -o c.png");
  EXPECT_NE(tall.err.find("tiles across, but its top and bottom edges do not meet"),
            std::string::npos)
      << tall.err;
  const Result twice = Run("render --size 32x64 --extent 160 --tileable -q -o d.png");
  EXPECT_NE(twice.err.find("tiles across and down"), std::string::npos) << twice.err;

  for (const char* bad : {"--offset 3", "--offset 1,2,3", "--offset 2000000,0", "--offset a,b",
                          "--tileable --geometry sphere", "--repeat 9", "--size 9000 --repeat 2"}) {
    const Result r = Run(std::string("render --size 8 -o x.png ") + bad);
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_EQ(r.err.rfind("tamrel: error: ", 0), 0u) << r.err;
  }
  EXPECT_FALSE(fs::exists(Path("x.png")));
}

TEST_F(Cli, TileableSetsWithSeveralSamplesRepeatAndReportInJson) {
  // Three maps at five samples a pixel: each map of a view moved by whole tiles is the same image,
  // and the JSON report carries the same nudge as the files' metadata.
  const std::string common =
      "render --size 24 --extent 40 --set levels=3 --tileable --samples 5 "
      "--maps color,height,normal-dx ";
  const Result a = Run(common + "--json -o 'a_{map}.png'");
  ASSERT_EQ(a.code, 0) << a.err;
  const json report = json::parse(a.out);
  ASSERT_TRUE(report.contains("tileable")) << a.out;
  EXPECT_EQ(report["tileable"]["period"], 24);
  const json meta = json::parse(ReadImage(Path("a_height.png")).description);
  EXPECT_EQ(meta["tamrel"]["samples"], 5);
  EXPECT_EQ(report["tileable"]["nudge"], meta["tamrel"]["tileable"]["nudge"]);
  EXPECT_GT(report["tileable"]["nudge"]["length"].get<double>(), 0.0);
  ASSERT_EQ(Run(common + "-q --offset 48,-24 -o 'b_{map}.png'").code, 0);
  for (const char* m : {"color", "height", "normal-dx"}) {
    EXPECT_EQ(ReadImage(Path(std::string("a_") + m + ".png")).pixels,
              ReadImage(Path(std::string("b_") + m + ".png")).pixels)
        << m;
  }
  // The ordinary bake of the same set differs (the tile is another field).
  ASSERT_EQ(Run("render --size 24 --extent 40 --set levels=3 --samples 5 -q "
                "--maps color,height,normal-dx -o 'c_{map}.png'")
                .code,
            0);
  EXPECT_NE(ReadImage(Path("a_height.png")).pixels, ReadImage(Path("c_height.png")).pixels);

  const Result sheet = Run("render --size 8 --tileable --repeat 2 --sheet s.png -o x.png");
  EXPECT_EQ(sheet.code, 2);
  EXPECT_NE(sheet.err.find("--repeat"), std::string::npos) << sheet.err;
  EXPECT_FALSE(fs::exists(Path("x.png")));
}

TEST_F(Cli, ParamsAndInfoListWhatThePluginReports) {
  const Result p = Run("params");
  ASSERT_EQ(p.code, 0) << p.err;
  // Declared default 1, new map 10, display name from the string table.
  EXPECT_NE(p.out.find("size               0   float    1          10         0 .. 1000000"),
            std::string::npos)
      << p.out;
  EXPECT_NE(p.out.find("spreasdMapEnabled"), std::string::npos);
  EXPECT_NE(p.out.find("Spread MapOn"), std::string::npos);
  const Result pj = Run("params --json");
  ASSERT_EQ(pj.code, 0);
  const json list = json::parse(pj.out);
  EXPECT_EQ(list.size(), 56u);
  for (const json& row : list) {
    if (row["name"] == "levels") {
      EXPECT_EQ(row["default"], "8");
      EXPECT_EQ(row["new_map"], "6");
      EXPECT_EQ(row["range"], "1 .. 8");
      EXPECT_EQ(row["display_name"], "Levels");
    }
  }
  const Result i = Run("info");
  ASSERT_EQ(i.code, 0) << i.err;
  EXPECT_NE(i.out.find("Procedural Scratches texmap"), std::string::npos) << i.out;
  EXPECT_NE(i.out.find("(0x8DB6A691, 0x8D486002)"), std::string::npos) << i.out;
}

}  // namespace
