// The temporary file is created with mkostemp, written with write/pwrite whose every count is
// checked, flushed with fsync and closed with a checked close; the rename is the only moment the
// target changes. Pending temporary names are kept in a fixed table of atomics, which a signal
// handler may read.
#include "atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// 0: free, 1: being filled, 2: names a pending temporary file.
struct PendingSlot {
  std::atomic<int> state{0};
  char path[4096];
};
PendingSlot gPending[16];

int ClaimSlot(const std::string& path) {
  if (path.size() >= sizeof gPending[0].path) return -1;
  for (int i = 0; i < static_cast<int>(std::size(gPending)); ++i) {
    int expected = 0;
    if (gPending[i].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(gPending[i].path, path.c_str(), path.size() + 1);
      gPending[i].state.store(2);
      return i;
    }
  }
  return -1;  // more files at once than the table holds: they are still removed on failure
}

void ReleaseSlot(int& slot) {
  if (slot >= 0) gPending[slot].state.store(0);
  slot = -1;
}

#ifdef _WIN32
int OpenUnique(std::string& name) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned n = (static_cast<unsigned>(_getpid()) * 7919u + counter.fetch_add(1)) % 1000000u;
    std::string candidate = name;
    candidate.replace(candidate.size() - 6, 6, std::to_string(1000000u + n).substr(1));
    const int fd = _open(candidate.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, 0644);
    if (fd >= 0 || errno != EEXIST) {
      name = candidate;
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}
#endif

}  // namespace

#ifndef _WIN32
bool FollowSymbolicLinks(fs::path& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
    if (!S_ISLNK(st.st_mode)) return true;
    std::error_code ec;
    const fs::path to = fs::read_symlink(path, ec);
    if (ec) {
      errno = ec.value();
      return false;
    }
    path = to.is_absolute() ? to : path.parent_path() / to;
  }
  errno = ELOOP;
  return false;
}
#endif

AtomicFile::~AtomicFile() {
  Discard();
}

bool AtomicFile::Fail(const char* what, int err, std::string& error) {
  error = std::string(what) + ": " + std::strerror(err);
  Discard();
  return false;
}

bool AtomicFile::Create(const fs::path& target, std::string& error) {
  Discard();
  target_ = target;
#ifndef _WIN32
  if (!FollowSymbolicLinks(target_)) return Fail("following its symbolic link", errno, error);
  // Only a regular file is replaced: renaming over a device, a pipe or a socket would put a
  // plain file where something else was expected (as root, over /dev/null).
  struct stat existing;
  const bool replaces = ::stat(target_.c_str(), &existing) == 0;
  if (replaces && S_ISDIR(existing.st_mode)) {
    error = "it is a folder";
    return false;
  }
  if (replaces && !S_ISREG(existing.st_mode)) {
    error = "it exists and is not a regular file (a device, pipe or socket is never replaced)";
    return false;
  }
#endif
  const fs::path dir = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
  std::string name = (dir / ".tmrl-XXXXXX").string();
#ifdef _WIN32
  fd_ = OpenUnique(name);
#else
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
#endif
  if (fd_ < 0) return Fail("creating a temporary file", errno, error);
  temp_ = name;
  slot_ = ClaimSlot(name);
#ifndef _WIN32
  if (replaces) {
    // The new content takes the place of the old file with its permissions and, where the
    // process may, its owner: a private file stays private.
    ::fchmod(fd_, existing.st_mode & 07777);
    if (::fchown(fd_, existing.st_uid, existing.st_gid) != 0) {
      // Only root may give a file away; the group alone may still be kept.
      (void)!::fchown(fd_, static_cast<uid_t>(-1), existing.st_gid);
    }
  } else {
    // mkostemp gives 0600; a new file should read like any other file the user writes.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
  }
#endif
  return true;
}

bool AtomicFile::Write(const void* data, std::size_t size, std::string& error) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
#ifdef _WIN32
    const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    const long n = _write(fd_, p, static_cast<unsigned>(chunk));
#else
    const ssize_t n = ::write(fd_, p, size);
#endif
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail("writing", n < 0 ? errno : ENOSPC, error);
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool AtomicFile::WriteAt(const void* data, std::size_t size, long long offset, std::string& error) {
#ifdef _WIN32
  const long long here = _lseeki64(fd_, 0, SEEK_CUR);
  if (here < 0 || _lseeki64(fd_, offset, SEEK_SET) < 0) return Fail("writing", errno, error);
  if (!Write(data, size, error)) return false;
  if (_lseeki64(fd_, here, SEEK_SET) < 0) return Fail("writing", errno, error);
  return true;
#else
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail("writing", n < 0 ? errno : ENOSPC, error);
    p += n;
    offset += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
#endif
}

bool AtomicFile::Commit(std::string& error) {
  if (fd_ < 0) {
    error = "the file was not created";
    return false;
  }
#ifdef _WIN32
  if (_commit(fd_) != 0) return Fail("flushing to the disk", errno, error);
  const int closed = _close(fd_);
#else
  if (::fsync(fd_) != 0) return Fail("flushing to the disk", errno, error);
  const int closed = ::close(fd_);
#endif
  fd_ = -1;
  if (closed != 0) return Fail("closing", errno, error);
#ifdef _WIN32
  if (!MoveFileExA(temp_.string().c_str(), target_.string().c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail("renaming over the target", EACCES, error);
  }
  ReleaseSlot(slot_);
  temp_.clear();
#else
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    return Fail("renaming over the target", errno, error);
  }
  ReleaseSlot(slot_);
  temp_.clear();
  // The rename itself reaches the disk with the folder; a failure here no longer loses anything.
  const fs::path dir = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
  const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd >= 0) {
    ::fsync(dirfd);
    ::close(dirfd);
  }
#endif
  return true;
}

void AtomicFile::Discard() {
  if (fd_ >= 0) {
#ifdef _WIN32
    _close(fd_);
#else
    ::close(fd_);
#endif
    fd_ = -1;
  }
  if (!temp_.empty()) {
    std::error_code ec;
    fs::remove(temp_, ec);
    temp_.clear();
  }
  ReleaseSlot(slot_);
}

bool WriteFileAtomically(const fs::path& path, std::string_view bytes, std::string& error) {
  AtomicFile file;
  return file.Create(path, error) && file.Write(bytes.data(), bytes.size(), error) &&
         file.Commit(error);
}

void RemovePendingTempFiles() noexcept {
  for (PendingSlot& s : gPending) {
#ifdef _WIN32
    if (s.state.load() == 2) _unlink(s.path);
#else
    if (s.state.load() == 2) ::unlink(s.path);
#endif
  }
}
