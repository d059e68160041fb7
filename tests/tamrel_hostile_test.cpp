// tamrel tried as a hostile or careless user would: full disks, endless and deeply nested inputs,
// scenes whose maps would take hours a sample, signals, concurrent saves, huge and empty option
// values, long names. Every case ends in one clear line and a distinct exit code, or in the image
// asked for, and never loses or half-writes a file.
//
// The full-disk case mounts a small tmpfs, which needs the superuser (CI runs as root); elsewhere
// it is skipped with a message. Scenes are built here through the plug-in itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "engine/PluginLibrary.h"
#include "imtl.h"
#include "scenefile.h"
#include "tests/TamrelRun.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using tamrel::testing::ExitCode;
using tamrel::testing::Result;
using tamrel::testing::Slurp;

class Hostile : public tamrel::testing::TamrelFolderTest {
 protected:
  void TearDown() override {
    if (mounted_) ::umount(dir_.c_str());
    TamrelFolderTest::TearDown();
  }
  bool MountSmallDisk(const char* size) {
    const std::string options = std::string("size=") + size;
    mounted_ = ::geteuid() == 0 && ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return mounted_;
  }

  bool mounted_ = false;
};

void ExpectOneErrorLine(const Result& r, int code, const std::string& mustSay) {
  EXPECT_EQ(r.code, code) << r.err;
  EXPECT_EQ(r.err.rfind("tamrel: error: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find(mustSay), std::string::npos) << r.err;
}

// Scenes of maps linked through their sub-map slots, built with the plug-in as tamrel loads it.
class SceneMaker {
 public:
  SceneMaker() {
    const fs::path plugin = fs::path(TAMREL_BINARY).parent_path() / "TamrelScratches.dlt";
    if (!library_.Open(plugin.string())) return;
    for (int i = 0; i < library_.NumberClasses(); ++i) {
      ClassDesc* cd = library_.GetClassDesc(i);
      if (cd && cd->SuperClassID() == TEXMAP_CLASS_ID) cd_ = cd;
    }
  }
  // levels + 1 maps; every slot of map k holds map k + 1.
  bool SaveChain(int levels, const fs::path& file) {
    if (!cd_) return false;
    Scene scene;
    std::vector<Texmap*> maps;
    for (int k = 0; k <= levels; ++k) maps.push_back(static_cast<Texmap*>(cd_->Create(FALSE)));
    scene.AddRoot(maps[0]);
    for (int k = 0; k < levels; ++k) {
      for (int s = 0; s < maps[k]->NumSubTexmaps(); ++s) maps[k]->SetSubTexmap(s, maps[k + 1]);
    }
    std::string error;
    return SaveScene(scene, file, error);
  }

 private:
  tamrel::host::PluginLibrary library_;
  ClassDesc* cd_ = nullptr;
};

// 1. A full disk fails the write with exit 4 and leaves every previous file as it was.
TEST_F(Hostile, FullDiskKeepsThePreviousFilesAndExitsFour) {
  if (!MountSmallDisk("160k")) GTEST_SKIP() << "mounting a tmpfs needs the superuser";
  ASSERT_EQ(Run("render --size 16 -q -o i.png --save-preset p.json --save-scene s.scn").code, 0);
  ASSERT_EQ(Run("render --size 16 -q -o i.exr").code, 0);
  const std::set<std::string> before = Files();
  std::vector<std::string> kept;
  for (const std::string& name : before) kept.push_back(Slurp(Path(name)));
  // Fill the rest of the disk.
  Shell("dd if=/dev/zero of=fill bs=1024 count=400 2>/dev/null; true");
  const std::set<std::string> full = Files();
  for (const char* args : {"render --size 256 -q -o i.png", "render --size 256 -q -o i.exr",
                           "render --size 4 -q -o x.png --save-preset p.json",
                           "render --size 4 -q -o x.png --save-scene s.scn"}) {
    const Result r = Run(args);
    ExpectOneErrorLine(r, 4, "No space left on device");
    EXPECT_EQ(Files(), full) << args;
  }
  std::size_t k = 0;
  for (const std::string& name : before) EXPECT_EQ(Slurp(Path(name)), kept[k++]) << name;
}

// Outputs that are not regular files are never replaced: a pipe as the image, the preset or the
// scene is refused with exit 4 before anything is rendered (and without opening it, which would
// block); a symbolic link is written through to its file; a replaced file keeps its mode.
TEST_F(Hostile, OutputsThatAreNotRegularFilesAreNeverReplaced) {
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(Path("pipe.png").c_str(), 0644), 0);
  for (const char* args : {"render --size 4 -q -o pipe.png", "render --size 4 -q --save-preset pipe",
                           "render --size 4 -q --save-scene pipe",
                           "render --size 4 -q --maps color,height -o pipe.{map} "
                           "--map-format color=png --map-format height=exr"}) {
    ExpectOneErrorLine(Run(args), 4, "is not a regular file");
    EXPECT_TRUE(fs::is_fifo(Path("pipe"))) << args;
    EXPECT_TRUE(fs::is_fifo(Path("pipe.png"))) << args;
  }
  EXPECT_EQ(Files(), (std::set<std::string>{"pipe", "pipe.png"}));

  fs::create_directory(Path("real"));
  fs::create_symlink("real/image.png", Path("link.png"));
  fs::create_symlink("real/look.json", Path("link.json"));
  ASSERT_EQ(Run("render --size 4 -q -o link.png --save-preset link.json").code, 0);
  EXPECT_TRUE(fs::is_symlink(Path("link.png")));
  EXPECT_TRUE(fs::is_symlink(Path("link.json")));
  EXPECT_EQ(Slurp(Path("real/image.png")).substr(1, 3), "PNG");
  EXPECT_EQ(Slurp(Path("real/look.json")).substr(0, 1), "{");

  ASSERT_EQ(::chmod(Path("real/image.png").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(Path("real/look.json").c_str(), 0640), 0);
  ASSERT_EQ(Run("render --size 4 -q -o link.png --save-preset real/look.json").code, 0);
  struct stat st;
  ASSERT_EQ(::stat(Path("real/image.png").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat(Path("real/look.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// Two outputs of one run on one file are refused before anything is rendered or written: the
// sheet on a map's name, the image and the preset, the preset and the scene, another spelling
// of one name or one in other letters' case, a link to another output.
TEST_F(Hostile, OutputsNamingOneFileTwiceAreRefusedBeforeRendering) {
  fs::create_symlink("b.png", Path("a.png"));
  const std::vector<std::pair<std::string, std::string>> clashes = {
      {"--maps color,height -o s_{map}.png --sheet s_color.png",
       "the map color and the sheet would both be written to s_color.png"},
      {"--maps color,height -o s_{map}.png --sheet ./s_height.png",
       "the map height and the sheet would both be written to ./s_height.png"},
      {"-o x.png --save-preset x.png", "the map color and the preset would both be written"},
      {"-o x.png --save-preset p.x --save-scene P.X",
       "the preset and the scene would both be written to P.X"},
      {"-o x.png --save-scene x.scn --save-preset sub/../x.scn",
       "the preset and the scene would both be written"},
      {"-o a.png --save-scene b.png", "the map color and the scene would both be written"},
      {"--frames 0-1 -o f.####.png --save-preset f.0001.png",
       "the map color and the preset would both be written"},
  };
  fs::create_directory(Path("sub"));
  for (const auto& [args, message] : clashes) {
    ExpectOneErrorLine(Run("render --size 4 -q " + args), 2, message);
  }
  EXPECT_EQ(Files(), (std::set<std::string>{"a.png", "sub"}));
  // Distinct names still bake together.
  EXPECT_EQ(Run("render --size 4 -q --maps color,height -o s_{map}.png --sheet sheet.png "
                "--save-preset s.json --save-scene s.scn")
                .code,
            0);
}

// 2. Nesting deep enough to overflow a recursive walk is refused while the preset is parsed.
TEST_F(Hostile, DeeplyNestedPresetsAreRefused) {
  Write("deep.json", std::string(100000, '[') + std::string(100000, ']'));
  ExpectOneErrorLine(Run("render --size 4 -q --preset deep.json"), 3,
                     "preset deep.json nests values deeper than 32 levels");
  // A value nested one level past the limit is refused for its depth; one at the limit is read
  // whole and refused for what it holds.
  Write("deepkey.json", "{\"size\": " + std::string(33, '[') + std::string(33, ']') + "}");
  ExpectOneErrorLine(Run("render --size 4 -q --preset deepkey.json"), 3, "deeper than 32");
  Write("limit.json", "{\"size\": " + std::string(32, '[') + std::string(32, ']') + "}");
  ExpectOneErrorLine(Run("render --size 4 -q --preset limit.json"), 3,
                     "preset limit.json: parameter \"size\" (float in block \"params\", range 0 .. "
                     "1000000): " + std::string(32, '[') + std::string(32, ']') + " is not a number");
  // A preset's own shape is four levels deep and passes.
  Write("keys.json", R"({"color1": {"keys": [[0, [0.5, 0.2, 0.1]], [3, [1, 1, 1]]]}})");
  EXPECT_EQ(Run("render --size 4 -q --preset keys.json -o k.png").code, 0);
}

// 3. Anything but a regular file is refused at once, without blocking on it.
TEST_F(Hostile, EndlessAndSpecialInputsAreRefusedAtOnce) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_directories(Path("folder"));
  Write("big.json", "{\"size\": 4" + std::string(17 << 20, ' ') + "}");
  for (const std::string option : {"--preset", "--scene"}) {
    for (const std::string input : {"fifo", "/dev/zero", "folder"}) {
      // timeout ends a hang with 124, which the expectation then reports.
      const Result r = Shell("timeout 60 \"$T\" render --size 4 -q " + option + " " + input);
      ExpectOneErrorLine(r, 3, input == "folder" ? "it is a folder" : "it is not a regular file");
    }
  }
  ExpectOneErrorLine(Run("render --size 4 -q --preset big.json"), 3,
                     "it is larger than 16777216 bytes");
}

// 4. A scene whose maps double their work at every level is refused before rendering; a heavy
// scene within the bound is stopped by a signal in the middle of a sample's work.
TEST_F(Hostile, MapGraphsBeyondTheWorkBoundAreRefused) {
  SceneMaker maker;
  ASSERT_TRUE(maker.SaveChain(20, Path("chain.scn")));
  ExpectOneErrorLine(
      Run("render --size 4 -q --scene chain.scn"), 3,
      "scene chain.scn: its maps would take at least 1e+18 map evaluations per sample, "
      "more than the 4096 allowed");
  // Three levels cost 1 + 14 * (1 + 14 * (1 + 14)) = 2955 evaluations a sample: allowed.
  ASSERT_TRUE(maker.SaveChain(3, Path("three.scn")));
  ASSERT_TRUE(maker.SaveChain(4, Path("four.scn")));
  ExpectOneErrorLine(Run("render --size 4 -q --scene four.scn"), 3,
                     "its maps would take 41371 map evaluations");
  EXPECT_EQ(Run("render --size 2 -q --scene three.scn -o three.png").code, 0);
}

// The signals whose handlers a process has installed, from its /proc status.
unsigned long long CaughtSignals(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  }
  return 0;
}

// 12. Signals end a run with 128 + the signal, leaving no file behind.
TEST_F(Hostile, SignalsEndTheRunWith130And143) {
  const std::string out = Path("slow.png").string(), err = Log(".stderr").string();
  for (const auto& [signal, code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    // Without the interrupt this bake runs for minutes.
    std::vector<std::string> args = {TAMREL_BINARY, "render",   "--size",    "4096",
                                     "--output",    "mono",     "--threads", "1",
                                     "--set",       "levels=8", "-o",        out};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&files);
    // Once the handlers are in place, and a moment later while it renders, the signal comes.
    const unsigned long long both = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
    for (int i = 0; i < 600 && (CaughtSignals(pid) & both) != both; ++i) ::usleep(50000);
    ::usleep(300000);
    ::kill(pid, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(ExitCode(status), code) << signal << ": " << Slurp(err);
    EXPECT_NE(Slurp(err).find("interrupted"), std::string::npos) << Slurp(err);
    EXPECT_TRUE(Files().empty()) << signal;
  }
  // Started with SIGINT ignored, as a shell starts background jobs, the run keeps ignoring it
  // and still ends on SIGTERM; two signals back to back end it with the first one's code.
  for (const bool ignoreInterrupt : {true, false}) {
    std::vector<std::string> args = {TAMREL_BINARY, "render", "--size", "4096", "--output", "mono",
                                     "--threads", "1", "-o", out};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    struct sigaction ignore {}, before {};
    ignore.sa_handler = ignoreInterrupt ? SIG_IGN : SIG_DFL;
    sigaction(SIGINT, &ignore, &before);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    sigaction(SIGINT, &before, nullptr);
    ASSERT_EQ(spawned, 0);
    const unsigned long long term = 1ull << (SIGTERM - 1), intr = 1ull << (SIGINT - 1);
    for (int i = 0; i < 600 && !(CaughtSignals(pid) & term); ++i) ::usleep(50000);
    ::usleep(300000);
    EXPECT_EQ((CaughtSignals(pid) & intr) != 0, !ignoreInterrupt);
    ::kill(pid, SIGTERM);
    // The kernel hands two pending signals over lowest number first, so the second follows
    // once the first has had a moment to arrive.
    if (!ignoreInterrupt) {
      ::usleep(100000);
      ::kill(pid, SIGINT);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(ExitCode(status), 143) << ignoreInterrupt;
    EXPECT_TRUE(Files().empty()) << ignoreInterrupt;
  }
}

// A signal while a repeat is being written (the tile is baked and its files are open) ends the
// run as in any other phase: 130, one line of tamrel's own on standard error, the --json report
// with the exit code on standard output, and no file or temporary file left.
TEST_F(Hostile, SignalsDuringTheRepeatWriteStillReport) {
  const std::string err = Log(".stderr").string(), out = Log(".stdout").string();
  std::vector<std::string> args = {TAMREL_BINARY, "render", "--size", "1024", "--samples", "1",
                                   "--repeat", "8", "--json", "-o", Path("rep.png").string()};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&files);
  // The repeat's file opens once the tile is baked: the signal comes while it is written.
  bool writing = false;
  for (int i = 0; i < 1200 && !writing; ++i) {
    for (const std::string& name : Files()) writing = writing || name.rfind(".tmrl-", 0) == 0;
    if (!writing) ::usleep(10000);
  }
  EXPECT_TRUE(writing);
  ::usleep(100000);
  ::kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(ExitCode(status), 130) << Slurp(err);
  const std::string said = Slurp(err);
  EXPECT_EQ(said.rfind("tamrel: error: interrupted", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  const nlohmann::json report = nlohmann::json::parse(Slurp(out), nullptr, false);
  ASSERT_TRUE(report.is_object()) << Slurp(out);
  EXPECT_EQ(report["exit_code"], 130);
  EXPECT_EQ(report["files"], nlohmann::json::array());
  EXPECT_TRUE(Files().empty());
}

// A repeat is written in bands from its one tile, so an 8 x 8 repeat of a 1024 tile fits in a
// fraction of the memory its 8192-pixel image would take in float (2 GB); a bake too large for
// the memory there is fails with one clear line and exit 1. (The address-space limit cannot
// hold a sanitizer's shadow memory, so those builds skip this.)
TEST_F(Hostile, RepeatsStreamFromTheTileAndMemoryRunsOutClearly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit does not fit a sanitizer's shadow memory";
#else
  const Result rep = Shell("ulimit -v 700000 && \"$T\" render -q --size 1024 --samples 1 "
                           "--repeat 8 -o rep.png");
  ASSERT_EQ(rep.code, 0) << rep.err;
  EXPECT_EQ(rep.err, "");
  ASSERT_TRUE(fs::exists(Path("rep.png")));
  const Result big = Shell("ulimit -v 700000 && \"$T\" render -q --size 8192 --samples 1 "
                           "--maps color,height,normal --repeat 2 -o big_{map}.png");
  ExpectOneErrorLine(big, 1, "not enough memory to bake 8192x8192 pixels of 3 maps");
  EXPECT_EQ(Files(), (std::set<std::string>{"rep.png"}));
#endif
}

// 5. Normals stay finite and of unit length for every finite bump scale.
TEST_F(Hostile, HugeBumpScalesGiveUnitNormals) {
  for (const char* scale : {"3.4028234e38", "1e19"}) {
    ASSERT_EQ(Run(std::string("render --size 24 -q --output normal --type float --set size=2 ") +
                  "--bump-scale " + scale + " -o n.exr")
                  .code,
              0);
    auto in = OIIO::ImageInput::open(Path("n.exr").string());
    ASSERT_TRUE(in);
    std::vector<float> px(24 * 24 * 3);
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, px.data()));
    int bent = 0;
    for (std::size_t i = 0; i < px.size(); i += 3) {
      const float x = px[i] * 2.0f - 1.0f, y = px[i + 1] * 2.0f - 1.0f, z = px[i + 2] * 2.0f - 1.0f;
      ASSERT_TRUE(std::isfinite(x) && std::isfinite(y) && std::isfinite(z)) << scale << " " << i;
      EXPECT_NEAR(x * x + y * y + z * z, 1.0f, 1e-4f) << scale << " " << i;
      // A huge scale lays every bent normal into the surface.
      if (z < 0.9999f) {
        ++bent;
        EXPECT_LT(std::fabs(z), 1e-6f) << scale << " " << i;
      }
    }
    EXPECT_GT(bent, 24) << scale << ": the normals stayed flat";
  }
}

// 6. Saves of one scene from several processes at once all succeed, and leave one whole file.
TEST_F(Hostile, ConcurrentSavesOfOneSceneAllSucceed) {
  const Result r = Shell(
      "for i in 1 2 3 4 5 6 7 8; do \"$T\" render --size 1 -q -o p$i.png --set size=$i "
      "--save-scene same.scn --save-preset same.json & done; f=0; for j in 1 2 3 4 5 6 7 8; do "
      "wait %$j || f=1; done; exit $f");
  EXPECT_EQ(r.code, 0) << r.err;
  std::set<std::string> want = {"same.scn", "same.json"};
  for (int i = 1; i <= 8; ++i) want.insert("p" + std::to_string(i) + ".png");
  EXPECT_EQ(Files(), want);
  const Result again = Run("render --size 1 -q --scene same.scn --save-preset back.json -o b.png");
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(json::parse(Slurp(Path("back.json"))).size(), 48u);
}

// 7. Keys anywhere a scene can hold them go through presets and back.
TEST_F(Hostile, KeysBeyondFrameOneMillionRoundTripThroughPresets) {
  ASSERT_EQ(Run("render --size 1 -q -o k.png --set size@0=5 --set size@2000000=20 "
                "--set stretch@13421772.79375=3 --set erosion@-13421772.8=0.5 --save-scene k.scn")
                .code,
            0);
  ASSERT_EQ(Run("render --size 1 -q -o k.png --scene k.scn --save-preset k.json").code, 0);
  const json preset = json::parse(Slurp(Path("k.json")));
  EXPECT_EQ(preset["size"]["keys"], json::parse("[[0.0, 5.0], [2000000.0, 20.0]]"));
  EXPECT_EQ(preset["stretch"]["keys"][1][0].get<double>(), 13421772.79375);
  // The earliest key a TimeValue holds, too.
  EXPECT_EQ(preset["erosion"]["keys"][0][0].get<double>(), -13421772.8);
  ASSERT_EQ(Run("render --size 32 -q --frames 1000000 --scene k.scn -o scene.exr").code, 0);
  const Result viaPreset =
      Run("render --size 32 -q --frames 1000000 --preset k.json -o preset.exr");
  ASSERT_EQ(viaPreset.code, 0) << viaPreset.err;
  EXPECT_EQ(Slurp(Path("scene.exr")), Slurp(Path("preset.exr")));
  // One tick past what a TimeValue holds is refused the same way by --set and by presets.
  ExpectOneErrorLine(Run("render --size 1 -q --set size@13421772.8=5"), 2,
                     "keys lie at frames from -13421772.8 to 13421772.79375");
  Write("late.json", R"({"size": {"keys": [[13421772.8, 5]]}})");
  ExpectOneErrorLine(Run("render --size 1 -q --preset late.json"), 3,
                     "the key frame 13421772.8 is outside frames from -13421772.8 to "
                     "13421772.79375");
}

// 8. Echoed values are quoted, escaped and cut; every error is one line.
TEST_F(Hostile, EchoedValuesAreQuotedEscapedAndCut) {
  Write("huge.json", "{\"size\": \"" + std::string(1 << 20, 'v') + "\"}");
  const Result huge = Run("render --size 1 -q --preset huge.json");
  ExpectOneErrorLine(huge, 3, "... (1048578 bytes) is not a number");
  EXPECT_LT(huge.err.size(), 400u);
  Write("ctl.json", "{\"size\": \"a\\u001b[2Jb\\nc\\u0000\"}");
  ExpectOneErrorLine(Run("render --size 1 -q --preset ctl.json"), 3,
                     "\"a\\u001b[2Jb\\nc\\u0000\" is not a number");
  const Result name = Run("render --size 1 -q --set \"$(printf \"x\\033]0;t\\007=1\")\"");
  ExpectOneErrorLine(name, 2, "unknown parameter \"x\\x1B]0;t\\x07\"");
  Write("key.json", "{\"" + std::string(1 << 20, 'k') + "\": 1}");
  const Result key = Run("render --size 1 -q --preset key.json");
  ExpectOneErrorLine(key, 3, "unknown parameter \"kkkk");
  EXPECT_NE(key.err.find("\"... (1048576 bytes)"), std::string::npos) << key.err;
  EXPECT_LT(key.err.size(), 400u);
  const std::string longValue(100000, '9');
  const Result set = Run("render --size 1 -q --set levels=" + longValue);
  ExpectOneErrorLine(set, 2, "... (100000 bytes) is not an integer");
  EXPECT_LT(set.err.size(), 400u);
  const Result cli = Run("render --size 1 -q --threads " + longValue);
  ExpectOneErrorLine(cli, 2, "bytes)");
  EXPECT_LT(cli.err.size(), 1200u);
}

// 9. An empty value is refused, never taken as zero or as the default.
TEST_F(Hostile, EmptyValuesAreRefused) {
  for (const char* args :
       {"render --bump-scale \"\"", "render --preset \"\"", "render --scene \"\"",
        "--plugin \"\" info", "render -o \"\"", "render --save-preset \"\"", "render --size \"\"",
        "render --extent \"\"", "render --set \"\"", "render --frames \"\""}) {
    const Result r = Run(args);
    ExpectOneErrorLine(r, 2, "empty value");
    EXPECT_TRUE(Files().empty()) << args;
  }
}

// 10. A long but valid output name works; one the file system cannot hold fails before the
// render.
TEST_F(Hostile, LongOutputNames) {
  const long nameMax = ::pathconf(dir_.c_str(), _PC_NAME_MAX);
  ASSERT_EQ(nameMax, 255);
  const std::string longest(251, 'l');
  const Result ok = Run("render --size 2 -q -o " + longest + ".png --save-preset " + longest +
                        ".jsn --save-scene " + longest + ".scn");
  ASSERT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(Files(), (std::set<std::string>{longest + ".png", longest + ".jsn", longest + ".scn"}));
  const std::string tooLong(300, 'l');
  for (const std::string option : {"-o", "--save-preset", "--save-scene"}) {
    const Result r = Run("render --size 2 -q " + option + " " + tooLong + ".png");
    ExpectOneErrorLine(r, 4, "its name is 304 bytes long, more than the 255 its folder allows");
  }
  EXPECT_EQ(Files().size(), 3u);
}

// 11. The same bake gives the same bytes in every format; the date is SOURCE_DATE_EPOCH's.
TEST_F(Hostile, SameBakeSameBytes) {
  const std::vector<std::string> formats = {"exr", "tif", "png"};
  for (const std::string& e : formats) {
    ASSERT_EQ(Run("render --size 8 -q --output height -o a." + e).code, 0);
  }
  ::sleep(1);  // a clock in the file would tick over
  for (const std::string& e : formats) {
    ASSERT_EQ(Run("render --size 8 -q --output height -o b." + e).code, 0);
    EXPECT_EQ(Slurp(Path("a." + e)), Slurp(Path("b." + e))) << e;
    ASSERT_EQ(
        Run("render --size 8 -q --output height -o c." + e, "SOURCE_DATE_EPOCH=1700000000").code,
        0);
    auto in = OIIO::ImageInput::open(Path("c." + e).string());
    ASSERT_TRUE(in) << e;
    EXPECT_EQ(in->spec().get_string_attribute("DateTime"), "2023:11:14 22:13:20") << e;
  }
}

}  // namespace
