// Shade samples of the two preview geometries, built the way a renderer builds them: a flat square
// seen straight on, and a sphere like a material editor's sample slot. Both use an orthographic
// camera looking down -Z; object space is centred on the geometry, world space equals object space.
#pragma once

#include <vector>

#include "shadectx.h"
#include "texbake.h"

namespace tamrel::host {

// MESH: a model baked into its UV layout (engine/MeshSource.h); the view gives only the size.
enum class Geometry { PLANE, SPHERE, MESH };

struct View {
  Geometry geometry = Geometry::PLANE;
  int width = 1024, height = 1024;
  float extent = 40.0f;  // scene units across the image's width
  // Whole pixels by which the image is moved across the plane, which continues beyond its
  // extent: pixel (x, y) is sampled where pixel (x + offsetX, y + offsetY) of the unmoved view is.
  int offsetX = 0, offsetY = 0;
};

// Fills sc for the centre of pixel (x, y) (y = 0 is the top row). For the sphere, false when the
// pixel misses it; the normal of the hit point is then left in normal.
bool MakeSample(const View& view, int x, int y, SampleShadeContext& sc, Point3* normal = nullptr);
// The same at image position (px, py) in pixels from the top-left corner of the image (the centre
// of pixel (x, y) is (x + 0.5, y + 0.5)), with a footprint of `footprint` pixels: a sample that
// stands for a fraction of a pixel filters over that fraction only.
bool MakeSampleAt(const View& view, float px, float py, float footprint, SampleShadeContext& sc,
                  Point3* normal = nullptr);

// Samples as arrays, the covered samples of a run one after the other: what the map reads of
// each (TexBakeRun's meaning), with the transforms and nodes of the instances they show. A source
// fills entries 0 .. count-1; the arrays only grow.
struct SampleArrays {
  int count = 0;
  std::vector<Point3> p, dpdx, dpdy;
  std::vector<Point2> screenUV, screenDUV;
  std::vector<int> instance, mtlNum;  // used when perInstance is set
  int channelCount = 0;
  int channelIds[TexBakeRun::kChannels] = {};
  std::vector<Point3> uvw[TexBakeRun::kChannels], duvw[TexBakeRun::kChannels];
  std::vector<Matrix3> camToObj, camToWorld;  // per instance
  std::vector<INode*> nodes;                  // per instance; empty: no node
  bool perInstance = false;
  BOOL filterMaps = TRUE;

  void Reserve(std::size_t n);
  // Points a run at the arrays' count samples.
  TexBakeRun Run() const;
};

// The plane's samples as arrays: SetPlaneFrame sets the one instance, PlaneRowArrays writes the
// samples of pixels x0 .. x1-1 of image row y from entry 0 on, pixel by pixel, sample i of a
// pixel at sub-pixel position (positions[2i], positions[2i + 1]), with MakeSampleAt's values to
// the bit.
void SetPlaneFrame(SampleArrays& a);
void PlaneRowArrays(const View& view, int y, int x0, int x1, const float* positions, int samples,
                    float footprint, SampleArrays& a);

// The preview sphere's look: a lit diffuse surface with the map's colour and bump, over a
// checkered backdrop where the sphere is missed.
struct SphereLighting {
  Point3 toLight = Normalize(Point3(-0.5f, 0.6f, 0.8f));
  float ambient = 0.12f;
};
float SphereDiffuse(const Point3& normal, const SphereLighting& light = {});
float Backdrop(int x, int y);

}  // namespace tamrel::host
