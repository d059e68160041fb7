// The tileable-bake interface a texture map may offer beside its baking interface (texbake.h),
// for hosts that bake textures to be repeated across a surface. Obtained with
// GetInterface(TAMREL_TILEABLE_INTERFACE).
//
// Between BeginTileBake and EndTileBake the map evaluates a variant of its field that repeats
// exactly across one square tile of the bake, and its sub-maps that offer this interface do the
// same; the ordinary evaluation is untouched outside that bracket. The host calls BeginTileBake
// after Update and before any shading, and shades only while no other thread begins or ends.
#pragma once

#include <string>

#include "maxtypes.h"
#include "shadectx.h"

inline constexpr ULONG TAMREL_TILEABLE_INTERFACE = 0x54A1E013;

// Why a map cannot bake a tile.
enum TamrelTileProblem : int {
  TILE_OK = 0,
  TILE_SIZE_MAP = 1,          // a size map changes the scale from sample to sample
  TILE_STRETCH_MAP = 2,       // a stretch map changes the strands' metric from sample to sample
  TILE_SUBMAP_NOT_TILEABLE = 3,  // a sub-map in use cannot repeat with the tile
  TILE_MAPPING_TILING = 4,    // the coordinates' own tiling rules fold the plane
  TILE_DEGENERATE = 5,        // the tile's edges collapse in the map's coordinates
  TILE_EROSION_TOO_COARSE = 6,  // an erosion octave's noise grid is coarser than the tile
};

// What a tile bake needs from the scratches: the worst nudge of their length and width (relative),
// direction (degrees) and the erosion noise (relative), over the map and its sub-maps.
struct TamrelTileReport {
  int problem = TILE_OK;
  int slot = -1;  // for TILE_SUBMAP_NOT_TILEABLE, the sub-texmap slot; -1 otherwise
  int depth = 0;  // how many sub-map levels down the problem lies (0: the map itself)
  double length = 0.0, width = 0.0, angleDeg = 0.0, erosion = 0.0;
};

class ITamrelTileable {
 public:
  // The tile is given by three shade samples: its corner and one tile further along each edge.
  // samplesPerEdge is how many bake samples span an edge (the field snaps to 1/64 of their
  // spacing, so that samples one tile apart give the same bits). On a problem the map stays in
  // its ordinary state.
  virtual TamrelTileReport BeginTileBake(ShadeContext& corner, ShadeContext& alongU,
                                         ShadeContext& alongV, int samplesPerEdge) = 0;
  virtual void EndTileBake() = 0;
  // Why the map refused a tile, for the user: one line that names the sub-map slot or parameter
  // in the way by its internal name. It continues the name of the host's option that asked for
  // the tile (it starts with a space or a colon), so the host prefixes that name. A refusal from
  // depth levels down names the slot in the sub-map's own numbering.
  virtual std::string DescribeTileRefusal(const TamrelTileReport& report) = 0;

 protected:
  ~ITamrelTileable() = default;
};
