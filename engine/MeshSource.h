// A model baked into its own UV layout: the texel grid of the image laid over one UV set of the
// model, every sample shaded at the surface point it shows. A sample finds its triangle through
// a grid of cells over the image; inside the triangle its barycentric position gives everything
// the map reads: the object and world position, the UVW of every channel, the normal and the
// tangent frame, and the change of each per texel (the triangle's UV-to-surface map, constant
// over it), so filtering and several samples a texel work as on the plane. Texels on no triangle
// are uncovered; the bake pads them out from the islands' edges.
//
// Camera space is the sample's own object space (there is no camera): object coordinates come
// out exactly as interpolated, and world coordinates through the instance's transform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/SampleSource.h"
#include "inode.h"
#include "mesh/MeshModel.h"

namespace tamrel::host {

// Texels a bake pads each island by unless asked otherwise.
inline constexpr int kDefaultPadding = 16;
inline constexpr int kMaxPadding = 256;

// The preview sphere as a model, for a texture set in a UV layout of its own (a glTF asset of the
// sphere): the lit preview's sphere for a square view `extent` scene units wide (radius 0.45 of
// it, centred on the object's origin), as 64 segments around its vertical axis and 32 rings, with
// the lit preview's UVW channel 1 as its one UV set: u around the axis, 0.5 facing +z and the
// seam at the back, v from 0 at the south pole to 1 at the north.
std::shared_ptr<const mesh::MeshModel> PreviewSphereModel(float extent);

// A model prepared for baking into one of its UV sets: the tangent frame of every triangle
// corner for that set (the file's own when it has them for this set, else generated).
struct MeshBake {
  std::shared_ptr<const mesh::MeshModel> model;
  int uvSet = 0;  // index into every part's uvSets
  std::vector<std::vector<mesh::Tangent>> cornerTangents;  // [part][3 * triangle + corner]
  std::vector<char> tangentsFromFile;                       // [part]
  int padding = kDefaultPadding;
};

// Prepares model for a bake into uvSet (which the caller has checked every part has).
std::shared_ptr<const MeshBake> PrepareMeshBake(std::shared_ptr<const mesh::MeshModel> model,
                                                int uvSet, int padding);

class MeshSource : public SampleSource {
 public:
  MeshSource(std::shared_ptr<const MeshBake> bake, int width, int height, int samples,
             bool filter);
  ~MeshSource() override;

  void Fill(int y, int x0, int x1, SampleRun& run) const override;
  int SamplesPerPixel() const override { return samples_; }
  bool TangentFrames() const override { return true; }
  bool CoveredMean() const override { return true; }
  int Padding() const override { return bake_->padding; }

  // The triangle sample (px, py) of the image falls on, in pixels from its top-left corner:
  // false when none; else its instance and its index in the instance's part.
  bool Locate(double px, double py, std::uint32_t& instance, std::uint32_t& triangle) const;

 private:
  struct UvTriangle;
  struct Hit;
  bool Find(double px, double py, Hit& hit) const;
  void MakeContext(const Hit& hit, double px, double py, SampleShadeContext& sc, Point3* normal,
                   Point3* tangent, Point3* bitangent) const;

  std::shared_ptr<const MeshBake> bake_;
  int width_, height_, samples_;
  float footprint_;
  bool filter_;
  std::vector<UvTriangle> triangles_;
  // Cells of cell_ x cell_ pixels over the image, each listing the triangles that may cover it
  // in the order of the model (instances, then triangles): where triangles overlap in UV, the
  // first in that order shows.
  int cell_ = 1, cellsX_ = 1, cellsY_ = 1;
  std::vector<std::uint32_t> cellStart_, cellTriangles_;
  std::vector<std::unique_ptr<INode>> nodes_;  // one per instance, for the map's "By Object"
  std::vector<Matrix3> objectToWorld_;
};

}  // namespace tamrel::host
