// The stored header of every material and map.
#include "imtl.h"

namespace {
constexpr USHORT kNameChunk = 0x5000;
constexpr USHORT kGBufChunk = 0x5010;
}  // namespace

MtlBase& MtlBase::operator=(const MtlBase& m) {
  name = m.name;
  gbufID = m.gbufID;
  return *this;
}

IOResult MtlBase::Save(ISave* isave) {
  isave->BeginChunk(kNameChunk);
  IOResult res = isave->WriteWString(name);
  isave->EndChunk();
  if (res != IO_OK) return res;
  isave->BeginChunk(kGBufChunk);
  res = WriteU32(isave, gbufID);
  isave->EndChunk();
  return res;
}

IOResult MtlBase::Load(ILoad* iload) {
  IOResult res;
  while ((res = iload->OpenChunk()) == IO_OK) {
    switch (iload->CurChunkID()) {
      case kNameChunk:
        res = iload->ReadWStringChunk(name);
        break;
      case kGBufChunk: {
        std::uint32_t v = 0;
        res = ReadU32(iload, v);
        if (res == IO_OK) gbufID = v;
        break;
      }
      default:
        break;
    }
    if (iload->CloseChunk() != IO_OK || res != IO_OK) return IO_ERROR;
  }
  return res == IO_END ? IO_OK : IO_ERROR;
}
