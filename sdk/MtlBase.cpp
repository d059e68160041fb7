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

MSTR ISubMap::GetSubTexmapSlotName(int, bool) { return MSTR(); }

float Texmap::EvalMono(ShadeContext& sc) {
  const AColor c = EvalColor(sc);
  return (c.r + c.g + c.b) / 3.0f;
}

BITMAPINFO* Texmap::GetVPDisplayDIB(TimeValue t, TexHandleMaker& thmaker, Interval& valid,
                                    BOOL mono, int forceW, int forceH) {
  const int w = forceW > 0 ? forceW : thmaker.Size();
  const int h = forceH > 0 ? forceH : thmaker.Size();
  const int rowBytes = (w * 3 + 3) & ~3;
  const std::size_t bytes = sizeof(BITMAPINFOHEADER) + static_cast<std::size_t>(rowBytes) * h;
  BYTE* block = new BYTE[bytes]();
  auto* info = reinterpret_cast<BITMAPINFO*>(block);
  BITMAPINFOHEADER& hdr = info->bmiHeader;
  hdr.biSize = sizeof(BITMAPINFOHEADER);
  hdr.biWidth = w;
  hdr.biHeight = h;
  hdr.biPlanes = 1;
  hdr.biBitCount = 24;
  hdr.biCompression = BI_RGB;
  hdr.biSizeImage = static_cast<DWORD>(rowBytes * h);

  Update(t, valid);
  auto toByte = [](float v) {
    const float c = v > 1.0f ? 1.0f : (v > 0.0f ? v : 0.0f);
    return static_cast<BYTE>(c * 255.0f + 0.5f);
  };
  BYTE* pixels = block + sizeof(BITMAPINFOHEADER);
  for (int y = 0; y < h; ++y) {
    BYTE* row = pixels + static_cast<std::size_t>(rowBytes) * y;  // bottom-up: row 0 is v = 0
    for (int x = 0; x < w; ++x) {
      SampleShadeContext sc;
      const float u = (static_cast<float>(x) + 0.5f) / static_cast<float>(w);
      const float v = (static_cast<float>(y) + 0.5f) / static_cast<float>(h);
      sc.p = Point3(u, v, 0.0f);
      sc.dpdx = Point3(1.0f / static_cast<float>(w), 0.0f, 0.0f);
      sc.dpdy = Point3(0.0f, 1.0f / static_cast<float>(h), 0.0f);
      sc.screenUV = Point2(u, v);
      sc.screenDUV = Point2(1.0f / static_cast<float>(w), 1.0f / static_cast<float>(h));
      sc.SetUVW(1, Point3(u, v, 0.0f), Point3(sc.dpdx.x, sc.dpdy.y, 0.0f));
      AColor c = EvalColor(sc);
      if (mono) c.r = c.g = c.b = (c.r + c.g + c.b) / 3.0f;
      row[3 * x + 0] = toByte(c.b);
      row[3 * x + 1] = toByte(c.g);
      row[3 * x + 2] = toByte(c.r);
    }
  }
  return info;
}
