// Baking: one frame of a map rendered through its shading interface into a set of maps at once
// (colour, mono, height, normal maps, roughness, anisotropy) on one preview geometry. Every sample
// is evaluated once and every map is filled from that evaluation. Pixels take several samples in
// a fixed stratified pattern and a box filter; the image is produced in bands of rows, so memory
// does not grow with its size, and any rectangle of it can be baked alone to the same values.
// The map is updated once for the frame before any sample is shaded; the samples then only read
// it, over as many threads as asked, and the result is the same bits for every thread count.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/RenderEngine.h"
#include "engine/SampleGeometry.h"
#include "imtl.h"

class ITamrelTileable;

namespace tamrel::host {
struct MeshBake;
}

namespace tamrel::host {

enum class MapKind {
  COLOR,
  MONO,
  HEIGHT,
  NORMAL_GL,
  NORMAL_DX,
  ROUGHNESS,
  ANISOTROPY,
  COVERAGE,
  ORM,              // occlusion, roughness, metallic: glTF's packed metallic-roughness texture
  ANISOTROPY_GLTF,  // the anisotropy as glTF's KHR_materials_anisotropy reads it
};
enum class NormalConvention { OPENGL, DIRECTX };

// The names a map is asked for by: "color", "mono", "height", "normal" (in the convention given),
// "normal-gl", "normal-dx", "roughness", "anisotropy", "coverage", "orm", "anisotropy-gltf".
// False for anything else.
bool ParseMapName(const std::string& name, NormalConvention convention, MapKind& kind);
// Every name ParseMapName takes, in the order above, joined by ", ".
const char* MapNames();
// "color", "mono", "height", "normal-gl", "normal-dx", "roughness", "anisotropy", "coverage",
// "orm", "anisotropy-gltf".
const char* MapKindName(MapKind kind);
// Colour carries alpha; mono, height, roughness and coverage are one channel; normals, both
// anisotropy maps and orm three. Coverage is the share of a pixel's samples that show the
// surface: 1 on the plane, 0 beside the sphere and off a model's UV islands.
//
// orm packs what glTF's metallic-roughness material reads from one texture: red the occlusion
// (1: the bake knows of none), green the roughness map's value, blue the metallic, blended by the
// intensity as the roughness is. anisotropy-gltf is the anisotropy map in the meaning of glTF's
// anisotropy extension: red and green the direction along which the surface is rougher, which is
// across the winning strand (the anisotropy map's direction turned a quarter turn), from [-1, 1]
// to [0, 1]; blue the strength, 1 - intensity (0 on the untouched surface, 1 in a scratch's
// middle), where the anisotropy map's blue is the intensity itself.
int MapChannels(MapKind kind);
// Everything but colour is data: written linear, never sRGB-encoded.
bool IsDataMap(MapKind kind);
inline bool IsNormalMap(MapKind kind) {
  return kind == MapKind::NORMAL_GL || kind == MapKind::NORMAL_DX;
}
// The maps that carry the strands' direction.
inline bool IsAnisotropyMap(MapKind kind) {
  return kind == MapKind::ANISOTROPY || kind == MapKind::ANISOTROPY_GLTF;
}

// A bake the map or geometry cannot give (a normal map of the sphere, a map without the baking
// interface).
class BakeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A pixel rectangle x0 <= x < x1, y0 <= y < y1 of the full image; empty means all of it.
struct Region {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool Empty() const { return x1 <= x0 || y1 <= y0; }
  int Width() const { return x1 - x0; }
  int Height() const { return y1 - y0; }
};

// Largest image edge the host accepts; a colour raster of this size already takes 4 GiB.
inline constexpr int kMaxImageEdge = 16384;

// Largest view offset in pixels either way; pixel positions stay exact in float up to 2^24.
inline constexpr int kMaxOffset = 1048576;

// Last frame the host renders: its time in ticks must fit the SDK's int TimeValue.
inline constexpr int kMaxFrame = 1000000;

inline constexpr int kDefaultSamples = 4;
inline constexpr int kMaxSamples = 4096;

struct BakeSettings {
  View view;
  // Bake a field that repeats exactly every view.width pixels across and down (the plane only;
  // the map and its sub-maps in use must be able to repeat, or the bake is refused). The samples
  // of every pixel sit at the same sub-pixel positions, on a grid of 1/16 pixel.
  bool tileable = false;
  // The model of a Geometry::MESH view, prepared for its UV set.
  std::shared_ptr<const MeshBake> mesh;
  std::vector<MapKind> maps{MapKind::COLOR};
  bool filter = true;      // the shade context's filterMaps
  float bumpScale = 1.0f;  // strength of the height in normal maps and of the bump on the sphere
  int samples = kDefaultSamples;  // per pixel
  float roughnessSurface = 0.3f, roughnessScratch = 0.6f;
  float metallicSurface = 0.0f, metallicScratch = 0.0f;  // the orm map's blue, blended likewise
  Region region;            // empty: the whole image
  int bandRows = 32;        // rows rendered and handed on at a time
  RenderOptions render;     // threads, tile size and cancel; its progress is not used
  // Hand the map shade contexts sample by sample even where the source fills arrays and the map
  // evaluates runs of them. The pixels are the same bits either way; this is for checking that.
  bool perSampleShading = false;
  // Called from the calling thread now and then with pixels done out of all, and at the end.
  std::function<void(std::int64_t done, std::int64_t total)> progress;
};

// Empty when the settings can be baked; otherwise why not, in one line.
std::string CheckBakeSettings(const BakeSettings& settings);
// The unit normal n bent by scale times the part of perturb across the surface; finite and of unit
// length for every finite scale, n itself when perturb is not finite.
Point3 BentNormal(const Point3& n, const Point3& perturb, float scale);

// How far a tileable bake moved the scratches' look to make them repeat: the worst relative change
// of their length and width, of their direction in degrees, and of the erosion noise's scale.
struct TileNudge {
  double length = 0.0, width = 0.0, angleDeg = 0.0, erosion = 0.0;
};

// Holds a map in its tileable state for the length of a bake (nothing when not asked for);
// throws BakeError when the map or its sub-maps cannot repeat.
class TileBracket {
 public:
  TileBracket(Texmap& map, const BakeSettings& settings);
  ~TileBracket();
  TileBracket(const TileBracket&) = delete;
  TileBracket& operator=(const TileBracket&) = delete;
  TileNudge nudge;

 private:
  ITamrelTileable* tile_ = nullptr;
};

// The rectangle a bake covers: the region, or the whole image.
Region BakeRegion(const BakeSettings& settings);

// The sub-pixel position of sample i of n, in [0, 1)^2: x stratified in n equal columns, y by the
// golden-ratio sequence, so every count is spread evenly and sample 0 of 1 is the pixel's centre.
void SamplePosition(int i, int n, float& x, float& y);
// The position a tileable bake takes instead: SamplePosition's rounded to the nearest 1/16 pixel
// (1 wraps to 0), so that every sample sits on the grid the tileable field snaps to and a pixel's
// samples and those of its copy a tile over differ by exactly whole pixels. Above 16 samples
// positions may coincide.
void TileSamplePosition(int i, int n, float& x, float& y);

// Receives rows y0 .. y1-1 of the baked rectangle (0 is its top row), one raster per requested
// map in the order of settings.maps, each as wide as the rectangle and y1 - y0 rows high.
// Returns an empty string to go on, else an error that stops the bake. The sink runs on a thread
// of its own while the next band is shaded: bands come one at a time and in order, but not on the
// thread that called BakeFrame, and the rasters are the sink's only until it returns.
using BandSink = std::function<std::string(int y0, int y1, const std::vector<Raster>& bands)>;

// What a bake found besides its pixels.
struct BakeOutcome {
  TileNudge nudge;                  // how far a tileable bake moved the scratches
  std::int64_t coveredPixels = 0;   // pixels of the rectangle where any sample shows the surface
};

// Renders map at time t band by band into sink. Returns false when cancelled through
// settings.render.cancel. Throws BakeError for settings that cannot be baked and for an error the
// sink returns; the map is updated but never changed. The outcome is filled when given.
bool BakeFrame(Texmap& map, TimeValue t, const BakeSettings& settings, const BandSink& sink,
               BakeOutcome* outcome = nullptr);

// The same, gathered into one raster per map (for small images).
bool BakeFrame(Texmap& map, TimeValue t, const BakeSettings& settings, std::vector<Raster>& maps,
               BakeOutcome* outcome = nullptr);

}  // namespace tamrel::host
