// Scene storage interfaces of the host: ISave and ILoad over nested chunks.
//
// A chunk is a 16-bit id and a 32-bit payload length followed by the payload, which is either raw
// data or further chunks. Readers only ever see the bytes of the chunk they opened, so an object
// that misreads its own data cannot run into its neighbour's.
#pragma once

#include <cstdint>
#include <string>

#include "maxtypes.h"
#include "strclass.h"

enum IOResult { IO_OK = 0, IO_END = 1, IO_ERROR = 2 };

class ISave {
 public:
  virtual ~ISave() = default;
  virtual void BeginChunk(USHORT id) = 0;
  virtual void EndChunk() = 0;
  virtual int CurChunkDepth() = 0;
  virtual IOResult Write(const void* buf, ULONG nbytes, ULONG* nwrit) = 0;
  // Writes the text as 32-bit little-endian code units; it is meant to fill a chunk of its own,
  // which ReadWStringChunk reads back whole.
  virtual IOResult WriteWString(const MCHAR* str) = 0;
  IOResult WriteWString(const MSTR& str) { return WriteWString(str.c_str()); }
};

class ILoad {
 public:
  virtual ~ILoad() = default;
  // IO_OK: a chunk is open; IO_END: the enclosing chunk has no more; IO_ERROR: malformed data.
  virtual IOResult OpenChunk() = 0;
  virtual USHORT CurChunkID() = 0;
  virtual ULONG CurChunkLength() = 0;
  virtual int CurChunkDepth() = 0;
  virtual IOResult CloseChunk() = 0;
  // Fails with IO_ERROR when fewer than nbytes remain in the open chunk; *nread says how many
  // bytes were copied.
  virtual IOResult Read(void* buf, ULONG nbytes, ULONG* nread) = 0;
  // Reads the rest of the open chunk as text written by ISave::WriteWString.
  virtual IOResult ReadWStringChunk(MSTR& str) = 0;
  // Lets an object say why its data is unusable before it returns IO_ERROR; the loader passes
  // the text on with the failed load.
  virtual void ReportError(const std::string&) {}
};

// Little-endian fixed-width values on top of ISave/ILoad, so files read the same on every host.
IOResult WriteU8(ISave* s, std::uint8_t v);
IOResult WriteU16(ISave* s, std::uint16_t v);
IOResult WriteU32(ISave* s, std::uint32_t v);
IOResult WriteI32(ISave* s, std::int32_t v);
IOResult WriteF32(ISave* s, float v);
IOResult ReadU8(ILoad* l, std::uint8_t& v);
IOResult ReadU16(ILoad* l, std::uint16_t& v);
IOResult ReadU32(ILoad* l, std::uint32_t& v);
IOResult ReadI32(ILoad* l, std::int32_t& v);
IOResult ReadF32(ILoad* l, float& v);
