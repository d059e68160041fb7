// Materials and texture maps as the host sees them: MtlBase with its name and G-buffer id, and
// Texmap, the super class of every texture map.
//
// Evaluation (ShadeContext, EvalColor and the rest) belongs with the texture-map layer; this
// header holds the part scene storage and the parameter blocks depend on.
#pragma once

#include "ioapi.h"
#include "ref.h"

class MtlBase : public ReferenceTarget {
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

 protected:
  MSTR name;
  ULONG gbufID = 0;
};

class Texmap : public MtlBase {
 public:
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }
};
