// Materials and texture maps as the host sees them: MtlBase with its name, G-buffer id, update
// and editor hooks, the sub-map interface, and Texmap, the super class of every texture map with
// its three shading evaluations and its viewport picture.
#pragma once

#include "acolor.h"
#include "bitarray.h"
#include "interval.h"
#include "ioapi.h"
#include "matrix3.h"
#include "ref.h"
#include "shadectx.h"
#include "wintypes.h"

class Texmap;
class ParamDlg;
class IMtlParams;

// Requirement flags a map reports through LocalRequirements.
inline constexpr ULONG MTLREQ_UV = 1u << 4;

// Sub-maps of a material or map, by slot.
class ISubMap {
 public:
  virtual ~ISubMap() = default;
  virtual int NumSubTexmaps() { return 0; }
  virtual Texmap* GetSubTexmap(int) { return nullptr; }
  virtual void SetSubTexmap(int, Texmap*) {}
  virtual MSTR GetSubTexmapSlotName(int, bool localized = true);
  // The slot's name in the track view: its slot name.
  MSTR GetSubTexmapTVName(int i) { return GetSubTexmapSlotName(i); }
  // Offered the dialogs of sub-objects (such as the output rollout); TRUE when it took one.
  virtual BOOL SetDlgThing(ParamDlg*) { return FALSE; }
};

class MtlBase : public ReferenceTarget, public ISubMap {
 public:
  // Copies the base's own data (name and G-buffer id), not the references.
  MtlBase& operator=(const MtlBase& m);

  const MSTR& GetName() const { return name; }
  void SetName(const MSTR& s) { name = s; }
  ULONG GetGBufID() const { return gbufID; }
  void SetGBufID(ULONG id) { gbufID = id; }

  // The base header: name and G-buffer id in chunks of their own. Load ignores chunks it does
  // not know, so later hosts can add to the header.
  IOResult Save(ISave* isave) override;
  IOResult Load(ILoad* iload) override;

  // Brings cached values up to date for time t and narrows valid to their validity.
  virtual void Update(TimeValue, Interval&) {}
  virtual void Reset() {}
  virtual Interval Validity(TimeValue) { return FOREVER; }
  // The editor's parameter dialog; null where the class has none.
  virtual ParamDlg* CreateParamDlg(HWND, IMtlParams*) { return nullptr; }
  // MTLREQ_ flags, and the map channels (bits of mapreq) the renderer must supply.
  virtual ULONG LocalRequirements(int) { return 0; }
  virtual void LocalMappingsRequired(int, BitArray&, BitArray&) {}

 protected:
  MSTR name;
  ULONG gbufID = 0;
};

// The viewport's handle of a map's picture, and the maker that turns a bitmap into one.
class TexHandle {
 public:
  virtual ~TexHandle() = default;
  virtual DWORD_PTR GetHandle() = 0;
  virtual void DeleteThis() = 0;
};

class TexHandleMaker {
 public:
  virtual ~TexHandleMaker() = default;
  // Takes ownership of the bitmap (allocated with new BYTE[]).
  virtual TexHandle* MakeHandle(BITMAPINFO* bminf) = 0;
  // Edge of the square picture the viewport wants.
  virtual int Size() { return 64; }
};

class Texmap : public MtlBase {
 public:
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }

  virtual AColor EvalColor(ShadeContext&) { return AColor(0.0f, 0.0f, 0.0f, 0.0f); }
  // The colour's mean intensity by default.
  virtual float EvalMono(ShadeContext& sc);
  virtual Point3 EvalNormalPerturb(ShadeContext&) { return Point3(); }

  virtual BOOL SupportTexDisplay() { return FALSE; }
  virtual DWORD_PTR GetActiveTexHandle(TimeValue, TexHandleMaker&) { return 0; }
  virtual void ActivateTexDisplay(BOOL) {}
  virtual void GetUVTransform(Matrix3& uvtrans) { uvtrans.IdentityMatrix(); }

  // Renders the map at time t into a packed 24-bit bitmap (header, then bottom-up BGR rows padded
  // to four bytes) over UVW channel 1 of the unit square, as the viewport shows it; the map is
  // updated at t first and valid narrowed to its validity. The caller owns the result
  // (delete[] of its bytes).
  BITMAPINFO* GetVPDisplayDIB(TimeValue t, TexHandleMaker& thmaker, Interval& valid,
                              BOOL mono = FALSE, int forceW = 0, int forceH = 0);
};
