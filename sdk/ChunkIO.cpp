// Byte-level chunk framing for scene storage, and the little-endian value helpers.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <limits>

#include "chunkio.h"

namespace {
constexpr std::size_t kHeader = 6;  // u16 id + u32 payload length

std::string Hex(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}
}  // namespace

IOResult WriteU8(ISave* s, std::uint8_t v) {
  ULONG n = 0;
  return s->Write(&v, 1, &n);
}
IOResult WriteU16(ISave* s, std::uint16_t v) {
  const std::uint8_t b[2] = {std::uint8_t(v), std::uint8_t(v >> 8)};
  ULONG n = 0;
  return s->Write(b, 2, &n);
}
IOResult WriteU32(ISave* s, std::uint32_t v) {
  const std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                             std::uint8_t(v >> 24)};
  ULONG n = 0;
  return s->Write(b, 4, &n);
}
IOResult WriteI32(ISave* s, std::int32_t v) { return WriteU32(s, static_cast<std::uint32_t>(v)); }
IOResult WriteF32(ISave* s, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return WriteU32(s, bits);
}

IOResult ReadU8(ILoad* l, std::uint8_t& v) {
  ULONG n = 0;
  return l->Read(&v, 1, &n);
}
IOResult ReadU16(ILoad* l, std::uint16_t& v) {
  std::uint8_t b[2];
  ULONG n = 0;
  if (l->Read(b, 2, &n) != IO_OK) return IO_ERROR;
  v = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  return IO_OK;
}
IOResult ReadU32(ILoad* l, std::uint32_t& v) {
  std::uint8_t b[4];
  ULONG n = 0;
  if (l->Read(b, 4, &n) != IO_OK) return IO_ERROR;
  v = std::uint32_t(b[0]) | (std::uint32_t(b[1]) << 8) | (std::uint32_t(b[2]) << 16) |
      (std::uint32_t(b[3]) << 24);
  return IO_OK;
}
IOResult ReadI32(ILoad* l, std::int32_t& v) {
  std::uint32_t u;
  if (ReadU32(l, u) != IO_OK) return IO_ERROR;
  v = static_cast<std::int32_t>(u);
  return IO_OK;
}
IOResult ReadF32(ILoad* l, float& v) {
  std::uint32_t u;
  if (ReadU32(l, u) != IO_OK) return IO_ERROR;
  std::memcpy(&v, &u, 4);
  return IO_OK;
}

void ChunkWriter::BeginChunk(USHORT id) {
  open_.push_back(bytes_.size());
  bytes_.push_back(std::uint8_t(id));
  bytes_.push_back(std::uint8_t(id >> 8));
  bytes_.insert(bytes_.end(), 4, 0);
}

void ChunkWriter::EndChunk() {
  if (open_.empty()) {
    if (error_.empty()) error_ = "EndChunk without an open chunk";
    return;
  }
  const std::size_t at = open_.back();
  open_.pop_back();
  const std::size_t len = bytes_.size() - at - kHeader;
  if (len > std::numeric_limits<std::uint32_t>::max()) {
    if (error_.empty()) error_ = "chunk larger than 4 GiB";
    return;
  }
  for (int i = 0; i < 4; ++i) bytes_[at + 2 + i] = std::uint8_t(len >> (8 * i));
}

IOResult ChunkWriter::Write(const void* buf, ULONG nbytes, ULONG* nwrit) {
  if (nbytes > 0) {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    bytes_.insert(bytes_.end(), p, p + nbytes);
  }
  if (nwrit) *nwrit = nbytes;
  return IO_OK;
}

IOResult ChunkWriter::WriteWString(const MCHAR* str) {
  for (const MCHAR* c = str; c && *c; ++c) WriteU32(this, static_cast<std::uint32_t>(*c));
  return IO_OK;
}

ChunkReader::ChunkReader(std::span<const std::uint8_t> data) : data_(data) {
  frames_.push_back(Frame{0, 0, data.size()});
}

void ChunkReader::Fail(const std::string& what) {
  if (error_.empty()) error_ = what + " (at byte " + std::to_string(pos_) + ")";
}

IOResult ChunkReader::OpenChunk() {
  const Frame& cur = frames_.back();
  const std::size_t left = cur.end - pos_;
  if (left == 0) return IO_END;
  if (left < kHeader) {
    Fail("truncated chunk header: " + std::to_string(left) + " bytes left, 6 needed");
    return IO_ERROR;
  }
  if (static_cast<int>(frames_.size()) > kMaxDepth) {
    Fail("chunks nested deeper than " + std::to_string(kMaxDepth));
    return IO_ERROR;
  }
  const std::uint8_t* p = data_.data() + pos_;
  const USHORT id = static_cast<USHORT>(p[0] | (p[1] << 8));
  const std::size_t len = std::size_t(p[2]) | (std::size_t(p[3]) << 8) |
                          (std::size_t(p[4]) << 16) | (std::size_t(p[5]) << 24);
  if (len > left - kHeader) {
    Fail("chunk " + Hex(id) + " claims " + std::to_string(len) + " bytes but only " +
         std::to_string(left - kHeader) + " remain in its enclosing chunk");
    return IO_ERROR;
  }
  pos_ += kHeader;
  frames_.push_back(Frame{id, pos_, pos_ + len});
  return IO_OK;
}

USHORT ChunkReader::CurChunkID() { return frames_.back().id; }

ULONG ChunkReader::CurChunkLength() {
  return static_cast<ULONG>(frames_.back().end - frames_.back().start);
}

IOResult ChunkReader::CloseChunk() {
  if (frames_.size() < 2) {
    Fail("CloseChunk without an open chunk");
    return IO_ERROR;
  }
  pos_ = frames_.back().end;
  frames_.pop_back();
  return IO_OK;
}

IOResult ChunkReader::Read(void* buf, ULONG nbytes, ULONG* nread) {
  const std::size_t left = Remaining();
  if (nbytes > left) {
    if (nread) *nread = 0;
    Fail("chunk " + Hex(frames_.back().id) + " ends " + std::to_string(nbytes - left) +
         " bytes short of a " + std::to_string(nbytes) + "-byte value");
    return IO_ERROR;
  }
  if (nbytes > 0) std::memcpy(buf, data_.data() + pos_, nbytes);
  pos_ += nbytes;
  if (nread) *nread = nbytes;
  return IO_OK;
}

IOResult ChunkReader::ReadWStringChunk(MSTR& str) {
  const std::size_t left = Remaining();
  if (left % 4 != 0) {
    Fail("text chunk " + Hex(frames_.back().id) + " has a length that is not a whole number of characters");
    return IO_ERROR;
  }
  MSTR out;
  out.reserve(left / 4);
  for (std::size_t i = 0; i < left / 4; ++i) {
    std::uint32_t u = 0;
    ReadU32(this, u);
    if (u == 0 || u > 0x10FFFF || u > static_cast<std::uint32_t>(WCHAR_MAX)) {
      Fail("text chunk " + Hex(frames_.back().id) + " holds an invalid character code");
      return IO_ERROR;
    }
    out.push_back(static_cast<MCHAR>(u));
  }
  str = std::move(out);
  return IO_OK;
}
