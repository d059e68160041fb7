// The AVX-512 search of a batch: eight cellular searches side by side, one sample in each 64-bit
// lane, through their levels in turn, each lane pruned against its own sample's running minimum.
// Every lane does the plain arithmetic of its own search, and a cube is skipped only when its
// bound is not below the lane's minimum, so the top of the body says why the result is the plain
// one; the lanes decide only which cubes are computed together. It pays where neighbouring
// samples share their cubes, as the samples of a row do. Part of the body in the AVX-512 variant.

// The most feature points a cube has (the largest entry of kFeatureCount).
constexpr int kMostFeatures = 5;

// The feature counts packed four bits each, sixteen to a 64-bit word, for lookups in registers.
struct PackedCounts {
  alignas(64) std::uint64_t word[16];
};
inline const PackedCounts& Counts() {
  static const PackedCounts packed = [] {
    PackedCounts p{};
    for (int i = 0; i < 256; ++i) {
      p.word[i >> 4] |= static_cast<std::uint64_t>(kFeatureCount[i]) << ((i & 15) * 4);
    }
    return p;
  }();
  return packed;
}

// The feature counts of the cubes with these seeds, one per 64-bit lane.
inline __m512i CountsOf(__m256i seed, const PackedCounts& counts) {
  const __m512i index = _mm512_cvtepu32_epi64(_mm256_srli_epi32(seed, 24));
  const __m512i word =
      _mm512_permutex2var_epi64(_mm512_load_si512(counts.word), _mm512_srli_epi64(index, 4),
                                _mm512_load_si512(counts.word + 8));
  const __m512i shift = _mm512_slli_epi64(_mm512_and_si512(index, _mm512_set1_epi64(15)), 2);
  return _mm512_and_si512(_mm512_srlv_epi64(word, shift), _mm512_set1_epi64(15));
}

// Per lane: the stretched point in the density-scaled space, its cell less one, the squared gaps
// to the lower and the upper face of the cell per axis (+inf in a lane without a search, so that
// none of its neighbours opens), and the seed of the cell's cube.
struct Lanes {
  alignas(64) double q[3][8];
  alignas(64) double less1[3][8];
  alignas(64) double below[3][8];
  alignas(64) double above[3][8];
  alignas(32) std::uint32_t seed[8];
};

// Fills the lanes from rotated and stretched float coordinates, one point per lane, and gives the
// lanes of `live` whose coordinates are all finite and inside the fast cell range. The others
// compute on the origin, with +inf gaps; their numbers are never used.
inline __mmask8 FillLanes(const __m256 r[3], __mmask8 live, Lanes& L) {
  const __m512d one = _mm512_set1_pd(1.0), none = _mm512_set1_pd(kNoDistance);
  __m512d s[3];
  for (int a = 0; a < 3; ++a) {
    s[a] = _mm512_mul_pd(_mm512_set1_pd(kDensity), _mm512_cvtps_pd(r[a]));
    live = _mm512_mask_cmp_pd_mask(live, _mm512_abs_pd(s[a]), _mm512_set1_pd(kFastCellLimit),
                                   _CMP_LT_OQ);
  }
  __m256i cell[3];
  for (int a = 0; a < 3; ++a) {
    const __m512d v = _mm512_maskz_mov_pd(live, s[a]);
    // The cell rule: truncation, one less below zero.
    const __m512d t = _mm512_roundscale_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512d c =
        _mm512_mask_sub_pd(t, _mm512_cmp_pd_mask(v, _mm512_setzero_pd(), _CMP_LT_OQ), t, one);
    const __m512d below = _mm512_sub_pd(v, c);
    const __m512d above = _mm512_sub_pd(_mm512_add_pd(c, one), v);
    _mm512_store_pd(L.q[a], v);
    _mm512_store_pd(L.less1[a], _mm512_sub_pd(c, one));
    _mm512_store_pd(L.below[a], _mm512_mask_mul_pd(none, live, below, below));
    _mm512_store_pd(L.above[a], _mm512_mask_mul_pd(none, live, above, above));
    cell[a] = _mm512_cvttpd_epi32(c);
  }
  const __m256i seed = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(cell[0], _mm256_set1_epi32(static_cast<int>(kHashX))),
                       _mm256_mullo_epi32(cell[1], _mm256_set1_epi32(static_cast<int>(kHashY)))),
      _mm256_mullo_epi32(cell[2], _mm256_set1_epi32(static_cast<int>(kHashZ))));
  _mm256_store_si256(reinterpret_cast<__m256i*>(L.seed), seed);
  return live;
}

// Per lane, the smallest squared distance found so far, the step code of the cube that holds it
// and the level of that cube.
struct LaneBest {
  __m512d best2;
  __m256i step;
  __m256i level;
};

// One coordinate difference of feature k of every lane's cube: the generator jumps to the
// coordinate and the offset is formed in the bits of a double, as FeatureDelta does.
inline __m512d LaneDelta(__m256i seed, int axis, int k, __m512d less1, __m512d q) {
  const __m256i s = _mm256_add_epi32(
      _mm256_mullo_epi32(seed, _mm256_set1_epi32(static_cast<int>(kJumps.mul[axis][k]))),
      _mm256_set1_epi32(static_cast<int>(kJumps.add[axis][k])));
  const __m512i bits =
      _mm512_or_si512(_mm512_slli_epi64(_mm512_cvtepu32_epi64(s), 20),
                      _mm512_set1_epi64(static_cast<long long>(0x3FF0000000080000ull)));
  return _mm512_sub_pd(_mm512_add_pd(less1, _mm512_castsi512_pd(bits)), q);
}

// The smallest squared distance from each open lane's point q to the features of its cube (seed,
// cell less one c); +inf in closed lanes and for cubes without features.
inline __m512d LaneMinima(__m256i seed, const __m512d c[3], const __m512d q[3], __mmask8 open) {
  const __m512i count = CountsOf(seed, Counts());
  __m512d m = _mm512_set1_pd(kNoDistance);
  for (int k = 0; k < kMostFeatures; ++k) {
    const __mmask8 has = _mm512_mask_cmpgt_epi64_mask(open, count, _mm512_set1_epi64(k));
    if (has == 0) break;
    const __m512d dx = LaneDelta(seed, 0, k, c[0], q[0]);
    const __m512d dy = LaneDelta(seed, 1, k, c[1], q[1]);
    const __m512d dz = LaneDelta(seed, 2, k, c[2], q[2]);
    const __m512d d2 = formula::SquaredDistance(dx, dy, dz);
    m = _mm512_mask_min_pd(m, has, m, d2);
  }
  return m;
}

// The neighbour table's entry for a cell's own cube.
constexpr int kOwnCube = 26;
static_assert(kNeighbours.code[kOwnCube] == kCentre,
              "the entries after the 26 neighbours stand for the centre");

// Lowers each open lane's minimum by the features of its cube at neighbour n of the lane's cell
// (kOwnCube: the cell's own cube); `level` is recorded with every lowered minimum.
// Gives the cube's minimum in the open lanes (+inf in the others).
inline __m512d SearchLanes(const Lanes& L, int n, __mmask8 open, int level, LaneBest& B) {
  const __m256i seed =
      _mm256_add_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(L.seed)),
                       _mm256_set1_epi32(static_cast<int>(kNeighbours.seedStep[n])));
  __m512d c[3], q[3];
  for (int a = 0; a < 3; ++a) {
    // Adding a step of 0 to a cell leaves it as it is.
    c[a] = _mm512_add_pd(_mm512_load_pd(L.less1[a]), _mm512_set1_pd(kNeighbours.step[n][a]));
    q[a] = _mm512_load_pd(L.q[a]);
  }
  const __m512d m = LaneMinima(seed, c, q, open);
  // Closed lanes and empty cubes kept +inf, which lowers nothing.
  const __mmask8 lower = _mm512_cmp_pd_mask(m, B.best2, _CMP_LT_OQ);
  B.best2 = _mm512_mask_mov_pd(B.best2, lower, m);
  B.step = _mm256_mask_mov_epi32(B.step, lower, _mm256_set1_epi32(kNeighbours.code[n]));
  B.level = _mm256_mask_mov_epi32(B.level, lower, _mm256_set1_epi32(level));
  return m;
}

// Per neighbour, the face each axis steps through: 0 the lower, 1 the upper, -1 none.
struct NeighbourFaces {
  int side[26][3];
};
constexpr NeighbourFaces MakeNeighbourFaces() {
  NeighbourFaces f{};
  for (int n = 0; n < 26; ++n) {
    const int code = kNeighbours.code[n];
    const int step[3] = {code / 9 - 1, code / 3 % 3 - 1, code % 3 - 1};
    for (int a = 0; a < 3; ++a) f.side[n][a] = step[a] < 0 ? 0 : (step[a] > 0 ? 1 : -1);
  }
  return f;
}
constexpr NeighbourFaces kNeighbourFaces = MakeNeighbourFaces();

// Per set of open faces (bit 2 * axis + side), the neighbours all of whose faces are open, one
// bit per neighbour.
struct FaceNeighbours {
  std::uint32_t neighbours[64];
};
constexpr FaceNeighbours MakeFaceNeighbours() {
  FaceNeighbours t{};
  for (int faces = 0; faces < 64; ++faces) {
    for (int n = 0; n < 26; ++n) {
      bool open = true;
      for (int a = 0; a < 3; ++a) {
        const int side = kNeighbourFaces.side[n][a];
        if (side >= 0 && !((faces >> (2 * a + side)) & 1)) open = false;
      }
      if (open) t.neighbours[faces] |= 1u << n;
    }
  }
  return t;
}
constexpr FaceNeighbours kFaceNeighbours = MakeFaceNeighbours();

// The bound of neighbour n in every lane: the gaps of its steps summed in the plain order
// (gy + gx) + gz; an axis without a step adds a zero gap, which changes no bit.
inline __m512d LaneBound(const Lanes& L, int n) {
  __m512d gap[3];
  for (int a = 0; a < 3; ++a) {
    const int side = kNeighbourFaces.side[n][a];
    gap[a] = side < 0 ? _mm512_setzero_pd() : _mm512_load_pd(side == 0 ? L.below[a] : L.above[a]);
  }
  return _mm512_add_pd(_mm512_add_pd(gap[1], gap[0]), gap[2]);
}

// Per step code, its step along each axis in two bits (1 below, 2 above, 0 none): x in bits 0-1,
// y in 2-3, z in 4-5.
struct StepBits {
  alignas(64) std::int32_t bits[32];
};
constexpr StepBits MakeStepBits() {
  StepBits t{};
  for (int code = 0; code < 27; ++code) {
    const int step[3] = {code / 9 - 1, code / 3 % 3 - 1, code % 3 - 1};
    for (int a = 0; a < 3; ++a) t.bits[code] |= (step[a] < 0 ? 1 : (step[a] > 0 ? 2 : 0)) << 2 * a;
  }
  return t;
}
constexpr StepBits kStepBits = MakeStepBits();

// The strand values of the lanes' minima, each lane's level and step code telling the cube that
// holds it (L is the array of levels): StrandValue lane by lane, its bound test included. Gives
// the lanes whose test passed (the cube is the own cube or its bound is below the distance).
inline __mmask8 LaneStrandValues(const Lanes* L, __mmask8 live, const LaneBest& B, float spread,
                                 float value[8]) {
  live = static_cast<__mmask8>(live & _mm256_cmpge_epi32_mask(B.level, _mm256_setzero_si256()));
  const __m512d d = _mm512_sqrt_pd(B.best2);
  // Where lane k's numbers of level l are, in doubles from L[0].q[0][0].
  constexpr int kStride = static_cast<int>(sizeof(Lanes) / sizeof(double));
  static_assert(sizeof(Lanes) % sizeof(double) == 0, "levels lie a whole number of doubles apart");
  const __m256i at = _mm256_add_epi32(
      _mm256_mullo_epi32(_mm256_maskz_mov_epi32(live, B.level), _mm256_set1_epi32(kStride)),
      _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i steps = _mm256_permutex2var_epi32(
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kStepBits.bits)), B.step,
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kStepBits.bits + 8)));
  // Step codes reach 26: the two halves above hold codes 0..15, the rest come from 16..31.
  const __m256i upper = _mm256_permutex2var_epi32(
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kStepBits.bits + 16)), B.step,
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kStepBits.bits + 24)));
  const __m256i bits =
      _mm256_mask_mov_epi32(steps, _mm256_cmpge_epi32_mask(B.step, _mm256_set1_epi32(16)), upper);
  const double* base = &L[0].q[0][0];
  const std::ptrdiff_t less1 = &L[0].less1[0][0] - base;
  const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
  __m512d gap[3];
  for (int a = 0; a < 3; ++a) {
    const __m256i index = _mm256_add_epi32(at, _mm256_set1_epi32(8 * a));
    const __m512d q = _mm512_mask_i32gather_pd(zero, live, index, base, 8);
    const __m512d c =
        _mm512_add_pd(_mm512_mask_i32gather_pd(zero, live, index, base + less1, 8), one);
    const __m512d g = _mm512_sub_pd(q, c);
    const __m512d h = _mm512_sub_pd(one, g);
    const __m256i axis = _mm256_and_si256(_mm256_srli_epi32(bits, 2 * a), _mm256_set1_epi32(3));
    const __mmask8 below = _mm256_cmpeq_epi32_mask(axis, _mm256_set1_epi32(1));
    const __mmask8 above = _mm256_cmpeq_epi32_mask(axis, _mm256_set1_epi32(2));
    gap[a] = _mm512_mask_mul_pd(_mm512_maskz_mul_pd(below, g, g), above, h, h);
  }
  const __mmask8 own = _mm256_cmpeq_epi32_mask(B.step, _mm256_set1_epi32(kCentre));
  const __mmask8 inside =
      _mm512_cmp_pd_mask(_mm512_add_pd(_mm512_add_pd(gap[0], gap[1]), gap[2]), d, _CMP_LT_OQ);
  const __mmask8 pass = static_cast<__mmask8>(live & (own | inside));
  _mm256_storeu_ps(value, formula::StrandOfRoot<__m256>(_mm512_sqrt_pd(d), spread));
  return pass;
}

// The bound of neighbour N from a level's six face gaps (gap[axis][side]), as LaneBound forms it
// with the axes N does not step through left out of the sum: a gap there is +0, and adding +0 to
// a sum of non-negative gaps changes no bit. Unrolled over the neighbours, the bounds of a level
// are twenty additions.
template <int N>
inline __m512d StepBound(const __m512d (&gap)[3][2]) {
  constexpr int x = kNeighbourFaces.side[N][0], y = kNeighbourFaces.side[N][1],
                z = kNeighbourFaces.side[N][2];
  if constexpr (x < 0 && y < 0) {
    return gap[2][z];
  } else {
    __m512d sum;
    if constexpr (x < 0) {
      sum = gap[1][y];
    } else if constexpr (y < 0) {
      sum = gap[0][x];
    } else {
      sum = _mm512_add_pd(gap[1][y], gap[0][x]);
    }
    if constexpr (z >= 0) sum = _mm512_add_pd(sum, gap[2][z]);
    return sum;
  }
}

// Lowers floor, in the lanes of `need`, by the bound of every neighbour not searched there: then
// no computed squared distance of any of the level's 27 cubes is below it (see LevelFloors), the
// own cube's and the searched neighbours' minima having lowered it before.
template <std::size_t... N>
inline __m512d UnsearchedFloor(const Lanes& L, __m512d floor, const __mmask8* searched,
                               __mmask8 need, std::index_sequence<N...>) {
  __m512d gap[3][2];
  for (int a = 0; a < 3; ++a) {
    gap[a][0] = _mm512_load_pd(L.below[a]);
    gap[a][1] = _mm512_load_pd(L.above[a]);
  }
  ((floor = _mm512_mask_min_pd(floor, static_cast<__mmask8>(need & ~searched[N]), floor,
                               StepBound<N>(gap))),
   ...);
  return floor;
}

// The winning level of each lane of `pass` (winner[k]), as WinningLevel finds it from the same
// floors: the tests that spare a level its plain strand value are taken for the eight lanes side
// by side, the strand values of the vector formula being the scalar one's bits, and only the
// levels those tests leave are asked, lane by lane, in order. A level's floor is completed only in
// the lanes whose holder comes after it: the others never ask it.
inline void LaneWinners(const Point3* points, const ScratchParams& params, const Lanes* L,
                        int levels, __mmask8 pass, const LaneBest& B, const float best[8],
                        __m512d* floor, __mmask8 (*searched)[26], int winner[8]) {
  const __m512d inf = _mm512_set1_pd(kNoDistance);
  const __m256 value = _mm256_loadu_ps(best);
  // A lane whose minimum is +inf has every level at +inf: the first wins.
  const __mmask8 finite = _mm256_cmp_ps_mask(value, _mm256_set1_ps(kNoDistanceF), _CMP_NEQ_UQ);
  __m512d clear = _mm512_mul_pd(B.best2, _mm512_set1_pd(1.0 + 0x1p-16));
  const __m256 clearStrand =
      formula::StrandOfRoot<__m256>(_mm512_sqrt_pd(_mm512_sqrt_pd(clear)), params.spread);
  clear = _mm512_mask_mov_pd(inf, _mm256_cmp_ps_mask(clearStrand, value, _CMP_GT_OQ), clear);
  __mmask8 ask[8] = {};
  for (int l = 0; l < levels; ++l) {
    const __mmask8 need = static_cast<__mmask8>(
        pass & finite & _mm256_cmpgt_epi32_mask(B.level, _mm256_set1_epi32(l)));
    if (need == 0) continue;
    const __m512d f =
        UnsearchedFloor(L[l], floor[l], searched[l], need, std::make_index_sequence<26>());
    const __mmask8 below = _mm512_cmp_pd_mask(f, inf, _CMP_LT_OQ);
    const __mmask8 cleared =
        static_cast<__mmask8>(below & _mm512_cmp_pd_mask(f, clear, _CMP_GE_OQ));
    __mmask8 left = static_cast<__mmask8>(need & ~cleared);
    if (left == 0) continue;
    const __m256 strand =
        formula::StrandOfRoot<__m256>(_mm512_sqrt_pd(_mm512_sqrt_pd(f)), params.spread);
    const __mmask8 above =
        static_cast<__mmask8>(below & _mm512_cmp_pd_mask(f, B.best2, _CMP_GT_OQ) &
                              _mm256_cmp_ps_mask(strand, value, _CMP_GT_OQ));
    ask[l] = static_cast<__mmask8>(left & ~above);
  }
  alignas(32) std::int32_t holder[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(holder), B.level);
  for (int k = 0; k < 8; ++k) {
    if (!((pass >> k) & 1u)) continue;
    if (!((finite >> k) & 1u)) {
      winner[k] = 0;
      continue;
    }
    winner[k] = holder[k];
    for (int l = 0; l < holder[k]; ++l) {
      if (!((ask[l] >> k) & 1u)) continue;
      if (LevelStrand(points[k], params, l) <= best[k]) {
        winner[k] = l;
        break;
      }
    }
  }
}

// Eight samples, one per lane, their levels in turn: the neighbours are taken neighbour by
// neighbour (the faces of all levels first), level by level within a neighbour. A neighbour's
// bound is a sum of non-negative face gaps, and a rounded sum is at least each of its terms, so a
// neighbour can open only in lanes where each face it steps through was open when the neighbours
// began (the minima only fall): those lanes are tried, and only the neighbours that have them.
//
// With kFloors, floor[l] falls to each searched neighbour's minimum, and searched[l][n] (cleared
// by the caller) receives the lanes in which neighbour n of level l was searched: UnsearchedFloor
// then lowers a floor by the bounds of the others.
template <bool kFloors>
inline void SearchSampleNeighbours(const Lanes* L, int levels, __mmask8 live, LaneBest& B,
                                   __m512d* floor, __mmask8 (*searched)[26]) {
  __mmask8 face[8][3][2];
  std::uint32_t candidates[8] = {}, any = 0;
  for (int l = 0; l < levels; ++l) {
    int open = 0;
    for (int a = 0; a < 3; ++a) {
      face[l][a][0] =
          _mm512_mask_cmp_pd_mask(live, _mm512_load_pd(L[l].below[a]), B.best2, _CMP_LT_OQ);
      face[l][a][1] =
          _mm512_mask_cmp_pd_mask(live, _mm512_load_pd(L[l].above[a]), B.best2, _CMP_LT_OQ);
      open |= (face[l][a][0] != 0 ? 1 : 0) << (2 * a);
      open |= (face[l][a][1] != 0 ? 1 : 0) << (2 * a + 1);
    }
    candidates[l] = kFaceNeighbours.neighbours[open];
    any |= candidates[l];
  }
  for (; any != 0; any &= any - 1u) {
    const int n = __builtin_ctz(any);
    for (int l = 0; l < levels; ++l) {
      if (!((candidates[l] >> n) & 1u)) continue;
      __mmask8 may = 0xFF;
      for (int a = 0; a < 3; ++a) {
        const int side = kNeighbourFaces.side[n][a];
        if (side >= 0) may = static_cast<__mmask8>(may & face[l][a][side]);
      }
      if (may == 0) continue;
      const __mmask8 open = _mm512_mask_cmp_pd_mask(may, LaneBound(L[l], n), B.best2, _CMP_LT_OQ);
      if (open == 0) continue;
      const __m512d m = SearchLanes(L[l], n, open, l, B);
      if constexpr (kFloors) {
        floor[l] = _mm512_min_pd(floor[l], m);
        searched[l][n] = open;
      }
    }
  }
}

// The strand minima of up to eight samples (n of them), side by side; ok[k] is false where the
// fast search cannot vouch for sample k. With kLevels, winner[k] receives sample k's winning
// level. Declines (false, nothing searched) when the samples do not share their cubes: lanes pay
// only when most of them open the same cubes, and samples in more than two cells of a level
// would search many cubes for a lane or two each.
template <bool kLevels>
inline bool SampleLanesMinimum(const Point3* points, int n, const ScratchParams& params,
                               const formula::ScratchSetup& setup, const Saturation& sat,
                               float best[8], bool ok[8], int winner[8]) {
  if (!(params.spread > 0.0f)) return false;
  const int levels = setup.levels;
  const float(*rot)[9] = Frames().rot[params.type] + (levels <= 1 ? 0 : 1);
  alignas(32) float coord[3][8] = {};
  for (int k = 0; k < n; ++k) {
    coord[0][k] = points[k].x;
    coord[1][k] = points[k].y;
    coord[2][k] = points[k].z;
  }
  const __m256 point[3] = {_mm256_load_ps(coord[0]), _mm256_load_ps(coord[1]),
                           _mm256_load_ps(coord[2])};
  __mmask8 live = static_cast<__mmask8>((1u << n) - 1u);
  Lanes L[8];
  // The level points as the plain strand forms them, translation row (zero) included.
  for (int l = 0; l < levels; ++l) {
    __m256 m[9];
    for (int e = 0; e < 9; ++e) m[e] = _mm256_set1_ps(rot[l][e]);
    __m256 r[3];
    formula::LevelPoint(point[0], point[1], point[2], m, ZeroLanes{}, setup.stretchAxis,
                        _mm256_set1_ps(setup.stretch), r);
    live = FillLanes(r, live, L[l]);
    const __m256i seed = _mm256_load_si256(reinterpret_cast<const __m256i*>(L[l].seed));
    // The cell of the first live lane and the cell of the first live lane outside it: samples
    // of a row of pixels, one or several a pixel, mostly lie in one or two cells of a level,
    // however a cell's border crosses them.
    if (live == 0) continue;
    const __mmask8 first = _mm256_mask_cmpeq_epi32_mask(
        live, seed, _mm256_set1_epi32(static_cast<int>(L[l].seed[__builtin_ctz(live)])));
    const __mmask8 rest = static_cast<__mmask8>(live & ~first);
    if (rest != 0) {
      const __mmask8 second = _mm256_mask_cmpeq_epi32_mask(
          rest, seed, _mm256_set1_epi32(static_cast<int>(L[l].seed[__builtin_ctz(rest)])));
      if (rest & ~second) return false;
    }
  }

  // As StrandMinimum: from sat.d2, unless the winning levels are asked for.
  const double start = kLevels ? kNoDistance : sat.d2;
  LaneBest B{_mm512_set1_pd(start), _mm256_set1_epi32(kCentre), _mm256_set1_epi32(-1)};
  __m512d floor[8];
  __mmask8 searched[8][26];
  if constexpr (kLevels) __builtin_memset(searched, 0, sizeof searched);
  for (int l = 0; l < levels; ++l) {
    floor[l] = SearchLanes(L[l], kOwnCube, live, l, B);
  }
  SearchSampleNeighbours<kLevels>(L, levels, live, B, floor, searched);

  __mmask8 pass = LaneStrandValues(L, live, B, params.spread, best);
  if (start < kNoDistance) {
    // Nothing below the start: the minimum is at least sat.strand.
    const __mmask8 none =
        static_cast<__mmask8>(live & _mm256_cmplt_epi32_mask(B.level, _mm256_setzero_si256()));
    _mm256_storeu_ps(best, _mm256_mask_mov_ps(_mm256_loadu_ps(best), none,
                                              _mm256_set1_ps(sat.strand)));
    pass = static_cast<__mmask8>(pass | none);
  }
  for (int k = 0; k < n; ++k) ok[k] = ((pass >> k) & 1u) != 0;
  if constexpr (kLevels)
    LaneWinners(points, params, L, levels, pass, B, best, floor, searched, winner);
  return true;
}
