// Tileable bakes of the scratches map: what can repeat with the bake's tile, and the tile's frame
// in scratch space. A sub-map only repeats if it repeats with the same tile; the ones that can
// (other scratches maps) are put into the same bracket, anything else in use is refused rather
// than baked with a seam, in words that name what is in the way.
#include <algorithm>
#include <string>

#include "coords/MappingBlock.h"
#include "texmap/ScratchesClassDesc.h"
#include "texmap/TamrelScratches.h"

namespace {

tamrel::Vec3 Widen(const Point3& p) { return {p.x, p.y, p.z}; }

ITamrelTileable* TileInterface(Texmap* m) {
  return m ? static_cast<ITamrelTileable*>(m->GetInterface(TAMREL_TILEABLE_INTERFACE)) : nullptr;
}

// Internal names are ASCII.
std::string Narrow(const MSTR& s) {
  std::string out;
  out.reserve(s.size());
  for (MCHAR c : s) out.push_back(static_cast<char>(c));
  return out;
}

// The internal name of a block's parameter, as the user types it.
std::string InternalName(const ParamBlockDesc2* desc, ParamID id) {
  const ParamDef* def = desc ? desc->FindParamDef(id) : nullptr;
  return def ? Narrow(def->int_name) : std::string();
}

// The internal name of the sub-map parameter that holds a sub-texmap slot; "a" (read as "the
// "a" sub-map") for a slot the block has none for.
std::string SlotParamName(const ParamBlockDesc2* desc, int slot) {
  if (desc && slot >= 0) {
    for (const ParamDef& def : desc->paramdefs) {
      if (def.type == TYPE_TEXMAP && def.subtexno == slot) {
        return Narrow(def.int_name);
      }
    }
  }
  return "a";
}

}  // namespace

TamrelTileReport TamrelScratches::BeginTileBake(ShadeContext& corner, ShadeContext& alongU,
                                                ShadeContext& alongV, int samplesPerEdge) {
  EndTileBake();
  // What the tile is checked and built against: the last Update's values and sub-maps.
  const ScratchEvaluator& e = *eval_;
  const XYZCoords& coords = e.Values().coords;
  TamrelTileReport report;
  auto refuse = [&](int problem, int slot) {
    report.problem = problem;
    report.slot = slot;
    for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
      if (ITamrelTileable* sub = TileInterface(e.SubMap(s))) sub->EndTileBake();
    }
    return report;
  };

  if (e.SlotInUse(SUBTEX_SIZE)) return refuse(TILE_SIZE_MAP, SUBTEX_SIZE);
  if (e.SlotInUse(SUBTEX_STRETCH)) return refuse(TILE_STRETCH_MAP, SUBTEX_STRETCH);
  const bool channel = coords.mapType == XYZ_MAP_CHANNEL_2D ||
                       coords.mapType == XYZ_MAP_CHANNEL_REAL_WORLD;
  if (channel && std::any_of(std::begin(coords.tiling), std::end(coords.tiling),
                             [](int rule) { return rule != XYZ_TILE_CONTINUE; })) {
    return refuse(TILE_MAPPING_TILING, -1);
  }

  for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
    if (!e.SlotInUse(s)) continue;
    ITamrelTileable* sub = TileInterface(e.SubMap(s));
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
  const float s = e.EffectiveSize(corner);
  tamrel::TileFrame frame;
  frame.origin = Widen(p[0] / s);
  for (int c = 0; c < 3; ++c) {
    frame.edgeU[c] = (static_cast<double>(p[1][c]) - static_cast<double>(p[0][c])) / s;
    frame.edgeV[c] = (static_cast<double>(p[2][c]) - static_cast<double>(p[0][c])) / s;
  }
  // 64 snap steps between neighbouring samples: samples lie on the grid, and a copy one tile
  // over (whose coordinates differ by rounding) snaps back onto the same step.
  frame.snap = 64.0 * std::max(1, samplesPerEdge);

  const tamrel::ScratchParams params = e.GatherScratchParams(corner);
  if (!tileCache_ || !tileCache_->Matches(frame, params)) {
    tileCache_ = std::make_shared<const tamrel::TileablePattern>(frame, params);
  }
  switch (tileCache_->Status()) {
    case tamrel::TileStatus::DEGENERATE_FRAME:
      return refuse(TILE_DEGENERATE, -1);
    case tamrel::TileStatus::EROSION_TOO_COARSE:
      return refuse(TILE_EROSION_TOO_COARSE, -1);
    case tamrel::TileStatus::OK:
      break;
  }
  const tamrel::TileNudge& n = tileCache_->Nudge();
  report.length = std::max(report.length, n.length);
  report.width = std::max(report.width, n.width);
  report.angleDeg = std::max(report.angleDeg, n.angleDeg);
  report.erosion = std::max(report.erosion, n.erosion);
  // Last, as it replaces the evaluator e refers to.
  Install(e.Values(), tileCache_);
  return report;
}

void TamrelScratches::EndTileBake() {
  if (!eval_->Tile()) return;
  Install(eval_->Values(), nullptr);
  for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
    if (ITamrelTileable* sub = TileInterface(eval_->SubMap(s))) sub->EndTileBake();
  }
}

std::string TamrelScratches::DescribeTileRefusal(const TamrelTileReport& r) {
  ParamBlockDesc2* params = pblock ? pblock->GetDesc() : GetParamsDesc();
  ParamBlockDesc2* mapping = mappingBlock ? mappingBlock->GetDesc() : GetMappingDesc();
  auto quoted = [](const std::string& id) { return "\"" + id + "\""; };
  const std::string where = r.depth > 0 ? " (in a sub-map of the map)" : "";
  switch (r.problem) {
    case TILE_SIZE_MAP:
      return " cannot repeat a size map" + where + ": it changes the scale from point to point; " +
             "switch " + quoted(InternalName(params, PB_SIZE_MAP_ENABLED)) + " off";
    case TILE_STRETCH_MAP:
      return " cannot repeat a stretch map" + where + ": it changes the scratches' shape from " +
             "point to point; switch " + quoted(InternalName(params, PB_STRETCH_MAP_ENABLED)) +
             " off";
    case TILE_SUBMAP_NOT_TILEABLE:
      return ": the " + quoted(SlotParamName(params, r.slot)) + " sub-map" + where +
             " cannot repeat with the tile and would leave a seam; switch it off or use a " +
             "scratches map there";
    case TILE_MAPPING_TILING:
      return " needs " + quoted(InternalName(mapping, XYZ_PB_TILE_X)) + ", " +
             quoted(InternalName(mapping, XYZ_PB_TILE_Y)) + " and " +
             quoted(InternalName(mapping, XYZ_PB_TILE_Z)) + " at 0 (continue)" + where +
             ": the mapping's own tiling folds the pattern";
    case TILE_EROSION_TOO_COARSE:
      return ": the erosion noise" + where + " is too coarse to repeat within one tile; lower " +
             quoted(InternalName(params, PB_EROSION_DELTA)) + " or " +
             quoted(InternalName(params, PB_SIZE)) + ", or bake a larger --extent";
    default:
      return ": the tile's edges collapse, or span more cells than can repeat exactly, in the "
             "map's coordinates" +
             where + " (a size near zero, or a mapping that sees the plane edge-on)";
  }
}
