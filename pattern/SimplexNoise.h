// Two- and three-dimensional simplex noise over Perlin's reference permutation, the quintic
// smooth step, and filtered forms that fade the noise to its mean 0 as the sample footprint grows.
// All single precision, stateless and re-entrant.
#pragma once

namespace tamrel {

// 0 below lo, 1 above hi, the quintic 6t^5 - 15t^4 + 10t^3 in between.
float SmootherStep(float x, float lo, float hi);

// Extremes about ±0.8844.
float Simplex2D(float x, float y);
// Extremes near ±0.98.
float Simplex3D(float x, float y, float z);

// width is the sample's filter width in noise units: up to 1.44 the noise is untouched, from about
// 2.614 on it is exactly 0 and is not evaluated.
float FilteredSimplex2D(float x, float y, float width);
float FilteredSimplex3D(float x, float y, float z, float width);

}  // namespace tamrel
