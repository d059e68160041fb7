// Parameter blocks: descriptors that declare a plug-in's parameters, the blocks that hold their
// (possibly animated) values, and ClassDesc2, which ties descriptors to their owner class.
//
// A descriptor is written as one constructor call with a variable argument list, as plug-ins
// always have. Here the list is captured with its C++ types rather than read off the stack, so a
// malformed list (a missing p_end, a default of the wrong type, a repeated ID) is found while the
// descriptor is built and reported as a ParamBlockDescError naming the block and the parameter.
#pragma once

#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "color.h"
#include "interval.h"
#include "plugapi.h"
#include "ref.h"
#include "wintypes.h"

class Texmap;
class ClassDesc2;
class ParamMap2UserDlgProc;
class IParamMap2;
class IAutoMParamDlg;
class IMtlParams;

using StringResID = int;

enum ParamType2 : int {
  TYPE_FLOAT = 0,
  TYPE_INT = 1,
  TYPE_RGBA = 2,
  TYPE_BOOL = 4,
  TYPE_TEXMAP = 15,
  TYPE_REFTARG = 18,
};

// Parameter flags.
enum : int {
  P_ANIMATABLE = 0x00000001,
  P_OWNERS_REF = 0x00000200,
};

// Block flags.
enum : int {
  P_AUTO_CONSTRUCT = 0x02,
  P_AUTO_UI = 0x04,
};

enum ParamTags : unsigned int {
  p_default = 0xC0000000,
  p_range = 0xC0000002,
  p_ui = 0xC0000003,
  p_refno = 0xC0000007,
  p_subtexno = 0xC0000008,
  p_sclassID = 0xC0000009,
  p_end = 0xC0000400,
};

enum ControlType2 : int {
  TYPE_SPINNER = 0,
  TYPE_SINGLECHEKBOX = 2,
  TYPE_COLORSWATCH = 4,
  TYPE_CHECKBUTTON = 6,
  TYPE_TEXMAPBUTTON = 8,
  TYPE_INTLISTBOX = 13,
};

enum EditSpinnerType : int { EDITTYPE_INT = 0, EDITTYPE_FLOAT = 1 };

#define SPIN_AUTOSCALE -1.0f
#define APPENDROLL_CLOSED 1

// A value of any parameter type; only the member of the parameter's type is meaningful.
struct PB2Value {
  float f = 0.0f;
  int i = 0;
  Color c;
};

struct ParamDef {
  ParamID ID = -1;
  MSTR int_name;
  ParamType2 type = TYPE_FLOAT;
  int flags = 0;
  StringResID local_name = 0;
  PB2Value def;
  bool has_range = false;
  PB2Value range_low, range_high;
  bool has_ui = false;
  ControlType2 ctrl_type = TYPE_SPINNER;
  EditSpinnerType spin_type = EDITTYPE_FLOAT;
  std::vector<int> ctrl_IDs;  // dialog control ids in the order of the p_ui list
  float scale = 0.0f;         // spinner scale; SPIN_AUTOSCALE for automatic
  int ctrl_count = 0;         // items of an integer list box given with the definition
  std::vector<int> item_IDs;  // their string ids
  int refno = -1;             // owner's reference number, for P_OWNERS_REF parameters
  int subtexno = -1;          // owner's sub-texmap slot
  SClass_ID sclass_id = 0;    // p_sclassID: the super class a reference must have (0: any)

  bool IsReference() const { return type == TYPE_TEXMAP || type == TYPE_REFTARG; }
  // Whether target may be held by this reference parameter: a map in a map parameter, a target
  // of the declared super class where one is declared. Null always may.
  bool Accepts(ReferenceTarget* target) const;
};

class ParamBlockDescError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// One argument of a descriptor's definition list, with the kind its C++ type gives it. Integers
// and enumerations become Int as they would through "...", floats become Double.
struct PBArg {
  enum class Kind { Int, Tag, Double, String, Pointer, Color };
  Kind kind = Kind::Int;
  long long i = 0;
  double d = 0.0;
  const MCHAR* s = nullptr;
  ParamMap2UserDlgProc* proc = nullptr;
  ::Color c;

  static PBArg From(ParamTags t) { return Make(Kind::Tag, static_cast<long long>(t)); }
  template <typename T>
    requires(std::is_integral_v<T> || std::is_enum_v<T>)
  static PBArg From(T v) {
    return Make(Kind::Int, static_cast<long long>(v));
  }
  static PBArg From(double v) {
    PBArg a = Make(Kind::Double);
    a.d = v;
    return a;
  }
  static PBArg From(const MCHAR* v) {
    PBArg a = Make(Kind::String);
    a.s = v;
    return a;
  }
  static PBArg From(std::nullptr_t) { return Make(Kind::Pointer); }
  static PBArg From(ParamMap2UserDlgProc* v) {
    PBArg a = Make(Kind::Pointer);
    a.proc = v;
    return a;
  }
  static PBArg From(const ::Color& v) {
    PBArg a = Make(Kind::Color);
    a.c = v;
    return a;
  }

 private:
  static PBArg Make(Kind k, long long v = 0) {
    PBArg a;
    a.kind = k;
    a.i = v;
    return a;
  }
};

class ParamBlockDesc2 {
 public:
  // ParamBlockDesc2(block ID, internal name, display-name string id, class descriptor, flags,
  //   [ref no, if P_AUTO_CONSTRUCT], [dialog template, title string id, flag mask, rollup flags,
  //   dialog proc, if P_AUTO_UI], then per parameter: ID, internal name, type, flags,
  //   display-name string id, tags..., p_end; and p_end once more to close the list.
  // Registers the descriptor with the class descriptor when one is given.
  template <typename... Args>
  ParamBlockDesc2(BlockID id, const MCHAR* iname, StringResID lname, ClassDesc2* cdesc, int flgs,
                  Args... args)
      : ParamBlockDesc2(Parsed{}, id, iname, lname, cdesc, flgs,
                        std::vector<PBArg>{PBArg::From(args)...}) {}
  ParamBlockDesc2(const ParamBlockDesc2&) = delete;
  ParamBlockDesc2& operator=(const ParamBlockDesc2&) = delete;
  virtual ~ParamBlockDesc2();

  int Count() const { return static_cast<int>(paramdefs.size()); }
  int IDtoIndex(ParamID id) const;
  ParamID IndextoID(int i) const;
  int NameToIndex(const MCHAR* name) const;
  // The definition of the parameter, or null for an ID the block does not have.
  const ParamDef* FindParamDef(ParamID id) const;

  void SetUserDlgProc(ParamMap2UserDlgProc* proc) { dlgProc = proc; }
  ParamMap2UserDlgProc* GetUserDlgProc() const { return dlgProc; }

  BlockID ID;
  MSTR int_name;
  StringResID local_name;
  ClassDesc2* cd;
  int flags;
  int ref_no = -1;
  int dlg_template = 0;
  StringResID title = 0;
  int test_flags = 0;
  int rollup_flags = 0;
  ParamMap2UserDlgProc* dlgProc = nullptr;
  std::vector<ParamDef> paramdefs;

 private:
  friend class ClassDesc2;
  struct Parsed {};
  ParamBlockDesc2(Parsed, BlockID id, const MCHAR* iname, StringResID lname, ClassDesc2* cdesc,
                  int flgs, std::vector<PBArg> args);
};

class IParamBlock2 : public ReferenceTarget {
 public:
  virtual BlockID ID() = 0;
  virtual ParamBlockDesc2* GetDesc() = 0;
  // The object that holds the block; null for a clone not yet referenced by its new owner.
  virtual ReferenceMaker* GetOwner() = 0;
  // The parameter whose change is being announced, or -1 outside such a notification.
  virtual ParamID LastNotifyParamID() = 0;
  virtual int NumParams() = 0;

  // The value at time t; ivalid is narrowed to the span over which that value holds. FALSE for
  // an unknown ID or a value type that does not match the parameter (int and BOOL are one).
  virtual BOOL GetValue(ParamID id, TimeValue t, float& v, Interval& ivalid, int tabIndex = 0) = 0;
  virtual BOOL GetValue(ParamID id, TimeValue t, int& v, Interval& ivalid, int tabIndex = 0) = 0;
  virtual BOOL GetValue(ParamID id, TimeValue t, Color& v, Interval& ivalid, int tabIndex = 0) = 0;
  virtual BOOL GetValue(ParamID id, TimeValue t, Texmap*& v, Interval& ivalid,
                        int tabIndex = 0) = 0;
  virtual BOOL GetValue(ParamID id, TimeValue t, ReferenceTarget*& v, Interval& ivalid,
                        int tabIndex = 0) = 0;

  // Stores the value at time t and announces the change (REFMSG_CHANGE) to the block's
  // dependents. An animatable parameter gets a key at t while Animating(); otherwise an animated
  // one is shifted as a whole so that it takes the value at t. A reference that would close a
  // loop, or a target of the wrong class for a map parameter, is refused with FALSE.
  virtual BOOL SetValue(ParamID id, TimeValue t, float v, int tabIndex = 0) = 0;
  virtual BOOL SetValue(ParamID id, TimeValue t, int v, int tabIndex = 0) = 0;
  virtual BOOL SetValue(ParamID id, TimeValue t, const Color& v, int tabIndex = 0) = 0;
  virtual BOOL SetValue(ParamID id, TimeValue t, Texmap* v, int tabIndex = 0) = 0;
  virtual BOOL SetValue(ParamID id, TimeValue t, ReferenceTarget* v, int tabIndex = 0) = 0;

  float GetFloat(ParamID id, TimeValue t = 0);
  int GetInt(ParamID id, TimeValue t = 0);
  Color GetColor(ParamID id, TimeValue t = 0);
  Texmap* GetTexmap(ParamID id, TimeValue t = 0);
  ReferenceTarget* GetReferenceTarget(ParamID id, TimeValue t = 0);

  // The parameter map of the block's open rollout, or null while no editor shows it.
  IParamMap2* GetMap(int mapID = 0);

  // Keyframes of an animatable parameter (0 when it holds one value for all time).
  virtual int NumKeys(ParamID id) = 0;
  virtual TimeValue GetKeyTime(ParamID id, int key) = 0;
};

// A new block of the descriptor holding the declared defaults; owner is the object that will
// reference it (null for a block whose owner is found when it is first referenced).
IParamBlock2* CreateParameterBlock2(ParamBlockDesc2* pdesc, ReferenceMaker* owner);

class ClassDesc2 : public ClassDesc {
 public:
  ~ClassDesc2() override;

  int NumParamBlockDescs() override { return static_cast<int>(pbDescs.size()); }
  ParamBlockDesc2* GetParamBlockDesc(int i) override;
  ParamBlockDesc2* GetParamBlockDescByID(BlockID id) override;
  ParamBlockDesc2* GetParamBlockDescByName(const MCHAR* name) override;

  // Throws ParamBlockDescError when the block ID, or a reference number the descriptor claims
  // in the owner, is already taken by another registered descriptor.
  void AddParamBlockDesc(ParamBlockDesc2* pbd);
  void RemoveParamBlockDesc(ParamBlockDesc2* pbd);

  // Creates a block for every descriptor with P_AUTO_CONSTRUCT and makes it owner's reference
  // at the descriptor's reference number.
  void MakeAutoParamBlocks(ReferenceMaker* owner);

  // Builds the rollouts of every P_AUTO_UI descriptor for owner's blocks; the result is the
  // master dialog, to which further rollouts can be added.
  IAutoMParamDlg* CreateParamDlgs(HWND hwMtlEdit, IMtlParams* imp, ReferenceTarget* owner);
  // Redraws the control of parameter id in the open rollout of pbd; nothing when none is open.
  void InvalidateUI(ParamBlockDesc2* pbd, ParamID id, int tabIndex = -1);

 private:
  std::vector<ParamBlockDesc2*> pbDescs;
};

// The host's animate mode: while on, SetValue on an animatable parameter sets a key.
bool Animating();
void AnimateOn();
void AnimateOff();
