// Bakes into a model's UV layout, against what they must agree with: a quad that is the plane
// bakes the plane's images; texels on either side of a UV seam that show one surface point hold
// one height; a normal is taken on the surface, so an island's border texels do not depend on
// what lies beyond the island; the tangent frame's +y is the layout's +v; and padding, coverage,
// instances, overlaps, regions and thread counts behave as documented.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/Bake.h"
#include "engine/MeshSource.h"
#include "mesh/MeshModel.h"
#include "tests/PluginFixture.h"

namespace tamrel::host {
namespace {

using mesh::MeshInstance;
using mesh::MeshModel;
using mesh::MeshPart;
using mesh::Tangent;

// A quad as two triangles, corners counter-clockwise from the first, each with its UV, a normal
// and a tangent for the first UV set (none when tangent is left zero).
void AddQuad(MeshPart& part, const Point3 (&p)[4], const Point2 (&uv)[4], const Point3& n,
             const Tangent& t = {}) {
  const auto base = static_cast<std::uint32_t>(part.positions.size());
  if (part.uvSets.empty()) part.uvSets.resize(1);
  for (int k = 0; k < 4; ++k) {
    part.positions.push_back(p[k]);
    part.normals.push_back(n);
    part.uvSets[0].push_back(uv[k]);
    if (Length(t.t) > 0.0f) part.fileTangents.push_back(t);
  }
  for (std::uint32_t i : {0u, 1u, 2u, 0u, 2u, 3u}) part.indices.push_back(base + i);
}

std::shared_ptr<MeshModel> OnePart(MeshPart part) {
  auto model = std::make_shared<MeshModel>();
  model->source = "test";
  model->parts.push_back(std::move(part));
  model->instances.push_back(MeshInstance{"quad", 0, {}});
  return model;
}

// The plane of a view of the given extent, as one quad: UV (0, 0) at its bottom-left corner.
std::shared_ptr<MeshModel> PlaneQuad(float extent) {
  const float a = extent / 2.0f;
  MeshPart part;
  AddQuad(part, {{-a, -a, 0.0f}, {a, -a, 0.0f}, {a, a, 0.0f}, {-a, a, 0.0f}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}},
          {0.0f, 0.0f, 1.0f}, {{1.0f, 0.0f, 0.0f}, 1.0f});
  return OnePart(std::move(part));
}

BakeSettings MeshSettings(std::shared_ptr<const MeshModel> model, int size, int padding,
                          std::vector<MapKind> maps, int uvSet = 0) {
  BakeSettings s;
  s.view.geometry = Geometry::MESH;
  s.view.width = s.view.height = size;
  s.mesh = PrepareMeshBake(std::move(model), uvSet, padding);
  s.maps = std::move(maps);
  s.samples = 1;
  s.render.threads = 2;
  return s;
}

std::vector<Raster> Bake(Texmap& map, const BakeSettings& s, BakeOutcome* outcome = nullptr) {
  std::vector<Raster> out;
  EXPECT_TRUE(BakeFrame(map, 0, s, out, outcome));
  return out;
}

// Decodes an encoded tangent-space vector.
Point3 Decode(const float* p) {
  return Point3(p[0] * 2.0f - 1.0f, p[1] * 2.0f - 1.0f, p[2] * 2.0f - 1.0f);
}

float AngleDeg(const Point3& a, const Point3& b) {
  const float c = DotProd(Normalize(a), Normalize(b));
  return std::acos(std::clamp(c, -1.0f, 1.0f)) * 57.2957795f;
}

class MeshBakeTest : public PluginFixture {};

TEST_F(MeshBakeTest, AQuadThatIsThePlaneBakesThePlanesImages) {
  Texmap* map = NewMap({"size=7", "erosion=0.4"});
  const std::vector<MapKind> maps = {MapKind::COLOR,     MapKind::HEIGHT,     MapKind::NORMAL_GL,
                                     MapKind::ROUGHNESS, MapKind::ANISOTROPY, MapKind::COVERAGE};
  for (int samples : {1, 4}) {
    BakeSettings plane;
    plane.view.width = plane.view.height = 48;
    plane.view.extent = 30.0f;
    plane.maps = maps;
    plane.samples = samples;
    plane.roughnessSurface = 0.2f;
    BakeSettings quad = MeshSettings(PlaneQuad(30.0f), 48, 0, maps);
    quad.samples = samples;
    quad.roughnessSurface = 0.2f;
    const std::vector<Raster> a = Bake(*map, plane), b = Bake(*map, quad);
    ASSERT_EQ(a.size(), b.size());
    // The positions differ by float rounding (the plane computes them in float from the pixel,
    // the quad interpolates them in double), so values agree to rounding, not to the bit; the
    // normal and anisotropy maps are normalised along different paths.
    for (std::size_t m = 0; m < maps.size(); ++m) {
      float worst = 0.0f;
      int off = 0;
      for (std::size_t i = 0; i < a[m].pixels.size(); ++i) {
        const float d = std::fabs(a[m].pixels[i] - b[m].pixels[i]);
        worst = std::max(worst, d);
        off += d > 2e-3f;
      }
      // Where a pixel's samples hold grains at right angles (levels crossing), their mean
      // direction cancels to nothing and rounding turns what is left: 1 to 2 % of the pixels of
      // this pattern at 4 samples, and only in the anisotropy map.
      if (maps[m] == MapKind::ANISOTROPY) {
        EXPECT_LE(off, samples == 1 ? 0 : 48 * 48 * 3 / 50)
            << "anisotropy with " << samples << " samples";
      } else {
        EXPECT_LT(worst, 2e-3f) << MapKindName(maps[m]) << " with " << samples << " samples";
      }
    }
    // Every texel is covered.
    EXPECT_EQ(*std::min_element(b[5].pixels.begin(), b[5].pixels.end()), 1.0f);
  }
}

// A cube of edge 2a whose six faces are separate islands of a 3 x 2 atlas, each face's island
// `cells` texels square with its edges through the centres of its outermost texels, so that the
// texels along an edge of two faces show exactly the points of that edge.
struct CubeAtlas {
  int cells = 16, size = 0;
  float a = 4.0f;
  std::shared_ptr<MeshModel> model;
};

CubeAtlas MakeCube() {
  CubeAtlas c;
  const int gap = 4;
  // 64 texels: the UVs of texel centres are exact in float.
  c.size = 64;
  const float a = c.a;
  // Face f's island: texel centres (ox + 0.5 .. ox + cells - 0.5, oy + 0.5 .. ), as UVs.
  auto island = [&](int f, Point2 (&uv)[4]) {
    const double ox = (f % 3) * (c.cells + gap) + 2.0, oy = (f / 3) * (c.cells + gap) + 2.0;
    const double lo = 0.5, hi = c.cells - 0.5;
    auto at = [&](double x, double y) {
      return Point2(static_cast<float>((ox + x) / c.size),
                    static_cast<float>(1.0 - (oy + y) / c.size));
    };
    // Corners: bottom-left, bottom-right, top-right, top-left of the island in the image.
    uv[0] = at(lo, hi);
    uv[1] = at(hi, hi);
    uv[2] = at(hi, lo);
    uv[3] = at(lo, lo);
  };
  MeshPart part;
  struct Face {
    Point3 o, u, v, n;  // a corner, the directions of +u and +v on the face, the outer normal
  };
  const Face faces[6] = {
      {{-a, -a, a}, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 1.0f}},    // front, z = +a
      {{a, -a, a}, {0.0f, 0.0f, -1.0f}, {0.0f, 1.0f, 0.0f}, {1.0f, 0.0f, 0.0f}},    // right, x = +a
      {{a, -a, -a}, {-1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, -1.0f}},  // back
      {{-a, -a, -a}, {0.0f, 0.0f, 1.0f}, {0.0f, 1.0f, 0.0f}, {-1.0f, 0.0f, 0.0f}},  // left
      {{-a, a, a}, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -1.0f}, {0.0f, 1.0f, 0.0f}},    // top, y = +a
      {{-a, -a, -a}, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f}, {0.0f, -1.0f, 0.0f}},  // bottom
  };
  for (int f = 0; f < 6; ++f) {
    const Face& F = faces[f];
    const Point3 p[4] = {F.o, F.o + F.u * (2 * a), F.o + F.u * (2 * a) + F.v * (2 * a),
                         F.o + F.v * (2 * a)};
    Point2 uv[4];
    island(f, uv);
    AddQuad(part, p, uv, F.n);
  }
  c.model = OnePart(std::move(part));
  return c;
}

// The texel of face f's island at island texel (i, j), i across, j down.
int AtlasX(const CubeAtlas& c, int f, int i) { return (f % 3) * (c.cells + 4) + 2 + i; }
int AtlasY(const CubeAtlas& c, int f, int j) { return (f / 3) * (c.cells + 4) + 2 + j; }

TEST_F(MeshBakeTest, TexelsOnEitherSideOfASeamHoldTheHeightOfTheirCommonPoint) {
  Texmap* map = NewMap({"size=1.5", "thresholdLow=0.45", "spread=1", "levels=4"});
  const CubeAtlas cube = MakeCube();
  for (bool filter : {false, true}) {
    BakeSettings s = MeshSettings(cube.model, cube.size, 0, {MapKind::HEIGHT, MapKind::COVERAGE});
    s.filter = filter;
    const std::vector<Raster> r = Bake(*map, s);
    const Raster& h = r[0];
    // The front face's top row and the top face's bottom row both run along the edge y = z = a,
    // x from -a to a, in the same direction.
    float worst = 0.0f, spread = 0.0f;
    for (int i = 0; i < cube.cells; ++i) {
      const float front = h.Pixel(AtlasX(cube, 0, i), AtlasY(cube, 0, 0))[0];
      const float top = h.Pixel(AtlasX(cube, 4, i), AtlasY(cube, 4, cube.cells - 1))[0];
      worst = std::max(worst, std::fabs(front - top));
      spread = std::max(spread, std::fabs(front - h.Pixel(AtlasX(cube, 0, i), AtlasY(cube, 0, 3))[0]));
      EXPECT_EQ(r[1].Pixel(AtlasX(cube, 0, i), AtlasY(cube, 0, 0))[0], 1.0f);
    }
    // The same point unfiltered is the same height to rounding; filtered, the footprints of the
    // two faces lie in different planes and differ a little.
    EXPECT_LT(worst, filter ? 0.05f : 1e-4f) << "filter " << filter;
    // The edge is not trivially flat: heights three texels in differ.
    EXPECT_GT(spread, 0.05f);
    // Right face's left column against the front face's right column: the edge x = z = a.
    worst = 0.0f;
    for (int j = 0; j < cube.cells; ++j) {
      const float front = h.Pixel(AtlasX(cube, 0, cube.cells - 1), AtlasY(cube, 0, j))[0];
      const float right = h.Pixel(AtlasX(cube, 1, 0), AtlasY(cube, 1, j))[0];
      worst = std::max(worst, std::fabs(front - right));
    }
    EXPECT_LT(worst, filter ? 0.05f : 1e-4f) << "filter " << filter;
  }
}

TEST_F(MeshBakeTest, NormalsAreTakenOnTheSurfaceNotFromNeighbouringTexels) {
  // The same face alone and with its plane carried on beyond the island: the island's texels
  // show the same points either way, and so must their normals, border texels included (texel
  // differences would see the empty background beyond the small island's border).
  Texmap* map = NewMap({"size=2"});
  const int n = 40;
  auto face = [&](double lo, double hi) {
    // Texels lo .. hi of the image carry positions x = texel * 0.25 - 5 across, likewise y up.
    auto pos = [](double t) { return static_cast<float>(t * 0.25 - 5.0); };
    MeshPart part;
    const float a = pos(lo), b = pos(hi);
    const float u0 = static_cast<float>(lo / n), u1 = static_cast<float>(hi / n);
    AddQuad(part, {{a, -b, 0.0f}, {b, -b, 0.0f}, {b, -a, 0.0f}, {a, -a, 0.0f}},
            {{u0, 1 - u1}, {u1, 1 - u1}, {u1, 1 - u0}, {u0, 1 - u0}}, {0.0f, 0.0f, 1.0f},
            {{1.0f, 0.0f, 0.0f}, 1.0f});
    return OnePart(std::move(part));
  };
  const std::vector<MapKind> maps = {MapKind::NORMAL_GL, MapKind::HEIGHT, MapKind::COVERAGE};
  const std::vector<Raster> small = Bake(*map, MeshSettings(face(12, 28), n, 0, maps));
  const std::vector<Raster> wide = Bake(*map, MeshSettings(face(4, 36), n, 0, maps));
  int compared = 0;
  for (int y = 12; y < 28; ++y) {
    for (int x = 12; x < 28; ++x) {
      ASSERT_EQ(small[2].Pixel(x, y)[0], 1.0f);
      const Point3 a = Decode(small[0].Pixel(x, y)), b = Decode(wide[0].Pixel(x, y));
      EXPECT_LT(AngleDeg(a, b), 0.05f) << x << "," << y;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 256);
  // Off the small island, nothing: no coverage, and the flat normal.
  EXPECT_EQ(small[2].Pixel(11, 20)[0], 0.0f);
  EXPECT_EQ(small[0].Pixel(11, 20)[0], 0.5f);
  EXPECT_EQ(small[0].Pixel(11, 20)[2], 1.0f);
}

TEST_F(MeshBakeTest, TheNormalLeansAgainstTheHeightsSlopeInTheLayoutsFrame) {
  // A face whose layout is turned a quarter: +u runs along -y of the object, +v along +x. The
  // normal map's red must follow the height's slope along +u and its green the slope along +v
  // (OpenGL convention: green up the layout), read from the height map's own texels.
  Texmap* map = NewMap({"size=3"});
  const int n = 48;
  const float a = 6.0f;
  MeshPart part;
  // Corners in the order of the layout's bottom-left, bottom-right, top-right, top-left.
  AddQuad(part, {{-a, a, 0.0f}, {-a, -a, 0.0f}, {a, -a, 0.0f}, {a, a, 0.0f}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}},
          {0.0f, 0.0f, 1.0f}, {{0.0f, -1.0f, 0.0f}, 1.0f});
  BakeSettings s = MeshSettings(OnePart(std::move(part)), n, 0,
                                {MapKind::NORMAL_GL, MapKind::NORMAL_DX, MapKind::HEIGHT});
  s.bumpScale = 0.7f;
  s.filter = false;
  const std::vector<Raster> r = Bake(*map, s);
  const float texel = 2.0f * a / n / 3.0f;  // one texel in pattern units ("size" 3)
  int compared = 0, tilted = 0;
  for (int y = 2; y < n - 2; ++y) {
    for (int x = 2; x < n - 2; ++x) {
      const Raster& h = r[2];
      const float du = (h.Pixel(x + 1, y)[0] - h.Pixel(x - 1, y)[0]) / (2.0f * texel);
      const float dv = (h.Pixel(x, y - 1)[0] - h.Pixel(x, y + 1)[0]) / (2.0f * texel);
      const Point3 expected(-0.7f * du, -0.7f * dv, 1.0f);
      const Point3 gl = Decode(r[0].Pixel(x, y)), dx = Decode(r[1].Pixel(x, y));
      EXPECT_LT(AngleDeg(gl, expected), 1.0f) << x << "," << y;
      // DirectX flips green only.
      EXPECT_NEAR(dx.y, -gl.y, 1e-6f);
      EXPECT_NEAR(dx.x, gl.x, 1e-6f);
      tilted += AngleDeg(expected, Point3(0.0f, 0.0f, 1.0f)) > 5.0f;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 44 * 44);
  EXPECT_GT(tilted, compared / 10);  // the comparison is not of flat normals only
}

TEST_F(MeshBakeTest, PaddingExtendsIslandsAndCoverageSaysWhereTheSurfaceIs) {
  Texmap* map = NewMap();
  const int n = 32;
  MeshPart part;
  // One island, texels 8 .. 16 across and down.
  const float u0 = 8.0f / n, u1 = 16.0f / n;
  AddQuad(part, {{0.0f, 0.0f, 0.0f}, {4.0f, 0.0f, 0.0f}, {4.0f, 4.0f, 0.0f}, {0.0f, 4.0f, 0.0f}},
          {{u0, 1 - u1}, {u1, 1 - u1}, {u1, 1 - u0}, {u0, 1 - u0}}, {0.0f, 0.0f, 1.0f}, {{1.0f, 0.0f, 0.0f}, 1.0f});
  const auto model = OnePart(std::move(part));
  const std::vector<MapKind> maps = {MapKind::COLOR, MapKind::COVERAGE, MapKind::HEIGHT};
  BakeSettings s = MeshSettings(model, n, 3, maps);
  s.samples = 4;
  BakeOutcome outcome;
  const std::vector<Raster> r = Bake(*map, s, &outcome);
  EXPECT_EQ(outcome.coveredPixels, 64);
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const bool inside = x >= 8 && x < 16 && y >= 8 && y < 16;
      const int away = std::max({8 - x, x - 15, 8 - y, y - 15, 0});
      EXPECT_EQ(r[1].Pixel(x, y)[0], inside ? 1.0f : 0.0f) << x << "," << y;
      // Colour alpha is 1 on the island and as far as the padding reaches, 0 beyond.
      EXPECT_EQ(r[0].Pixel(x, y)[3], away <= 3 ? 1.0f : 0.0f) << x << "," << y;
    }
  }
  // A texel padded from one side takes its neighbour's value: the row above the island's top
  // row copies the mean of the three texels below it.
  const float below = (r[2].Pixel(9, 8)[0] + r[2].Pixel(10, 8)[0] + r[2].Pixel(11, 8)[0]) / 3.0f;
  EXPECT_FLOAT_EQ(r[2].Pixel(10, 7)[0], below);

  // Without padding the empty texels stay empty; a region bake gives the full bake's values,
  // padding included, on any thread count.
  const std::vector<Raster> bare = Bake(*map, MeshSettings(model, n, 0, maps));
  EXPECT_EQ(bare[0].Pixel(7, 10)[3], 0.0f);
  BakeSettings region = s;
  region.region = {5, 6, 20, 13};
  region.render.threads = 1;
  region.bandRows = 3;
  const std::vector<Raster> part2 = Bake(*map, region);
  for (std::size_t m = 0; m < maps.size(); ++m) {
    for (int y = 6; y < 13; ++y) {
      for (int x = 5; x < 20; ++x) {
        for (int c = 0; c < r[m].channels; ++c) {
          ASSERT_EQ(part2[m].Pixel(x - 5, y - 6)[c], r[m].Pixel(x, y)[c]) << x << "," << y;
        }
      }
    }
  }
}

TEST_F(MeshBakeTest, EdgeTexelsAverageTheirCoveredSamplesOnly) {
  // A triangle's diagonal cuts texels in half: their colour is the surface's, not darkened by
  // the empty half, and their coverage says how many of the samples showed it.
  Texmap* map = NewMap({"color1=0.8,0.8,0.8", "color2=0.8,0.8,0.8"});
  const int n = 8;
  MeshPart part;
  part.uvSets.resize(1);
  part.positions = {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}};
  part.normals.assign(3, Point3(0.0f, 0.0f, 1.0f));
  part.uvSets[0] = {{0, 0}, {1, 0}, {0, 1}};
  part.fileTangents.assign(3, Tangent{{1.0f, 0.0f, 0.0f}, 1.0f});
  part.indices = {0, 1, 2};
  BakeSettings s = MeshSettings(OnePart(std::move(part)), n, 0, {MapKind::COLOR, MapKind::COVERAGE});
  s.samples = 16;
  const std::vector<Raster> r = Bake(*map, s);
  int partial = 0;
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const float cover = r[1].Pixel(x, y)[0];
      if (cover == 0.0f) continue;
      EXPECT_FLOAT_EQ(r[0].Pixel(x, y)[0], 0.8f) << x << "," << y;
      partial += cover < 1.0f;
    }
  }
  EXPECT_EQ(partial, 8);  // the texels along the diagonal
  // u + v <= 1 is the image's bottom-left half (v runs up): x below y.
  EXPECT_EQ(r[1].Pixel(1, 6)[0], 1.0f);
  EXPECT_EQ(r[1].Pixel(6, 1)[0], 0.0f);
}

TEST_F(MeshBakeTest, InstancesAreObjectsOfTheirOwnAndOverlapsShowTheFirst) {
  // Two parts with the same positions, laid out side by side: with random offsets by object,
  // each instance gets its own scratches; without variance they are the same.
  auto twoParts = [](bool overlap) {
    auto model = std::make_shared<MeshModel>();
    model->source = "two";
    for (int k = 0; k < 2; ++k) {
      MeshPart part;
      const float u0 = overlap ? 0.0f : 0.5f * static_cast<float>(k), u1 = u0 + 0.5f;
      AddQuad(part, {{-4.0f, -4.0f, 0.0f}, {4.0f, -4.0f, 0.0f}, {4.0f, 4.0f, 0.0f}, {-4.0f, 4.0f, 0.0f}},
              {{u0, 0}, {u1, 0}, {u1, 1}, {u0, 1}}, {0.0f, 0.0f, 1.0f}, {{1.0f, 0.0f, 0.0f}, 1.0f});
      part.material = k;
      model->parts.push_back(std::move(part));
      model->instances.push_back(MeshInstance{"part " + std::to_string(k), std::size_t(k), {}});
    }
    return model;
  };
  const int n = 32;
  auto halvesDiffer = [&](Texmap* map) {
    const std::vector<Raster> r = Bake(*map, MeshSettings(twoParts(false), n, 0, {MapKind::HEIGHT}));
    float diff = 0.0f;
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < n / 2; ++x) {
        diff = std::max(diff, std::fabs(r[0].Pixel(x, y)[0] - r[0].Pixel(x + n / 2, y)[0]));
      }
    }
    return diff;
  };
  EXPECT_EQ(halvesDiffer(NewMap({"size=3"})), 0.0f);
  EXPECT_GT(halvesDiffer(NewMap({"size=3", "xyz_offset_x2=5", "randByObj=1"})), 0.1f);
  // By material alone: the two parts' materials differ, so do their scratches.
  EXPECT_GT(halvesDiffer(NewMap({"size=3", "xyz_offset_x2=5", "randByObj=0", "randByMat=1"})),
            0.1f);
  EXPECT_EQ(halvesDiffer(NewMap({"size=3", "xyz_offset_x2=5", "randByObj=0", "randByMat=0"})),
            0.0f);

  // Overlapping layouts: the texels show the first instance. Baked with variance by object,
  // the overlap equals a bake of the first part alone.
  Texmap* varied = NewMap({"size=3", "xyz_offset_x2=5"});
  const std::vector<Raster> both = Bake(*varied, MeshSettings(twoParts(true), n, 0, {MapKind::HEIGHT}));
  auto first = twoParts(true);
  first->instances.pop_back();
  const std::vector<Raster> alone = Bake(*varied, MeshSettings(first, n, 0, {MapKind::HEIGHT}));
  EXPECT_EQ(both[0].pixels, alone[0].pixels);
}

TEST_F(MeshBakeTest, TheSameBitsOnEveryThreadCountAndBand) {
  Texmap* map = NewMap({"size=2"});
  const CubeAtlas cube = MakeCube();
  const std::vector<MapKind> maps = {MapKind::COLOR, MapKind::NORMAL_GL, MapKind::ANISOTROPY,
                                     MapKind::COVERAGE};
  BakeSettings one = MeshSettings(cube.model, cube.size, 5, maps);
  one.samples = 2;
  one.render.threads = 1;
  BakeSettings many = one;
  many.render.threads = 4;
  many.bandRows = 7;
  many.render.tileSize = 5;
  const std::vector<Raster> a = Bake(*map, one), b = Bake(*map, many);
  for (std::size_t m = 0; m < maps.size(); ++m) EXPECT_EQ(a[m].pixels, b[m].pixels) << m;
}

TEST(MeshSourceTest, ASampleOnASharedEdgeBelongsToTheFirstTriangle) {
  // The quad's diagonal runs through texel centres of a 4 x 4 image: those samples belong to the
  // first triangle, those beside it to the triangle they lie in, and none falls through.
  MeshPart part;
  AddQuad(part, {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 0.0f}, {0.0f, 1.0f, 0.0f}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}},
          {0.0f, 0.0f, 1.0f}, {{1.0f, 0.0f, 0.0f}, 1.0f});
  const MeshSource source(PrepareMeshBake(OnePart(std::move(part)), 0, 0), 4, 4, 1, true);
  std::uint32_t instance = 9, triangle = 9;
  // Triangle 0 is (0,0),(1,0),(1,1) in UV: below the diagonal u = v, the image's bottom-right.
  ASSERT_TRUE(source.Locate(2.5, 1.5, instance, triangle));  // u 0.625, v 0.625: on it
  EXPECT_EQ(triangle, 0u);
  ASSERT_TRUE(source.Locate(3.5, 2.5, instance, triangle));  // u 0.875, v 0.375
  EXPECT_EQ(triangle, 0u);
  ASSERT_TRUE(source.Locate(0.5, 1.5, instance, triangle));  // u 0.125, v 0.625
  EXPECT_EQ(triangle, 1u);
  EXPECT_EQ(instance, 0u);
  for (double y = 0.0; y < 4.0; y += 0.125) {
    for (double x = 0.0; x < 4.0; x += 0.125) {
      EXPECT_TRUE(source.Locate(x, y, instance, triangle)) << x << "," << y;
    }
  }
  EXPECT_FALSE(source.Locate(4.0, 1.0, instance, triangle));
  EXPECT_FALSE(source.Locate(-0.01, 1.0, instance, triangle));
}

TEST(MeshSourceTest, TheFilesTangentsServeTheFirstUvSetOnly) {
  MeshPart part;
  AddQuad(part, {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 0.0f}, {0.0f, 1.0f, 0.0f}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}},
          {0.0f, 0.0f, 1.0f}, {{0.0f, 1.0f, 0.0f}, -1.0f});
  // A second set turned a quarter: +u along +y.
  part.uvSets.push_back({{0, 1}, {0, 0}, {1, 0}, {1, 1}});
  const auto model = OnePart(std::move(part));
  const auto first = PrepareMeshBake(model, 0, 0);
  ASSERT_EQ(first->tangentsFromFile[0], 1);
  EXPECT_EQ(first->cornerTangents[0][4].t, Point3(0.0f, 1.0f, 0.0f));
  EXPECT_EQ(first->cornerTangents[0][4].w, -1.0f);
  const auto second = PrepareMeshBake(model, 1, 0);
  ASSERT_EQ(second->tangentsFromFile[0], 0);
  // Generated for the second set: u grows with y and v falls with x, so the tangent is +y and
  // the bitangent (+v) is -x = cross(+z, +y): right-handed.
  for (const Tangent& t : second->cornerTangents[0]) {
    EXPECT_NEAR(t.t.x, 0.0f, 1e-6f);
    EXPECT_NEAR(t.t.y, 1.0f, 1e-6f);
    EXPECT_NEAR(t.t.z, 0.0f, 1e-6f);
    EXPECT_EQ(t.w, 1.0f);
  }
}

}  // namespace
}  // namespace tamrel::host
