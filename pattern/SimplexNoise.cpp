// Simplex noise in the classic formulation, with the gradient of a corner taken from the
// permutation table at its coordinates modulo 256.
#include "pattern/SimplexNoise.h"

#include "pattern/PatternTables.h"
#include "pattern/ScratchFormulas.h"
#include "pattern/SimplexCore.h"

namespace tamrel {

float SmootherStep(float x, float lo, float hi) { return formula::SmootherStep(x, lo, hi); }

float Simplex2D(float x, float y) {
  return simplex::Noise2D(x, y, [](std::int32_t i, std::int32_t j, int di, int dj) {
    return kPermutation[(i & 255) + di + kPermutation[(j & 255) + dj]];
  });
}

float Simplex3D(float x, float y, float z) {
  return simplex::Noise3D(
      x, y, z, [](std::int32_t i, std::int32_t j, std::int32_t k, int di, int dj, int dk) {
        return kPermutation[(i & 255) + di +
                            kPermutation[(j & 255) + dj + kPermutation[(k & 255) + dk]]];
      });
}

float FilteredSimplex2D(float x, float y, float width) {
  const float fade = formula::FadeOf(width);
  if (fade >= formula::kFullyFaded) return 0.0f;
  return formula::Faded(Simplex2D(x, y), fade);
}

float FilteredSimplex3D(float x, float y, float z, float width) {
  const float fade = formula::FadeOf(width);
  if (fade >= formula::kFullyFaded) return 0.0f;
  return formula::Faded(Simplex3D(x, y, z), fade);
}

}  // namespace tamrel
