// Where a bake's shading samples come from. A sample source hands the renderer runs of samples:
// the samples of neighbouring pixels of one row, pixel by pixel and each pixel's samples in order,
// with everything a map is shaded from (position and its derivatives, UVW channels, the view) in
// the shade context, and beside it the surface normal and whether the sample shows any surface
// at all. The maps of a texture set are derived from the evaluated runs the same way whatever the
// source: a new geometry is a new source.
//
// The sources here are the flat plane, the same plane with its samples on the grid a tileable
// bake needs, and the lit preview sphere; the plane's tangent frame is fixed (+x, +y up the
// image), and the sphere bakes no tangent-space map. A source of triangles in UV space fits the
// same shape: per-texel positions and normals, texels on no triangle left uncovered, and the
// run gaining the per-texel tangent frames such a source has.
#pragma once

#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "engine/SampleGeometry.h"
#include "shadectx.h"

namespace tamrel::host {

struct BakeSettings;

// One run of samples, as structure of arrays. Each render thread keeps its own from run to run,
// so a run allocates only when it grows.
struct SampleRun {
  std::vector<SampleShadeContext> contexts;
  std::vector<Point3> normals;  // unit surface normal, camera space
  std::vector<char> covered;    // false: the sample shows no surface; its context is unset

  void Reserve(std::size_t n);
};

class SampleSource {
 public:
  virtual ~SampleSource() = default;

  // Fills the first (x1 - x0) * SamplesPerPixel() entries of run with the samples of pixels
  // x0 .. x1-1 of image row y (y = 0 is the top row). Pixels may lie outside the image: the
  // geometry goes on beyond it, or shows nothing there. Called concurrently for disjoint runs;
  // it only reads the source.
  virtual void Fill(int y, int x0, int x1, SampleRun& run) const = 0;
  // Samples in each pixel.
  virtual int SamplesPerPixel() const = 0;
  // True when the map is shown lit with its bump (a preview), false when its values are baked.
  virtual bool Lit() const { return false; }
  // What an uncovered sample of pixel (x, y) shows: a grey and its coverage.
  virtual void Uncovered(int x, int y, float& grey, float& alpha) const;
};

// The footprint of one of n samples in a pixel, in pixels: the side of its share of the pixel.
inline float SampleFootprint(int samplesPerPixel) {
  return 1.0f / std::sqrt(static_cast<float>(samplesPerPixel));
}

// The source the settings' view describes: the plane, the tileable plane or the sphere.
std::unique_ptr<SampleSource> MakeSampleSource(const BakeSettings& settings);

}  // namespace tamrel::host
