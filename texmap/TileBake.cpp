// Tileable bakes of the scratches map: what can repeat with the bake's tile, and the tile's frame
// in scratch space. A sub-map only repeats if it repeats with the same tile; the ones that can
// (other scratches maps) are put into the same bracket, anything else in use is refused rather
// than baked with a seam.
#include <algorithm>

#include "texmap/TamrelScratches.h"

namespace {

// The sub-texmap slots whose maps reach the shading, and so must repeat with the tile.
bool SlotInUse(const TamrelScratches& m, int slot) {
  switch (slot) {
    case SUBTEX_COLOR1:
      return m.col1mapEnabled && m.subTex[slot];
    case SUBTEX_COLOR2:
      return m.col2mapEnabled && m.subTex[slot];
    case SUBTEX_SIZE:
      return m.sizeMapEnabled && m.subTex[slot];
    case SUBTEX_SPREAD:
      return m.spreadMapEnabled && m.subTex[slot];
    case SUBTEX_STRETCH:
      return m.stretchMapEnabled && m.subTex[slot];
    case SUBTEX_DISTORT:
      return m.useDistortion && m.subTex[slot];
    case SUBTEX_DISTORT_STR:
      return m.useDistortion && m.subTex[SUBTEX_DISTORT] && m.dStrMapEnabled && m.subTex[slot];
    default:
      return false;
  }
}

tamrel::Vec3 Widen(const Point3& p) { return {p.x, p.y, p.z}; }

}  // namespace

TamrelTileReport TamrelScratches::BeginTileBake(ShadeContext& corner, ShadeContext& alongU,
                                                ShadeContext& alongV, int samplesPerEdge) {
  EndTileBake();
  TamrelTileReport report;
  auto refuse = [&](int problem, int slot) {
    report.problem = problem;
    report.slot = slot;
    for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
      if (auto* sub = subTex[s] ? static_cast<ITamrelTileable*>(
                                      subTex[s]->GetInterface(TAMREL_TILEABLE_INTERFACE))
                                : nullptr) {
        sub->EndTileBake();
      }
    }
    return report;
  };

  if (SlotInUse(*this, SUBTEX_SIZE)) return refuse(TILE_SIZE_MAP, SUBTEX_SIZE);
  if (SlotInUse(*this, SUBTEX_STRETCH)) return refuse(TILE_STRETCH_MAP, SUBTEX_STRETCH);
  const bool channel = coords.mapType == XYZ_MAP_CHANNEL_2D ||
                       coords.mapType == XYZ_MAP_CHANNEL_REAL_WORLD;
  if (channel && std::any_of(std::begin(coords.tiling), std::end(coords.tiling),
                             [](int rule) { return rule != XYZ_TILE_CONTINUE; })) {
    return refuse(TILE_MAPPING_TILING, -1);
  }

  for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
    if (!SlotInUse(*this, s)) continue;
    auto* sub =
        static_cast<ITamrelTileable*>(subTex[s]->GetInterface(TAMREL_TILEABLE_INTERFACE));
    if (!sub) return refuse(TILE_SUBMAP_NOT_TILEABLE, s);
    const TamrelTileReport r = sub->BeginTileBake(corner, alongU, alongV, samplesPerEdge);
    if (r.problem != TILE_OK) {
      refuse(r.problem, r.slot);
      report.depth = r.depth + 1;
      return report;
    }
    report.length = std::max(report.length, r.length);
    report.width = std::max(report.width, r.width);
    report.angleDeg = std::max(report.angleDeg, r.angleDeg);
    report.erosion = std::max(report.erosion, r.erosion);
  }

  // The tile's corners in scratch space, mapped exactly as the samples are (size maps, which
  // would make the scale vary, are refused above).
  Point3 p[3], dx, dy;
  ShadeContext* contexts[3] = {&corner, &alongU, &alongV};
  for (int i = 0; i < 3; ++i) {
    if (!coords.GetXYZ(*contexts[i], p[i], dx, dy)) return refuse(TILE_DEGENERATE, -1);
  }
  const float s = EffectiveSize(corner);
  tamrel::TileFrame frame;
  frame.origin = Widen(p[0] / s);
  for (int c = 0; c < 3; ++c) {
    frame.edgeU[c] = (static_cast<double>(p[1][c]) - static_cast<double>(p[0][c])) / s;
    frame.edgeV[c] = (static_cast<double>(p[2][c]) - static_cast<double>(p[0][c])) / s;
  }
  // 64 snap steps between neighbouring samples: samples lie on the grid, and a copy one tile
  // over (whose coordinates differ by rounding) snaps back onto the same step.
  frame.snap = 64.0 * std::max(1, samplesPerEdge);

  const tamrel::ScratchParams params = GatherScratchParams(corner);
  if (!tileCache || !tileCache->Matches(frame, params)) {
    tileCache = std::make_shared<const tamrel::TileablePattern>(frame, params);
  }
  switch (tileCache->Status()) {
    case tamrel::TileStatus::DEGENERATE_FRAME:
      return refuse(TILE_DEGENERATE, -1);
    case tamrel::TileStatus::EROSION_TOO_COARSE:
      return refuse(TILE_EROSION_TOO_COARSE, -1);
    case tamrel::TileStatus::OK:
      break;
  }
  const tamrel::TileNudge& n = tileCache->Nudge();
  report.length = std::max(report.length, n.length);
  report.width = std::max(report.width, n.width);
  report.angleDeg = std::max(report.angleDeg, n.angleDeg);
  report.erosion = std::max(report.erosion, n.erosion);
  tilePattern = tileCache.get();
  return report;
}

void TamrelScratches::EndTileBake() {
  if (!tilePattern) return;
  tilePattern = nullptr;
  for (Texmap* sub : subTex) {
    if (!sub) continue;
    if (auto* t = static_cast<ITamrelTileable*>(sub->GetInterface(TAMREL_TILEABLE_INTERFACE))) {
      t->EndTileBake();
    }
  }
}
