// The work one shade sample of a map costs, counted in map evaluations. A map evaluates each of
// its sub-maps at most twice a sample (a colour and a bump, or a strength and a distortion), so a
// map costs 1 plus twice what its sub-maps cost. A scene can share one sub-map between slots and
// levels, and a chain of maps whose every slot holds the next doubles the work at each level:
// 24 KB of scene can ask for hours a sample. Such scenes are refused before anything is rendered.
#pragma once

#include <string>

class Texmap;

namespace tamrel::host {

// Evaluations a scene's map may cost per sample; a map with every slot holding a map that again
// fills every slot costs 211.
inline constexpr double kMaxMapEvaluationsPerSample = 4096.0;

// Map evaluations per sample for map and its sub-maps, counted as above (saturates at 1e18).
double MapEvaluationCost(Texmap& map);

// Empty when map's cost is within kMaxMapEvaluationsPerSample; else why not, in one line.
std::string CheckMapWork(Texmap& map);

}  // namespace tamrel::host
