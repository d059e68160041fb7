// tamrel render --mesh as a user runs it: a model's texture set baked into its UV layout, what
// the report and the images' metadata say of the model, and bad models and options refused with
// one line and their exit code, leaving nothing behind.
#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/TamrelRun.h"

namespace {

using nlohmann::json;
using tamrel::testing::Result;

// A cube of edge 2 whose six faces are islands of a 3 x 2 atlas, with a gap between them; OBJ's
// texture coordinates run up from the bottom-left corner.
std::string CubeObj() {
  std::ostringstream obj;
  obj << "# cube\n";
  const int faces[6][4][3] = {
      {{-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}},      {{1, -1, 1}, {1, -1, -1}, {1, 1, -1}, {1, 1, 1}},
      {{1, -1, -1}, {-1, -1, -1}, {-1, 1, -1}, {1, 1, -1}},  {{-1, -1, -1}, {-1, -1, 1}, {-1, 1, 1}, {-1, 1, -1}},
      {{-1, 1, 1}, {1, 1, 1}, {1, 1, -1}, {-1, 1, -1}},      {{-1, -1, -1}, {1, -1, -1}, {1, -1, 1}, {-1, -1, 1}}};
  for (const auto& f : faces) {
    for (const auto& v : f) obj << "v " << v[0] << " " << v[1] << " " << v[2] << "\n";
  }
  for (int f = 0; f < 6; ++f) {
    const double u0 = (f % 3) / 3.0 + 0.02, v0 = (f / 3) / 2.0 + 0.02;
    const double u1 = u0 + 1.0 / 3.0 - 0.04, v1 = v0 + 0.5 - 0.04;
    obj << "vt " << u0 << " " << v0 << "\nvt " << u1 << " " << v0 << "\nvt " << u1 << " " << v1
        << "\nvt " << u0 << " " << v1 << "\n";
  }
  for (int f = 0; f < 6; ++f) {
    const int b = 4 * f + 1;
    obj << "f " << b << "/" << b << " " << b + 1 << "/" << b + 1 << " " << b + 2 << "/" << b + 2
        << " " << b + 3 << "/" << b + 3 << "\n";
  }
  return obj.str();
}

class MeshCli : public tamrel::testing::TamrelFolderTest {
 protected:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  static int Lines(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
  }
};

TEST_F(MeshCli, BakesATextureSetIntoTheModelsLayoutAndSaysSo) {
  Write("cube.obj", CubeObj());
  const Result r = Run(
      "render --mesh cube.obj --size 96 --samples 2 --padding 3 --set size=0.7 "
      "--maps color,normal,coverage,anisotropy -o cube_{map}.png");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("baked 12 triangles of cube.obj into UV set 1 (tangents generated)"),
            std::string::npos)
      << r.out;
  auto in = OIIO::ImageInput::open(Path("cube_coverage.png"));
  ASSERT_TRUE(in);
  std::vector<float> cover(96 * 96);
  ASSERT_TRUE(in->read_image(0, 0, 0, 1, OIIO::TypeDesc::FLOAT, cover.data()));
  const json description = json::parse(in->spec().get_string_attribute("ImageDescription"));
  in->close();
  const json& mesh = description["tamrel"]["mesh"];
  EXPECT_EQ(description["tamrel"]["geometry"], "mesh");
  EXPECT_EQ(mesh["file"], "cube.obj");
  EXPECT_EQ(mesh["triangles"], 12);
  EXPECT_EQ(mesh["uv_set"], 1);
  EXPECT_EQ(mesh["padding"], 3);
  // The islands: each a third of the width less 4 %, half the height less 4 %; the gaps empty.
  // OBJ's v runs up, so the first face (v from 0.02) lies at the image's bottom-left.
  const auto at = [&](double u, double v) {
    return cover[static_cast<int>((1.0 - v) * 96) * 96 + static_cast<int>(u * 96)];
  };
  EXPECT_EQ(at(0.15, 0.25), 1.0f);
  EXPECT_EQ(at(0.5, 0.75), 1.0f);
  EXPECT_EQ(at(0.005, 0.005), 0.0f);
  EXPECT_EQ(at(0.333, 0.5), 0.0f);
  double covered = 0;
  for (float c : cover) covered += c;
  // Six islands of (1/3 - 0.04) x (1/2 - 0.04) of the image.
  EXPECT_NEAR(covered / static_cast<double>(cover.size()), 6 * (1.0 / 3 - 0.04) * 0.46, 0.02);

  const Result j = Run("render --mesh cube.obj --size 32 --samples 1 --json --maps height,coverage "
                       "--type float -o c_{map}.exr --uv 1");
  ASSERT_EQ(j.code, 0) << j.err;
  const json report = json::parse(j.out);
  EXPECT_EQ(report["mesh"]["triangles"], 12);
  EXPECT_EQ(report["mesh"]["tangents"], "generated");
  EXPECT_EQ(report["mesh"]["instances"].size(), 1u);
  // One sample a texel: the share of texel centres inside the six islands, counted here.
  int inside = 0;
  for (int f = 0; f < 6; ++f) {
    const double u0 = (f % 3) / 3.0 + 0.02, v0 = (f / 3) / 2.0 + 0.02;
    const double u1 = u0 + 1.0 / 3.0 - 0.04, v1 = v0 + 0.5 - 0.04;
    int across = 0, down = 0;
    for (int x = 0; x < 32; ++x) across += (x + 0.5) / 32 >= u0 && (x + 0.5) / 32 <= u1;
    for (int y = 0; y < 32; ++y) down += 1.0 - (y + 0.5) / 32 >= v0 && 1.0 - (y + 0.5) / 32 <= v1;
    inside += across * down;
  }
  EXPECT_DOUBLE_EQ(report["mesh"]["coverage"].get<double>(), inside / 1024.0);
}

TEST_F(MeshCli, BadModelsAndOptionsAreRefusedWithOneLine) {
  Write("cube.obj", CubeObj());
  Write("junk.glb", std::string("glTF\x02\0\0\0\x10\0\0\0garbage", 20));
  Write("lines.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nl 1 2\nl 2 3\n");
  Write("nouv.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  struct Case {
    std::string args;
    int code;
    const char* mustSay;
  };
  const Case cases[] = {
      {"--mesh missing.glb", 3, "missing.glb"},
      {"--mesh junk.glb", 3, "junk.glb"},
      {"--mesh lines.obj", 3, "lines.obj"},
      {"--mesh nouv.obj", 3, "nouv.obj"},
      {"--uv 2", 2, "--uv needs a model (--mesh)"},
      {"--padding 4", 2, "--padding needs a model (--mesh)"},
      {"--padding 0", 2, "--padding needs a model (--mesh)"},
      {"--mesh cube.obj --geometry sphere", 2, "excludes"},
      {"--mesh cube.obj --offset 3,4", 2, "excludes"},
      {"--mesh cube.obj --tileable", 2, "not a model's UV layout"},
      {"--mesh cube.obj --uv 2", 2, "--uv 2 is not a UV set of cube.obj, which has 1 set"},
      {"--mesh cube.obj --padding 257", 2, "--padding"},
      {"--mesh cube.obj --set xyz_map=0 --set xyz_chan=2", 3, "has 1 UV set, but the map reads map channel 2"},
      {"--mesh cube.obj --set xyz_map=1 --set xyz_chan=0", 2, "map channel 0"},
  };
  for (const Case& c : cases) {
    const Result r = Run("render --size 16 -o out.png " + c.args);
    EXPECT_EQ(r.code, c.code) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.mustSay), std::string::npos) << c.args << " -> " << r.err;
    EXPECT_EQ(Lines(r.err), 1) << c.args << " -> " << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out.png")) << c.args;
  }
  // A map that reads a map channel takes that channel; a --uv that says otherwise is a warning.
  const Result w = Run("render --size 16 -o out.png --mesh cube.obj --set xyz_map=0 --uv 1");
  EXPECT_EQ(w.code, 0) << w.err;
  EXPECT_EQ(w.err, "");
}

}  // namespace
