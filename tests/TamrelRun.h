// Running the tamrel command as a user does: in a folder of the test's own, through the shell,
// with its exit code, standard output and standard error captured. The test target defines
// TAMREL_BINARY.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace tamrel::testing {

struct Result {
  int code = -1;
  std::string out, err;
};

inline std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The exit code of a wait status; -1 for a process ended by a signal.
inline int ExitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class TamrelFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("tamrel_" + std::string(test->test_suite_name()) + "_" + std::to_string(::getpid()) +
            "_" + test->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
    for (const char* ext : {".stdout", ".stderr", ".sh"}) std::filesystem::remove(Log(ext), ec);
  }

  // Files beside the folder, so that they never show among its files.
  std::filesystem::path Log(const char* ext) const {
    return dir_.parent_path() / (dir_.filename().string() + ext);
  }

  // Runs a shell command line in the test's folder, with $T naming tamrel and env (assignments
  // such as "TAMREL_X=1") in its environment.
  Result Shell(const std::string& line, const std::string& env = "") const {
    std::ofstream(Log(".sh"), std::ios::binary) << line << "\n";
    const std::string cmd = "cd '" + dir_.string() + "' && T='" TAMREL_BINARY "' " + env + " sh '" +
                            Log(".sh").string() + "' >'" + Log(".stdout").string() + "' 2>'" +
                            Log(".stderr").string() + "'";
    Result r;
    r.code = ExitCode(std::system(cmd.c_str()));
    r.out = Slurp(Log(".stdout"));
    r.err = Slurp(Log(".stderr"));
    return r;
  }
  // Runs tamrel with args, passed through the shell as written.
  Result Run(const std::string& args, const std::string& env = "") const {
    return Shell("\"$T\" " + args, env);
  }

  // Every file and folder in the test's folder, by relative path.
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_)) {
      names.insert(std::filesystem::relative(e.path(), dir_).string());
    }
    return names;
  }
  std::filesystem::path Path(const std::string& name) const { return dir_ / name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }

  std::filesystem::path dir_;
};

}  // namespace tamrel::testing
