// Baking: one frame of a map rendered through its shading interface into a float raster, for one
// kind of output (colour, mono, height or a tangent-space normal map) on one preview geometry.
// The map is updated once for the frame before any sample is shaded; the samples then only read
// it, over as many threads as asked, and the result is the same bits for every thread count.
#pragma once

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>

#include "host/RenderEngine.h"
#include "host/SampleGeometry.h"
#include "imtl.h"

namespace tamrel::host {

enum class OutputKind { COLOR, MONO, HEIGHT, NORMAL };
enum class NormalConvention { OPENGL, DIRECTX };

// Parses "color", "mono", "height", "normal"; false for anything else.
bool ParseOutputKind(const std::string& name, OutputKind& kind);
const char* OutputKindName(OutputKind kind);
// Colour carries alpha; mono and height are one channel; normals three.
int OutputChannels(OutputKind kind);
// Everything but colour is data: written linear, never sRGB-encoded.
bool IsDataOutput(OutputKind kind);

// A bake the map or geometry cannot give (a normal map of the sphere, a map without the colour
// parameters the height output relies on).
class BakeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct BakeSettings {
  View view;
  OutputKind output = OutputKind::COLOR;
  NormalConvention convention = NormalConvention::OPENGL;
  bool filter = true;  // the shade context's filterMaps
  float bumpScale = 1.0f;  // strength of the map's bump in normal maps and on the sphere
  RenderOptions render;
};

// Empty when the settings can be baked; otherwise why not, in one line.
std::string CheckBakeSettings(const BakeSettings& settings);

// The unit normal n bent by scale times the part of perturb across the surface; finite and of unit
// length for every finite scale, n itself when perturb is not finite.
Point3 BentNormal(const Point3& n, const Point3& perturb, float scale);

// Renders map at time t into raster. Returns false when cancelled through settings.render.cancel.
// The map itself is updated but never changed; the height output works on a clone.
bool BakeFrame(Texmap& map, TimeValue t, const BakeSettings& settings, Raster& raster);

}  // namespace tamrel::host
