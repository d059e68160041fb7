// Scene storage: chunk framing, round trips of whole scenes through files, restoring by ID when
// the definitions move, the atomic save, and files that are truncated, corrupt or hostile.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

#include "SdkTestClasses.h"
#include "chunkio.h"

namespace {

std::filesystem::path TempPath(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() / ("tamrel_scene_io_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir / name;
}

TEST(ChunkIO, NestedChunksReadBackAndBoundReads) {
  ChunkWriter w;
  w.BeginChunk(0x10);
  w.BeginChunk(0x11);
  WriteU32(&w, 0xDEADBEEF);
  w.EndChunk();
  w.BeginChunk(0x99);  // unknown to the reader below
  WriteU32(&w, 1);
  w.EndChunk();
  w.EndChunk();
  ASSERT_TRUE(w.Ok());

  ChunkReader r(w.Bytes());
  ASSERT_EQ(r.OpenChunk(), IO_OK);
  EXPECT_EQ(r.CurChunkID(), 0x10);
  ASSERT_EQ(r.OpenChunk(), IO_OK);
  EXPECT_EQ(r.CurChunkID(), 0x11);
  EXPECT_EQ(r.CurChunkLength(), 4u);
  std::uint32_t v = 0;
  EXPECT_EQ(ReadU32(&r, v), IO_OK);
  EXPECT_EQ(v, 0xDEADBEEFu);
  std::uint8_t b;
  EXPECT_EQ(ReadU8(&r, b), IO_ERROR);  // the chunk is used up; its neighbour is out of reach
  EXPECT_NE(r.ErrorText().find("short"), std::string::npos);
  r.CloseChunk();
  ASSERT_EQ(r.OpenChunk(), IO_OK);
  r.CloseChunk();  // skipped unread
  EXPECT_EQ(r.OpenChunk(), IO_END);
  r.CloseChunk();
  EXPECT_EQ(r.OpenChunk(), IO_END);
  EXPECT_EQ(r.CloseChunk(), IO_ERROR);

  ChunkWriter bad;
  bad.EndChunk();
  EXPECT_FALSE(bad.Ok());

  // Both bytes of an id and all four of a length count; a read of exactly what is left is
  // taken and one byte more refused; a header one byte short is refused.
  ChunkWriter wide;
  wide.BeginChunk(0xA5C3);
  for (int i = 0; i < 5; ++i) WriteU8(&wide, static_cast<std::uint8_t>(i));
  wide.EndChunk();
  ASSERT_EQ(wide.Bytes().size(), 11u);
  EXPECT_EQ(wide.Bytes()[2], 5u);
  ChunkReader exact(wide.Bytes());
  ASSERT_EQ(exact.OpenChunk(), IO_OK);
  EXPECT_EQ(exact.CurChunkID(), 0xA5C3);
  EXPECT_EQ(exact.CurChunkLength(), 5u);
  std::uint8_t five[6] = {};
  ULONG got = 9;
  EXPECT_EQ(exact.Read(five, 6, &got), IO_ERROR);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(exact.ErrorText(), "chunk 0xA5C3 ends 1 bytes short of a 6-byte value (at byte 6)");
  ChunkReader whole(wide.Bytes());
  ASSERT_EQ(whole.OpenChunk(), IO_OK);
  EXPECT_EQ(whole.Read(five, 5, &got), IO_OK);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(five[4], 4u);
  EXPECT_TRUE(whole.ErrorText().empty());
  const std::vector<std::uint8_t> shortHeader(wide.Bytes().begin(), wide.Bytes().begin() + 5);
  ChunkReader cut(shortHeader);
  EXPECT_EQ(cut.OpenChunk(), IO_ERROR);
  EXPECT_EQ(cut.ErrorText(), "truncated chunk header: 5 bytes left, 6 needed (at byte 0)");
}

// A text chunk holds whole four-byte character codes from 1 to U+10FFFF: a partial character,
// a zero and a code past the last are refused, and the string is left as it was.
TEST(ChunkIO, TextChunksHoldWholeValidCharacters) {
  const auto chunk = [](std::vector<std::uint32_t> codes, int extraBytes) {
    ChunkWriter w;
    w.BeginChunk(0x5000);
    for (std::uint32_t c : codes) WriteU32(&w, c);
    for (int i = 0; i < extraBytes; ++i) WriteU8(&w, 0x41);
    w.EndChunk();
    return w.Bytes();
  };
  const auto read = [](const std::vector<std::uint8_t>& bytes, MSTR& text, std::string& error) {
    ChunkReader r(bytes);
    if (r.OpenChunk() != IO_OK) return IO_ERROR;
    const IOResult res = r.ReadWStringChunk(text);
    error = r.ErrorText();
    return res;
  };
  MSTR text = L"before";
  std::string error;
  ASSERT_EQ(read(chunk({L'm', 0x10FFFF, 1}, 0), text, error), IO_OK) << error;
  EXPECT_EQ(text, (MSTR{L'm', static_cast<MCHAR>(0x10FFFF), 1}));
  for (const auto& [codes, extra] : {std::pair{std::vector<std::uint32_t>{L'a'}, 2},
                                     std::pair{std::vector<std::uint32_t>{L'a'}, 1},
                                     std::pair{std::vector<std::uint32_t>{}, 3}}) {
    text = L"kept";
    EXPECT_EQ(read(chunk(codes, extra), text, error), IO_ERROR) << extra;
    EXPECT_EQ(error, "text chunk 0x5000 has a length that is not a whole number of characters "
                     "(at byte 6)");
    EXPECT_EQ(text, MSTR(L"kept"));
  }
  for (std::uint32_t bad : {0u, 0x110000u}) {
    text = L"kept";
    EXPECT_EQ(read(chunk({L'a', bad}, 0), text, error), IO_ERROR) << bad;
    EXPECT_NE(error.find("holds an invalid character code"), std::string::npos) << error;
    EXPECT_EQ(text, MSTR(L"kept"));
  }
}

TEST(ChunkIO, OversizedLengthAndDeepNestingFail) {
  const std::uint8_t oversized[] = {0x10, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3};
  ChunkReader r(oversized);
  EXPECT_EQ(r.OpenChunk(), IO_ERROR);
  EXPECT_EQ(r.ErrorText(),
            "chunk 0x0010 claims 2147483647 bytes but only 3 remain in its enclosing chunk "
            "(at byte 0)");
  // A chunk may claim exactly what is left, not a byte more.
  const std::uint8_t fits[] = {0x10, 0, 3, 0, 0, 0, 1, 2, 3};
  ChunkReader fit(fits);
  EXPECT_EQ(fit.OpenChunk(), IO_OK);
  EXPECT_EQ(fit.CurChunkLength(), 3u);
  const std::uint8_t over[] = {0x10, 0, 4, 0, 0, 0, 1, 2, 3};
  ChunkReader past(over);
  EXPECT_EQ(past.OpenChunk(), IO_ERROR);
  EXPECT_NE(past.ErrorText().find("claims 4 bytes but only 3 remain"), std::string::npos);

  ChunkWriter w;
  for (int i = 0; i < ChunkReader::kMaxDepth + 5; ++i) w.BeginChunk(1);
  for (int i = 0; i < ChunkReader::kMaxDepth + 5; ++i) w.EndChunk();
  ChunkReader deep(w.Bytes());
  IOResult res = IO_OK;
  for (int i = 0; i < ChunkReader::kMaxDepth + 5 && res == IO_OK; ++i) res = deep.OpenChunk();
  EXPECT_EQ(res, IO_ERROR);
  EXPECT_NE(deep.ErrorText().find("deeper"), std::string::npos);
  // Exactly kMaxDepth levels open; the next one is refused.
  ChunkReader limit(w.Bytes());
  for (int i = 0; i < ChunkReader::kMaxDepth; ++i) ASSERT_EQ(limit.OpenChunk(), IO_OK) << i;
  EXPECT_EQ(limit.OpenChunk(), IO_ERROR);
  EXPECT_EQ(limit.ErrorText(), "chunks nested deeper than 64 (at byte " +
                                   std::to_string(6 * ChunkReader::kMaxDepth) + ")");
}

// Sets every stored parameter of a block to a value other than its default, inside its range.
void ChangeEveryParameter(IParamBlock2* pb) {
  int n = 0;
  for (const ParamDef& d : pb->GetDesc()->paramdefs) {
    ++n;
    switch (d.type) {
      case TYPE_FLOAT: {
        float v = d.def.f + 0.25f + 0.01f * static_cast<float>(n);
        if (d.has_range && v > d.range_high.f) v = d.range_low.f + (d.def.f - d.range_low.f) * 0.5f;
        ASSERT_TRUE(pb->SetValue(d.ID, 0, v));
        break;
      }
      case TYPE_INT: {
        int v = d.def.i + 1;
        if (d.has_range && v > d.range_high.i) v = d.range_low.i;
        ASSERT_TRUE(pb->SetValue(d.ID, 0, v));
        break;
      }
      case TYPE_BOOL:
        ASSERT_TRUE(pb->SetValue(d.ID, 0, d.def.i ? 0 : 1));
        break;
      case TYPE_RGBA:
        ASSERT_TRUE(pb->SetValue(d.ID, 0, Color(0.25f, 0.5f, 0.125f * static_cast<float>(n))));
        break;
      default:
        break;
    }
  }
}

// Compares two blocks parameter by parameter, by ID, at a few times.
void ExpectSameValues(IParamBlock2* a, IParamBlock2* b) {
  for (const ParamDef& d : a->GetDesc()->paramdefs) {
    if (d.IsReference()) continue;
    SCOPED_TRACE(std::string(d.int_name.begin(), d.int_name.end()));
    EXPECT_EQ(a->NumKeys(d.ID), b->NumKeys(d.ID));
    for (TimeValue t : {-100, 0, 37, 160, 1000}) {
      if (d.type == TYPE_FLOAT) {
        EXPECT_EQ(a->GetFloat(d.ID, t), b->GetFloat(d.ID, t));
      } else if (d.type == TYPE_RGBA) {
        EXPECT_EQ(a->GetColor(d.ID, t), b->GetColor(d.ID, t));
      } else {
        EXPECT_EQ(a->GetInt(d.ID, t), b->GetInt(d.ID, t));
      }
    }
  }
}

struct SceneIO : ::testing::Test {
  TestClasses classes;
  Scene scene;
  TestOwner* owner = nullptr;
  void SetUp() override {
    owner = classes.NewOwner();
    scene.AddRoot(owner);
  }
  void TearDown() override { AnimateOff(); }
  IParamBlock2* Params(TestOwner* o) { return o->Block(SCRATCHES_REF_PARAMS); }
  IParamBlock2* Mapping(TestOwner* o) { return o->Block(SCRATCHES_REF_COORDS); }
  std::vector<std::uint8_t> Bytes() {
    std::vector<std::uint8_t> out;
    std::string err;
    EXPECT_TRUE(SaveSceneToBytes(scene, out, err)) << err;
    return out;
  }
};

TEST_F(SceneIO, RoundTripThroughAFileRestoresEveryValueKeyAndReference) {
  ChangeEveryParameter(Params(owner));
  ChangeEveryParameter(Mapping(owner));
  AnimateOn();
  Params(owner)->SetValue(PB_SIZE, 160, 42.0f);
  Params(owner)->SetValue(PB_COLOR2, 80, Color(0.0f, 1.0f, 0.0f));
  Mapping(owner)->SetValue(XYZ_PB_LOCK, 90, 1);
  AnimateOff();
  owner->SetName(L"scratched \u00e9");
  auto* shared = new TestMap;
  auto* inner = new TestMap;
  shared->ReplaceReference(0, inner);
  Params(owner)->SetValue(PB_COLOR1_MAP, 0, shared);
  Params(owner)->SetValue(PB_STRETCH_MAP, 0, shared);
  Params(owner)->SetValue(PB_DISTORT_STR_MAP, 0, inner);
  Params(owner)->SetValue(PB_OUTPUT, 0, static_cast<ReferenceTarget*>(new TestOutput));

  const auto file = TempPath("roundtrip.scene");
  std::string err;
  ASSERT_TRUE(SaveScene(scene, file, err)) << err;
  auto loaded = LoadScene(file, classes.dir, err);
  ASSERT_TRUE(loaded) << err;
  ASSERT_EQ(loaded->NumRoots(), 1);
  auto* back = dynamic_cast<TestOwner*>(loaded->GetRoot(0));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetName(), owner->GetName());
  ExpectSameValues(Params(owner), Params(back));
  ExpectSameValues(Mapping(owner), Mapping(back));
  EXPECT_EQ(Params(back)->NumKeys(PB_SIZE), 2);
  EXPECT_EQ(Params(back)->GetFloat(PB_SIZE, 80), Params(owner)->GetFloat(PB_SIZE, 80));
  EXPECT_EQ(Params(back)->GetOwner(), back);

  Texmap* c1 = Params(back)->GetTexmap(PB_COLOR1_MAP);
  ASSERT_NE(c1, nullptr);
  EXPECT_NE(c1, shared);
  EXPECT_EQ(Params(back)->GetTexmap(PB_STRETCH_MAP), c1);  // sharing survives
  EXPECT_EQ(c1->GetReference(0), Params(back)->GetTexmap(PB_DISTORT_STR_MAP));
  EXPECT_EQ(Params(back)->GetTexmap(PB_COLOR2_MAP), nullptr);
  EXPECT_NE(dynamic_cast<TestOutput*>(back->GetReference(SCRATCHES_REF_OUTPUT)), nullptr);

  // Saving the loaded scene gives the same bytes: nothing was lost or invented.
  std::vector<std::uint8_t> again;
  ASSERT_TRUE(SaveSceneToBytes(*loaded, again, err));
  EXPECT_EQ(again, Bytes());
}

// Two descriptors of one block (ID 3) with the same parameters in different orders, as two
// versions of a plug-in would have them.
constexpr Class_ID kVersionedClassID(0x44444444, 0x4);
using VersionedClassDesc = TestClassDesc<TestMap, TEXMAP_CLASS_ID, kVersionedClassID>;

TEST(SceneIOByID, DefinitionsInAnotherOrderRestoreByID) {
  VersionedClassDesc oldCD, newCD;
  ParamBlockDesc2 oldDesc(3, _M("v"), 0, &oldCD, 0,
      0, _M("f"), TYPE_FLOAT, P_ANIMATABLE, 0, p_default, 1.0, p_range, 0.0, 10.0, p_end,
      1, _M("i"), TYPE_INT, 0, 0, p_default, 2, p_end,
      2, _M("c"), TYPE_RGBA, 0, 0, p_default, Color(0, 0, 0), p_end,
      3, _M("gone"), TYPE_FLOAT, 0, 0, p_end,
      p_end);
  ParamBlockDesc2 newDesc(3, _M("v"), 0, &newCD, 0,
      4, _M("added"), TYPE_BOOL, 0, 0, p_default, 1, p_end,
      2, _M("c"), TYPE_RGBA, 0, 0, p_default, Color(0, 0, 0), p_end,
      1, _M("i"), TYPE_INT, 0, 0, p_default, 2, p_end,
      0, _M("f"), TYPE_FLOAT, P_ANIMATABLE, 0, p_default, 1.0, p_range, 0.0, 10.0, p_end,
      p_end);
  // The block is held by a scene root through an owner-less map.
  Scene scene;
  auto* map = new TestMap;
  scene.AddRoot(map);
  IParamBlock2* pb = CreateParameterBlock2(&oldDesc, nullptr);
  ClassDirectory dirOld;
  dirOld.AddClass(&oldCD);
  // A block is stored as an object of its own; root it directly.
  scene.AddRoot(pb);
  AnimateOn();
  pb->SetValue(0, 50, 7.0f);
  AnimateOff();
  pb->SetValue(1, 0, -3);
  pb->SetValue(2, 0, Color(0.1f, 0.2f, 0.3f));
  pb->SetValue(3, 0, 9.0f);

  std::vector<std::uint8_t> bytes;
  std::string err;
  ASSERT_TRUE(SaveSceneToBytes(scene, bytes, err)) << err;
  ClassDirectory dirNew;
  dirNew.AddClass(&newCD);
  // The map's own class is unknown to this directory: register one for it.
  TestMapClassDesc mapCD;
  dirNew.AddClass(&mapCD);
  auto loaded = LoadSceneFromBytes(bytes, dirNew, err);
  ASSERT_TRUE(loaded) << err;
  auto* back = dynamic_cast<IParamBlock2*>(loaded->GetRoot(1));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetDesc(), &newDesc);
  EXPECT_EQ(back->GetFloat(0, 0), 1.0f);
  EXPECT_EQ(back->GetFloat(0, 50), 7.0f);
  EXPECT_EQ(back->NumKeys(0), 2);
  EXPECT_EQ(back->GetInt(1), -3);
  EXPECT_EQ(back->GetColor(2), Color(0.1f, 0.2f, 0.3f));
  EXPECT_EQ(back->GetInt(4), 1);  // not in the file: keeps its default
}

TEST_F(SceneIO, FailedSaveKeepsThePreviousFile) {
  const auto file = TempPath("atomic.scene");
  std::string err;
  ASSERT_TRUE(SaveScene(scene, file, err)) << err;
  const auto before = std::filesystem::file_size(file);

  class Unsaveable : public TestMap {
    IOResult Save(ISave*) override { return IO_ERROR; }
  };
  Params(owner)->SetValue(PB_SIZE_MAP, 0, new Unsaveable);
  EXPECT_FALSE(SaveScene(scene, file, err));
  EXPECT_NE(err.find("failed to save"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(file), before);
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".saving"));

  Params(owner)->SetValue(PB_SIZE_MAP, 0, static_cast<Texmap*>(nullptr));
  EXPECT_FALSE(SaveScene(scene, TempPath("no/such/dir/x.scene"), err));
  EXPECT_FALSE(err.empty());
  std::string loadErr;
  auto loaded = LoadScene(file, classes.dir, loadErr);
  EXPECT_TRUE(loaded) << loadErr;
}

TEST_F(SceneIO, TruncatedAtEveryByteFailsCleanly) {
  auto* m = new TestMap;
  Params(owner)->SetValue(PB_COLOR1_MAP, 0, m);
  const auto bytes = Bytes();
  std::string err;
  ASSERT_TRUE(LoadSceneFromBytes(bytes, classes.dir, err)) << err;
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    auto scene2 = LoadSceneFromBytes(std::span(bytes.data(), n), classes.dir, err);
    ASSERT_FALSE(scene2) << "loaded from " << n << " bytes";
    EXPECT_FALSE(err.empty()) << n;
  }
}

TEST_F(SceneIO, WrongMagicVersionAndUnknownClassNameTheProblem) {
  auto bytes = Bytes();
  std::string err;
  auto bad = bytes;
  bad[0] = 'X';
  EXPECT_FALSE(LoadSceneFromBytes(bad, classes.dir, err));
  EXPECT_NE(err.find("wrong magic"), std::string::npos);
  bad = bytes;
  bad[8] = 9;
  EXPECT_FALSE(LoadSceneFromBytes(bad, classes.dir, err));
  EXPECT_NE(err.find("version 9"), std::string::npos);
  ClassDirectory empty;
  EXPECT_FALSE(LoadSceneFromBytes(bytes, empty, err));
  EXPECT_NE(err.find("unknown class (0x11111111, 0x1)"), std::string::npos) << err;
  bad = bytes;
  bad[14] = 0xFF;  // the scene chunk's length now reaches past the end
  EXPECT_FALSE(LoadSceneFromBytes(bad, classes.dir, err));
  EXPECT_NE(err.find("claims"), std::string::npos) << err;
}

// Writes scene files by hand, for contents a correct saver never produces.
struct FileBuilder {
  struct Obj {
    SClass_ID super;
    Class_ID id;
    std::vector<std::int32_t> refs;
    std::vector<std::uint8_t> data;
  };
  std::vector<Obj> objs;
  std::vector<std::int32_t> roots{0};
  int rootLists = 1;  // how many times the root list is written
  // Entries the objects' reference lists and the root list claim beyond those they hold.
  std::uint32_t refsClaimedExtra = 0, rootsClaimedExtra = 0;
  bool unknownChunks = false;

  static std::vector<std::uint8_t> MapData() {
    ChunkWriter w;
    w.BeginChunk(0x5000);
    w.WriteWString(L"m");
    w.EndChunk();
    return w.Bytes();
  }
  int Map(std::vector<std::int32_t> refs = {-1}) {
    objs.push_back({TEXMAP_CLASS_ID, kTestMapClassID, std::move(refs), MapData()});
    return static_cast<int>(objs.size()) - 1;
  }
  std::vector<std::uint8_t> Bytes() const {
    ChunkWriter w;
    w.Write("TMRLSCN\x1A", 8, nullptr);
    WriteU32(&w, 1);
    if (unknownChunks) { w.BeginChunk(0x7777); WriteU32(&w, 5); w.EndChunk(); }
    w.BeginChunk(0x0001);
    for (const Obj& o : objs) {
      w.BeginChunk(0x0010);
      if (unknownChunks) { w.BeginChunk(0x7778); w.EndChunk(); }
      w.BeginChunk(0x0011);
      WriteU32(&w, o.super);
      WriteU32(&w, o.id.PartA());
      WriteU32(&w, o.id.PartB());
      w.EndChunk();
      w.BeginChunk(0x0012);
      WriteU32(&w, static_cast<std::uint32_t>(o.refs.size()) + refsClaimedExtra);
      for (auto r : o.refs) WriteI32(&w, r);
      w.EndChunk();
      w.BeginChunk(0x0013);
      w.Write(o.data.data(), static_cast<ULONG>(o.data.size()), nullptr);
      w.EndChunk();
      w.EndChunk();
    }
    for (int k = 0; k < rootLists; ++k) {
      w.BeginChunk(0x0020);
      WriteU32(&w, static_cast<std::uint32_t>(roots.size()) + rootsClaimedExtra);
      for (auto r : roots) WriteI32(&w, r);
      w.EndChunk();
    }
    w.EndChunk();
    return w.Bytes();
  }
};

struct HostileFiles : ::testing::Test {
  TestClasses classes;
  std::string err;
  std::unique_ptr<Scene> Load(const FileBuilder& f) { return LoadSceneFromBytes(f.Bytes(), classes.dir, err); }
  void ExpectRefused(const FileBuilder& f, const std::string& why) {
    EXPECT_FALSE(Load(f));
    EXPECT_NE(err.find(why), std::string::npos) << err;
  }
};

TEST_F(HostileFiles, UnknownChunksAreSkipped) {
  FileBuilder f;
  f.unknownChunks = true;
  f.Map({1});
  f.Map();
  f.objs[1].data.insert(f.objs[1].data.end(), {0x34, 0x12, 0, 0, 0, 0});  // an empty chunk 0x1234
  auto s = Load(f);
  ASSERT_TRUE(s) << err;
  ASSERT_NE(s->GetRoot(0)->GetReference(0), nullptr);
}

TEST_F(HostileFiles, ReferenceLoopsIndicesAndDepthAreRefused) {
  FileBuilder loop;
  loop.Map({1});
  loop.Map({0});
  ExpectRefused(loop, "loop");
  FileBuilder self;
  self.Map({0});
  ExpectRefused(self, "loop");
  FileBuilder range;
  range.Map({5});
  ExpectRefused(range, "refers to object 5");
  // The first index past the last object, for a reference and for a root.
  FileBuilder past;
  past.Map({1});
  ExpectRefused(past, "object 0 refers to object 1 but the file holds 1");
  FileBuilder root;
  root.Map();
  root.roots = {3};
  ExpectRefused(root, "root 3");
  root.roots = {1};
  ExpectRefused(root, "root 1 is not an object of the file");
  root.roots = {-1};
  ExpectRefused(root, "root -1 is not an object of the file");
  // One root list, neither two nor none.
  root.roots = {0};
  root.rootLists = 2;
  ExpectRefused(root, "the scene holds two root lists");
  root.rootLists = 0;
  ExpectRefused(root, "the scene has no root list");
  root.rootLists = 1;
  EXPECT_TRUE(Load(root)) << err;
  // A list claiming one entry more than its chunk holds, an object's and the scene's.
  FileBuilder claims;
  claims.Map();
  claims.refsClaimedExtra = 1;
  ExpectRefused(claims, "object 0: reference list claims 2 entries but holds 1");
  claims.refsClaimedExtra = 0;
  claims.rootsClaimedExtra = 1;
  ExpectRefused(claims, "root list claims 2 entries but holds 1");
  FileBuilder slots;
  slots.Map({-1, 0});  // a map with one slot given a second reference
  slots.Map();
  slots.objs[0].refs[1] = 1;
  ExpectRefused(slots, "its class has 1");
  FileBuilder deep;
  for (int i = 0; i <= kSceneMaxReferenceDepth; ++i) deep.Map({i + 1});
  deep.Map();
  ExpectRefused(deep, "deeper");
  deep.objs.erase(deep.objs.begin(), deep.objs.begin() + 2);
  for (auto& o : deep.objs) o.refs[0] = o.refs[0] >= 0 ? o.refs[0] - 2 : -1;
  deep.objs.back().refs[0] = -1;
  EXPECT_TRUE(Load(deep)) << err;  // exactly the limit is fine
}

// The data of a "params" block holding one stored parameter.
std::vector<std::uint8_t> BlockData(BlockID block, std::int32_t id, std::uint8_t type,
                                    std::vector<std::uint32_t> words) {
  ChunkWriter w;
  w.BeginChunk(0x0100);
  WriteU32(&w, TEXMAP_CLASS_ID);
  WriteU32(&w, kTestOwnerClassID.PartA());
  WriteU32(&w, kTestOwnerClassID.PartB());
  WriteI32(&w, block);
  w.EndChunk();
  w.BeginChunk(0x0110);
  WriteI32(&w, id);
  WriteU8(&w, type);
  for (auto x : words) WriteU32(&w, x);
  w.EndChunk();
  return w.Bytes();
}

std::uint32_t Bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// An owner whose "params" block (object 1) holds the given data.
FileBuilder OwnerWithParams(std::vector<std::uint8_t> data) {
  FileBuilder f;
  std::vector<std::int32_t> refs(SCRATCHES_NUM_REFS, -1);
  refs[SCRATCHES_REF_PARAMS] = 1;
  f.objs.push_back({TEXMAP_CLASS_ID, kTestOwnerClassID, refs, {}});
  f.objs.push_back({PARAMETER_BLOCK2_CLASS_ID, Class_ID(0x4B2A0B77, 0x2C3E0A10), {}, std::move(data)});
  return f;
}

TEST_F(HostileFiles, StoredValuesAreCheckedAndClamped) {
  auto ok = Load(OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_LEVELS, TYPE_INT, {1000, 0})));
  ASSERT_TRUE(ok) << err;
  IParamBlock2* pb = static_cast<TestOwner*>(ok->GetRoot(0))->Block(SCRATCHES_REF_PARAMS);
  EXPECT_EQ(pb->GetInt(PB_LEVELS), 8);  // clamped into 1 .. 8
  EXPECT_EQ(pb->GetFloat(PB_SIZE), 1.0f);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  ExpectRefused(OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_SIZE, TYPE_FLOAT, {Bits(nan), 0})), "not finite");
  ExpectRefused(OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_SIZE, TYPE_INT, {1, 0})), "stored as type 1");
  ExpectRefused(OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_TYPE, TYPE_INT, {1, 1, 0, 1})), "not animatable");
  ExpectRefused(OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_SIZE, TYPE_FLOAT, {Bits(1), 0xFFFFFFFF})), "claims");
  ExpectRefused(OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_SIZE, TYPE_FLOAT,
                                          {Bits(1), 2, 10, Bits(1), 10, Bits(2)})), "out of time order");
  ExpectRefused(OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_COLOR1_MAP, TYPE_TEXMAP, {0})), "reference");
  ExpectRefused(OwnerWithParams(BlockData(42, PB_SIZE, TYPE_FLOAT, {Bits(1), 0})), "parameter block 42");
  // The "Mapping" block in the "params" slot.
  ExpectRefused(OwnerWithParams(BlockData(MAPPING_BLOCK_ID, XYZ_PB_SEED, TYPE_INT, {7, 0})), "must hold parameter block 1");
}

TEST_F(HostileFiles, ReferencesMustSuitTheirSlots) {
  // A block where a map belongs, and a map where a block belongs.
  FileBuilder blockAsMap = OwnerWithParams(BlockData(PARAMS_BLOCK_ID, PB_SIZE, TYPE_FLOAT, {Bits(2), 0}));
  blockAsMap.objs[0].refs[SCRATCHES_REF_COLOR1_MAP] = 1;
  ExpectRefused(blockAsMap, "reference 2 must hold a texture map");
  FileBuilder mapAsBlock;
  std::vector<std::int32_t> refs(SCRATCHES_NUM_REFS, -1);
  refs[SCRATCHES_REF_COORDS] = 1;
  mapAsBlock.objs.push_back({TEXMAP_CLASS_ID, kTestOwnerClassID, refs, {}});
  mapAsBlock.Map();
  ExpectRefused(mapAsBlock, "must hold parameter block 0");
  FileBuilder outputAsMap;
  outputAsMap.objs.push_back({TEXMAP_CLASS_ID, kTestOwnerClassID, refs, {}});
  outputAsMap.objs[0].refs[SCRATCHES_REF_COORDS] = -1;
  outputAsMap.objs[0].refs[SCRATCHES_REF_SIZE_MAP] = 1;
  outputAsMap.objs.push_back({TEXOUTPUT_CLASS_ID, kTestOutputClassID, {}, {}});
  ExpectRefused(outputAsMap, "must hold a texture map");
}

}  // namespace
