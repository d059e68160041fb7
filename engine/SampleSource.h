// Where a bake's shading samples come from. A sample source hands the renderer runs of samples:
// the samples of neighbouring pixels of one row, pixel by pixel and each pixel's samples in order,
// with everything a map is shaded from (position and its derivatives, UVW channels, the view) in
// the shade context, and beside it the surface normal and whether the sample shows any surface
// at all. The maps of a texture set are derived from the evaluated runs the same way whatever the
// source: a new geometry is a new source.
//
// The sources here are the flat plane, the same plane with its samples on the grid a tileable
// bake needs, and the lit preview sphere; the plane's tangent frame is fixed (+x, +y up the
// image), and the sphere bakes no tangent-space map. A model baked into its UV layout
// (engine/MeshSource.h) gives each sample its own tangent frame, and the neighbours its normal
// is taken from on the sample's own surface.
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
  // Sources with tangent frames: the unit tangent and bitangent of each covered sample, camera
  // space, and when wantNeighbours is set the four samples a pixel left, right, up and down from
  // it on its own surface (4 * k to 4 * k + 3 for sample k), for normals taken from the height.
  std::vector<Point3> tangents, bitangents;
  // Sources with tangent frames: the UV island of each covered sample. Neighbouring pixels of
  // one island show neighbouring points of the surface, whose heights give a pixel's slopes.
  std::vector<int> islands;
  std::vector<SampleShadeContext> neighbours;
  bool wantNeighbours = false;
  // Set by the renderer for a source that FillsArrays, without neighbours: the covered samples
  // go into arrays, one after the other, and the contexts are left alone.
  bool wantArrays = false;
  SampleArrays arrays;

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
  // True when Fill takes wantArrays: the covered samples then go into run.arrays instead of the
  // contexts, every other array filled as ever.
  virtual bool FillsArrays() const { return false; }
  // True when the map is shown lit with its bump (a preview), false when its values are baked.
  virtual bool Lit() const { return false; }
  // True when the run carries tangent frames (and neighbours when asked): the tangent-space maps
  // are then taken in each sample's own frame rather than the plane's fixed one.
  virtual bool TangentFrames() const { return false; }
  // True when a pixel is the mean of its covered samples only (its coverage says how many), as
  // for a model whose texels off its islands show nothing; false when the uncovered samples'
  // backdrop is part of the pixel.
  virtual bool CoveredMean() const { return false; }
  // Pixels by which the covered area is padded out into the uncovered (0: none).
  virtual int Padding() const { return 0; }
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
