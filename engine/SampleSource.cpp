#include "engine/SampleSource.h"

#include <algorithm>

#include "engine/Bake.h"
#include "engine/MeshSource.h"

namespace tamrel::host {
namespace {

// The preview geometries seen through the orthographic view: the plane straight on, every sample
// covered. The tileable plane is the same plane with its samples on the 1/16-pixel grid.
class ViewSource : public SampleSource {
 public:
  ViewSource(const View& view, int samples, bool filter, bool onTileGrid)
      : view_(view),
        samples_(samples),
        footprint_(SampleFootprint(samples)),
        filter_(filter),
        onTileGrid_(onTileGrid),
        positions_(2 * static_cast<std::size_t>(samples)) {
    for (int i = 0; i < samples_; ++i) {
      float& sx = positions_[2 * static_cast<std::size_t>(i)];
      float& sy = positions_[2 * static_cast<std::size_t>(i) + 1];
      if (onTileGrid_) {
        TileSamplePosition(i, samples_, sx, sy);
      } else {
        SamplePosition(i, samples_, sx, sy);
      }
    }
  }

  void Fill(int y, int x0, int x1, SampleRun& run) const override {
    if (run.wantArrays && FillsArrays()) {
      FillArrays(y, x0, x1, run);
      return;
    }
    for (int x = x0, k = 0; x < x1; ++x) {
      for (int i = 0; i < samples_; ++i, ++k) {
        const float sx = positions_[2 * static_cast<std::size_t>(i)];
        const float sy = positions_[2 * static_cast<std::size_t>(i) + 1];
        SampleShadeContext& sc = run.contexts[k];
        run.covered[k] = MakeSampleAt(view_, static_cast<float>(x) + sx,
                                      static_cast<float>(y) + sy, footprint_, sc, &run.normals[k]);
        sc.filterMaps = filter_ ? TRUE : FALSE;
      }
    }
  }
  int SamplesPerPixel() const override { return samples_; }
  // The plane's samples are all covered and share one frame; the sphere's take contexts.
  bool FillsArrays() const override { return view_.geometry == Geometry::PLANE; }

 protected:
  // The plane's samples of pixels x0 .. x1-1 of row y into run.arrays, every one covered.
  void FillArrays(int y, int x0, int x1, SampleRun& run) const {
    SampleArrays& a = run.arrays;
    if (a.camToObj.empty()) SetPlaneFrame(a);
    a.filterMaps = filter_ ? TRUE : FALSE;
    PlaneRowArrays(view_, y, x0, x1, positions_.data(), samples_, footprint_, a);
    a.count = (x1 - x0) * samples_;
    std::fill_n(run.covered.begin(), a.count, 1);
    std::fill_n(run.normals.begin(), a.count, Point3(0.0f, 0.0f, 1.0f));
  }

  View view_;
  int samples_;
  float footprint_;  // of one sample, in pixels
  bool filter_, onTileGrid_;
  std::vector<float> positions_;  // sample i's sub-pixel x and y at 2i and 2i + 1
};

// The lit preview sphere over a checkered backdrop (the view's geometry makes the samples).
class SphereSource : public ViewSource {
 public:
  SphereSource(const View& view, int samples, bool filter)
      : ViewSource(view, samples, filter, false) {}

  bool Lit() const override { return true; }
  void Uncovered(int x, int y, float& grey, float& alpha) const override {
    grey = Backdrop(x, y);
    alpha = 1.0f;
  }
};

}  // namespace

void SampleRun::Reserve(std::size_t n) {
  if (contexts.size() < n) {
    contexts.resize(n);
    normals.resize(n);
    covered.resize(n);
    tangents.resize(n);
    bitangents.resize(n);
    islands.resize(n);
  }
  if (wantNeighbours && neighbours.size() < 4 * n) neighbours.resize(4 * n);
  if (wantArrays) arrays.Reserve(n);
}

void SampleSource::Uncovered(int, int, float& grey, float& alpha) const {
  grey = 0.0f;
  alpha = 0.0f;
}

std::unique_ptr<SampleSource> MakeSampleSource(const BakeSettings& s) {
  if (s.view.geometry == Geometry::MESH) {
    return std::make_unique<MeshSource>(s.mesh, s.view.width, s.view.height, s.samples, s.filter);
  }
  if (s.view.geometry == Geometry::SPHERE) {
    return std::make_unique<SphereSource>(s.view, s.samples, s.filter);
  }
  if (!s.tileable) return std::make_unique<ViewSource>(s.view, s.samples, s.filter, false);
  // The tileable field repeats every width across and down, so a view moved by any number of
  // pixels is the view moved by the remainder: sampled there, positions stay near the tile,
  // where float keeps them exact, however far the view was moved.
  View near = s.view;
  const auto remainder = [period = s.view.width](int offset) {
    const int r = offset % period;
    return r < 0 ? r + period : r;
  };
  near.offsetX = remainder(s.view.offsetX);
  near.offsetY = remainder(s.view.offsetY);
  return std::make_unique<ViewSource>(near, s.samples, s.filter, true);
}

}  // namespace tamrel::host
