// The file is opened non-blocking, so that opening a FIFO with no writer returns at once, and its
// type is taken from the open descriptor, so that it cannot be swapped between check and read.
#include "boundedread.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
#ifdef _WIN32
    if (fd_ >= 0) _close(fd_);
#else
    if (fd_ >= 0) ::close(fd_);
#endif
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const {
    return fd_;
  }

 private:
  int fd_;
};

}  // namespace

bool ReadRegularFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& out,
                     std::string& error) {
  out.clear();
#ifdef _WIN32
  const Descriptor fd(_open(path.string().c_str(), _O_RDONLY | _O_BINARY));
#else
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
#endif
  if (fd.get() < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
    return false;
  }
  const std::string tooLarge = "it is larger than " + std::to_string(maxBytes) + " bytes";
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    error = tooLarge;
    return false;
  }
#ifndef _WIN32
  // Reads of a regular file never block; clearing the flag keeps that true on any file system.
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
#endif
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  for (;;) {
    // The file may grow while it is read: one byte beyond the limit tells.
    if (got == out.size()) {
      if (got > maxBytes) break;
      out.resize(std::min(maxBytes + 1, got + 65536));
    }
#ifdef _WIN32
    const long n = _read(fd.get(), out.data() + got,
                         static_cast<unsigned>(std::min<std::size_t>(out.size() - got, 1u << 30)));
#else
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
#endif
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      out.clear();
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > maxBytes) {
    error = tooLarge;
    out.clear();
    return false;
  }
  out.resize(got);
  return true;
}
