// The simplex noise of the erosion octaves, branch-free and many points at once: one definition
// for every vector width the variants use (four, eight and sixteen lanes), written on the
// compiler's vector types. Every lane does the plain noise's operations in the plain order: a
// comparison gives a lane mask of -1 or 0, ?: picks lane by lane, and a mask of -1 subtracted
// from an index steps it by one. Only for finite coordinates below kFastNoiseLimit, where every
// comparison is ordered and every cell index fits. Part of the body in every variant: where the
// processor has no vectors of these widths the compiler splits them.

typedef float FloatLanes4 __attribute__((vector_size(16)));
typedef std::int32_t IntLanes4 __attribute__((vector_size(16)));
typedef float FloatLanes8 __attribute__((vector_size(32)));
typedef std::int32_t IntLanes8 __attribute__((vector_size(32)));
#if defined(TAMREL_KERNEL_AVX512)
typedef float FloatLanes16 __attribute__((vector_size(64)));
typedef std::int32_t IntLanes16 __attribute__((vector_size(64)));
#endif

// The permutation looked up in every lane of a vector of indices below 512 (the table repeats).
#if defined(TAMREL_KERNEL_AVX2)
// The first kCount entries of the table as T, aligned for vector loads.
template <class T, int kCount>
struct PermutationCopy {
  alignas(64) T v[kCount];
};
template <class T, int kCount>
inline const PermutationCopy<T, kCount>& PermutationAs() {
  static const PermutationCopy<T, kCount> copy = [] {
    PermutationCopy<T, kCount> c{};
    for (int i = 0; i < kCount; ++i) c.v[i] = static_cast<T>(kPermutation[i]);
    return c;
  }();
  return copy;
}
#endif

#if defined(TAMREL_KERNEL_AVX512)
// The table's 256 bytes in four registers: byte permutes by the low byte of each index, bit 7
// choosing the half, are far quicker than gathers from memory.
inline __m512i PermBytes16(__m512i i) {
  const std::uint8_t* table = PermutationAs<std::uint8_t, 256>().v;
  const __m512i low =
      _mm512_permutex2var_epi8(_mm512_load_si512(table), i, _mm512_load_si512(table + 64));
  const __m512i high =
      _mm512_permutex2var_epi8(_mm512_load_si512(table + 128), i, _mm512_load_si512(table + 192));
  const __mmask16 upper = _mm512_test_epi32_mask(i, _mm512_set1_epi32(128));
  return _mm512_and_si512(_mm512_mask_blend_epi32(upper, low, high), _mm512_set1_epi32(255));
}

inline IntLanes16 Perm(IntLanes16 i) {
  return reinterpret_cast<IntLanes16>(PermBytes16(reinterpret_cast<__m512i>(i)));
}
inline IntLanes8 Perm(IntLanes8 i) {
  return reinterpret_cast<IntLanes8>(
      _mm512_castsi512_si256(PermBytes16(_mm512_zextsi256_si512(reinterpret_cast<__m256i>(i)))));
}
inline IntLanes4 Perm(IntLanes4 i) {
  return reinterpret_cast<IntLanes4>(
      _mm512_castsi512_si128(PermBytes16(_mm512_zextsi128_si512(reinterpret_cast<__m128i>(i)))));
}
#elif defined(TAMREL_KERNEL_AVX2)
// Gathers from the table widened to 32 bits.
inline const std::int32_t* WidePermutation() { return PermutationAs<std::int32_t, 512>().v; }
inline IntLanes8 Perm(IntLanes8 i) {
  return reinterpret_cast<IntLanes8>(
      _mm256_i32gather_epi32(WidePermutation(), reinterpret_cast<__m256i>(i), 4));
}
inline IntLanes4 Perm(IntLanes4 i) {
  return reinterpret_cast<IntLanes4>(
      _mm_i32gather_epi32(WidePermutation(), reinterpret_cast<__m128i>(i), 4));
}
#else
// Lane by lane from the table itself.
template <class I>
inline I Perm(I i) {
  I h;
  for (int k = 0; k < static_cast<int>(sizeof(I) / sizeof(std::int32_t)); ++k) {
    h[k] = kPermutation[i[k]];
  }
  return h;
}
#endif

// The plain cell rule: truncation, one less below zero (the mask adds -1 there).
template <class F, class I>
inline I CellLanes(F v) {
  return __builtin_convertvector(v, I) + (v < F{});
}

// r^4 times the gradient where r = radius - |offset|^2 is not negative, else +0.
template <class F>
inline F CornerLanes(F r, F grad) {
  F r4 = r * r;
  r4 = r4 * r4;
  const F c = r4 * grad;
  return r < F{} ? F{} : c;
}

template <class F, class I>
inline F Grad2Lanes(I h, F a, F b) {
  const I k = h & 7;
  const I low = k < 4;
  const F u = low ? a : b, v = low ? b : a;
  const F twoV = 2.0f * v;
  return ((k & 1) ? -u : u) + ((k & 2) ? -twoV : twoV);
}

template <class F, class I>
inline F Grad3Lanes(I h, F x, F y, F z) {
  const I m = h & 15;
  const F u = m < 8 ? x : y;
  const F v = m < 4 ? y : ((m == 12) | (m == 14) ? x : z);
  return ((m & 1) ? -u : u) + ((m & 2) ? -v : v);
}

template <class F, class I>
inline F Simplex2DLanes(F x, F y) {
  const F s = (x + y) * 0.3660254f;
  const I i = CellLanes<F, I>(x + s), j = CellLanes<F, I>(y + s);
  const F t = __builtin_convertvector(i + j, F) * 0.21132487f;
  const F x0 = x - (__builtin_convertvector(i, F) - t);
  const F y0 = y - (__builtin_convertvector(j, F) - t);
  const I first = x0 > y0;  // the middle corner steps x, else y
  const F one = F{} + 1.0f;
  const F x1 = (x0 - (first ? one : F{})) + 0.21132487f;
  const F y1 = (y0 - (first ? F{} : one)) + 0.21132487f;
  const F x2 = (x0 - 1.0f) + 0.42264974f;
  const F y2 = (y0 - 1.0f) + 0.42264974f;
  const I ii = i & 255, jj = j & 255;
  const I h0 = Perm(ii + Perm(jj));
  const I h1 = Perm((ii - first) + Perm(jj + (first ? I{} : I{} + 1)));
  const I h2 = Perm((ii + 1) + Perm(jj + 1));
  auto radius = [](F a, F b) { return (0.5f - a * a) - b * b; };
  const F c0 = CornerLanes(radius(x0, y0), Grad2Lanes(h0, x0, y0));
  const F c1 = CornerLanes(radius(x1, y1), Grad2Lanes(h1, x1, y1));
  const F c2 = CornerLanes(radius(x2, y2), Grad2Lanes(h2, x2, y2));
  return 40.0f * ((c0 + c1) + c2);
}

template <class F, class I>
inline F Simplex3DLanes(F x, F y, F z) {
  const F s = ((x + y) + z) * 0.33333334f;
  const I i = CellLanes<F, I>(x + s), j = CellLanes<F, I>(y + s), k = CellLanes<F, I>(z + s);
  const F t = __builtin_convertvector((i + j) + k, F) * 0.16666667f;
  const F x0 = x - (__builtin_convertvector(i, F) - t);
  const F y0 = y - (__builtin_convertvector(j, F) - t);
  const F z0 = z - (__builtin_convertvector(k, F) - t);
  // The plain decision tree with its ties, as masks. With a = x0 >= y0, b = y0 >= z0,
  // c = x0 >= z0 the first corner steps x for a & (b | c), y for !a & b, z for neither; the
  // second steps x for a | (b & c), y for !a | b, z unless both.
  const I a = x0 >= y0, b = y0 >= z0, c = x0 >= z0;
  const I i1 = a & (b | c), j1 = ~a & b, k1 = ~(i1 | j1);
  const I i2 = a | (b & c), j2 = ~a | b, k2 = ~(i2 & j2);
  const F one = F{} + 1.0f;
  auto offset = [&](F v0, I step, float g) { return (v0 - (step ? one : F{})) + g; };
  const F x1 = offset(x0, i1, 0.16666667f), y1 = offset(y0, j1, 0.16666667f),
          z1 = offset(z0, k1, 0.16666667f);
  const F x2 = offset(x0, i2, 0.33333334f), y2 = offset(y0, j2, 0.33333334f),
          z2 = offset(z0, k2, 0.33333334f);
  const F x3 = (x0 - 1.0f) + 0.5f, y3 = (y0 - 1.0f) + 0.5f, z3 = (z0 - 1.0f) + 0.5f;
  const I ii = i & 255, jj = j & 255, kk = k & 255;
  auto hash = [&](I si, I sj, I sk) { return Perm((ii - si) + Perm((jj - sj) + Perm(kk - sk))); };
  const I none{}, all = I{} - 1;
  const I h0 = hash(none, none, none), h1 = hash(i1, j1, k1), h2 = hash(i2, j2, k2),
          h3 = hash(all, all, all);
  auto radius = [](F u, F v, F w) { return ((0.6f - u * u) - v * v) - w * w; };
  const F c0 = CornerLanes(radius(x0, y0, z0), Grad3Lanes(h0, x0, y0, z0));
  const F c1 = CornerLanes(radius(x1, y1, z1), Grad3Lanes(h1, x1, y1, z1));
  const F c2 = CornerLanes(radius(x2, y2, z2), Grad3Lanes(h2, x2, y2, z2));
  const F c3 = CornerLanes(radius(x3, y3, z3), Grad3Lanes(h3, x3, y3, z3));
  return 32.0f * (((c0 + c1) + c2) + c3);
}

// The plain filtered noise's fade of an octave whose footprint is `width`, and the noise blended
// towards 0 by it; fully faded octaves give 0 (the plain code does not evaluate them).
template <class F>
inline F FadedLanes(F noise, F width) {
  const F fade = formula::FadeOf(width);
  return fade >= formula::kFullyFaded ? F{} : formula::Faded(noise, fade);
}
