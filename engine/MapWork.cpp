// Shared sub-maps are costed once each (the graph has no loops: the reference system refuses
// them), so the count takes time linear in the number of distinct maps whatever it comes to.
#include "engine/MapWork.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "imtl.h"

namespace tamrel::host {
namespace {

constexpr double kSaturated = 1e18;

double Cost(Texmap& map, std::unordered_map<Texmap*, double>& known, int depth) {
  if (const auto it = known.find(&map); it != known.end()) return it->second;
  double cost = 1.0;
  // The scene loader bounds the depth of references; this only guards a map built by hand.
  if (depth > 1024) return kSaturated;
  for (int i = 0; i < map.NumSubTexmaps(); ++i) {
    if (Texmap* sub = map.GetSubTexmap(i)) cost += 2.0 * Cost(*sub, known, depth + 1);
  }
  cost = std::min(cost, kSaturated);
  known.emplace(&map, cost);
  return cost;
}

}  // namespace

double MapEvaluationCost(Texmap& map) {
  std::unordered_map<Texmap*, double> known;
  return Cost(map, known, 0);
}

std::string CheckMapWork(Texmap& map) {
  const double cost = MapEvaluationCost(map);
  if (cost <= kMaxMapEvaluationsPerSample) return {};
  char count[32];
  if (cost >= kSaturated) {
    std::snprintf(count, sizeof count, "at least %.0e", kSaturated);
  } else {
    std::snprintf(count, sizeof count, "%.0f", cost);
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "its maps would take %s map evaluations per sample, more than the %.0f allowed "
                "(sub-maps nest or are shared too often)",
                count, kMaxMapEvaluationsPerSample);
  return text;
}

}  // namespace tamrel::host
