// The browser editor's server side: the layout joined from the templates and the descriptors, the
// document (values checked, enabling by the map's own rules, previews that are the bits of a
// bake, saves and opens that lose nothing), and the HTTP server's refusals, including a bounded
// fuzz of its endpoints and many requests at once.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/stat.h>
#include <httplib.h>

#include <sys/wait.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "engine/Bake.h"
#include "edit/EditLayout.h"
#include "edit/EditServer.h"
#include "edit/EditSession.h"
#include "engine/ImageFile.h"
#include "engine/PluginLibrary.h"
#include "rolloutinfo.h"
#include "tests/PluginFixture.h"
#include "texout.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class EditTest : public PluginFixture {
 protected:
  void SetUp() override {
    ClassDirectory classes;
    classes.AddClass(cd_);
    classes.AddClass(GetStdTexoutClassDesc());
    session_ = std::make_unique<EditSession>(*cd_, classes, "tamrel under test");
    folder_ = fs::temp_directory_path() /
              ("tamrel-edit-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_);
  }
  void TearDown() override {
    session_.reset();
    fs::remove_all(folder_);
  }
  // The new map's values with some changed.
  json Params(const json& changes = json::object()) {
    json p = session_->Document()["params"];
    p.update(changes);
    return p;
  }
  std::string File(const std::string& name) const { return (folder_ / name).string(); }

  std::unique_ptr<EditSession> session_;
  fs::path folder_;
};

int StatusOf(const std::function<void()>& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const EditError& e) {
    if (message) *message = e.what();
    return e.status;
  }
  return 0;
}

// ---- layout ------------------------------------------------------------------------------------

const json* ControlIn(const json& rollout, int id) {
  for (const json& c : rollout["controls"]) {
    if (c["id"] == id) return &c;
  }
  return nullptr;
}

TEST_F(EditTest, LayoutBindsEveryTemplateControlToItsDescriptorParameter) {
  const json layout = BuildEditLayout(EmbeddedDialogTemplates(), session_->Schema(), *cd_);
  ASSERT_EQ(layout["rollouts"].size(), 2u);
  EXPECT_TRUE(layout["missing"].empty());
  const json& params = layout["rollouts"][0];
  const json& mapping = layout["rollouts"][1];
  EXPECT_EQ(params["title"], "Parameters");
  EXPECT_EQ(params["block"], "params");
  EXPECT_EQ(params["closed"], false);
  EXPECT_EQ(mapping["title"], "Mapping");
  EXPECT_EQ(mapping["block"], "Mapping");
  EXPECT_EQ(mapping["closed"], true);
  EXPECT_EQ(params["width"], 217);
  EXPECT_EQ(mapping["height"], 193);

  auto expectBound = [](const json& rollout, int id, const char* param, const char* role) {
    const json* c = ControlIn(rollout, id);
    ASSERT_NE(c, nullptr) << id;
    EXPECT_EQ(c->value("param", ""), param) << id;
    EXPECT_EQ(c->value("role", ""), role) << id;
  };
  expectBound(params, 1490, "size", "edit");
  expectBound(params, 1496, "size", "spinner");
  expectBound(params, 1041, "sizeMapEnabled", "checkbox");
  expectBound(params, 1040, "sizeMap", "map");
  expectBound(params, 1038, "spreasdMapEnabled", "checkbox");
  expectBound(params, 1023, "color1", "swatch");
  expectBound(params, 1001, "type", "list");
  expectBound(params, 1005, "useErosion", "checkbox");
  expectBound(params, 1494, "distortStr", "edit");
  expectBound(mapping, 1023, "xyz_lock", "checkbutton");
  expectBound(mapping, 1001, "xyz_map", "list");
  expectBound(mapping, 1003, "xyz_chan", "spinner");
  expectBound(mapping, 1516, "seed", "spinner");
  expectBound(mapping, 1005, "xyz_tile_y", "list");
  EXPECT_FALSE(ControlIn(params, 1003)->contains("param"));  // "Homepage"
  EXPECT_EQ((*ControlIn(params, 1003))["text"], "Homepage");
  EXPECT_EQ((*ControlIn(mapping, 1023))["text"], "L");
  EXPECT_EQ((*ControlIn(params, 1001))["items"], json({"2D", "3D"}));
  EXPECT_EQ((*ControlIn(mapping, 1001))["items"],
            json({"Explicit Map Channel 2D", "Explicit map Channel Real World", "Object XYZ",
                  "World XYZ", "Screen"}));
  EXPECT_EQ((*ControlIn(mapping, 1006))["items"],
            json({"Continue", "Stretch", "Tile", "Mirror", "None"}));
  const json& size = *ControlIn(params, 1490);
  EXPECT_EQ((std::array<int, 4>{size["x"], size["y"], size["width"], size["height"]}),
            (std::array<int, 4>{44, 7, 35, 10}));

  // One source of truth: every control a descriptor binds is in its template, and the layout
  // binds it to that parameter.
  for (const json& rollout : layout["rollouts"]) {
    ParamBlockDesc2* desc = nullptr;
    for (int b = 0; b < cd_->NumParamBlockDescs(); ++b) {
      if (cd_->GetParamBlockDesc(b)->dlg_template == rollout["dialog"])
        desc = cd_->GetParamBlockDesc(b);
    }
    ASSERT_NE(desc, nullptr);
    for (const ParamDef& d : desc->paramdefs) {
      for (int id : d.ctrl_IDs) {
        const json* c = ControlIn(rollout, id);
        ASSERT_NE(c, nullptr) << Narrow(d.int_name) << " control " << id;
        EXPECT_EQ(c->value("param", ""), Narrow(d.int_name)) << id;
      }
    }
  }
}

TEST_F(EditTest, LayoutTypesAndRangesComeFromTheDescriptors) {
  const json layout = BuildEditLayout(EmbeddedDialogTemplates(), session_->Schema(), *cd_);
  const json& p = layout["params"];
  EXPECT_EQ(p["size"]["display"], "Size");
  EXPECT_EQ(p["size"]["type"], "float");
  EXPECT_EQ(p["size"]["range"], json({0.0, 1000000.0}));
  EXPECT_EQ(p["size"]["animatable"], true);
  // Single-precision range ends travel exactly, widened to double.
  EXPECT_EQ(p["spread"]["range"][0].get<double>(), static_cast<double>(0.1f));
  EXPECT_EQ(p["spread"]["default"].get<double>(), static_cast<double>(0.8f));
  EXPECT_EQ(p["levels"]["integer"], true);
  EXPECT_EQ(p["levels"]["range"], json({1, 8}));
  EXPECT_EQ(p["seed"]["range"], json({1, 99999}));
  EXPECT_EQ(p["seed"]["display"], "Random Seed");
  EXPECT_EQ(p["size"]["integer"], false);
  EXPECT_EQ(p["useErosion"]["type"], "bool");
  EXPECT_EQ(p["color2"]["default"], json({1.0, 1.0, 1.0}));
  EXPECT_EQ(p["xyz_map"]["range"], nullptr);
  EXPECT_EQ(p["xyz_size_z2"]["coordinate"], true);
  EXPECT_EQ(p["xyz_offset_x"]["coordinate"], true);
  EXPECT_EQ(p["xyz_angle_x"]["coordinate"], false);
  EXPECT_EQ(p["xyz_chan"]["coordinate"], false);
  EXPECT_EQ(p["xyz_offset_x"]["block"], "Mapping");
  EXPECT_EQ(p["xyz_offset_x"]["id"], 2);

  // Without templates the rollouts are reported missing, not invented.
  const json bare = BuildEditLayout({}, session_->Schema(), *cd_);
  EXPECT_TRUE(bare["rollouts"].empty());
  ASSERT_EQ(bare["missing"].size(), 2u);
  EXPECT_EQ(bare["missing"][0]["dialog"], 102);
  EXPECT_EQ(bare["missing"][1]["dialog"], 101);
}

// A class with the real plug-in's descriptors and strings whose maps answer the rollout
// questions their own way (or, without `offers`, not at all): what the layout shows of list
// items, captions and unit spinners must be what the map answers.
class RivalRollouts : public ReferenceTarget, public IRolloutInfo {
 public:
  explicit RivalRollouts(bool offers) : offers_(offers) {}
  void* GetInterface(ULONG id) override {
    return offers_ && id == I_ROLLOUTINFO ? static_cast<IRolloutInfo*>(this) : nullptr;
  }
  std::vector<int> DialogListItems(int dialog, int control) override {
    if (dialog == 101 && control == 1001) return {33, 48};  // "3D", "2D"
    if (dialog == 102 && control == 1004) return {18, 14};  // "None", "Continue"
    return {};
  }
  const MCHAR* DialogButtonCaption(int dialog, int control) override {
    return dialog == 101 && control == 1003 ? _M("Docs") : nullptr;
  }
  BOOL IsUnitSpinner(BlockID block, ParamID id) override { return block == 1 && id == 0; }
  BOOL InSceneUnits(BlockID, ParamID) override { return FALSE; }

 private:
  bool offers_;
};

class RivalClass : public ClassDesc {
 public:
  RivalClass(ClassDesc& real, bool offers) : real_(real), offers_(offers) {}
  int IsPublic() override { return 1; }
  void* Create(BOOL) override { return new RivalRollouts(offers_); }
  const MCHAR* ClassName() override { return real_.ClassName(); }
  SClass_ID SuperClassID() override { return real_.SuperClassID(); }
  Class_ID ClassID() override { return real_.ClassID(); }
  const MCHAR* Category() override { return real_.Category(); }
  const MCHAR* GetRsrcString(int id) override { return real_.GetRsrcString(id); }
  int NumParamBlockDescs() override { return real_.NumParamBlockDescs(); }
  ParamBlockDesc2* GetParamBlockDesc(int i) override { return real_.GetParamBlockDesc(i); }
  ParamBlockDesc2* GetParamBlockDescByID(BlockID id) override {
    return real_.GetParamBlockDescByID(id);
  }

 private:
  ClassDesc& real_;
  bool offers_;
};

TEST_F(EditTest, LayoutTakesListItemsCaptionsAndUnitSpinnersFromTheMap) {
  // The plug-in's own answers, control by control and parameter by parameter.
  const json layout = BuildEditLayout(EmbeddedDialogTemplates(), session_->Schema(), *cd_);
  Texmap* map = NewMap();
  auto* info = static_cast<IRolloutInfo*>(map->GetInterface(I_ROLLOUTINFO));
  ASSERT_NE(info, nullptr);
  int lists = 0, captions = 0, coordinates = 0;
  for (const json& rollout : layout["rollouts"]) {
    const int dialog = rollout["dialog"];
    for (const json& c : rollout["controls"]) {
      const std::vector<int> strings = info->DialogListItems(dialog, c["id"]);
      json texts = json::array();
      for (int id : strings) texts.push_back(Narrow(cd_->GetRsrcString(id)));
      EXPECT_EQ(c.contains("items"), !strings.empty()) << dialog << " " << c["id"];
      if (!strings.empty()) {
        EXPECT_EQ(c["items"], texts) << dialog << " " << c["id"];
        ++lists;
      }
      if (const MCHAR* caption = info->DialogButtonCaption(dialog, c["id"])) {
        EXPECT_EQ(c["text"], Narrow(caption));
        ++captions;
      }
    }
  }
  EXPECT_EQ(lists, 5);
  EXPECT_EQ(captions, 1);
  for (const ParamEntry& p : session_->Schema().Params()) {
    const bool unit = info->IsUnitSpinner(p.block->ID, p.def->ID);
    EXPECT_EQ(layout["params"][p.name]["coordinate"], unit) << p.name;
    coordinates += unit ? 1 : 0;
  }
  EXPECT_EQ(coordinates, 12);

  // Another map's answers give another layout: the host keeps no list, caption or unit table.
  RivalClass rival(*cd_, true);
  const json other = BuildEditLayout(EmbeddedDialogTemplates(), session_->Schema(), rival);
  ASSERT_EQ(other["rollouts"].size(), 2u);
  const json& params = other["rollouts"][0];
  const json& mapping = other["rollouts"][1];
  EXPECT_EQ((*ControlIn(params, 1001))["items"], json({"3D", "2D"}));
  EXPECT_EQ((*ControlIn(mapping, 1004))["items"], json({"None", "Continue"}));
  EXPECT_FALSE(ControlIn(mapping, 1001)->contains("items"));
  EXPECT_FALSE(ControlIn(mapping, 1005)->contains("items"));
  EXPECT_EQ((*ControlIn(params, 1003))["text"], "Docs");
  EXPECT_EQ((*ControlIn(mapping, 1023))["text"], "");  // the template's caption
  EXPECT_EQ(other["params"]["size"]["coordinate"], true);
  EXPECT_EQ(other["params"]["xyz_offset_x"]["coordinate"], false);
  EXPECT_EQ(other["params"]["xyz_size_z2"]["coordinate"], false);

  // A map without the interface: the descriptors' controls alone.
  RivalClass silent(*cd_, false);
  const json bare = BuildEditLayout(EmbeddedDialogTemplates(), session_->Schema(), silent);
  ASSERT_EQ(bare["rollouts"].size(), 2u);
  for (const json& rollout : bare["rollouts"]) {
    for (const json& c : rollout["controls"]) EXPECT_FALSE(c.contains("items")) << c["id"];
  }
  EXPECT_EQ((*ControlIn(bare["rollouts"][1], 1023))["text"], "");
  EXPECT_EQ((*ControlIn(bare["rollouts"][0], 1003))["text"], "Homepage");
  for (const auto& [name, p] : bare["params"].items()) EXPECT_EQ(p["coordinate"], false) << name;
}

// ---- the document
// --------------------------------------------------------------------------------

TEST_F(EditTest, NewDocumentHoldsTheNewMapsValues) {
  const json doc = session_->Document();
  EXPECT_EQ(doc["kind"], "new");
  EXPECT_EQ(doc["path"], "");
  EXPECT_EQ(doc["params"]["size"], 10.0);
  EXPECT_EQ(doc["params"]["erosion"], 0.5);
  EXPECT_EQ(doc["params"]["type"], 1);
  EXPECT_EQ(doc["params"]["levels"], 6);
  EXPECT_EQ(doc["params"]["xyz_map"], 2);
  EXPECT_EQ(doc["params"]["xyz_lock"], true);
  EXPECT_FALSE(doc["params"].contains("color1map"));
  EXPECT_EQ(doc["maps"]["color1map"], nullptr);
  EXPECT_EQ(doc["maps"].size(), 7u);
}

TEST_F(EditTest, StateAnswersTheMapsSceneUnitsForTheValuesItWasGiven) {
  const std::vector<std::string> spinners = {
      "xyz_offset_x",  "xyz_offset_y",  "xyz_offset_z",  "xyz_size_x",  "xyz_size_y",
      "xyz_size_z",    "xyz_offset_x2", "xyz_offset_y2", "xyz_offset_z2", "xyz_size_x2",
      "xyz_size_y2",   "xyz_size_z2"};
  // Types 0 (Explicit Map Channel 2D) and 4 (Screen) are plain numbers, the others scene units.
  for (const int type : {0, 1, 2, 3, 4}) {
    const json s = session_->State(Params({{"xyz_map", type}}), 0);
    ASSERT_TRUE(s.contains("units"));
    EXPECT_EQ(s["units"].size(), spinners.size()) << type;
    for (const std::string& name : spinners) {
      EXPECT_EQ(s["units"][name], type != 0 && type != 4) << name << " " << type;
    }
    // Only the spinners that switch are named.
    for (const char* name : {"size", "xyz_angle_x", "xyz_angle_z2", "xyz_chan", "seed", "xyz_map"}) {
      EXPECT_FALSE(s["units"].contains(name)) << name << " " << type;
    }
  }
  EXPECT_NE(session_->State(Params({{"xyz_map", 0}}), 0)["units"]["xyz_offset_x"],
            session_->State(Params({{"xyz_map", 2}}), 0)["units"]["xyz_offset_x"]);

  // An animated map type: the units of the type at the frame asked for.
  const json p = Params({{"xyz_map", {{"keys", {{0, 4}, {10, 3}}}}}});
  EXPECT_EQ(session_->State(p, 0)["units"]["xyz_size_x"], false);
  EXPECT_EQ(session_->State(p, 10)["units"]["xyz_size_x"], true);
}

TEST_F(EditTest, StateRunsTheMapsEnablingRules) {
  json s = session_->State(Params(), 0);
  for (const char* name :
       {"erosion", "erosionDelta", "distortStr", "distortMap", "distortStrMap", "dStrMapEnabled"}) {
    EXPECT_EQ(s["enabled"][name], false) << name;
  }
  for (const char* name : {"bumpDelta", "size", "useErosion", "useDistortion", "color1"}) {
    EXPECT_EQ(s["enabled"][name], true) << name;
  }
  s = session_->State(Params({{"useErosion", true}}), 0);
  EXPECT_EQ(s["enabled"]["erosion"], true);
  EXPECT_EQ(s["enabled"]["erosionDelta"], true);
  EXPECT_EQ(s["enabled"]["distortStr"], false);
  s = session_->State(Params({{"useDistortion", true}}), 0);
  for (const char* name : {"distortStr", "distortMap", "distortStrMap", "dStrMapEnabled"}) {
    EXPECT_EQ(s["enabled"][name], true) << name;
  }
  EXPECT_EQ(s["enabled"]["erosion"], false);

  // The coordinates' rules: the lock greys the Y and Z size amplitudes, and the tiling lists act
  // only under "Explicit Map Channel 2D" (type 0).
  for (const bool lock : {false, true}) {
    for (const int type : {0, 2}) {
      s = session_->State(Params({{"xyz_lock", lock}, {"xyz_map", type}}), 0);
      EXPECT_EQ(s["enabled"]["xyz_size_x2"], true);
      EXPECT_EQ(s["enabled"]["xyz_size_y2"], !lock) << lock;
      EXPECT_EQ(s["enabled"]["xyz_size_z2"], !lock) << lock;
      for (const char* tile : {"xyz_tile_x", "xyz_tile_y", "xyz_tile_z"}) {
        EXPECT_EQ(s["enabled"][tile], type == 0) << tile << " " << type;
      }
    }
  }
}

TEST_F(EditTest, StateShowsValuesAtTheFrame) {
  const json p = Params({{"size", {{"keys", {{0, 5.0}, {10, 15.0}}}}}, {"seed", 777}});
  EXPECT_EQ(session_->State(p, 0)["values"]["size"], 5.0);
  EXPECT_EQ(session_->State(p, 5)["values"]["size"], 10.0);
  EXPECT_EQ(session_->State(p, 10)["values"]["size"], 15.0);
  EXPECT_EQ(session_->State(p, 3)["values"]["seed"], 777);
  // Between two keys neither of which is at frame 0, and past the last one.
  const json later = Params({{"size", {{"keys", {{10, 15.0}, {30, 35.0}}}}}});
  EXPECT_EQ(session_->State(later, 20)["values"]["size"], 25.0);
  EXPECT_EQ(session_->State(later, 12)["values"]["size"], 17.0);
  EXPECT_EQ(session_->State(later, 40)["values"]["size"], 35.0);
  // The last frame the editor shows is taken, the next refused.
  EXPECT_EQ(session_->State(later, kMaxEditFrame)["values"]["size"], 35.0);
  std::string message;
  EXPECT_EQ(StatusOf([&] { session_->State(p, kMaxEditFrame + 1); }, &message), 400);
  EXPECT_EQ(StatusOf([&] { session_->State(p, -1); }, &message), 400);
  EXPECT_EQ(message, "the frame must be from 0 to 100000");
}

TEST_F(EditTest, StateRefusesValuesTheDescriptorsRefuse) {
  std::string message;
  EXPECT_EQ(StatusOf([&] { session_->State(Params({{"size", -1.0}}), 0); }, &message), 400);
  EXPECT_EQ(
      message,
      "parameter \"size\" (float in block \"params\", range 0 .. 1000000): -1.0 is out of range");
  EXPECT_EQ(StatusOf([&] { session_->State(Params({{"levels", 9}}), 0); }), 400);
  EXPECT_EQ(StatusOf([&] { session_->State(Params({{"levels", 2.5}}), 0); }), 400);
  EXPECT_EQ(StatusOf([&] { session_->State(Params({{"seed", 100000}}), 0); }), 400);
  EXPECT_EQ(StatusOf([&] { session_->State(Params({{"useErosion", "yes"}}), 0); }), 400);
  EXPECT_EQ(StatusOf([&] { session_->State(Params({{"color1", {1, 2}}}), 0); }), 400);
  EXPECT_EQ(StatusOf([&] { session_->State(Params({{"bogus", 1}}), 0); }, &message), 400);
  EXPECT_EQ(message, "unknown parameter \"bogus\"");
  EXPECT_EQ(StatusOf([&] { session_->State(json::array(), 0); }), 400);
  // The range ends themselves are values the block takes.
  EXPECT_EQ(session_->State(Params({{"spread", 0.1f}}), 0)["values"]["spread"], 0.1f);
  EXPECT_EQ(session_->State(Params({{"levels", 8}}), 0)["values"]["levels"], 8);
}

// The preview's PNG holds exactly the pixels `tamrel render` writes for the same settings (the
// same map built from the same values, baked by the same code, encoded by the same writer), and
// says how it was made as every bake does.
TEST_F(EditTest, PreviewIsTheBitsOfABakeOfTheSameSettings) {
  const json p = Params({{"size", 4.0},
                         {"useErosion", true},
                         {"erosion", 0.3},
                         {"seed", 4242},
                         {"color1", {0.8, 0.2, 0.1}}});
  const auto decode = [this](const std::string& bytes, json* description) {
    const std::string path = File("decoded.png");
    std::ofstream(path, std::ios::binary) << bytes;
    auto in = OIIO::ImageInput::open(path);
    std::vector<unsigned char> pixels(48 * 48 * 4);
    EXPECT_TRUE(in);
    if (!in) return pixels;
    EXPECT_EQ(in->spec().width, 48);
    EXPECT_EQ(in->spec().nchannels, 4);
    EXPECT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, pixels.data()));
    if (description) {
      *description = json::parse(in->spec().get_string_attribute("ImageDescription", "null"));
    }
    return pixels;
  };
  const auto fileBytes = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  for (Geometry geometry : {Geometry::PLANE, Geometry::SPHERE}) {
    PreviewSettings view;
    view.geometry = geometry;
    view.size = 48;
    view.extent = 25.0f;
    view.frame = 3;
    std::string png;
    ASSERT_TRUE(session_->Preview(p, view, 1 + static_cast<int>(geometry), png));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    json description;
    const std::vector<unsigned char> shown = decode(png, &description);
    EXPECT_EQ(description["tamrel"]["frame"], 3);
    EXPECT_EQ(description["tamrel"]["geometry"], geometry == Geometry::SPHERE ? "sphere" : "plane");
    EXPECT_EQ(description["tamrel"]["extent"], 25.0);
    EXPECT_EQ(description["params"]["seed"], 4242);

    Scene scene;
    auto* map = static_cast<Texmap*>(cd_->Create(FALSE));
    scene.AddRoot(map);
    session_->Schema().FromJson(*map, p);
    // The settings `tamrel render` takes when given none: four stratified samples per pixel.
    BakeSettings bake;
    bake.view.geometry = geometry;
    bake.view.width = bake.view.height = 48;
    bake.view.extent = 25.0f;
    bake.samples = 4;
    std::vector<Raster> rasters;
    ASSERT_TRUE(BakeFrame(*map, 3 * kTicksPerFrame, bake, rasters));
    ASSERT_EQ(rasters.size(), 1u);
    const std::string path = File("bake.png");
    ASSERT_EQ(WriteImageFile(path, rasters[0], ImageFileOptions{}), "");
    EXPECT_EQ(shown, decode(fileBytes(path), nullptr)) << "geometry " << static_cast<int>(geometry);

    // Progressively at this size: no coarse frame or draft, only the final frame.
    const std::string passes = "passes" + std::to_string(static_cast<int>(geometry));
    std::vector<std::pair<std::string, PreviewFrame>> frames;
    const auto keep = [&frames](const std::string& bytes, PreviewFrame kind) {
      frames.emplace_back(bytes, kind);
      return true;
    };
    ASSERT_TRUE(session_->ProgressivePreview(p, view, passes, 1, keep));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].second, PreviewFrame::FINAL);
    EXPECT_EQ(decode(frames[0].first, nullptr), shown) << "geometry " << static_cast<int>(geometry);

    // One sample per pixel is another picture, so the comparison above does see the samples.
    bake.samples = 1;
    ASSERT_TRUE(BakeFrame(*map, 3 * kTicksPerFrame, bake, rasters));
    ASSERT_EQ(WriteImageFile(path, rasters[0], ImageFileOptions{}), "");
    EXPECT_NE(shown, decode(fileBytes(path), nullptr)) << "geometry " << static_cast<int>(geometry);
    // A preview of one sample a pixel, as a progressive preview's draft is, is the one-sample bake.
    view.samples = 1;
    ASSERT_TRUE(session_->Preview(p, view, "draft", 1 + static_cast<int>(geometry), png));
    EXPECT_EQ(decode(png, nullptr), decode(fileBytes(path), nullptr))
        << "geometry " << static_cast<int>(geometry);
  }
}

TEST_F(EditTest, ProgressivePreviewsStreamACoarseFrameADraftAndTheFinalFrame) {
  const json p = Params({{"size", 3.0}});
  PreviewSettings view;
  view.size = 513;  // odd: the draft's half rounds up
  view.extent = 25.0f;
  std::vector<std::pair<std::string, PreviewFrame>> frames;
  const auto keep = [&frames](const std::string& bytes, PreviewFrame kind) {
    frames.emplace_back(bytes, kind);
    return true;
  };
  ASSERT_TRUE(session_->ProgressivePreview(p, view, "passes", 1, keep));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].second, PreviewFrame::COARSE);
  EXPECT_EQ(frames[1].second, PreviewFrame::DRAFT);
  EXPECT_EQ(frames[2].second, PreviewFrame::FINAL);
  // Each frame is the preview of its own settings, bit for bit: 64 pixels at four samples, half
  // the size (rounded up) at one, then the preview asked for.
  const auto previewOf = [&](int size, int samples, std::uint64_t generation) {
    PreviewSettings v = view;
    v.size = size;
    v.samples = samples;
    std::string png;
    EXPECT_TRUE(session_->Preview(p, v, "single", generation, png));
    return png;
  };
  const auto widthOf = [](const std::string& png) {  // from the PNG's header chunk
    const auto byte = [&](int i) {
      return static_cast<std::uint32_t>(static_cast<unsigned char>(png.at(i)));
    };
    return byte(16) << 24 | byte(17) << 16 | byte(18) << 8 | byte(19);
  };
  EXPECT_EQ(widthOf(frames[0].first), 64u);
  EXPECT_EQ(widthOf(frames[1].first), 257u);
  EXPECT_EQ(widthOf(frames[2].first), 513u);
  EXPECT_EQ(frames[0].first, previewOf(64, 4, 1));
  EXPECT_EQ(frames[1].first, previewOf(257, 1, 2));
  EXPECT_EQ(frames[2].first, previewOf(513, 4, 3));

  // At one sample a pixel there is nothing for a draft to save: the coarse frame and the final.
  frames.clear();
  view.samples = 1;
  ASSERT_TRUE(session_->ProgressivePreview(p, view, "passes", 2, keep));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].second, PreviewFrame::COARSE);
  EXPECT_EQ(frames[1].second, PreviewFrame::FINAL);
  EXPECT_EQ(frames[1].first, previewOf(513, 1, 4));
  // Below the draft's size, the coarse frame alone comes first.
  frames.clear();
  view.size = kDraftFromSize - 1;
  view.samples = 4;
  ASSERT_TRUE(session_->ProgressivePreview(p, view, "passes", 3, keep));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].second, PreviewFrame::COARSE);
  EXPECT_EQ(widthOf(frames[1].first), static_cast<std::uint32_t>(kDraftFromSize - 1));
  // A reader that has gone stops the preview after its frame.
  int calls = 0;
  EXPECT_FALSE(session_->ProgressivePreview(
      p, view, "passes", 4, [&](const std::string&, PreviewFrame) { return ++calls > 5; }));
  EXPECT_EQ(calls, 1);
}

TEST_F(EditTest, PreviewChangesWithTheValuesAndRefusesOlderGenerations) {
  PreviewSettings view;
  view.size = 32;
  std::string a, b, c;
  ASSERT_TRUE(session_->Preview(Params(), view, 5, a));
  ASSERT_TRUE(session_->Preview(Params({{"size", 3.0}}), view, 6, b));
  EXPECT_NE(a, b);
  // A request that arrives after a newer one is not rendered.
  EXPECT_FALSE(session_->Preview(Params(), view, 4, c));
  EXPECT_TRUE(c.empty());
  // The same generation may render again (its coarse pass, then its final pass).
  EXPECT_TRUE(session_->Preview(Params({{"size", 3.0}}), view, 6, c));
  EXPECT_EQ(b, c);
  view.size = kMaxPreviewSize + 1;
  EXPECT_EQ(StatusOf([&] { session_->Preview(Params(), view, 7, c); }), 400);

  // Each page orders its own previews: one that sent the largest generation there is, or that
  // was opened later and counts higher, does not have the other pages' previews refused.
  view.size = 8;
  EXPECT_TRUE(session_->Preview(Params(), view, "late", UINT64_MAX, c));
  EXPECT_TRUE(session_->Preview(Params(), view, "early", 1, c));
  EXPECT_TRUE(session_->Preview(Params(), view, "early", 2, c));
  EXPECT_FALSE(session_->Preview(Params(), view, "early", 1, c));
  EXPECT_FALSE(session_->Preview(Params(), view, "late", UINT64_MAX - 1, c));
  EXPECT_TRUE(session_->Preview(Params(), view, 7, c));  // the unnamed page is one more
}

// A newer preview cancels the one in flight, whichever moment it arrives at: a 2048x2048 render
// takes seconds, so the first request either is cancelled while rendering or, had it not started
// yet, is refused as the older one.
TEST_F(EditTest, NewerPreviewCancelsTheOneInFlight) {
  PreviewSettings big;
  big.size = kMaxPreviewSize;
  bool bigDone = true;
  std::string bigPng;
  const json params = Params(), changed = Params({{"size", 2.0}});
  std::thread first([&] { bigDone = session_->Preview(params, big, 10, bigPng); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  PreviewSettings small;
  small.size = 8;
  std::string smallPng;
  EXPECT_TRUE(session_->Preview(changed, small, 11, smallPng));
  first.join();
  EXPECT_FALSE(bigDone);
  EXPECT_TRUE(bigPng.empty());
  EXPECT_EQ(smallPng.substr(1, 3), "PNG");
}

TEST_F(EditTest, SavedSceneReopensWithItsValuesAndSubMaps) {
  // A document whose map has a sub-map, as a scene from the host would bring it.
  const std::string source = File("source.scn");
  {
    Scene scene;
    auto* map = static_cast<Texmap*>(cd_->Create(FALSE));
    auto* sub = static_cast<Texmap*>(cd_->Create(FALSE));
    scene.AddRoot(map);
    ASSERT_TRUE(map->GetParamBlockByID(1)->SetValue(7, 0, sub));  // "color1map"
    std::string error;
    ASSERT_TRUE(::SaveScene(scene, source, error)) << error;
  }
  const json opened = session_->OpenScene(source);
  EXPECT_EQ(opened["kind"], "scene");
  EXPECT_EQ(opened["path"], fs::absolute(source).lexically_normal().string());
  EXPECT_EQ(opened["maps"]["color1map"], "TamrelScratches");
  EXPECT_EQ(opened["maps"]["color2map"], nullptr);

  json p = opened["params"];
  p["seed"] = 31337;
  p["stretch"] = {{"keys", {{0, 4.0}, {20, 40.0}}}};
  EXPECT_EQ(session_->State(p, 0)["maps"]["color1map"], "TamrelScratches");
  const std::string saved = File("saved.scn");
  EXPECT_EQ(session_->SaveScene(p, saved), fs::absolute(saved).lexically_normal().string());

  EditSession other(*cd_, [&] {
    ClassDirectory classes;
    classes.AddClass(cd_);
    classes.AddClass(GetStdTexoutClassDesc());
    return classes;
  }());
  const json reopened = other.OpenScene(saved);
  EXPECT_EQ(reopened["params"], p);
  EXPECT_EQ(reopened["maps"]["color1map"], "TamrelScratches");
  // The editor's document is now what was saved: its values, sub-maps, file and kind.
  const json doc = session_->Document();
  EXPECT_EQ(doc["path"], reopened["path"]);
  EXPECT_EQ(doc["params"], p);
  EXPECT_EQ(doc["kind"], "scene");
  EXPECT_EQ(doc["maps"]["color1map"], "TamrelScratches");
  EXPECT_EQ(doc["maps"]["color2map"], nullptr);
}

TEST_F(EditTest, PresetsSaveAndOpenOverTheDocumentsSubMaps) {
  const json p = Params({{"thresholdLow", 0.25}, {"levels", 3}, {"xyz_map", 0}});
  const std::string path = File("look.json");
  session_->SavePreset(p, path);
  std::ifstream in(path);
  EXPECT_EQ(json::parse(in), p);
  // Opening a preset resets what it does not name.
  json partial = {{"levels", 2}};
  std::ofstream(File("partial.json")) << partial.dump();
  const json opened = session_->OpenPreset(File("partial.json"));
  EXPECT_EQ(opened["kind"], "preset");
  EXPECT_EQ(opened["params"]["levels"], 2);
  EXPECT_EQ(opened["params"]["thresholdLow"], 0.0);
  EXPECT_EQ(opened["params"]["size"], 10.0);
}

TEST_F(EditTest, FailedOpensAndSavesLoseNothing) {
  const json before = session_->Document();
  std::string message;
  EXPECT_EQ(StatusOf([&] { session_->OpenScene(File("absent.scn")); }), 404);
  std::ofstream(File("garbage.scn")) << "not a scene";
  EXPECT_EQ(StatusOf([&] { session_->OpenScene(File("garbage.scn")); }), 422);
  std::ofstream(File("bad.json")) << "{\"size\": ";
  EXPECT_EQ(StatusOf([&] { session_->OpenPreset(File("bad.json")); }), 422);
  std::ofstream(File("range.json")) << "{\"size\": -5}";
  EXPECT_EQ(StatusOf([&] { session_->OpenPreset(File("range.json")); }, &message), 422);
  EXPECT_NE(message.find("out of range"), std::string::npos) << message;
  // Presets are read as tamrel render reads them: a folder, an endless device, a file beyond
  // 16 MiB or nesting beyond 32 levels is refused without being read whole or walked.
  EXPECT_EQ(StatusOf([&] { session_->OpenPreset(folder_.string()); }), 422);
  EXPECT_EQ(StatusOf([&] { session_->OpenPreset("/dev/zero"); }, &message), 422);
  EXPECT_NE(message.find("cannot read preset /dev/zero"), std::string::npos) << message;
  {
    std::ofstream huge(File("huge.json"));
    huge << "{\"size\": 5" << std::string((std::size_t{16} << 20) + 1, ' ') << "}";
  }
  EXPECT_EQ(StatusOf([&] { session_->OpenPreset(File("huge.json")); }), 422);
  std::ofstream(File("deep.json"))
      << "{\"size\": " << std::string(33, '[') << std::string(33, ']') << "}";
  EXPECT_EQ(StatusOf([&] { session_->OpenPreset(File("deep.json")); }, &message), 422);
  EXPECT_NE(message.find("deeper than 32 levels"), std::string::npos) << message;
  EXPECT_EQ(session_->Document(), before);

  // An existing file is kept whole when the new values are refused or the folder is missing.
  const std::string keep = File("keep.json");
  std::ofstream(keep) << "precious";
  EXPECT_EQ(StatusOf([&] { session_->SavePreset(Params({{"size", -1.0}}), keep); }), 400);
  EXPECT_EQ(StatusOf([&] { session_->SaveScene(Params(), File("no/such/folder.scn")); }), 422);
  EXPECT_EQ(StatusOf([&] { session_->SaveScene(Params(), folder_.string()); }), 422);
  EXPECT_EQ(StatusOf([&] { session_->SavePreset(Params(), ""); }), 400);
  std::ifstream in(keep);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
  // No temporary file is left behind.
  for (const auto& entry : fs::directory_iterator(folder_)) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
}

TEST_F(EditTest, AModelIsPreviewedAndBakedInItsUvLayout) {
  // One triangle over the image's bottom-left half (OBJ's v runs up).
  std::ofstream(File("tri.obj")) << "v 0 0 0\nv 5 0 0\nv 0 5 0\nvt 0 0\nvt 1 0\nvt 0 1\n"
                                    "f 1/1 2/2 3/3\n";
  std::ofstream(File("bad.obj")) << "v 0 0 0\nf 1 2 3\n";
  PreviewSettings view;
  view.geometry = Geometry::MESH;
  view.size = 16;
  std::string png, message;
  // Without a model the geometry is refused; a bad model leaves the document as it was.
  EXPECT_EQ(StatusOf([&] { session_->Preview(Params(), view, 1, png); }, &message), 400);
  EXPECT_NE(message.find("needs a model"), std::string::npos) << message;
  EXPECT_EQ(StatusOf([&] { session_->OpenModel(File("bad.obj")); }), 422);
  EXPECT_FALSE(session_->Document().contains("mesh"));

  session_->OpenModel(File("tri.obj"), 0, 2);
  const json doc = session_->Document();
  EXPECT_EQ(doc["mesh"]["triangles"], 1);
  EXPECT_EQ(doc["mesh"]["uv_sets"], 1);
  ASSERT_TRUE(session_->Preview(Params({{"size", 2.0}}), view, 2, png));
  const std::string shown = File("shown.png");
  std::ofstream(shown, std::ios::binary) << png;
  auto in = OIIO::ImageInput::open(shown);
  ASSERT_TRUE(in);
  std::vector<float> pixels(16 * 16 * 4);
  ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, pixels.data()));
  const json description = json::parse(in->spec().get_string_attribute("ImageDescription"));
  EXPECT_EQ(description["tamrel"]["geometry"], "mesh");
  EXPECT_EQ(description["tamrel"]["mesh"]["padding"], 2);
  // Alpha: the triangle and two texels of padding about it; the top-right corner is empty.
  EXPECT_EQ(pixels[(12 * 16 + 2) * 4 + 3], 1.0f);
  EXPECT_EQ(pixels[(1 * 16 + 14) * 4 + 3], 0.0f);

  const std::vector<std::string> files =
      session_->Bake(Params(), view, {"height", "coverage"}, File("tri_{map}.exr"));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(fs::exists(File("tri_coverage.exr")));

  // Progressively, a model has its coarse frame and then the final one: no draft, whose layout
  // and padding would be laid out again at half the size.
  view.size = kDraftFromSize;
  std::vector<PreviewFrame> kinds;
  ASSERT_TRUE(session_->ProgressivePreview(Params(), view, "model", 3,
                                           [&kinds](const std::string&, PreviewFrame kind) {
                                             kinds.push_back(kind);
                                             return true;
                                           }));
  EXPECT_EQ(kinds, (std::vector<PreviewFrame>{PreviewFrame::COARSE, PreviewFrame::FINAL}));
}

// ---- the 3D view's asset ----------------------------------------------------------------------

std::uint32_t U32At(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

// A .glb read back as a viewer reads it: the header, the JSON chunk and the images' bytes in the
// BIN chunk. Fails the test for a container that is not sound.
struct ReadGlb {
  json doc;
  std::vector<std::string> images;  // in the order of doc["images"]
};

ReadGlb ParseGlb(const std::string& glb) {
  ReadGlb out;
  EXPECT_GE(glb.size(), 28u);
  if (glb.size() < 28) return out;
  EXPECT_EQ(glb.substr(0, 4), "glTF");
  EXPECT_EQ(U32At(glb, 4), 2u);
  EXPECT_EQ(U32At(glb, 8), glb.size());
  const std::uint32_t jsonLength = U32At(glb, 12);
  EXPECT_EQ(U32At(glb, 16), 0x4E4F534Au);  // "JSON"
  EXPECT_EQ(jsonLength % 4, 0u);
  if (20 + std::size_t{jsonLength} + 8 > glb.size()) {
    ADD_FAILURE() << "the JSON chunk runs past the end";
    return out;
  }
  out.doc = json::parse(glb.substr(20, jsonLength));
  const std::size_t binAt = 20 + jsonLength;
  const std::uint32_t binLength = U32At(glb, binAt);
  EXPECT_EQ(U32At(glb, binAt + 4), 0x004E4942u);  // "BIN\0"
  EXPECT_EQ(binAt + 8 + binLength, glb.size());
  const std::string bin = glb.substr(binAt + 8, binLength);
  for (const json& image : out.doc["images"]) {
    EXPECT_EQ(image["mimeType"], "image/png");
    const json& view = out.doc["bufferViews"][image["bufferView"].get<int>()];
    const std::size_t offset = view.value("byteOffset", 0), length = view["byteLength"];
    EXPECT_LE(offset + length, bin.size());
    out.images.push_back(bin.substr(offset, length));
  }
  return out;
}

// A PNG's pixels as 8-bit RGBA (or its own channels), through a file as OIIO reads it.
std::vector<unsigned char> PngPixels(const std::string& png, const std::string& file,
                                     int* channels = nullptr) {
  std::ofstream(file, std::ios::binary) << png;
  auto in = OIIO::ImageInput::open(file);
  if (!in) {
    ADD_FAILURE() << "not an image";
    return {};
  }
  const OIIO::ImageSpec& image = in->spec();
  if (channels) *channels = image.nchannels;
  std::vector<unsigned char> pixels(std::size_t(image.width) * image.height * image.nchannels);
  EXPECT_TRUE(in->read_image(0, 0, 0, image.nchannels, OIIO::TypeDesc::UINT8, pixels.data()));
  return pixels;
}

TEST_F(EditTest, AssetIsAGlbOfThePlaneWithTheFourMapsTheColourThePreviews) {
  PreviewSettings view;
  view.size = 24;
  const json params = Params({{"size", 4.0}, {"color2", json::array({0.9, 0.2, 0.1})}});
  std::string glb, preview;
  ASSERT_TRUE(session_->Asset(params, view, "p", 1, glb));
  const ReadGlb asset = ParseGlb(glb);
  ASSERT_EQ(asset.images.size(), 4u);
  EXPECT_EQ(asset.doc["asset"]["version"], "2.0");
  EXPECT_EQ(asset.doc["asset"]["generator"], "tamrel under test");
  EXPECT_EQ(asset.doc["meshes"].size(), 1u);  // the plane's quad
  const json& material = asset.doc["materials"][0];
  ASSERT_TRUE(material.contains("extensions"));
  EXPECT_TRUE(material["extensions"].contains("KHR_materials_anisotropy"));
  // Every image is a PNG of the preview's size; the colour is the preview's pixels exactly, and
  // the data maps carry three channels.
  int channels = 0;
  std::vector<unsigned char> maps[4];
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(asset.images[k].substr(1, 3), "PNG") << k;
    maps[k] = PngPixels(asset.images[k], File("map" + std::to_string(k) + ".png"), &channels);
    EXPECT_EQ(maps[k].size(), std::size_t(24 * 24 * channels)) << k;
    EXPECT_EQ(channels, k == 0 ? 4 : 3) << k;
  }
  ASSERT_TRUE(session_->Preview(params, view, "p", 1, preview));
  EXPECT_EQ(maps[0], PngPixels(preview, File("preview.png")));
  // A normal map of scratches is not flat everywhere, nor the same image as the orm map.
  EXPECT_NE(maps[1], maps[2]);
  bool tilted = false;
  for (std::size_t i = 0; i + 2 < maps[1].size(); i += 3) {
    tilted |= maps[1][i] != 128 || maps[1][i + 1] != 128;
  }
  EXPECT_TRUE(tilted);
  // No file of the bakes stays behind in the session's folder: a second asset is the same.
  std::string again;
  ASSERT_TRUE(session_->Asset(params, view, "p", 1, again));
  EXPECT_EQ(again, glb);
}

TEST_F(EditTest, AssetFollowsThePreviewsGenerationsAndRefusesAMissingModel) {
  PreviewSettings view;
  view.size = 8;
  std::string glb, png, message;
  ASSERT_TRUE(session_->Preview(Params(), view, "q", 5, png));
  EXPECT_TRUE(session_->Asset(Params(), view, "q", 5, glb));  // the final preview's asset
  EXPECT_FALSE(session_->Asset(Params(), view, "q", 4, glb));
  EXPECT_TRUE(session_->Asset(Params(), view, "q", 6, glb));
  EXPECT_FALSE(session_->Preview(Params(), view, "q", 5, png));  // an asset counts as newer
  EXPECT_TRUE(session_->Asset(Params(), view, "other", 1, glb));

  // The sphere's asset is the preview sphere as a model, not the plane.
  const std::string plane = glb;
  view.geometry = Geometry::SPHERE;
  ASSERT_TRUE(session_->Asset(Params(), view, "q", 7, glb));
  EXPECT_NE(glb, plane);
  EXPECT_NE(glb.find("\"name\":\"sphere\""), std::string::npos);
  EXPECT_EQ(plane.find("\"name\":\"sphere\""), std::string::npos);
  view.geometry = Geometry::MESH;
  EXPECT_EQ(StatusOf([&] { session_->Asset(Params(), view, "q", 8, glb); }, &message), 400);
  EXPECT_NE(message.find("needs a model"), std::string::npos) << message;
  view.geometry = Geometry::PLANE;
  view.size = kMaxPreviewSize + 1;
  EXPECT_EQ(StatusOf([&] { session_->Asset(Params(), view, "q", 9, glb); }), 400);
}

TEST_F(EditTest, AssetOfAModelHoldsItsTrianglesAndTheMapsOfItsUvLayout) {
  std::ofstream(File("quad.obj")) << "v 0 0 0\nv 5 0 0\nv 5 5 0\nv 0 5 0\n"
                                     "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                                     "f 1/1 2/2 3/3\nf 1/1 3/3 4/4\n";
  session_->OpenModel(File("quad.obj"));
  PreviewSettings view;
  view.geometry = Geometry::MESH;
  view.size = 16;
  std::string glb, png;
  ASSERT_TRUE(session_->Asset(Params({{"size", 2.0}}), view, "", 1, glb));
  const ReadGlb asset = ParseGlb(glb);
  ASSERT_EQ(asset.images.size(), 4u);
  ASSERT_EQ(asset.doc["meshes"].size(), 1u);
  const json& prim = asset.doc["meshes"][0]["primitives"][0];
  EXPECT_EQ(asset.doc["accessors"][prim["indices"].get<int>()]["count"], 6);  // two triangles
  EXPECT_TRUE(prim["attributes"].contains("TANGENT"));
  // The colour is the model's preview: the bake into its UV layout, not the plane's.
  ASSERT_TRUE(session_->Preview(Params({{"size", 2.0}}), view, "", 1, png));
  EXPECT_EQ(PngPixels(asset.images[0], File("c.png")), PngPixels(png, File("p.png")));
  view.geometry = Geometry::PLANE;
  std::string plane;
  ASSERT_TRUE(session_->Asset(Params({{"size", 2.0}}), view, "", 1, plane));
  EXPECT_NE(ParseGlb(plane).doc["accessors"], asset.doc["accessors"]);
}

TEST_F(EditTest, BakeWritesTheImageTamrelRenderWould) {
  PreviewSettings view;
  view.size = 40;
  view.frame = 2;
  const std::string png = File("bake.png");
  EXPECT_EQ(session_->Bake(Params({{"size", 6.0}}), view, {"color"}, png),
            std::vector<std::string>{fs::absolute(png).lexically_normal().string()});
  auto in = OIIO::ImageInput::open(png);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->spec().width, 40);
  EXPECT_EQ(in->spec().nchannels, 4);
  const json description = json::parse(in->spec().get_string_attribute("ImageDescription"));
  EXPECT_EQ(description["params"]["size"], 6.0);
  EXPECT_EQ(description["tamrel"]["frame"], 2);
  EXPECT_EQ(description["tamrel"]["samples"], 4);
  EXPECT_EQ(description["tamrel"]["output"], "color");
  EXPECT_EQ(in->spec().get_string_attribute("Software"), "tamrel under test");
  std::vector<unsigned char> baked(40 * 40 * 4);
  ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, baked.data()));
  in->close();

  // The bake's pixels are the preview's of the same settings, written band by band.
  std::string preview;
  ASSERT_TRUE(session_->Preview(Params({{"size", 6.0}}), view, 1, preview));
  const std::string shown = File("shown.png");
  {
    std::ofstream out(shown, std::ios::binary);
    out << preview;
  }
  auto p = OIIO::ImageInput::open(shown);
  ASSERT_TRUE(p);
  std::vector<unsigned char> previewPixels(40 * 40 * 4);
  ASSERT_TRUE(p->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, previewPixels.data()));
  p->close();
  EXPECT_EQ(baked, previewPixels);

  const std::string exr = File("height.exr");
  session_->Bake(Params(), view, {"height"}, exr);
  auto h = OIIO::ImageInput::open(exr);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->spec().nchannels, 1);
  h->close();
  // An unknown format is an output that cannot be written, as `tamrel render` says (exit 4).
  EXPECT_EQ(StatusOf([&] { session_->Bake(Params(), view, {"color"}, File("x.bmpx")); }),
            422);
  view.geometry = Geometry::SPHERE;
  EXPECT_EQ(StatusOf([&] { session_->Bake(Params(), view, {"normal-gl"}, File("n.png")); }),
            400);
}

// The editor opens and bakes by the rules `tamrel render` applies, through the same engine: the
// work bound on scenes, the pixel-type rule, the checks of output names.
TEST_F(EditTest, OpensAndBakesByTheRulesRenderApplies) {
  // Maps 0 .. levels, every slot of map k holding map k + 1.
  const auto chain = [this](int levels) {
    std::vector<Texmap*> maps;
    for (int k = 0; k <= levels; ++k) maps.push_back(NewMap());
    for (int k = 0; k < levels; ++k) {
      for (int s = 0; s < maps[k]->NumSubTexmaps(); ++s) maps[k]->SetSubTexmap(s, maps[k + 1]);
    }
    return maps[0];
  };
  const auto saved = [this](Texmap* top, const std::string& name) {
    Scene scene;
    scene.AddRoot(top);
    std::string error;
    EXPECT_TRUE(::SaveScene(scene, File(name), error)) << error;
    return File(name);
  };
  // Three levels cost 2955 evaluations a sample, within the bound; four cost 41371.
  const std::string light = saved(chain(3), "light.scn");
  const std::string heavy = saved(chain(4), "heavy.scn");
  EXPECT_EQ(session_->OpenScene(light)["kind"], "scene");
  const json before = session_->Document();
  std::string message;
  EXPECT_EQ(StatusOf([&] { session_->OpenScene(heavy); }, &message), 422);
  EXPECT_NE(message.find("41371"), std::string::npos) << message;
  EXPECT_NE(message.find("4096"), std::string::npos) << message;
  EXPECT_EQ(session_->Document(), before);

  PreviewSettings view;
  view.size = 8;
  // A height map in 8 bits is refused, as render refuses it, and nothing is written; 16 bits
  // and half floats are what it takes.
  EXPECT_EQ(StatusOf(
                [&] {
                  session_->Bake(Params(), view, {"height"}, File("h.png"), PixelType::UINT8);
                },
                &message),
            400);
  EXPECT_EQ(message, "the height map needs 16-bit or float pixels, not uint8");
  EXPECT_FALSE(fs::exists(File("h.png")));
  session_->Bake(Params(), view, {"color", "height"}, File("t_{map}.exr"), PixelType::HALF);
  for (const char* name : {"t_color.exr", "t_height.exr"}) {
    auto in = OIIO::ImageInput::open(File(name));
    ASSERT_TRUE(in) << name;
    EXPECT_EQ(in->spec().format, OIIO::TypeDesc::HALF) << name;
  }
  EXPECT_EQ(StatusOf([&] {
              session_->Bake(Params(), view, {"color"}, File("c.exr"), PixelType::UINT8);
            }),
            422);

  // Output names: an empty one is a mistake in the request; one longer than the folder takes
  // is refused before any work, for images and saves alike.
  EXPECT_EQ(StatusOf([&] { session_->Bake(Params(), view, {"color"}, ""); }, &message), 400);
  EXPECT_EQ(message, "the image needs a file name");
  const std::string tooLong = File(std::string(300, 'n') + ".png");
  EXPECT_EQ(StatusOf([&] { session_->Bake(Params(), view, {"color"}, tooLong); }, &message), 422);
  EXPECT_NE(message.find("304 bytes long, more than the 255"), std::string::npos) << message;
  EXPECT_EQ(StatusOf([&] { session_->SavePreset(Params(), tooLong); }, &message), 422);
  EXPECT_NE(message.find("cannot write preset"), std::string::npos) << message;
  EXPECT_NE(message.find("bytes long"), std::string::npos) << message;
  // Something that is not a regular file is never replaced by a save or a bake.
  const std::string pipe = File("pipe.png");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  EXPECT_EQ(StatusOf([&] { session_->SavePreset(Params(), pipe); }, &message), 422);
  EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
  EXPECT_EQ(StatusOf([&] { session_->SaveScene(Params(), pipe); }), 422);
  EXPECT_EQ(StatusOf([&] { session_->Bake(Params(), view, {"color"}, pipe); }), 422);
  EXPECT_TRUE(fs::is_fifo(pipe));
}

// A signal to the editor stops a bake in flight within a sample: the previous files stay as
// they were, no temporary file is left, the request is answered 503, the editor's exit code is
// 128 + the signal, and later work is refused.
TEST_F(EditTest, InterruptStopsABakeInFlightAndKeepsThePreviousFiles) {
  PreviewSettings view;
  view.size = 8;
  const std::string target = File("big_{map}.png");
  session_->Bake(Params(), view, {"color", "height"}, target);
  const auto bytes = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string before = bytes(File("big_color.png"));
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(session_->InterruptedWork(), 0);
  view.size = kMaxEditBakeSize;  // minutes of work uninterrupted
  int status = 0;
  std::string message;
  const auto started = std::chrono::steady_clock::now();
  std::thread bake([&] {
    status = StatusOf([&] { session_->Bake(Params(), view, {"color", "height"}, target); },
                      &message);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  session_->Interrupt(SIGTERM);
  bake.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(status, 503);
  EXPECT_NE(message.find("interrupted; " + File("big_color.png") + " and the other maps"),
            std::string::npos)
      << message;
  EXPECT_EQ(session_->InterruptedWork(), 128 + SIGTERM);
  EXPECT_EQ(bytes(File("big_color.png")), before);
  for (const auto& entry : fs::directory_iterator(folder_)) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
  view.size = 8;
  EXPECT_EQ(StatusOf([&] { session_->Bake(Params(), view, {"color"}, File("later.png")); }), 503);
  std::string png;
  EXPECT_EQ(StatusOf([&] { session_->Preview(Params(), view, 99, png); }), 503);
  EXPECT_FALSE(fs::exists(File("later.png")));
}

// A texture set: one file per map by the {map} pattern, each tagged with its map, the colour the
// same pixels as a bake of the colour alone; refused without a pattern or with a map twice.
TEST_F(EditTest, BakeWritesATextureSet) {
  PreviewSettings view;
  view.size = 24;
  const json params = Params({{"size", 4.0}, {"levels", 3}});
  const std::vector<std::string> written =
      session_->Bake(params, view,
                     {"color", "height", "normal", "roughness", "anisotropy"},
                     File("set_{map}.png"));
  const std::vector<std::pair<std::string, int>> expected = {
      {"color", 4}, {"height", 1}, {"normal", 3}, {"roughness", 1}, {"anisotropy", 3}};
  ASSERT_EQ(written.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& [name, channels] = expected[i];
    EXPECT_EQ(written[i], fs::absolute(File("set_" + name + ".png")).lexically_normal().string());
    auto in = OIIO::ImageInput::open(written[i]);
    ASSERT_TRUE(in) << written[i];
    EXPECT_EQ(in->spec().nchannels, channels) << name;
    // The height map is data: 16 bits even in a PNG, never 8.
    if (name == "height") {
      EXPECT_EQ(in->spec().format, OIIO::TypeDesc::UINT16);
    }
    const json d = json::parse(in->spec().get_string_attribute("ImageDescription"));
    EXPECT_EQ(d["tamrel"]["output"], name);
    EXPECT_EQ(d["params"]["levels"], 3);
  }
  session_->Bake(params, view, {"color"}, File("alone.png"));
  const auto pixels = [](const std::string& path) {
    auto in = OIIO::ImageInput::open(path);
    std::vector<unsigned char> p(24 * 24 * 4);
    EXPECT_TRUE(in && in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, p.data())) << path;
    return p;
  };
  EXPECT_EQ(pixels(File("set_color.png")), pixels(File("alone.png")));

  std::string message;
  EXPECT_EQ(StatusOf(
                [&] {
                  session_->Bake(params, view, {"color", "height"}, File("flat.png"));
                },
                &message),
            400);
  EXPECT_NE(message.find("'{map}' pattern"), std::string::npos) << message;
  EXPECT_EQ(StatusOf([&] {
              session_->Bake(params, view, {"height", "height"}, File("t_{map}.exr"));
            }),
            400);
  EXPECT_FALSE(fs::exists(File("flat.png")));
  EXPECT_FALSE(fs::exists(File("t_height.exr")));
}

// ---- the server --------------------------------------------------------------------------------

TEST(EditServerAddress, OnlyLoopbackAddresses) {
  for (const char* ok : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) {
    EXPECT_TRUE(IsLoopbackAddress(ok)) << ok;
  }
  for (const char* bad : {"0.0.0.0", "::", "192.168.1.10", "10.0.0.1", "128.0.0.1",
                          "::ffff:127.0.0.1", "example.com", "", "127.0.0.1 ", "fe80::1"}) {
    EXPECT_FALSE(IsLoopbackAddress(bad)) << bad;
  }
}

// `tamrel edit` refuses before it listens: a bind address that is not loopback, a scene it
// cannot read, options that exclude each other.
TEST(EditCommand, RefusesBeforeListening) {
  const fs::path dir =
      fs::temp_directory_path() / ("tamrel-edit-cli-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto run = [&](const std::string& args, std::string& err) {
    const std::string cmd = "cd '" + dir.string() + "' && '" TAMREL_BINARY "' edit --no-open " +
                            args + " >/dev/null 2>err.txt";
    const int status = std::system(cmd.c_str());
    std::ifstream in(dir / "err.txt");
    err.assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string err;
  EXPECT_EQ(run("--bind 0.0.0.0", err), 2);
  EXPECT_EQ(err,
            "tamrel: error: the editor listens on a loopback address only (127.0.0.1 or ::1), "
            "not '0.0.0.0'\n");
  EXPECT_EQ(run("--bind 192.168.0.1 --port 8080", err), 2);
  EXPECT_EQ(run("--scene missing.scn", err), 3);
  EXPECT_EQ(err, "tamrel: error: cannot read scene " + (dir / "missing.scn").string() + "\n");
  std::ofstream(dir / "bad.json") << "{\"levels\": 0}";
  EXPECT_EQ(run("--preset bad.json", err), 3);
  EXPECT_NE(err.find("out of range"), std::string::npos) << err;
  EXPECT_EQ(run("--scene a.scn --preset b.json", err), 2);
  EXPECT_EQ(run("--port 70000", err), 2);
  fs::remove_all(dir);
}

class EditServerTest : public EditTest {
 protected:
  void SetUp() override {
    EditTest::SetUp();
    server_ = std::make_unique<EditServer>(*session_, EditServerOptions{});
    thread_ = std::thread([this] { server_->Run(); });
  }
  void TearDown() override {
    server_->Stop();
    thread_.join();
    server_.reset();
    EditTest::TearDown();
  }
  httplib::Client Client() const {
    httplib::Client c("127.0.0.1", server_->Port());
    c.set_read_timeout(60, 0);
    return c;
  }
  httplib::Headers Token() const { return {{EditServer::kTokenHeader, server_->Token()}}; }
  httplib::Result Post(const std::string& path, const std::string& body) {
    return Client().Post(path.c_str(), Token(), body, "application/json");
  }

  std::unique_ptr<EditServer> server_;
  std::thread thread_;
};

// A stop that comes before the server listens, or while it starts to, still ends it: Ctrl-C at
// the editor's start, or a test that stops its server at once.
TEST_F(EditTest, StopBeforeOrAsRunStartsEndsTheServer) {
  for (int i = 0; i < 40; ++i) {
    EditServer server(*session_, EditServerOptions{});
    if (i == 0) server.Stop();
    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread running([&] {
      server.Run();
      done.set_value();
    });
    if (i != 0) server.Stop();
    const bool returned = ended.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "attempt " << i;
    if (!returned) server.Stop();  // it listens by now, so this one ends it
    running.join();
  }
}

// A port is one editor's: a second server on it is refused (tamrel edit then ends with exit 6),
// and the first still serves.
TEST_F(EditServerTest, ASecondServerOnAPortInUseIsRefused) {
  EditServerOptions same;
  same.port = server_->Port();
  try {
    EditServer second(*session_, same);
    ADD_FAILURE() << "a second server listened on port " << same.port;
  } catch (const ListenError& e) {
    EXPECT_NE(std::string(e.what()).find("port " + std::to_string(same.port) + ": it is in use"),
              std::string::npos)
        << e.what();
  }
  const auto page = Client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  // The page, which carries the token, refuses to be framed by another.
  EXPECT_EQ(page->get_header_value("Content-Security-Policy"), "frame-ancestors 'none'");
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
}

// Clients that open connections and send their requests slowly, or not at all, do not keep the
// page from being served: its requests are answered at once while they trickle.
TEST_F(EditServerTest, SlowClientsDoNotBlockThePage) {
  std::vector<int> slow;
  for (int i = 0; i < 12; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(server_->Port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const char* start = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    ASSERT_GT(::send(fd, start, std::strlen(start), MSG_NOSIGNAL), 0);
    slow.push_back(fd);
  }
  for (int round = 0; round < 3; ++round) {
    for (const int fd : slow) ::send(fd, "X", 1, MSG_NOSIGNAL);  // a header, a byte at a time
    const auto before = std::chrono::steady_clock::now();
    const auto page = Client().Get("/");
    ASSERT_TRUE(page) << "round " << round;
    EXPECT_EQ(page->status, 200);
    // Held behind the slow clients, it would wait for them to time out (5 s a read before).
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(4)) << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  for (const int fd : slow) ::close(fd);
}

TEST_F(EditServerTest, ListensOnLoopbackOnly) {
  EXPECT_EQ(server_->Url(), "http://127.0.0.1:" + std::to_string(server_->Port()) + "/");
  // The kernel's table of listening sockets has this port on 127.0.0.1 (0100007F) only.
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  char port[8];
  std::snprintf(port, sizeof port, ":%04X", server_->Port());
  int listening = 0;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state != "0A" || local.size() < 5 || local.substr(local.size() - 5) != port) continue;
    EXPECT_EQ(local.substr(0, 8), "0100007F");
    ++listening;
  }
  EXPECT_EQ(listening, 1);

  EditServerOptions wide;
  wide.address = "0.0.0.0";
  std::string message;
  EXPECT_EQ(StatusOf([&] { EditServer s(*session_, wide); }, &message), 400);
  EXPECT_EQ(message,
            "the editor listens on a loopback address only (127.0.0.1 or ::1), not '0.0.0.0'");
}

TEST_F(EditServerTest, ServesThePageAndGuardsTheApi) {
  auto page = Client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("content=\"" + server_->Token() + "\""), std::string::npos);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  auto script = Client().Get("/editor.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");

  auto bare = Client().Get("/api/layout");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->status, 403);
  auto wrong = Client().Get("/api/layout", {{EditServer::kTokenHeader, "0123"}});
  EXPECT_EQ(wrong->status, 403);
  auto layout = Client().Get("/api/layout", Token());
  EXPECT_EQ(layout->status, 200);
  EXPECT_EQ(json::parse(layout->body)["rollouts"].size(), 2u);
  // A page of another site reached through a name that resolves here (DNS rebinding).
  httplib::Headers rebound = Token();
  rebound.emplace("Host", "attacker.example:" + std::to_string(server_->Port()));
  auto foreign = Client().Get("/api/document", rebound);
  EXPECT_EQ(foreign->status, 403);
  EXPECT_EQ(Client().Get("/nothing-here")->status, 404);
}

TEST_F(EditServerTest, AnswersRequestsWithTheDocument) {
  const json params = Params({{"size", 3.0}});
  auto state = Post("/api/state", json{{"params", params}, {"frame", 0}}.dump());
  ASSERT_EQ(state->status, 200);
  EXPECT_EQ(json::parse(state->body)["values"]["size"], 3.0);
  auto preview = Post(
      "/api/preview",
      json{{"params", params}, {"size", 16}, {"generation", 1}, {"geometry", "sphere"}}.dump());
  ASSERT_EQ(preview->status, 200);
  EXPECT_EQ(preview->get_header_value("Content-Type"), "image/png");
  auto stale =
      Post("/api/preview", json{{"params", params}, {"size", 16}, {"generation", 0}}.dump());
  EXPECT_EQ(stale->status, 409);
  auto asset = Post("/api/asset", json{{"params", params}, {"size", 16}, {"generation", 1}}.dump());
  ASSERT_EQ(asset->status, 200) << asset->body;
  EXPECT_EQ(asset->get_header_value("Content-Type"), "model/gltf-binary");
  EXPECT_EQ(asset->body.substr(0, 4), "glTF");
  EXPECT_EQ(Post("/api/asset", json{{"params", params}, {"size", 16}, {"generation", 0}}.dump())
                ->status,
            409);
  // The sphere's asset is a model of it, with the set in its UV layout.
  auto sphere = Post("/api/asset", json{{"params", params}, {"size", 16}, {"generation", 1},
                                        {"geometry", "sphere"}, {"page", "ball"}}.dump());
  ASSERT_EQ(sphere->status, 200) << sphere->body;
  EXPECT_EQ(sphere->body.substr(0, 4), "glTF");
  EXPECT_NE(sphere->body.find("\"name\":\"sphere\""), std::string::npos);
  // Generations are counted per page, up to what the page's numbers hold exactly.
  const auto previewOf = [&](const json& page, std::uint64_t generation) {
    json body = {{"params", params}, {"size", 4}, {"generation", generation}};
    if (!page.is_null()) body["page"] = page;
    return Post("/api/preview", body.dump())->status;
  };
  EXPECT_EQ(previewOf("other", 0), 200);
  EXPECT_EQ(previewOf("other", std::uint64_t{1} << 53), 200);
  EXPECT_EQ(previewOf("third", (std::uint64_t{1} << 53) + 1), 400);
  EXPECT_EQ(previewOf(std::string(65, 'p'), 1), 400);
  EXPECT_EQ(previewOf(std::string(64, 'p'), 1), 200);
  EXPECT_EQ(previewOf(nullptr, 1), 200);
  EXPECT_EQ(previewOf(nullptr, 0), 409);
  // Samples a pixel, from one to sixteen.
  const auto samplesOf = [&](const json& samples, std::uint64_t generation) {
    return Post("/api/preview", json{{"params", params},
                                     {"size", 4},
                                     {"samples", samples},
                                     {"generation", generation},
                                     {"page", "samples"}}
                                    .dump())
        ->status;
  };
  EXPECT_EQ(samplesOf(0, 1), 400);
  EXPECT_EQ(samplesOf(1, 2), 200);
  EXPECT_EQ(samplesOf(16, 3), 200);
  EXPECT_EQ(samplesOf(17, 4), 400);
  EXPECT_EQ(samplesOf(2.5, 5), 400);
  // Progressively, the frames stream: a kind byte and a big-endian length before each PNG, the
  // coarse frame ('C') and the draft ('P') before the final frame ('F'), which is the one-frame
  // preview's bytes.
  const auto framesOf = [&](const json& progressive, std::uint64_t generation, int size = 512) {
    auto res = Post("/api/preview", json{{"params", params},
                                         {"size", size},
                                         {"generation", generation},
                                         {"page", "passes"},
                                         {"progressive", progressive}}
                                        .dump());
    std::vector<std::pair<char, std::string>> frames;
    if (res->status != 200) {
      frames.emplace_back('!', std::to_string(res->status));
      return frames;
    }
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/vnd.tamrel.frames");
    const std::string& b = res->body;
    std::size_t at = 0;
    while (at + 5 <= b.size()) {
      const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(
                                                 static_cast<unsigned char>(b[at + i])); };
      const std::uint32_t n = byte(1) << 24 | byte(2) << 16 | byte(3) << 8 | byte(4);
      if (at + 5 + n > b.size()) break;
      frames.emplace_back(b[at], b.substr(at + 5, n));
      at += 5 + n;
    }
    EXPECT_EQ(at, b.size()) << "a frame is cut short";
    return frames;
  };
  const auto frames = framesOf(true, 2);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].first, 'C');
  EXPECT_EQ(frames[1].first, 'P');
  EXPECT_EQ(frames[2].first, 'F');
  EXPECT_EQ(frames[1].second.substr(1, 3), "PNG");
  EXPECT_NE(frames[1].second, frames[2].second);
  auto whole =
      Post("/api/preview",
           json{{"params", params}, {"size", 512}, {"generation", 3}, {"page", "passes"}}.dump());
  ASSERT_EQ(whole->status, 200);
  EXPECT_EQ(whole->body, frames[2].second);
  EXPECT_TRUE(framesOf(true, 1).empty());  // superseded: no frame at all
  EXPECT_EQ(framesOf("yes", 4), (std::vector<std::pair<char, std::string>>{{'!', "400"}}));
  const auto small = framesOf(true, 4, 24);
  ASSERT_EQ(small.size(), 1u);
  EXPECT_EQ(small[0].first, 'F');
  auto plain = Post("/api/preview", json{{"params", params},
                                         {"size", 512},
                                         {"generation", 5},
                                         {"page", "passes"},
                                         {"progressive", false}}
                                        .dump());
  EXPECT_EQ(plain->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(plain->body, frames[2].second);
  auto saved = Post("/api/save-scene", json{{"params", params}, {"path", File("a.scn")}}.dump());
  ASSERT_EQ(saved->status, 200);
  EXPECT_TRUE(fs::exists(File("a.scn")));
  auto opened = Post("/api/open", json{{"path", File("a.scn")}}.dump());
  ASSERT_EQ(opened->status, 200);
  EXPECT_EQ(json::parse(opened->body)["params"]["size"], 3.0);
  auto missing = Post("/api/open", json{{"path", File("none.json")}}.dump());
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(json::parse(missing->body)["error"],
            "cannot read preset " + fs::absolute(File("none.json")).lexically_normal().string());

  // Bakes: one map by "output", a texture set by "maps", the colour map when neither is given.
  auto set = Post("/api/bake", json{{"params", params},
                                    {"size", 8},
                                    {"maps", {"height", "roughness"}},
                                    {"path", File("s_{map}.exr")}}
                                   .dump());
  ASSERT_EQ(set->status, 200) << set->body;
  EXPECT_EQ(json::parse(set->body)["paths"],
            json({fs::absolute(File("s_height.exr")).lexically_normal().string(),
                  fs::absolute(File("s_roughness.exr")).lexically_normal().string()}));
  auto one =
      Post("/api/bake",
           json{{"params", params}, {"size", 8}, {"output", "anisotropy"}, {"path", File("a.exr")}}
               .dump());
  ASSERT_EQ(one->status, 200) << one->body;
  EXPECT_EQ(json::parse(one->body)["path"],
            fs::absolute(File("a.exr")).lexically_normal().string());
  for (const json& maps : {json::array(), json("color"), json({"color", "shiny"}), json({1, 2}),
                           json(std::vector<std::string>(9, "color"))}) {
    auto bad =
        Post("/api/bake",
             json{{"params", params}, {"size", 8}, {"maps", maps}, {"path", File("b_{map}.png")}}
                 .dump());
    EXPECT_EQ(bad->status, 400) << maps.dump();
  }
  EXPECT_FALSE(fs::exists(File("b_color.png")));
}

// Bad requests get a 4xx with a JSON message, never a crash or a 5xx, and the server keeps
// answering: malformed and mutated bodies, wrong types, unknown names, values out of range,
// bodies beyond the limit, and many requests at once.
TEST_F(EditServerTest, SurvivesABoundedFuzzOfItsEndpoints) {
  const json valid = {
      {"params", Params({{"size", 2.0}})}, {"frame", 1},      {"size", 8}, {"generation", 1000},
      {"path", File("fuzz.json")},         {"output", "mono"}};
  const std::string base = valid.dump();
  const char* endpoints[] = {"/api/state", "/api/preview", "/api/save-preset", "/api/bake",
                             "/api/open",  "/api/save-scene", "/api/asset"};
  std::vector<std::string> bodies = {"",
                                     "{",
                                     "[]",
                                     "null",
                                     "42",
                                     "\"x\"",
                                     "{\"params\": 1}",
                                     "{\"params\": {\"size\": \"big\"}}",
                                     "{\"params\": {\"size\": 1e999}}",
                                     "{\"params\": {\"nope\": 1}}",
                                     "{\"params\": {\"levels\": 4294967297}}",
                                     "{\"params\": {}, \"frame\": -3}",
                                     "{\"params\": {}, \"frame\": 1.5}",
                                     "{\"params\": {}, \"size\": 99999, \"generation\": 1}",
                                     "{\"params\": {}, \"generation\": -1}",
                                     "{\"params\": {\"size\": {\"keys\": [[1e300, 2]]}}}",
                                     "{\"params\": {\"size\": {\"keys\": []}}}",
                                     "{\"params\": {}, \"path\": 7}",
                                     "{\"params\": {}, \"geometry\": \"cube\", \"generation\": 2}",
                                     "{\"params\": {}, \"extent\": -1}",
                                     "{\"path\": \"/proc/self/mem\"}",
                                     "{\"params\": {}, \"path\": \"/\"}",
                                     // In the test's folder: /api/save-preset writes it.
                                     json{{"params", json::object()}, {"output", "depth"},
                                          {"path", File("x.png")}}.dump(),
                                     std::string(200000, '['),
                                     "\xff\xfe{\"params\"}"};
  std::mt19937 rng(12345);
  for (int i = 0; i < 60; ++i) {
    std::string m = base;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !m.empty(); ++e) {
      const std::size_t at = rng() % m.size();
      switch (rng() % 3) {
        case 0:
          m[at] = static_cast<char>(rng() % 256);
          break;
        case 1:
          m.erase(at, 1 + rng() % 8);
          break;
        default:
          m.insert(at, 1, "{}[],:\"0-e"[rng() % 10]);
          break;
      }
    }
    bodies.push_back(m);
  }
  int refused = 0;
  for (const std::string& body : bodies) {
    for (const char* endpoint : endpoints) {
      auto r = Post(endpoint, body);
      ASSERT_TRUE(r) << endpoint;
      EXPECT_LT(r->status, 500) << endpoint << " " << body.substr(0, 80) << " -> " << r->body;
      if (r->status >= 400 && r->status != 409) {
        ++refused;
        const json answer = json::parse(r->body, nullptr, false);
        EXPECT_TRUE(answer.is_object() && answer.contains("error")) << endpoint << " " << r->body;
      }
    }
  }
  EXPECT_GT(refused, static_cast<int>(bodies.size()));

  // Beyond the body limit: refused before it is parsed.
  auto huge = Post("/api/state", std::string(2 << 20, ' '));
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->status, 413);

  // Many at once, from several clients; each gets its own answer.
  std::vector<std::thread> clients;
  std::atomic<int> ok{0}, bad{0};
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      for (int k = 0; k < 6; ++k) {
        const bool good = (c + k) % 2 == 0;
        const json body = {{"params", Params({{"levels", good ? 1 + (c + k) % 8 : 9}})},
                           {"frame", k}};
        auto r = Post("/api/state", body.dump());
        if (r && r->status == 200 && json::parse(r->body)["values"]["levels"] == 1 + (c + k) % 8) {
          ++ok;
        } else if (r && r->status == 400) {
          ++bad;
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(ok.load(), 24);
  EXPECT_EQ(bad.load(), 24);
  EXPECT_EQ(Client().Get("/api/document", Token())->status, 200);
}

}  // namespace
}  // namespace tamrel::host
