// The tileable scratch field: a variant of the scratch field that repeats exactly across a square
// tile, for bakes that are laid side by side on a surface. It keeps what gives the scratches their
// look (the 27-cube feature search, its bound test, the density, the feature generation, the
// ridged erosion octaves and the thresholds) and changes only the map from scratch space into each
// lattice: a nearby map that sends the tile's edges onto whole lattice vectors, found once per bake.
// Cells are hashed by a fixed member of their repeat class, with a salt per level, so the features
// repeat with the tile. The ordinary field is untouched; this one is its own path.
#pragma once

#include <vector>

#include "pattern/ScratchParams.h"
#include "pattern/TileLattice.h"
#include "point3.h"

namespace tamrel {

// The tile in scratch space: the sample points origin + s * edgeU + t * edgeV, 0 <= s, t < 1, and
// their continuation along the unit normal of the two edges.
struct TileFrame {
  Vec3 origin{}, edgeU{}, edgeV{};
  // Tile coordinates are snapped to this many steps per edge before they are wrapped, so that
  // a sample and its copy one tile over (whose coordinates differ by rounding) give the same bits.
  double snap = 65536.0;

  bool operator==(const TileFrame&) const = default;
};

// A sample in tile coordinates: s and t in tiles, h along the normal in scratch units.
struct TilePoint {
  double s = 0.0, t = 0.0, h = 0.0;
};

// Worst change over the levels of the scratches' length and width (relative) and direction
// (degrees), and the worst relative change of any length in the erosion octaves.
struct TileNudge {
  double length = 0.0, width = 0.0, angleDeg = 0.0, erosion = 0.0;
};

enum class TileStatus {
  OK,
  DEGENERATE_FRAME,    // the tile's edges are not two independent finite vectors of at most 2^24
                       // cells in every lattice
  EROSION_TOO_COARSE,  // an erosion octave's grid cannot repeat within the tile
};

class TileablePattern {
 public:
  // Everything the lattices depend on: the frame and the record's type, levels, stretch,
  // useErosion, sizeDiv20 and erosionDelta (the other fields may vary from sample to sample).
  TileablePattern(const TileFrame& frame, const ScratchParams& params);

  // True when this pattern was built for the same frame and the same fields listed above.
  bool Matches(const TileFrame& frame, const ScratchParams& params) const;

  TileStatus Status() const { return status_; }
  const TileNudge& Nudge() const { return nudge_; }

  // The snapped sample, wrapped into the tile. Non-finite points land in the tile's corner.
  TilePoint Reduce(const Point3& p) const;
  // The point d further in scratch space, not wrapped (for finite differences).
  TilePoint Offset(const TilePoint& at, const Point3& d) const;

  // The intensity in [0, 1], as the ordinary filtered and plain evaluations give it; the filter
  // width reaches only the erosion octaves.
  // When level is given it receives the index of the winning (lowest) strand level.
  float EvalFiltered(const TilePoint& at, const Point3& dPdx, const Point3& dPdy,
                     const ScratchParams& params, int* level = nullptr) const;
  float EvalPlain(const TilePoint& at, const ScratchParams& params, int* level = nullptr) const;

  // Raw field value (not thresholded), for tests; filterWidth < 0 takes the plain erosion.
  float Field(const TilePoint& at, float filterWidth, const ScratchParams& params,
              int* level = nullptr) const;

  // One level's images of the tile's corner, edges and unit normal in its feature-cube space. The
  // corner keeps its ordinary image, so moving the map's coordinates moves the pattern as usual.
  struct Level {
    Vec3 corner{}, u{}, v{}, n{};
    PeriodLattice period;
    std::uint32_t salt = 0;
    MetricNudge nudge;
  };
  // One erosion octave's images in the simplex grid's skewed coordinates.
  struct Octave {
    Vec3 corner{}, u{}, v{}, n{};
    PeriodLattice period;
    double nudge = 0.0;
  };
  const std::vector<Level>& Levels() const { return levels_; }
  const std::vector<Octave>& Octaves() const { return octaves_; }

 private:
  float Strand(const Level& level, const TilePoint& at, float spread) const;
  float Erosion(const TilePoint& at, float filterWidth) const;

  TileFrame frame_;
  std::int32_t type_, levelCount_, useErosion_;
  float stretch_, sizeDiv20_, erosionDelta_;
  float erosionScale_ = 0.0f;  // the masks' noise scale, as the ordinary masks derive it
  TileStatus status_ = TileStatus::OK;
  TileNudge nudge_;
  Vec3 normal_{};
  Vec3 inverse_[3]{};  // rows of the inverse of [edgeU edgeV normal]
  std::vector<Level> levels_;
  std::vector<Octave> octaves_;
};

}  // namespace tamrel
