// Files written whole or not at all (also when a signal ends the process), inputs read without
// trusting them, and echoed text that stays one bounded line: the pieces every command of tamrel
// shares.
//
// The full-disk cases mount a small tmpfs, which needs the superuser (CI runs as root); elsewhere
// they are skipped with a message.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "atomicfile.h"
#include "boundedread.h"
#include "engine/EchoText.h"
#include "engine/Interrupt.h"

namespace {

namespace fs = std::filesystem;
using tamrel::host::OneLine;
using tamrel::host::Quote;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

class Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tamrel_files_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (mounted_) ::umount(dir_.c_str());
    fs::remove_all(dir_);
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }
  // Mounts a tmpfs of the given size over the folder; false where that is not permitted.
  bool MountSmallDisk(const char* size) {
    const std::string options = std::string("size=") + size;
    mounted_ = ::geteuid() == 0 && ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return mounted_;
  }
  fs::path dir_;
  bool mounted_ = false;
};

TEST_F(Folder, AtomicFileReplacesOnlyOnCommitThroughAShortUniqueName) {
  const fs::path target = dir_ / "scene.scn";
  Put(target, "old");
  AtomicFile a, b;
  std::string error;
  ASSERT_TRUE(a.Create(target, error)) << error;
  ASSERT_TRUE(b.Create(target, error)) << error;
  // Beside the target, short, and never shared by two writers of the same target.
  EXPECT_EQ(a.TempPath().parent_path(), dir_);
  EXPECT_EQ(a.TempPath().filename().string().rfind(".tmrl-", 0), 0u) << a.TempPath();
  EXPECT_EQ(a.TempPath().filename().string().size(), 12u);
  EXPECT_NE(a.TempPath(), b.TempPath());
  ASSERT_TRUE(a.Write("new", 3, error));
  ASSERT_TRUE(a.WriteAt("N", 1, 0, error));
  EXPECT_EQ(Slurp(target), "old") << "replaced before the commit";
  ASSERT_TRUE(a.Commit(error)) << error;
  EXPECT_EQ(Slurp(target), "New");
  b.Discard();
  EXPECT_EQ(Names(), std::set<std::string>{"scene.scn"});
  // The file reads like any other the user writes, not 0600.
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(Folder, AtomicFileLeftUncommittedLeavesThePreviousFile) {
  const fs::path target = dir_ / "keep.json";
  Put(target, "previous");
  {
    AtomicFile f;
    std::string error;
    ASSERT_TRUE(f.Create(target, error));
    ASSERT_TRUE(f.Write("half", 4, error));
    // A signal handler would remove it: the pending list names it until then.
    RemovePendingTempFiles();
    EXPECT_FALSE(fs::exists(f.TempPath()));
  }
  EXPECT_EQ(Slurp(target), "previous");
  EXPECT_EQ(Names(), std::set<std::string>{"keep.json"});
  std::string error;
  // Committed and discarded files give their entries back at once: with more files than the
  // table holds committed (their writers still alive) or discarded, a hard interrupt still
  // finds the one being written.
  std::vector<AtomicFile> committed(40);
  for (AtomicFile& c : committed) {
    ASSERT_TRUE(c.Create(target, error)) << error;
    ASSERT_TRUE(c.Write("again", 5, error)) << error;
    ASSERT_TRUE(c.Commit(error)) << error;
    AtomicFile dropped;
    ASSERT_TRUE(dropped.Create(target, error)) << error;
  }
  {
    AtomicFile f;
    ASSERT_TRUE(f.Create(target, error)) << error;
    ASSERT_TRUE(fs::exists(f.TempPath()));
    RemovePendingTempFiles();
    EXPECT_FALSE(fs::exists(f.TempPath()));
  }
  EXPECT_EQ(Slurp(target), "again");
  EXPECT_EQ(Names(), std::set<std::string>{"keep.json"});
  EXPECT_FALSE(WriteFileAtomically(dir_ / "absent" / "x.json", "x", error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

TEST_F(Folder, AtomicFileTakesTheLongestNameTheFileSystemHolds) {
  const long nameMax = ::pathconf(dir_.c_str(), _PC_NAME_MAX);
  ASSERT_GT(nameMax, 20);
  const std::string longest(static_cast<std::size_t>(nameMax) - 4, 'n');
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(dir_ / (longest + ".png"), "png", error)) << error;
  EXPECT_EQ(Slurp(dir_ / (longest + ".png")), "png");
}

TEST_F(Folder, FullDiskFailsTheWriteAndKeepsThePreviousFile) {
  if (!MountSmallDisk("64k")) GTEST_SKIP() << "mounting a tmpfs needs the superuser";
  const fs::path target = dir_ / "image.png";
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(target, std::string(20000, 'a'), error)) << error;
  EXPECT_FALSE(WriteFileAtomically(target, std::string(200000, 'b'), error));
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
  EXPECT_EQ(Slurp(target), std::string(20000, 'a'));
  EXPECT_EQ(Names(), std::set<std::string>{"image.png"});
}

// Only a regular file is ever replaced: a pipe, a device or a folder in the target's place is
// refused at Create, before anything is written, and is still there afterwards. A symbolic link
// is written through: the file it leads to takes the new content and the link stays a link.
TEST_F(Folder, AtomicFileReplacesOnlyRegularFilesAndWritesThroughLinks) {
  const fs::path pipe = dir_ / "pipe.png";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  std::string error;
  for (const fs::path& target : {pipe, fs::path("/dev/null"), dir_}) {
    AtomicFile file;
    EXPECT_FALSE(file.Create(target, error)) << target;
    EXPECT_NE(error.find(target == dir_ ? "it is a folder" : "not a regular file"),
              std::string::npos)
        << error;
  }
  EXPECT_TRUE(fs::is_fifo(pipe));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_FALSE(WriteFileAtomically(pipe, "data", error));

  const fs::path real = dir_ / "real.json", link = dir_ / "link.json", chain = dir_ / "chain";
  Put(real, "old");
  fs::create_symlink("real.json", link);  // relative to the link's folder
  fs::create_symlink(link, chain);
  ASSERT_TRUE(WriteFileAtomically(chain, "new", error)) << error;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_symlink(chain));
  EXPECT_EQ(Slurp(real), "new");
  // A long chain (39 links) is followed to its end, as the kernel would follow it; one longer
  // than the kernel follows (41) is refused.
  for (int k = 1; k <= 41; ++k) {
    fs::create_symlink(k == 1 ? fs::path("real.json") : fs::path("hop" + std::to_string(k - 1)),
                       dir_ / ("hop" + std::to_string(k)));
  }
  ASSERT_TRUE(WriteFileAtomically(dir_ / "hop39", "far", error)) << error;
  EXPECT_EQ(Slurp(real), "far");
  EXPECT_TRUE(fs::is_symlink(dir_ / "hop1"));
  EXPECT_FALSE(WriteFileAtomically(dir_ / "hop41", "x", error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_EQ(Slurp(real), "far");
  // A link whose file does not exist yet creates it; a loop of links is refused.
  const fs::path dangling = dir_ / "dangling", made = dir_ / "made.txt";
  fs::create_symlink(made, dangling);
  ASSERT_TRUE(WriteFileAtomically(dangling, "made", error)) << error;
  EXPECT_EQ(Slurp(made), "made");
  EXPECT_TRUE(fs::is_symlink(dangling));
  fs::create_symlink(dir_ / "loop2", dir_ / "loop1");
  fs::create_symlink(dir_ / "loop1", dir_ / "loop2");
  EXPECT_FALSE(WriteFileAtomically(dir_ / "loop1", "x", error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  // A link to a pipe is the pipe.
  fs::create_symlink(pipe, dir_ / "to-pipe");
  EXPECT_FALSE(WriteFileAtomically(dir_ / "to-pipe", "x", error));
  EXPECT_TRUE(fs::is_fifo(pipe));
}

// A replaced file keeps its permissions; a new one gets what the umask leaves.
TEST_F(Folder, AtomicFileKeepsTheModeOfTheFileItReplaces) {
  std::string error;
  const auto mode = [](const fs::path& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  };
  for (const int kept : {0600, 0640, 0604, 0755, 01640}) {
    const fs::path p = dir_ / ("kept" + std::to_string(kept));
    Put(p, "old");
    ASSERT_EQ(::chmod(p.c_str(), static_cast<mode_t>(kept)), 0);
    ASSERT_TRUE(WriteFileAtomically(p, "new", error)) << error;
    EXPECT_EQ(mode(p), kept);
    EXPECT_EQ(Slurp(p), "new");
  }
  const mode_t before = ::umask(027);
  ASSERT_TRUE(WriteFileAtomically(dir_ / "new027", "x", error)) << error;
  ::umask(022);
  ASSERT_TRUE(WriteFileAtomically(dir_ / "new022", "x", error)) << error;
  ::umask(002);
  ASSERT_TRUE(WriteFileAtomically(dir_ / "new002", "x", error)) << error;
  ::umask(before);
  EXPECT_EQ(mode(dir_ / "new027"), 0640);
  EXPECT_EQ(mode(dir_ / "new022"), 0644);
  // The group's write bit comes from the umask too, not from a fixed 0644.
  EXPECT_EQ(mode(dir_ / "new002"), 0664);
}

TEST_F(Folder, OnlyRegularFilesWithinTheLimitAreRead) {
  Put(dir_ / "five", "12345");
  std::string text, error;
  ASSERT_TRUE(ReadRegularFile(dir_ / "five", 5, text, error)) << error;
  EXPECT_EQ(text, "12345");
  EXPECT_FALSE(ReadRegularFile(dir_ / "five", 4, text, error));
  EXPECT_EQ(error, "it is larger than 4 bytes");
  EXPECT_TRUE(text.empty());
  Put(dir_ / "empty", "");
  ASSERT_TRUE(ReadRegularFile(dir_ / "empty", 4, text, error));
  EXPECT_EQ(text, "");

  // A file that holds more than its size said (as one growing while it is read; /proc's files
  // say 0) is read to its end within the limit, and refused whole, not cut, one byte past it.
  const fs::path grows = "/proc/self/cmdline";
  const std::string all = Slurp(grows);
  ASSERT_GT(all.size(), 2u);
  ASSERT_EQ(fs::file_size(grows), 0u);
  ASSERT_TRUE(ReadRegularFile(grows, all.size(), text, error)) << error;
  EXPECT_EQ(text, all);
  ASSERT_TRUE(ReadRegularFile(grows, 1 << 20, text, error)) << error;
  EXPECT_EQ(text, all);
  EXPECT_FALSE(ReadRegularFile(grows, all.size() - 1, text, error));
  EXPECT_EQ(error, "it is larger than " + std::to_string(all.size() - 1) + " bytes");
  EXPECT_TRUE(text.empty());

  // A FIFO without a writer would block a plain open forever.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ReadRegularFile(dir_ / "fifo", 1 << 20, text, error));
  EXPECT_EQ(error, "it is not a regular file");
  EXPECT_FALSE(ReadRegularFile("/dev/zero", 1 << 20, text, error));
  EXPECT_EQ(error, "it is not a regular file");
  EXPECT_FALSE(ReadRegularFile(dir_, 1 << 20, text, error));
  EXPECT_EQ(error, "it is a folder");
  EXPECT_FALSE(ReadRegularFile(dir_ / "absent", 1 << 20, text, error));
  EXPECT_EQ(error, "No such file or directory");
}

// A signal outside a graceful scope ends the process at once with 128 + its number and takes
// the temporary file being written with it. Inside one it only raises the flag the work polls,
// with its code kept; a second signal then ends the process with the first one's code.
TEST_F(Folder, SignalsEndAtOnceOutsideAGracefulScopeAndLeaveNoTemporaryFile) {
  using namespace tamrel::host;
  const fs::path target = dir_ / "out.png";
  EXPECT_EXIT(
      {
        std::signal(SIGINT, SIG_DFL);  // as a foreground command starts
        InstallInterruptHandlers();
        AtomicFile file;
        std::string error;
        if (!file.Create(target, error)) std::_Exit(1);
        std::raise(SIGTERM);
        std::_Exit(2);
      },
      ::testing::ExitedWithCode(128 + SIGTERM), "tamrel: error: interrupted");
  EXPECT_EQ(Names(), std::set<std::string>{});
  EXPECT_EXIT(
      {
        std::signal(SIGINT, SIG_DFL);
        InstallInterruptHandlers();
        {
          const GracefulInterrupt scope;
          std::raise(SIGINT);
          if (!InterruptRequested().load() || InterruptExitCode() != 128 + SIGINT) std::_Exit(3);
          std::raise(SIGTERM);
        }
        std::_Exit(4);
      },
      ::testing::ExitedWithCode(128 + SIGINT), "interrupted");
}

TEST(EchoText, ControlCharactersAreEscapedAndLongValuesCut) {
  EXPECT_EQ(Quote("plain"), "'plain'");
  EXPECT_EQ(Quote(std::string("a\x1b[31mb\nc\r\t", 11)), "'a\\x1B[31mb\\nc\\r\\t'");
  EXPECT_EQ(Quote(std::string("nul\0end", 7)), "'nul\\x00end'");
  EXPECT_EQ(Quote("it's", 80), "'it\\'s'");
  EXPECT_EQ(Quote("say \"x\"", 80, '"'), "\"say \\\"x\\\"\"");
  EXPECT_EQ(Quote("back\\slash"), "'back\\\\slash'");
  // UTF-8 passes; a broken sequence, DEL and a C1 control (U+009B, a terminal escape) do not.
  EXPECT_EQ(Quote("gr\xC3\xBC\xC3\x9F"), "'gr\xC3\xBC\xC3\x9F'");
  EXPECT_EQ(Quote("\xC3(\x7F\xC2\x9B"), "'\\xC3(\\x7F\\xC2\\x9B'");
  // The edges of what passes: the first and the last C1 control (U+0080, U+009F) and the last C0
  // one are escaped, U+00A0 passes; so do the last character (U+10FFFF) and those beside the
  // surrogates, while a surrogate, an overlong form and a sequence cut short by the end are
  // escaped byte by byte.
  EXPECT_EQ(Quote("\xC2\x80\xC2\x9F\x1F \xC2\xA0"), "'\\xC2\\x80\\xC2\\x9F\\x1F \xC2\xA0'");
  EXPECT_EQ(Quote("\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80"),
            "'\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80'");
  EXPECT_EQ(Quote("\xED\xA0\x80"), "'\\xED\\xA0\\x80'");
  EXPECT_EQ(Quote("\xE0\x80\xAF"), "'\\xE0\\x80\\xAF'");
  EXPECT_EQ(Quote("\xF4\x90\x80\x80"), "'\\xF4\\x90\\x80\\x80'");
  EXPECT_EQ(Quote("ab\xE2\x82"), "'ab\\xE2\\x82'");
  EXPECT_EQ(Quote(std::string(50000000, 'x'), 8), "'xxxxxxxx'... (50000000 bytes)");
  // A cut never splits a character.
  EXPECT_EQ(Quote("\xE2\x82\xAC\xE2\x82\xAC", 4), "'\xE2\x82\xAC\xE2\x82\xAC'");
  EXPECT_EQ(Quote("ab\xE2\x82\xAC\xE2\x82\xAC", 2), "'ab'... (8 bytes)");

  EXPECT_EQ(OneLine("bad value 'a'\nnext\x1b"), "bad value 'a'\\nnext\\x1B");
  EXPECT_EQ(OneLine(std::string(3000, 'e'), 1000), std::string(1000, 'e') + "... (3000 bytes)");
  // A message exactly at the limit is whole; one byte more is cut. A line has no quote mark, so a
  // backslash passes as it is.
  EXPECT_EQ(OneLine(std::string(1000, 'e'), 1000), std::string(1000, 'e'));
  EXPECT_EQ(OneLine(std::string(1001, 'e'), 1000), std::string(1000, 'e') + "... (1001 bytes)");
  EXPECT_EQ(OneLine("C:\\dir\\f 'q'\t"), "C:\\dir\\f 'q'\\t");
}

}  // namespace
