// Texture utilities of the host used by procedural maps.
#pragma once

// The host's ramp: 0 below a, 1 above b, linear in between. With a == b and x == a the division
// is 0/0; callers only use it with a < b.
inline float threshold(float x, float a, float b) {
  if (x < a) return 0.0f;
  if (x > b) return 1.0f;
  return (x - a) / (b - a);
}
