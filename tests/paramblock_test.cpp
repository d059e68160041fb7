// Parameter-block descriptors and blocks: definition-list checking, the two real descriptors,
// defaults, values, notifications, animation and validity, and the parameter listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "SdkTestClasses.h"
#include "paramlisting.h"

namespace {

class BareClassDesc : public ClassDesc2 {
 public:
  int IsPublic() override { return 0; }
  void* Create(BOOL) override { return nullptr; }
  const MCHAR* ClassName() override { return _M("bare"); }
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }
  Class_ID ClassID() override { return Class_ID(9, 9); }
  const MCHAR* Category() override { return _M(""); }
};

// Builds a descriptor and returns the error text it raises, or "" when it is accepted.
template <typename... Args>
std::string DefinitionError(Args... args) {
  try {
    ParamBlockDesc2 d(5, _M("probe"), 0, nullptr, 0, args...);
    return "";
  } catch (const ParamBlockDescError& e) {
    return e.what();
  }
}

// An integer list box of sizeof...(I) items.
template <std::size_t... I>
std::string ListBoxError(std::index_sequence<I...>) {
  return DefinitionError(0, _M("l"), TYPE_INT, 0, 0, p_ui, TYPE_INTLISTBOX, 7,
                         static_cast<int>(sizeof...(I)), ((void)I, 40)..., p_end, p_end);
}

TEST(ParamBlockDesc, MalformedDefinitionListsAreReportedWithTheParameter) {
  EXPECT_EQ(DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_default, 1.0, p_end, p_end), "");
  const std::string missingEnd = DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_default, 1.0, p_end);
  EXPECT_NE(missingEnd.find("missing p_end"), std::string::npos) << missingEnd;
  const std::string glued = DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_default, 1.0,
                                            1, _M("b"), TYPE_INT, 0, 0, p_end, p_end);
  EXPECT_NE(glued.find("parameter 0 \"a\""), std::string::npos) << glued;
  EXPECT_NE(glued.find("a tag"), std::string::npos) << glued;
  const std::string dup = DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_end,
                                          0, _M("b"), TYPE_FLOAT, 0, 0, p_end, p_end);
  EXPECT_NE(dup.find("used twice"), std::string::npos) << dup;
  const std::string dupName = DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_end,
                                              1, _M("a"), TYPE_FLOAT, 0, 0, p_end, p_end);
  EXPECT_NE(dupName.find("internal name is used twice"), std::string::npos) << dupName;
  const std::string intForFloat = DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_default, 1, p_end, p_end);
  EXPECT_NE(intForFloat.find("default must be a float/double, found an int"), std::string::npos) << intForFloat;
  const std::string floatForInt = DefinitionError(0, _M("a"), TYPE_INT, 0, 0, p_default, 1.0, p_end, p_end);
  EXPECT_NE(floatForInt.find("must be an int"), std::string::npos) << floatForInt;
  EXPECT_NE(DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_range, 2.0, 1.0, p_end, p_end).find("below"), std::string::npos);
  EXPECT_NE(DefinitionError(0, _M("a"), TYPE_INT, 0, 0, p_default, 9, p_range, 1, 8, p_end, p_end).find("outside the range"), std::string::npos);
  EXPECT_NE(DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_ui, TYPE_SPINNER, EDITTYPE_INT, 1, 2, SPIN_AUTOSCALE, p_end, p_end).find("edit type"), std::string::npos);
  EXPECT_NE(DefinitionError(0, _M("m"), TYPE_TEXMAP, P_OWNERS_REF, 0, p_end, p_end).find("without p_refno"), std::string::npos);
  // A super class ID starts at 1; 0 would read as "any class".
  const std::string anyClass = DefinitionError(0, _M("r"), TYPE_REFTARG, 0, 0, p_sclassID, 0, p_end, p_end);
  EXPECT_NE(anyClass.find("parameter 0 \"r\": super class ID out of range"), std::string::npos) << anyClass;
  EXPECT_EQ(DefinitionError(0, _M("r"), TYPE_REFTARG, 0, 0, p_sclassID, 1, p_end, p_end), "");
  // A list box holds from 0 to 1024 items.
  EXPECT_EQ(ListBoxError(std::make_index_sequence<1024>()), "");
  EXPECT_EQ(ListBoxError(std::make_index_sequence<0>()), "");
  for (int count : {1025, -1}) {
    const std::string implausible = DefinitionError(0, _M("l"), TYPE_INT, 0, 0, p_ui, TYPE_INTLISTBOX, 7, count, p_end, p_end);
    EXPECT_NE(implausible.find("parameter 0 \"l\": implausible list-box item count"), std::string::npos) << implausible;
  }
  EXPECT_NE(DefinitionError(0, _M("a"), TYPE_FLOAT, 0, 0, p_end, p_end, 7).find("follow the closing"), std::string::npos);
}

TEST(ParamBlockDesc, RegistrationRefusesClashingBlocks) {
  BareClassDesc cd;
  ParamBlockDesc2 first(1, _M("one"), 0, &cd, P_AUTO_CONSTRUCT, 0, p_end);
  EXPECT_THROW(ParamBlockDesc2(1, _M("two"), 0, &cd, 0, p_end), ParamBlockDescError);
  EXPECT_THROW(ParamBlockDesc2(2, _M("two"), 0, &cd, P_AUTO_CONSTRUCT, 0, p_end), ParamBlockDescError);
  EXPECT_EQ(cd.NumParamBlockDescs(), 1);
  {
    ParamBlockDesc2 second(2, _M("two"), 0, &cd, P_AUTO_CONSTRUCT, 1, p_end);
    EXPECT_EQ(cd.GetParamBlockDescByID(2), &second);
  }
  EXPECT_EQ(cd.GetParamBlockDescByID(2), nullptr);  // unregistered by its destructor
}

TEST(Descriptors, HeadersAndRegistrationOrder) {
  TestClasses c;
  ASSERT_EQ(c.ownerDesc.NumParamBlockDescs(), 2);
  EXPECT_EQ(c.ownerDesc.GetParamBlockDesc(0), &c.mapping);
  EXPECT_EQ(c.ownerDesc.GetParamBlockDesc(1), &c.params);

  EXPECT_EQ(c.mapping.ID, 0);
  EXPECT_EQ(c.mapping.int_name, L"Mapping");
  EXPECT_EQ(c.mapping.flags, 6);
  EXPECT_EQ(c.mapping.ref_no, 0);
  EXPECT_EQ(c.mapping.dlg_template, 102);
  EXPECT_EQ(c.mapping.title, 7);
  EXPECT_EQ(c.mapping.rollup_flags, 1);
  EXPECT_EQ(c.mapping.Count(), 27);

  EXPECT_EQ(c.params.ID, 1);
  EXPECT_EQ(c.params.int_name, L"params");
  EXPECT_EQ(c.params.flags, 6);
  EXPECT_EQ(c.params.ref_no, 1);
  EXPECT_EQ(c.params.dlg_template, 101);
  EXPECT_EQ(c.params.title, 4);
  EXPECT_EQ(c.params.rollup_flags, 0);
  EXPECT_EQ(c.params.Count(), 29);
  EXPECT_EQ(c.params.GetUserDlgProc(), nullptr);
}

struct Row {
  const char* name;
  int id;
  const char* type;
  const char* def;
  const char* range;
  int str;
  bool anim;
  std::vector<int> ctrls;
};

void ExpectRows(const ParamBlockDesc2& d, const std::vector<Row>& want) {
  const auto rows = ListParams(d);
  ASSERT_EQ(rows.size(), want.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(rows[i].internalName, want[i].name);
    EXPECT_EQ(rows[i].id, want[i].id);
    EXPECT_EQ(rows[i].type, want[i].type);
    EXPECT_EQ(rows[i].defaultValue, want[i].def);
    EXPECT_EQ(rows[i].range, want[i].range);
    EXPECT_EQ(rows[i].displayName, want[i].str);
    EXPECT_EQ(rows[i].animatable, want[i].anim);
    EXPECT_EQ(d.paramdefs[i].ctrl_IDs, want[i].ctrls);
  }
}

TEST(Descriptors, ParamsTable) {
  TestClasses c;
  const char* big = "0 .. 1000000";
  ExpectRows(c.params, {
      {"size", 0, "float", "1", big, 22, true, {1490, 1496}},
      {"thresholdLow", 1, "float", "0", "0 .. 1", 23, true, {1491, 1497}},
      {"thresholdHigh", 2, "float", "1", "0 .. 1", 24, true, {1492, 1498}},
      {"sizeMap", 3, "texmap", "", "", 40, false, {1040}},
      {"spreadMap", 11, "texmap", "", "", 42, false, {1033}},
      {"stretchMap", 12, "texmap", "", "", 44, false, {1034}},
      {"sizeMapEnabled", 4, "bool", "1", "", 41, false, {1041}},
      {"spreasdMapEnabled", 13, "bool", "1", "", 43, false, {1038}},
      {"stretchMapEnabled", 14, "bool", "1", "", 45, false, {1039}},
      {"color1", 5, "color", "(0, 0, 0)", "", 25, true, {1023}},
      {"color2", 6, "color", "(1, 1, 1)", "", 26, true, {1024}},
      {"color1map", 7, "texmap", "", "", 27, false, {1029}},
      {"color2map", 8, "texmap", "", "", 28, false, {1030}},
      {"col1mapEnabled", 9, "bool", "1", "", 29, false, {1035}},
      {"col2mapEnabled", 10, "bool", "1", "", 30, false, {1036}},
      {"stretch", 15, "float", "10", big, 31, true, {1493, 1499}},
      {"erosion", 16, "float", "0", "0 .. 1", 49, true, {1502, 1503}},
      {"erosionDelta", 17, "float", "1", "0.01 .. 100", 51, true, {1506, 1507}},
      {"spread", 18, "float", "0.8", "0.1 .. 1", 50, true, {1504, 1505}},
      {"type", 19, "int", "0", "", 34, false, {1001}},
      {"levels", 20, "int", "8", "1 .. 8", 52, true, {1508, 1509}},
      {"useErosion", 21, "bool", "0", "", 53, false, {1005}},
      {"bumpDelta", 22, "float", "0.001", "0 .. 1", 56, true, {1518, 1519}},
      {"distortMap", 23, "texmap", "", "", 37, false, {1031}},
      {"distortStrMap", 24, "texmap", "", "", 38, false, {1032}},
      {"dStrMapEnabled", 26, "bool", "1", "", 39, false, {1037}},
      {"distortStr", 27, "float", "0.1", "0 .. 100", 36, true, {1494, 1500}},
      {"useDistortion", 25, "bool", "0", "", 35, false, {1002}},
      {"output", 28, "reftarg", "", "", 5, false, {}},
  });
  // Sub-maps: slot -> (reference, parameter ID).
  const int slots[7][2] = {{2, 7}, {3, 8}, {4, 3}, {5, 11}, {6, 12}, {7, 23}, {8, 24}};
  for (int s = 0; s < 7; ++s) {
    const ParamDef* d = c.params.FindParamDef(static_cast<ParamID>(slots[s][1]));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->subtexno, s);
    EXPECT_EQ(d->refno, slots[s][0]);
    EXPECT_EQ(d->flags, P_OWNERS_REF);
    EXPECT_EQ(d->ctrl_type, TYPE_TEXMAPBUTTON);
  }
  EXPECT_EQ(c.params.FindParamDef(PB_OUTPUT)->refno, 9);
  EXPECT_FALSE(c.params.FindParamDef(PB_OUTPUT)->has_ui);
  EXPECT_EQ(c.params.FindParamDef(PB_SPREAD)->def.f, 0.8f);
  EXPECT_EQ(c.params.FindParamDef(PB_TYPE)->ctrl_type, TYPE_INTLISTBOX);
  EXPECT_EQ(c.params.FindParamDef(PB_TYPE)->ctrl_count, 0);
  EXPECT_EQ(c.params.FindParamDef(PB_LEVELS)->spin_type, EDITTYPE_INT);
  EXPECT_EQ(c.params.FindParamDef(PB_SIZE)->scale, SPIN_AUTOSCALE);
}

TEST(Descriptors, MappingTable) {
  TestClasses c;
  const char* big = "-1000000 .. 1000000";
  const char* amp = "0 .. 1000000";
  const char* sz = "0.0001 .. 1000000";
  ExpectRows(c.mapping, {
      {"xyz_map", 0, "int", "2", "", 0, true, {1001}},
      {"xyz_chan", 1, "int", "1", "0 .. 100", 8, true, {1002, 1003}},
      {"xyz_offset_x", 2, "float", "0", big, 0, true, {1491, 1497}},
      {"xyz_offset_y", 3, "float", "0", big, 0, true, {1492, 1498}},
      {"xyz_offset_z", 4, "float", "0", big, 0, true, {1493, 1499}},
      {"xyz_size_x", 5, "float", "1", sz, 0, true, {1494, 1500}},
      {"xyz_size_y", 6, "float", "1", sz, 0, true, {1495, 1501}},
      {"xyz_size_z", 7, "float", "1", sz, 0, true, {1496, 1502}},
      {"xyz_angle_x", 8, "float", "0", big, 0, true, {1007, 1008}},
      {"xyz_angle_y", 9, "float", "0", big, 0, true, {1009, 1010}},
      {"xyz_angle_z", 10, "float", "0", big, 0, true, {1011, 1012}},
      {"xyz_tile_x", 11, "int", "0", "", 0, true, {1004}},
      {"xyz_tile_y", 12, "int", "0", "", 0, true, {1005}},
      {"xyz_tile_z", 13, "int", "0", "", 0, true, {1006}},
      {"seed", 23, "int", "12345", "1 .. 99999", 19, true, {1515, 1516}},
      {"randByMat", 24, "bool", "0", "", 20, true, {1021}},
      {"randByObj", 25, "bool", "1", "", 21, true, {1022}},
      {"xyz_offset_x2", 14, "float", "0", amp, 0, true, {1503, 1504}},
      {"xyz_offset_y2", 15, "float", "0", amp, 0, true, {1505, 1506}},
      {"xyz_offset_z2", 16, "float", "0", amp, 0, true, {1507, 1508}},
      {"xyz_size_x2", 17, "float", "0", amp, 0, true, {1509, 1510}},
      {"xyz_size_y2", 18, "float", "0", amp, 0, true, {1511, 1512}},
      {"xyz_size_z2", 19, "float", "0", amp, 0, true, {1513, 1514}},
      {"xyz_angle_x2", 20, "float", "0", amp, 0, true, {1013, 1014}},
      {"xyz_angle_y2", 21, "float", "0", amp, 0, true, {1015, 1016}},
      {"xyz_angle_z2", 22, "float", "0", amp, 0, true, {1017, 1018}},
      {"xyz_lock", 26, "bool", "1", "", 0, true, {1023}},
  });
  EXPECT_EQ(c.mapping.FindParamDef(XYZ_PB_SIZE_X)->range_low.f, 0.0001f);
  EXPECT_EQ(c.mapping.FindParamDef(XYZ_PB_LOCK)->ctrl_type, TYPE_CHECKBUTTON);
  EXPECT_EQ(c.mapping.NameToIndex(L"seed"), 14);
  EXPECT_EQ(c.mapping.IndextoID(14), XYZ_PB_SEED);
  EXPECT_EQ(c.params.NameToIndex(L"spreadMapEnabled"), -1);  // the stored name keeps its typo
  EXPECT_EQ(c.params.IndextoID(c.params.NameToIndex(L"spreasdMapEnabled")), PB_SPREAD_MAP_ENABLED);

  XYZ_Desc other(nullptr, 3, 4, 1, 2, 3, 4, 0);  // the defaults follow the constructor
  EXPECT_EQ(other.ID, 4);
  EXPECT_EQ(other.ref_no, 3);
  EXPECT_EQ(other.FindParamDef(XYZ_PB_MAP)->def.i, 1);
  EXPECT_EQ(other.FindParamDef(XYZ_PB_TILE_Z)->def.i, 4);
}

// Holds a test owner and releases it (and its blocks) at the end of a test.
struct OwnerFixture : ::testing::Test {
  TestClasses classes;
  Scene scene;
  TestOwner* owner = nullptr;
  IParamBlock2* params = nullptr;
  IParamBlock2* mapping = nullptr;
  void SetUp() override {
    owner = classes.NewOwner();
    scene.AddRoot(owner);
    params = owner->Block(SCRATCHES_REF_PARAMS);
    mapping = owner->Block(SCRATCHES_REF_COORDS);
  }
  void TearDown() override { AnimateOff(); }
};

using Blocks = OwnerFixture;

TEST_F(Blocks, AutoBlocksHoldEveryDeclaredDefault) {
  ASSERT_NE(params, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(params->ID(), PARAMS_BLOCK_ID);
  EXPECT_EQ(mapping->ID(), MAPPING_BLOCK_ID);
  EXPECT_EQ(params->GetOwner(), owner);
  for (IParamBlock2* pb : {params, mapping}) {
    for (const ParamDef& d : pb->GetDesc()->paramdefs) {
      SCOPED_TRACE(std::string(d.int_name.begin(), d.int_name.end()));
      Interval iv = FOREVER;
      switch (d.type) {
        case TYPE_FLOAT: {
          float v = -1;
          ASSERT_TRUE(pb->GetValue(d.ID, 0, v, iv));
          EXPECT_EQ(v, d.def.f);
          break;
        }
        case TYPE_INT:
        case TYPE_BOOL: {
          int v = -1;
          ASSERT_TRUE(pb->GetValue(d.ID, 0, v, iv));
          EXPECT_EQ(v, d.def.i);
          break;
        }
        case TYPE_RGBA: {
          Color v(-1, -1, -1);
          ASSERT_TRUE(pb->GetValue(d.ID, 0, v, iv));
          EXPECT_EQ(v, d.def.c);
          break;
        }
        default: {
          ReferenceTarget* v = owner;
          ASSERT_TRUE(pb->GetValue(d.ID, 0, v, iv));
          EXPECT_EQ(v, nullptr);
        }
      }
      EXPECT_EQ(iv, FOREVER);
    }
  }
  EXPECT_EQ(params->GetColor(PB_COLOR2), Color(1, 1, 1));
  EXPECT_EQ(mapping->GetInt(XYZ_PB_SEED), 12345);
}

TEST_F(Blocks, WrongTypeUnknownIdAndTabIndexAreRefused) {
  int i = 42;
  float f = 42.0f;
  Interval iv(5, 9);
  EXPECT_FALSE(params->GetValue(PB_SIZE, 0, i, iv));
  EXPECT_FALSE(params->GetValue(PB_LEVELS, 0, f, iv));
  EXPECT_FALSE(params->GetValue(99, 0, f, iv));
  EXPECT_FALSE(params->GetValue(PB_SIZE, 0, f, iv, 1));
  EXPECT_FALSE(params->SetValue(PB_SIZE, 0, 3));
  EXPECT_EQ(i, 42);
  EXPECT_EQ(f, 42.0f);
  EXPECT_EQ(iv, Interval(5, 9));
  EXPECT_TRUE(params->GetValue(PB_USE_EROSION, 0, i, iv));  // BOOL reads as int
  auto* out = new TestOutput;
  EXPECT_FALSE(params->SetValue(PB_COLOR1_MAP, 0, static_cast<ReferenceTarget*>(out)));
  EXPECT_TRUE(params->SetValue(PB_OUTPUT, 0, static_cast<ReferenceTarget*>(out)));
  EXPECT_EQ(owner->GetReference(SCRATCHES_REF_OUTPUT), out);
}

TEST_F(Blocks, ChangesReachTheOwnerWithTheChangedParameter) {
  owner->notes.clear();
  ASSERT_TRUE(params->SetValue(PB_THRESHOLD_LOW, 0, 0.8f));
  ASSERT_TRUE(mapping->SetValue(XYZ_PB_SEED, 0, 7));
  auto* map = new TestMap;
  ASSERT_TRUE(params->SetValue(PB_DISTORT_MAP, 0, map));
  ASSERT_EQ(owner->notes.size(), 3u);
  EXPECT_EQ(owner->notes[0].msg, REFMSG_CHANGE);
  EXPECT_EQ(owner->notes[0].from, params);
  EXPECT_EQ(owner->notes[0].param, PB_THRESHOLD_LOW);
  EXPECT_EQ(owner->notes[1].from, mapping);
  EXPECT_EQ(owner->notes[1].param, XYZ_PB_SEED);
  EXPECT_EQ(owner->notes[2].param, PB_DISTORT_MAP);
  EXPECT_EQ(params->LastNotifyParamID(), -1);
  // The map parameter reads the owner's reference.
  EXPECT_EQ(owner->GetReference(SCRATCHES_REF_DISTORT_MAP), map);
  EXPECT_EQ(params->GetTexmap(PB_DISTORT_MAP), map);
  // A change inside a sub-map reaches the owner too.
  owner->notes.clear();
  map->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  ASSERT_EQ(owner->notes.size(), 1u);
  EXPECT_EQ(owner->notes[0].from, map);
  // The block keeps thresholds as entered, even when low > high.
  EXPECT_EQ(params->GetFloat(PB_THRESHOLD_LOW), 0.8f);
  EXPECT_EQ(params->GetFloat(PB_THRESHOLD_HIGH), 1.0f);
}

TEST_F(Blocks, ConstantValuesAreValidForAllTimeAndNarrowNothing) {
  AnimateOn();
  ASSERT_TRUE(params->SetValue(PB_TYPE, 100, 1));  // not animatable: no key even in animate mode
  EXPECT_EQ(params->NumKeys(PB_TYPE), 0);
  Interval iv(-50, 50);
  int v = 0;
  params->GetValue(PB_TYPE, 2000, v, iv);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(iv, Interval(-50, 50));
}

TEST_F(Blocks, AnimatedFloatInterpolatesAndNarrowsValidity) {
  AnimateOn();
  ASSERT_TRUE(params->SetValue(PB_SIZE, 100, 3.0f));  // key at 0 keeps 1.0, key at 100
  ASSERT_TRUE(params->SetValue(PB_SIZE, 300, 3.0f));
  ASSERT_EQ(params->NumKeys(PB_SIZE), 3);
  EXPECT_EQ(params->GetKeyTime(PB_SIZE, 0), 0);
  EXPECT_EQ(params->GetKeyTime(PB_SIZE, 2), 300);
  float v = 0;
  Interval iv = FOREVER;
  params->GetValue(PB_SIZE, 25, v, iv);
  EXPECT_FLOAT_EQ(v, 1.5f);
  EXPECT_EQ(iv, Interval(25, 25));  // changing: valid at that instant only
  iv = FOREVER;
  params->GetValue(PB_SIZE, 200, v, iv);
  EXPECT_EQ(v, 3.0f);
  EXPECT_EQ(iv, Interval(100, 300));  // holding between two equal keys
  iv = FOREVER;
  params->GetValue(PB_SIZE, -40, v, iv);
  EXPECT_EQ(v, 1.0f);
  EXPECT_EQ(iv, Interval(TIME_NegInfinity, 0));
  iv = FOREVER;
  params->GetValue(PB_SIZE, 5000, v, iv);
  EXPECT_EQ(iv, Interval(300, TIME_PosInfinity));
  // Validity from several values is their intersection.
  iv = Interval(0, 1000);
  params->GetValue(PB_SIZE, 200, v, iv);
  params->GetValue(PB_STRETCH, 200, v, iv);
  EXPECT_EQ(iv, Interval(100, 300));
  // Between keys away from frame 0, at a fraction of the span: 3 at 100 .. 7 at 200.
  ASSERT_TRUE(params->SetValue(PB_SIZE, 200, 7.0f));
  iv = FOREVER;
  params->GetValue(PB_SIZE, 150, v, iv);
  EXPECT_EQ(v, 5.0f);
  EXPECT_EQ(iv, Interval(150, 150));
  EXPECT_EQ(params->GetFloat(PB_SIZE, 130), 4.2f);
  EXPECT_EQ(params->GetFloat(PB_SIZE, 250), 5.0f);  // 7 at 200 back down to 3 at 300
  // On the first and the last key themselves the value holds outwards.
  iv = FOREVER;
  params->GetValue(PB_SIZE, 0, v, iv);
  EXPECT_EQ(v, 1.0f);
  EXPECT_EQ(iv, Interval(TIME_NegInfinity, 0));
  iv = FOREVER;
  params->GetValue(PB_SIZE, 300, v, iv);
  EXPECT_EQ(v, 3.0f);
  EXPECT_EQ(iv, Interval(300, TIME_PosInfinity));

  // A first key before frame 0 also keeps the old value at 0: 40 at -60 .. 10 at 0.
  ASSERT_TRUE(params->SetValue(PB_STRETCH, -60, 40.0f));
  ASSERT_EQ(params->NumKeys(PB_STRETCH), 2);
  EXPECT_EQ(params->GetKeyTime(PB_STRETCH, 0), -60);
  EXPECT_EQ(params->GetKeyTime(PB_STRETCH, 1), 0);
  EXPECT_EQ(params->GetFloat(PB_STRETCH, -45), 32.5f);
  EXPECT_EQ(params->GetFloat(PB_STRETCH, -100), 40.0f);
  EXPECT_EQ(params->GetFloat(PB_STRETCH, 20), 10.0f);
  // A first key at frame 0 itself is the only key.
  ASSERT_TRUE(params->SetValue(PB_EROSION, 0, 0.5f));
  EXPECT_EQ(params->NumKeys(PB_EROSION), 1);
  EXPECT_EQ(params->GetFloat(PB_EROSION, 90), 0.5f);
  // So is a first key away from frame 0 that keeps the value held before: no key at 0 for it.
  ASSERT_TRUE(params->SetValue(PB_THRESHOLD_HIGH, 70, 1.0f));
  ASSERT_EQ(params->NumKeys(PB_THRESHOLD_HIGH), 1);
  EXPECT_EQ(params->GetKeyTime(PB_THRESHOLD_HIGH, 0), 70);
}

// A value outside the declared range stops at the nearer end, on both sides; the ends
// themselves are kept; a switch holds 0 or 1.
TEST_F(Blocks, ValuesOutsideTheRangeStopAtItsEnds) {
  const struct {
    float in, kept;
  } floats[] = {{1.5f, 1.0f}, {-0.5f, 0.0f}, {1.0f, 1.0f}, {0.0f, 0.0f}, {0.25f, 0.25f}};
  for (const auto& c : floats) {
    ASSERT_TRUE(params->SetValue(PB_EROSION, 0, c.in));
    EXPECT_EQ(params->GetFloat(PB_EROSION), c.kept) << c.in;
  }
  const struct {
    int in, kept;
  } ints[] = {{0, 1}, {-4, 1}, {9, 8}, {1, 1}, {8, 8}, {5, 5}};
  for (const auto& c : ints) {
    ASSERT_TRUE(params->SetValue(PB_LEVELS, 0, c.in));
    EXPECT_EQ(params->GetInt(PB_LEVELS), c.kept) << c.in;
  }
  for (const auto& c : ints) {
    ASSERT_TRUE(params->SetValue(PB_USE_EROSION, 0, c.in - 1));
    EXPECT_EQ(params->GetInt(PB_USE_EROSION), c.in - 1 != 0 ? 1 : 0) << c.in - 1;
  }
}

TEST_F(Blocks, AnimatedColourIntAndSwitch) {
  AnimateOn();
  params->SetValue(PB_COLOR1, 100, Color(1.0f, 0.5f, 0.25f));
  EXPECT_EQ(params->GetColor(PB_COLOR1, 50), Color(0.5f, 0.25f, 0.125f));
  params->SetValue(PB_LEVELS, 100, 1);  // 8 at 0 .. 1 at 100, rounded
  EXPECT_EQ(params->GetInt(PB_LEVELS, 50), 5);  // 4.5 rounds away from zero
  mapping->SetValue(XYZ_PB_LOCK, 100, 0);  // a switch steps at its keys
  Interval iv = FOREVER;
  int lock = -1;
  mapping->GetValue(XYZ_PB_LOCK, 99, lock, iv);
  EXPECT_EQ(lock, 1);
  EXPECT_EQ(iv, Interval(0, 99));
  EXPECT_EQ(mapping->GetInt(XYZ_PB_LOCK, 100), 0);
}

TEST_F(Blocks, OutsideAnimateModeAnAnimatedValueMovesAsAWhole) {
  AnimateOn();
  params->SetValue(PB_SIZE, 100, 3.0f);
  AnimateOff();
  params->SetValue(PB_SIZE, 100, 5.0f);
  EXPECT_EQ(params->NumKeys(PB_SIZE), 2);
  EXPECT_EQ(params->GetFloat(PB_SIZE, 0), 3.0f);
  EXPECT_EQ(params->GetFloat(PB_SIZE, 100), 5.0f);
  // An integer moves by the difference, each key stopping at the range's end; a switch takes
  // the new state at every key.
  AnimateOn();
  params->SetValue(PB_LEVELS, 100, 1);  // 8 at 0, 1 at 100
  mapping->SetValue(XYZ_PB_LOCK, 100, 0);  // 1 at 0, 0 at 100
  AnimateOff();
  ASSERT_TRUE(params->SetValue(PB_LEVELS, 100, 3));
  EXPECT_EQ(params->NumKeys(PB_LEVELS), 2);
  EXPECT_EQ(params->GetInt(PB_LEVELS, 0), 8);
  EXPECT_EQ(params->GetInt(PB_LEVELS, 100), 3);
  ASSERT_TRUE(params->SetValue(PB_LEVELS, 0, 5));
  EXPECT_EQ(params->GetInt(PB_LEVELS, 0), 5);
  EXPECT_EQ(params->GetInt(PB_LEVELS, 100), 1);  // 3 - 3 = 0 stops at 1
  ASSERT_TRUE(mapping->SetValue(XYZ_PB_LOCK, 50, 1));
  EXPECT_EQ(mapping->NumKeys(XYZ_PB_LOCK), 2);
  EXPECT_EQ(mapping->GetInt(XYZ_PB_LOCK, 0), 1);
  EXPECT_EQ(mapping->GetInt(XYZ_PB_LOCK, 100), 1);
}

TEST_F(Blocks, ClonedOwnerSharesNothingWithItsSource) {
  auto* m = new TestMap;
  params->SetValue(PB_COLOR1_MAP, 0, m);
  params->SetValue(PB_COLOR2_MAP, 0, m);
  params->SetValue(PB_OUTPUT, 0, static_cast<ReferenceTarget*>(new TestOutput));
  params->SetValue(PB_SPREAD, 0, 0.3f);
  auto* copy = static_cast<TestOwner*>(CloneRefHierarchy(owner));
  scene.AddRoot(copy);
  std::set<ReferenceTarget*> mine, theirs;
  for (int i = 0; i < owner->NumRefs(); ++i) {
    if (owner->GetReference(i)) mine.insert(owner->GetReference(i));
    if (copy->GetReference(i)) theirs.insert(copy->GetReference(i));
  }
  EXPECT_EQ(theirs.size(), 4u);  // two blocks, the shared map once, the output
  for (ReferenceTarget* t : theirs) EXPECT_EQ(mine.count(t), 0u);
  EXPECT_EQ(copy->GetReference(SCRATCHES_REF_COLOR1_MAP), copy->GetReference(SCRATCHES_REF_COLOR2_MAP));
  IParamBlock2* cp = copy->Block(SCRATCHES_REF_PARAMS);
  EXPECT_EQ(cp->GetOwner(), copy);
  EXPECT_EQ(cp->GetFloat(PB_SPREAD), 0.3f);
  EXPECT_EQ(cp->GetTexmap(PB_COLOR1_MAP), copy->GetReference(SCRATCHES_REF_COLOR1_MAP));
  cp->SetValue(PB_SPREAD, 0, 0.9f);
  EXPECT_EQ(params->GetFloat(PB_SPREAD), 0.3f);
}

TEST(ParamListing, FormatsFromTheDescriptorAlone) {
  ParamBlockDesc2 d = MakeParamsDesc(nullptr);
  const auto rows = ListParams(d);
  const auto it = std::find_if(rows.begin(), rows.end(), [](auto& r) { return r.internalName == "erosionDelta"; });
  ASSERT_NE(it, rows.end());
  EXPECT_EQ(it->id, 17);
  EXPECT_EQ(it->range, "0.01 .. 100");
  EXPECT_EQ(FormatParamValue(TYPE_RGBA, d.FindParamDef(PB_COLOR2)->def), "(1, 1, 1)");
}

}  // namespace
