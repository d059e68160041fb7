// In-memory implementations of ISave and ILoad: the host side of scene storage.
//
// ChunkWriter builds the chunk tree in a byte buffer; ChunkReader walks one with every length
// checked against the bytes that actually remain, so truncated or hostile input ends in IO_ERROR
// with a message, never in a read outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ioapi.h"

class ChunkWriter : public ISave {
 public:
  void BeginChunk(USHORT id) override;
  void EndChunk() override;
  int CurChunkDepth() override { return static_cast<int>(open_.size()); }
  IOResult Write(const void* buf, ULONG nbytes, ULONG* nwrit) override;
  IOResult WriteWString(const MCHAR* str) override;

  // False after an unbalanced EndChunk or a chunk larger than the 32-bit length field.
  bool Ok() const { return error_.empty(); }
  const std::string& ErrorText() const { return error_; }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> open_;  // offsets of the headers of open chunks
  std::string error_;
};

class ChunkReader : public ILoad {
 public:
  // Deeper nesting than this is taken as hostile input rather than a scene.
  static constexpr int kMaxDepth = 64;

  explicit ChunkReader(std::span<const std::uint8_t> data);

  IOResult OpenChunk() override;
  USHORT CurChunkID() override;
  ULONG CurChunkLength() override;
  int CurChunkDepth() override { return static_cast<int>(frames_.size()) - 1; }
  IOResult CloseChunk() override;
  IOResult Read(void* buf, ULONG nbytes, ULONG* nread) override;
  IOResult ReadWStringChunk(MSTR& str) override;

  // The whole payload of the open chunk.
  std::span<const std::uint8_t> CurChunkBytes() const {
    return data_.subspan(frames_.back().start, frames_.back().end - frames_.back().start);
  }
  // Bytes left unread in the open chunk (or the whole input at depth 0).
  std::size_t Remaining() const { return frames_.back().end - pos_; }
  // The first error met, with the offset where it happened; empty while all went well.
  const std::string& ErrorText() const { return error_; }
  void Fail(const std::string& what);
  void ReportError(const std::string& what) override { Fail(what); }

 private:
  struct Frame {
    USHORT id;
    std::size_t start, end;  // payload bounds
  };
  std::span<const std::uint8_t> data_;
  std::vector<Frame> frames_;
  std::size_t pos_ = 0;
  std::string error_;
};
