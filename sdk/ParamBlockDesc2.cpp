// Parsing and validation of parameter-block definition lists, and ClassDesc2's bookkeeping of
// its descriptors.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "imtl.h"
#include "iparamb2.h"

namespace {

std::string Narrow(const MSTR& s) {
  std::string out;
  for (wchar_t c : s) out.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
  return out;
}

const char* KindName(PBArg::Kind k) {
  switch (k) {
    case PBArg::Kind::Int: return "an int";
    case PBArg::Kind::Tag: return "a tag";
    case PBArg::Kind::Double: return "a float/double";
    case PBArg::Kind::String: return "a string";
    case PBArg::Kind::Pointer: return "a pointer";
    case PBArg::Kind::Color: return "a Color";
  }
  return "an unknown argument";
}

const char* TagName(long long t) {
  switch (static_cast<unsigned>(t)) {
    case p_default: return "p_default";
    case p_range: return "p_range";
    case p_ui: return "p_ui";
    case p_refno: return "p_refno";
    case p_subtexno: return "p_subtexno";
    case p_sclassID: return "p_sclassID";
    case p_end: return "p_end";
  }
  return "an unknown tag";
}

bool KnownType(long long t) {
  switch (t) {
    case TYPE_FLOAT: case TYPE_INT: case TYPE_RGBA: case TYPE_BOOL: case TYPE_TEXMAP:
    case TYPE_REFTARG:
      return true;
  }
  return false;
}

// Walks the argument list, with the block and the parameter being read kept for messages.
class DefParser {
 public:
  DefParser(const std::vector<PBArg>& args, std::string where)
      : args_(args), block_(std::move(where)) {}

  [[noreturn]] void Fail(const std::string& what) const {
    std::string msg = "ParamBlockDesc2 " + block_;
    if (!param_.empty()) msg += ", " + param_;
    msg += ": " + what + " (argument " + std::to_string(k_ + 1) + " of the definition list)";
    throw ParamBlockDescError(msg);
  }
  void SetParam(const std::string& p) { param_ = p; }

  bool AtEnd() const { return k_ >= args_.size(); }
  const PBArg& Peek(const char* wanted) const {
    if (AtEnd()) Fail(std::string("the list ends where ") + wanted + " was expected (missing p_end?)");
    return args_[k_];
  }
  const PBArg& Take(PBArg::Kind kind, const char* wanted) {
    const PBArg& a = Peek(wanted);
    if (a.kind != kind) {
      std::string found = KindName(a.kind);
      if (a.kind == PBArg::Kind::Tag) found += std::string(" (") + TagName(a.i) + ")";
      if (a.kind == PBArg::Kind::Int) found += " (" + std::to_string(a.i) + ")";
      Fail(std::string(wanted) + " must be " + KindName(kind) + ", found " + found);
    }
    ++k_;
    return a;
  }
  int Int(const char* wanted) {
    const PBArg& a = Take(PBArg::Kind::Int, wanted);
    if (a.i < INT_MIN || a.i > INT_MAX) Fail(std::string(wanted) + " does not fit an int");
    return static_cast<int>(a.i);
  }
  double Double(const char* wanted) { return Take(PBArg::Kind::Double, wanted).d; }
  void Skip() { ++k_; }

 private:
  const std::vector<PBArg>& args_;
  std::string block_, param_;
  std::size_t k_ = 0;
};

// Reads one value of the parameter's type; used by p_default and p_range.
PB2Value ReadValue(DefParser& p, const ParamDef& def, const char* what) {
  PB2Value v;
  switch (def.type) {
    case TYPE_FLOAT: {
      const double d = p.Double(what);
      if (!std::isfinite(d) || std::fabs(d) > 3.4028234663852886e38)
        p.Fail(std::string(what) + " is not a finite float");
      v.f = static_cast<float>(d);
      break;
    }
    case TYPE_INT:
    case TYPE_BOOL:
      v.i = p.Int(what);
      break;
    case TYPE_RGBA: {
      v.c = p.Take(PBArg::Kind::Color, what).c;
      if (!std::isfinite(v.c.r) || !std::isfinite(v.c.g) || !std::isfinite(v.c.b))
        p.Fail(std::string(what) + " is not a finite colour");
      break;
    }
    default:
      p.Fail(std::string(what) + " is not allowed for a reference parameter");
  }
  return v;
}

bool Less(const ParamDef& d, const PB2Value& a, const PB2Value& b) {
  return d.type == TYPE_FLOAT ? a.f < b.f : a.i < b.i;
}

void ReadUI(DefParser& p, ParamDef& d) {
  if (d.has_ui) p.Fail("p_ui given twice");
  d.has_ui = true;
  const int ct = p.Int("the control type after p_ui");
  auto needs = [&](bool ok, const char* what) {
    if (!ok) p.Fail(std::string(what) + " does not suit a parameter of this type");
  };
  switch (ct) {
    case TYPE_SPINNER: {
      needs(d.type == TYPE_FLOAT || d.type == TYPE_INT, "a spinner");
      const int et = p.Int("the spinner's edit type");
      if (et != EDITTYPE_INT && et != EDITTYPE_FLOAT) p.Fail("unknown spinner edit type " + std::to_string(et));
      if ((et == EDITTYPE_FLOAT) != (d.type == TYPE_FLOAT))
        p.Fail("the spinner's edit type does not match the parameter type");
      d.spin_type = static_cast<EditSpinnerType>(et);
      d.ctrl_IDs.push_back(p.Int("the spinner's edit-field id"));
      d.ctrl_IDs.push_back(p.Int("the spinner id"));
      d.scale = static_cast<float>(p.Double("the spinner scale"));
      break;
    }
    case TYPE_SINGLECHEKBOX:
    case TYPE_CHECKBUTTON:
      needs(d.type == TYPE_BOOL || d.type == TYPE_INT, "a checkbox or check button");
      d.ctrl_IDs.push_back(p.Int("the control id"));
      break;
    case TYPE_COLORSWATCH:
      needs(d.type == TYPE_RGBA, "a colour swatch");
      d.ctrl_IDs.push_back(p.Int("the swatch id"));
      break;
    case TYPE_TEXMAPBUTTON:
      needs(d.type == TYPE_TEXMAP, "a map button");
      d.ctrl_IDs.push_back(p.Int("the map-button id"));
      break;
    case TYPE_INTLISTBOX: {
      needs(d.type == TYPE_INT, "an integer list box");
      d.ctrl_IDs.push_back(p.Int("the list-box id"));
      d.ctrl_count = p.Int("the list-box item count");
      if (d.ctrl_count < 0 || d.ctrl_count > 1024) p.Fail("implausible list-box item count");
      for (int n = 0; n < d.ctrl_count; ++n) d.item_IDs.push_back(p.Int("a list-box item string id"));
      break;
    }
    default:
      p.Fail("unknown control type " + std::to_string(ct));
  }
  d.ctrl_type = static_cast<ControlType2>(ct);
}

}  // namespace

ParamBlockDesc2::ParamBlockDesc2(Parsed, BlockID id, const MCHAR* iname, StringResID lname,
                                 ClassDesc2* cdesc, int flgs, std::vector<PBArg> args)
    : ID(id), int_name(iname ? iname : _M("")), local_name(lname), cd(cdesc), flags(flgs) {
  std::string where = Narrow(int_name);
  where.insert(0, 1, '"');
  where.append("\" (block ").append(std::to_string(id)).append(")");
  DefParser p(args, where);
  if (!iname || !*iname) p.Fail("the block has no internal name");
  if (flags & ~(P_AUTO_CONSTRUCT | P_AUTO_UI)) p.Fail("unsupported block flags " + std::to_string(flags));
  if (flags & P_AUTO_CONSTRUCT) {
    ref_no = p.Int("the reference number (P_AUTO_CONSTRUCT)");
    if (ref_no < 0) p.Fail("negative reference number");
  }
  if (flags & P_AUTO_UI) {
    dlg_template = p.Int("the dialog template id (P_AUTO_UI)");
    title = p.Int("the rollout title string id");
    test_flags = p.Int("the flag mask");
    rollup_flags = p.Int("the rollup flags");
    const PBArg& proc = p.Peek("the dialog procedure");
    if (proc.kind == PBArg::Kind::Pointer) {
      dlgProc = proc.proc;
    } else if (!(proc.kind == PBArg::Kind::Int && proc.i == 0)) {
      p.Fail(std::string("the dialog procedure must be a pointer or null, found ") + KindName(proc.kind));
    }
    p.Skip();
  }

  for (;;) {
    p.SetParam("");
    const PBArg& head = p.Peek("a parameter ID or the closing p_end");
    if (head.kind == PBArg::Kind::Tag && head.i == p_end) {
      p.Skip();
      break;
    }
    ParamDef d;
    const int pid = p.Int("a parameter ID");
    if (pid < 0 || pid > SHRT_MAX) p.Fail("parameter ID " + std::to_string(pid) + " out of range");
    d.ID = static_cast<ParamID>(pid);
    p.SetParam("parameter " + std::to_string(pid));
    if (FindParamDef(d.ID)) p.Fail("the parameter ID is used twice");
    const MCHAR* pname = p.Take(PBArg::Kind::String, "the internal name").s;
    if (!pname || !*pname) p.Fail("empty internal name");
    d.int_name = pname;
    p.SetParam("parameter " + std::to_string(pid) + " \"" + Narrow(d.int_name) + "\"");
    if (NameToIndex(pname) >= 0) p.Fail("the internal name is used twice");
    const int type = p.Int("the parameter type");
    if (!KnownType(type)) p.Fail("unsupported parameter type " + std::to_string(type));
    d.type = static_cast<ParamType2>(type);
    d.flags = p.Int("the parameter flags");
    if (d.flags & ~(P_ANIMATABLE | P_OWNERS_REF)) p.Fail("unsupported parameter flags " + std::to_string(d.flags));
    d.local_name = p.Int("the display-name string id");

    bool hasDefault = false;
    for (;;) {
      const PBArg& tag = p.Take(PBArg::Kind::Tag, "a tag or p_end");
      if (tag.i == p_end) break;
      switch (static_cast<unsigned>(tag.i)) {
        case p_default:
          if (hasDefault) p.Fail("p_default given twice");
          hasDefault = true;
          d.def = ReadValue(p, d, "the default");
          break;
        case p_range:
          if (d.has_range) p.Fail("p_range given twice");
          if (d.type == TYPE_RGBA) p.Fail("p_range is not supported for colours");
          d.has_range = true;
          d.range_low = ReadValue(p, d, "the range minimum");
          d.range_high = ReadValue(p, d, "the range maximum");
          if (Less(d, d.range_high, d.range_low)) p.Fail("the range maximum is below its minimum");
          break;
        case p_ui:
          ReadUI(p, d);
          break;
        case p_refno:
          if (!d.IsReference()) p.Fail("p_refno on a parameter that is not a reference");
          d.refno = p.Int("the reference number");
          if (d.refno < 0) p.Fail("negative reference number");
          break;
        case p_subtexno:
          if (d.type != TYPE_TEXMAP) p.Fail("p_subtexno on a parameter that is not a map");
          d.subtexno = p.Int("the sub-texmap number");
          if (d.subtexno < 0) p.Fail("negative sub-texmap number");
          break;
        case p_sclassID: {
          if (d.type != TYPE_REFTARG) p.Fail("p_sclassID on a parameter that is not a reference target");
          const int sclass = p.Int("the super class ID");
          if (sclass <= 0) p.Fail("super class ID out of range");
          d.sclass_id = static_cast<SClass_ID>(sclass);
          break;
        }
        default:
          p.Fail("unsupported tag " + std::to_string(tag.i));
      }
    }
    if (d.IsReference()) {
      if (d.flags & P_ANIMATABLE) p.Fail("a reference parameter cannot be animatable");
      if ((d.flags & P_OWNERS_REF) && d.refno < 0) p.Fail("P_OWNERS_REF without p_refno");
      if (!(d.flags & P_OWNERS_REF) && d.refno >= 0) p.Fail("p_refno without P_OWNERS_REF");
      for (const ParamDef& o : paramdefs) {
        if (d.refno >= 0 && o.refno == d.refno) p.Fail("reference number " + std::to_string(d.refno) + " is used twice");
        if (d.subtexno >= 0 && o.subtexno == d.subtexno) p.Fail("sub-texmap number " + std::to_string(d.subtexno) + " is used twice");
      }
      if (d.refno >= 0 && d.refno == ref_no) p.Fail("p_refno equals the block's own reference number");
    } else if (d.flags & P_OWNERS_REF) {
      p.Fail("P_OWNERS_REF on a parameter that is not a reference");
    }
    if (d.has_range && hasDefault && (Less(d, d.def, d.range_low) || Less(d, d.range_high, d.def)))
      p.Fail("the default lies outside the range");
    paramdefs.push_back(std::move(d));
  }
  p.SetParam("");
  if (!p.AtEnd()) p.Fail("arguments follow the closing p_end");
  if (cd) cd->AddParamBlockDesc(this);
}

ParamBlockDesc2::~ParamBlockDesc2() {
  if (cd) cd->RemoveParamBlockDesc(this);
}

bool ParamDef::Accepts(ReferenceTarget* target) const {
  if (!target) return true;
  if (type == TYPE_TEXMAP) return dynamic_cast<Texmap*>(target) != nullptr;
  return sclass_id == 0 || target->SuperClassID() == sclass_id;
}

int ParamBlockDesc2::IDtoIndex(ParamID id) const {
  for (std::size_t i = 0; i < paramdefs.size(); ++i)
    if (paramdefs[i].ID == id) return static_cast<int>(i);
  return -1;
}

ParamID ParamBlockDesc2::IndextoID(int i) const {
  return i >= 0 && i < Count() ? paramdefs[static_cast<std::size_t>(i)].ID : ParamID(-1);
}

int ParamBlockDesc2::NameToIndex(const MCHAR* name) const {
  if (!name) return -1;
  for (std::size_t i = 0; i < paramdefs.size(); ++i)
    if (paramdefs[i].int_name == name) return static_cast<int>(i);
  return -1;
}

const ParamDef* ParamBlockDesc2::FindParamDef(ParamID id) const {
  const int i = IDtoIndex(id);
  return i < 0 ? nullptr : &paramdefs[static_cast<std::size_t>(i)];
}

ClassDesc2::~ClassDesc2() {
  // A descriptor outliving its class descriptor must not reach back into it.
  for (ParamBlockDesc2* d : pbDescs) d->cd = nullptr;
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDesc(int i) {
  return i >= 0 && i < NumParamBlockDescs() ? pbDescs[static_cast<std::size_t>(i)] : nullptr;
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDescByID(BlockID id) {
  for (ParamBlockDesc2* d : pbDescs)
    if (d->ID == id) return d;
  return nullptr;
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDescByName(const MCHAR* name) {
  for (ParamBlockDesc2* d : pbDescs)
    if (name && d->int_name == name) return d;
  return nullptr;
}

void ClassDesc2::AddParamBlockDesc(ParamBlockDesc2* pbd) {
  if (!pbd || std::find(pbDescs.begin(), pbDescs.end(), pbd) != pbDescs.end()) return;
  auto fail = [&](const std::string& what) {
    pbd->cd = nullptr;
    throw ParamBlockDescError("ParamBlockDesc2 \"" + Narrow(pbd->int_name) + "\" (block " +
                              std::to_string(pbd->ID) + "): " + what);
  };
  auto refsOf = [](const ParamBlockDesc2* d) {
    std::vector<int> r;
    if (d->flags & P_AUTO_CONSTRUCT) r.push_back(d->ref_no);
    for (const ParamDef& p : d->paramdefs)
      if (p.refno >= 0) r.push_back(p.refno);
    return r;
  };
  const std::vector<int> mine = refsOf(pbd);
  for (const ParamBlockDesc2* o : pbDescs) {
    if (o->ID == pbd->ID) fail("block ID already registered by \"" + Narrow(o->int_name) + "\"");
    if (o->int_name == pbd->int_name) fail("internal name already registered");
    for (int r : refsOf(o))
      if (std::find(mine.begin(), mine.end(), r) != mine.end())
        fail("owner reference " + std::to_string(r) + " already claimed by \"" + Narrow(o->int_name) + "\"");
  }
  pbDescs.push_back(pbd);
  pbd->cd = this;
}

void ClassDesc2::RemoveParamBlockDesc(ParamBlockDesc2* pbd) {
  std::erase(pbDescs, pbd);
}

void ClassDesc2::MakeAutoParamBlocks(ReferenceMaker* owner) {
  if (!owner) return;
  for (ParamBlockDesc2* d : pbDescs) {
    if (!(d->flags & P_AUTO_CONSTRUCT)) continue;
    IParamBlock2* pb = CreateParameterBlock2(d, owner);
    if (owner->ReplaceReference(d->ref_no, pb) != REF_SUCCEED) pb->MaybeAutoDelete();
  }
}

namespace {
bool animateMode = false;
}
bool Animating() { return animateMode; }
void AnimateOn() { animateMode = true; }
void AnimateOff() { animateMode = false; }
