// Files replaced whole or not at all. The new content goes to a temporary file in the target's
// folder, every write and the close are checked, the data is flushed to the disk, and only then
// is the temporary renamed over the target: a full disk, an error or an interrupted process
// leaves the previous file as it was.
//
// A symbolic link is written through: the file it leads to is replaced and the link stays. A
// target that exists and is not a regular file (a device, a pipe, a socket, a folder) is refused;
// a replaced file keeps its permissions (and owner, where the process may set it), and a new one
// gets those the umask leaves.
//
// Temporary names are short (".tmrl-" and six random characters) so that a target name near the
// file system's limit still has room, and unique, so that two processes writing the same target
// never share one.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

class AtomicFile {
 public:
  AtomicFile() = default;
  // Removes the temporary file unless it was committed.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside target. False when it cannot be. Every error is a short
  // reason without the file's name ("writing: No space left on device"), for the caller to say
  // which file it concerns.
  bool Create(const std::filesystem::path& target, std::string& error);
  // The open temporary file's descriptor, or -1.
  int Descriptor() const { return fd_; }
  const std::filesystem::path& TempPath() const { return temp_; }

  // Writes every byte at the current position; a short write (a full disk) is an error.
  bool Write(const void* data, std::size_t size, std::string& error);
  // Writes every byte at offset, leaving the position alone.
  bool WriteAt(const void* data, std::size_t size, long long offset, std::string& error);
  // Flushes the file to the disk, closes it, renames it over the target and flushes the folder.
  bool Commit(std::string& error);
  // Closes and removes the temporary file; the target is untouched.
  void Discard();

 private:
  bool Fail(const char* what, int err, std::string& error);

  std::filesystem::path target_, temp_;
  int fd_ = -1;
  int slot_ = -1;  // place in the list of pending temporary files
};

// Replaces path by bytes through an AtomicFile. False with a short reason.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string& error);

#ifndef _WIN32
// The file a write to path lands in: path itself, or where its chain of symbolic links ends (the
// link stays a link, as editors and most tools treat one). False with errno for a chain that
// loops or cannot be read.
bool FollowSymbolicLinks(std::filesystem::path& path);
#endif

// Removes every temporary file an AtomicFile of this process is still writing. Only calls that
// are safe in a signal handler, so that a handler about to end the process can leave no debris.
void RemovePendingTempFiles() noexcept;
