// Mesh tangents: directions of increasing u with the handedness of v, shared by vertex value,
// split by UV winding and at seams, angle-weighted, and finite for any input.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>

#include "mesh/MeshTangents.h"

namespace tamrel::mesh {
namespace {

struct Mesh {
  std::vector<Point3> p, n;
  std::vector<Point2> uv;
  std::vector<std::uint32_t> idx;
  std::uint32_t Add(Point3 pos, Point3 nrm, Point2 t) {
    p.push_back(pos), n.push_back(nrm), uv.push_back(t);
    return static_cast<std::uint32_t>(p.size() - 1);
  }
  void Tri(std::uint32_t a, std::uint32_t b, std::uint32_t c) { idx.insert(idx.end(), {a, b, c}); }
  std::vector<Tangent> Run() const { return GenerateTangents(p, n, uv, idx); }
};

Point3 P(float x, float y, float z) { return Point3(x, y, z); }
const Point3 kUp(0.0f, 0.0f, 1.0f);
bool SameBits(const Tangent& a, const Tangent& b) {
  return std::bit_cast<std::uint32_t>(a.t.x) == std::bit_cast<std::uint32_t>(b.t.x) &&
         std::bit_cast<std::uint32_t>(a.t.y) == std::bit_cast<std::uint32_t>(b.t.y) &&
         std::bit_cast<std::uint32_t>(a.t.z) == std::bit_cast<std::uint32_t>(b.t.z) &&
         std::bit_cast<std::uint32_t>(a.w) == std::bit_cast<std::uint32_t>(b.w);
}
Point3 Bitangent(const Point3& n, const Tangent& t) { return t.w * CrossProd(n, t.t); }
void ExpectNear(const Point3& a, const Point3& b, float tol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}
// A unit tangent perpendicular to n (w = +-1, everything finite).
void ExpectFrame(const Tangent& t, const Point3& n) {
  ASSERT_TRUE(std::isfinite(t.t.x) && std::isfinite(t.t.y) && std::isfinite(t.t.z));
  EXPECT_NEAR(t.t.Length(), 1.0f, 1e-6f);
  EXPECT_NEAR(DotProd(t.t, n.Normalize()), 0.0f, 1e-6f);
  EXPECT_TRUE(t.w == 1.0f || t.w == -1.0f);
}

// A triangle of the plane P(u, v) = o + u a + v b at the given UVs.
Mesh MappedTriangle(Point3 a, Point3 b, std::initializer_list<Point2> uvs, Point3 o = P(0.5f, -1.0f, 2.0f)) {
  Mesh m;
  for (const Point2& t : uvs) m.Add(o + t.x * a + t.y * b, kUp, t);
  m.Tri(0, 1, 2);
  return m;
}

TEST(TangentFrame, DirectionOfIncreasingUWithBitangentAlongV) {
  // u along +y, v skewed: the tangent is dP/du, not the gradient of u.
  const Point3 a(0.0f, 2.0f, 0.0f), b(-3.0f, 1.0f, 0.0f);
  Mesh m = MappedTriangle(a, b, {{1, 1}, {3, 1}, {2, 4}});
  for (const Tangent& t : m.Run()) {
    EXPECT_EQ(t.t, Point3(0.0f, 1.0f, 0.0f));
    EXPECT_EQ(t.w, 1.0f);
    EXPECT_EQ(Bitangent(kUp, t), Point3(-1.0f, 0.0f, 0.0f));
  }
  // u mirrored: the tangent turns round and the bitangent still runs along +v.
  m.uv = {{3, 1}, {1, 1}, {2, 4}};  // u' = 4 - u on the same positions
  for (const Tangent& t : m.Run()) {
    EXPECT_EQ(t.t, Point3(0.0f, -1.0f, 0.0f));
    EXPECT_EQ(t.w, -1.0f);
    EXPECT_EQ(Bitangent(kUp, t), Point3(-1.0f, 0.0f, 0.0f));
  }
  // v mirrored: the same tangent, the other handedness, v increasing along -b.
  m.uv = {{1, 4}, {3, 4}, {2, 1}};  // v' = 5 - v
  for (const Tangent& t : m.Run()) {
    EXPECT_EQ(t.t, Point3(0.0f, 1.0f, 0.0f));
    EXPECT_EQ(t.w, -1.0f);
    EXPECT_GT(DotProd(Bitangent(kUp, t), -1.0f * b), 0.0f);
  }
  // Rotated and stretched, and the same scaled by 1e30, where float products would overflow.
  for (const float s : {1.0f, 1e30f}) {
    const Mesh r = MappedTriangle(P(3, 4, 0), P(-2, 5, 0), {{2 * s, 1 * s}, {4 * s, 1 * s}, {3 * s, 3 * s}});
    for (const Tangent& t : r.Run()) {
      EXPECT_FLOAT_EQ(t.t.x, 0.6f);
      EXPECT_FLOAT_EQ(t.t.y, 0.8f);
      EXPECT_EQ(t.t.z, 0.0f);
      EXPECT_EQ(t.w, 1.0f);
    }
  }
}

TEST(TangentFrame, ProjectedIntoThePlaneOfEachCornerNormal) {
  Mesh m = MappedTriangle(P(3, 4, 0), P(-2, 5, 0), {{0, 0}, {1, 0}, {0, 1}});
  m.n = {Point3(0.3f, 0.0f, 1.0f).Normalize(), Point3(0.0f, -0.4f, 1.0f).Normalize(),
         Point3(0.2f, 0.2f, 1.0f).Normalize()};
  const std::vector<Tangent> t = m.Run();
  for (int k = 0; k < 3; ++k) {
    const Point3 a(0.6f, 0.8f, 0.0f);
    ExpectNear(t[k].t, (a - DotProd(a, m.n[k]) * m.n[k]).Normalize(), 1e-6f);
    ExpectFrame(t[k], m.n[k]);
  }
}

// z = h(x, y) over a grid, smooth normals, an affine UV map of positive winding.
Mesh BumpyGrid(int nx, int ny) {
  Mesh m;
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) {
      const float x = 3.0f * float(i) / float(nx - 1), y = 2.0f * float(j) / float(ny - 1);
      const float hx = 0.51f * std::cos(1.7f * x) * std::cos(1.3f * y);
      const float hy = -0.39f * std::sin(1.7f * x) * std::sin(1.3f * y);
      m.Add({x, y, 0.3f * std::sin(1.7f * x) * std::cos(1.3f * y)}, Point3(-hx, -hy, 1.0f).Normalize(),
            {0.7f * x + 0.2f * y, -0.1f * x + 0.9f * y});
    }
  for (int j = 0; j + 1 < ny; ++j)
    for (int i = 0; i + 1 < nx; ++i) {
      const std::uint32_t v = j * nx + i;
      m.Tri(v, v + 1, v + nx + 1), m.Tri(v, v + nx + 1, v + nx);
    }
  return m;
}

TEST(TangentSharing, OneTangentPerVertexValueWhateverTheIndexing) {
  const Mesh m = BumpyGrid(25, 17);
  const std::vector<Tangent> t = m.Run();
  std::vector<int> first(m.p.size(), -1);
  for (std::size_t c = 0; c < t.size(); ++c) {
    const std::uint32_t v = m.idx[c];
    if (first[v] < 0) first[v] = static_cast<int>(c);
    EXPECT_TRUE(SameBits(t[c], t[first[v]])) << c;
    ExpectFrame(t[c], m.n[v]);
    EXPECT_EQ(t[c].w, 1.0f);
    // dP/du of the surface, (x, y) moving by (0.9, 0.1) / 0.65 per unit of u.
    const float x = m.p[v].x, y = m.p[v].y;
    const Point3 dpdu(0.9f, 0.1f, 0.9f * 0.51f * std::cos(1.7f * x) * std::cos(1.3f * y) -
                                      0.1f * 0.39f * std::sin(1.7f * x) * std::sin(1.3f * y));
    EXPECT_GT(DotProd(t[c].t, (dpdu - DotProd(dpdu, m.n[v]) * m.n[v]).Normalize()), 0.995f);
  }
  Mesh flat, reversed = m;  // one vertex per corner; the vertex order reversed
  for (const std::uint32_t v : m.idx) {  // zeros written as -0 on every other copy
    Point3 pos = m.p[v];
    Point2 uv = m.uv[v];
    if (flat.p.size() % 2) pos.x = pos.x == 0.0f ? -0.0f : pos.x, uv.y = uv.y == 0.0f ? -0.0f : uv.y;
    flat.idx.push_back(flat.Add(pos, m.n[v], uv));
  }
  const std::size_t nv = m.p.size();
  for (std::size_t i = 0; i < nv; ++i)
    reversed.p[i] = m.p[nv - 1 - i], reversed.n[i] = m.n[nv - 1 - i], reversed.uv[i] = m.uv[nv - 1 - i];
  for (std::uint32_t& v : reversed.idx) v = static_cast<std::uint32_t>(nv - 1 - v);
  const std::vector<Tangent> tf = flat.Run(), tr = reversed.Run();
  for (std::size_t c = 0; c < t.size(); ++c) EXPECT_TRUE(SameBits(t[c], tf[c]) && SameBits(t[c], tr[c])) << c;
}

TEST(TangentSharing, CylinderTangentsRunAroundItAcrossTheUvSeam) {
  Mesh m;
  const int seg = 16;
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i <= seg; ++i) {  // column seg repeats column 0 at u = 1
      const float a = 6.2831853f * float(i % seg) / float(seg), c = std::cos(a), s = std::sin(a);
      m.Add(P(2 * c, 2 * s, 0.5f * float(j)), P(c, s, 0), {float(i) / float(seg), 0.5f * float(j) / 1.5f});
    }
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < seg; ++i) {
      const std::uint32_t v = j * (seg + 1) + i;
      m.Tri(v, v + 1, v + seg + 2), m.Tri(v, v + seg + 2, v + seg + 1);
    }
  const std::vector<Tangent> t = m.Run();
  for (std::size_t c = 0; c < t.size(); ++c) {
    const Point3& n = m.n[m.idx[c]];
    ExpectNear(t[c].t, Point3(-n.y, n.x, 0.0f), 2e-6f);
    ExpectNear(Bitangent(n, t[c]), kUp, 2e-6f);
  }
}

TEST(TangentSharing, CornersJoinedOnlyThroughAVertexKeepTheirOwn) {
  Mesh m;  // a bow tie: u along +x on the right, along +y on the left, one vertex between
  const std::uint32_t v = m.Add(P(0, 0, 0), kUp, {0, 0});
  m.Tri(v, m.Add(P(1, -0.5f, 0), kUp, {1, -0.5f}), m.Add(P(1, 0.5f, 0), kUp, {1, 0.5f}));
  m.Tri(v, m.Add(P(-1, 0.5f, 0), kUp, {0.5f, 1}), m.Add(P(-1, -0.5f, 0), kUp, {-0.5f, 1}));
  m.Tri(v, m.Add(P(0, 1, 0), kUp, {5, 5}), m.Add(P(0, 1, 0), kUp, {6, 5}));  // two corners at one position
  const std::vector<Tangent> t = m.Run();
  EXPECT_EQ(t[0].t, Point3(1.0f, 0.0f, 0.0f));
  EXPECT_EQ(t[3].t, Point3(0.0f, 1.0f, 0.0f));
  EXPECT_TRUE(SameBits(t[6], t[0]));  // the first corner at V
}

// Two unit squares side by side; the left one mapped u = x, v = y.
Mesh TwoSquares(bool shareSeam, Point2 (*rightUv)(float, float)) {
  Mesh m;
  std::uint32_t q[6];
  for (int k = 0; k < 6; ++k) q[k] = m.Add({float(k % 3), float(k / 3), 0}, kUp, {float(k % 3), float(k / 3)});
  m.Tri(q[0], q[1], q[4]), m.Tri(q[0], q[4], q[3]);
  std::uint32_t r[6];
  for (int k : {1, 2, 4, 5}) {
    const float x = float(k % 3), y = float(k / 3);
    r[k] = (shareSeam && x == 1.0f) ? q[k] : m.Add({x, y, 0}, kUp, rightUv(x, y));
  }
  m.Tri(r[1], r[2], r[5]), m.Tri(r[1], r[5], r[4]);
  return m;
}

TEST(TangentSeams, IslandsMeetingAtOnePositionKeepTheirOwnTangents) {
  // The right square's island turned a quarter: u along +y, its own vertices on the seam.
  std::vector<Tangent> t = TwoSquares(false, [](float x, float y) { return Point2(y, 2 - x); }).Run();
  for (int c = 0; c < 12; ++c) {
    EXPECT_EQ(t[c].t, c < 6 ? Point3(1.0f, 0.0f, 0.0f) : Point3(0.0f, 1.0f, 0.0f)) << c;
    EXPECT_EQ(t[c].w, 1.0f);
  }
  // The right island mirrored in u, sharing the seam's vertices: one winding per group.
  t = TwoSquares(true, [](float x, float y) { return Point2(2 - x, y); }).Run();
  for (int c = 0; c < 12; ++c) {
    EXPECT_EQ(t[c].t, c < 6 ? Point3(1.0f, 0.0f, 0.0f) : Point3(-1.0f, 0.0f, 0.0f)) << c;
    EXPECT_EQ(t[c].w, c < 6 ? 1.0f : -1.0f);
    EXPECT_EQ(Bitangent(kUp, t[c]), Point3(0.0f, 1.0f, 0.0f));
  }
}

TEST(TangentWeighting, CornerAnglesWeighTheTrianglesOfAVertex) {
  // A wide (100 degrees at V) and a thin (10 degrees) triangle share the edge V-E; the wide one
  // has dP/du along (1, -1), the thin one along (2, -1); the normals lean off the plane, so the
  // tangents and the angles are taken in the normal's plane.
  const double d = 3.14159265358979 / 180;
  const Point3 v = P(0, 0, 0), e = P(1, 0, 0), p1(std::cos(100 * d), std::sin(100 * d), 0.0), p2(std::cos(10 * d), -std::sin(10 * d), 0.0);
  const Point3 n = P(0.3f, 0.5f, 1).Normalize();
  Mesh m;
  const std::uint32_t iv = m.Add(v, n, {0, 0}), ie = m.Add(e, n, {1, 1});
  m.Tri(iv, ie, m.Add(p1, n, {p1.x, p1.x + p1.y}));
  m.Tri(iv, m.Add(p2, n, {p2.x + p2.y, p2.x + 2 * p2.y}), ie);
  const std::vector<Tangent> t = m.Run();
  auto flat = [&](Point3 a) { return (a - DotProd(a, n) * n).Normalize(); };
  const Point3 t1 = flat(P(1, -1, 0)), t2 = flat(P(2, -1, 0));
  auto angle = [&](Point3 at, Point3 a, Point3 b) { return std::acos(DotProd(flat(a - at), flat(b - at))); };
  const float av1 = angle(v, e, p1), av2 = angle(v, p2, e), ae1 = angle(e, p1, v), ae2 = angle(e, v, p2);
  ExpectNear(t[0].t, (av1 * t1 + av2 * t2).Normalize(), 1e-6f);
  ExpectNear(t[3].t, t[0].t, 0.0f);
  ExpectNear(t[1].t, (ae1 * t1 + ae2 * t2).Normalize(), 1e-6f);
  ExpectNear(t[5].t, t[1].t, 0.0f);
  ExpectNear(t[2].t, t1, 1e-6f);
  ExpectNear(t[4].t, t2, 1e-6f);
  EXPECT_GT((t[0].t - (t1 + t2).Normalize()).Length(), 0.1f);  // unweighted
  EXPECT_GT((t[0].t - (std::sin(av1) * t1 + std::sin(av2) * t2).Normalize()).Length(), 0.01f);  // by area
}

// A fan of triangles (V, ring[k], ring[k + 1]) around V = 0 with UV 0, closed or open: each
// corner at V must average the triangles whose tangent and bitangent do not oppose its own.
void ExpectFanSplitByOpposition(const std::vector<Point3>& ring, const std::vector<Point2>& uvs, bool closed) {
  Mesh m;
  const std::uint32_t v = m.Add(P(0, 0, 0), kUp, {0, 0});
  for (std::size_t k = 0; k < ring.size(); ++k) m.Add(ring[k], kUp, uvs[k]);
  const std::size_t n = closed ? ring.size() : ring.size() - 1;
  std::vector<Point3> du, dv;  // L(1, 0) and L(0, 1) for the linear L taking UVs to positions
  std::vector<float> angle;
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::uint32_t k1 = (k + 1) % static_cast<std::uint32_t>(ring.size());
    m.Tri(v, 1 + k, 1 + k1);
    const Point2 a = uvs[k], b = uvs[k1];
    const float det = a.x * b.y - a.y * b.x;
    du.push_back(((b.y * ring[k] - a.y * ring[k1]) / det).Normalize());
    dv.push_back(((a.x * ring[k1] - b.x * ring[k]) / det).Normalize());
    angle.push_back(std::acos(DotProd(ring[k].Normalize(), ring[k1].Normalize())));
  }
  const std::vector<Tangent> t = m.Run();
  for (std::size_t k = 0; k < n; ++k) {
    Point3 sum;
    for (std::size_t j = 0; j < n; ++j)
      if (DotProd(du[j], du[k]) > -0.99f && DotProd(dv[j], dv[k]) > -0.99f) sum += angle[j] * du[j];
    ExpectNear(t[3 * k].t, sum.Normalize(), 1e-6f);
    EXPECT_EQ(t[3 * k].w, 1.0f);
  }
}

TEST(TangentWeighting, OpposedTangentsAtAVertexAreNotAveraged) {
  // Eight triangles whose UVs wind round V twice: triangles k and k + 4 have the same UVs at
  // opposite positions, so their tangents oppose and would cancel in one average.
  ExpectFanSplitByOpposition({P(1, 0, 0), P(1, 1, 0), P(0, 1, 0), P(-1, 1, 0), P(-1, 0, 0), P(-1, -1, 0), P(0, -1, 0), P(1, -1, 0)},
                             {{1, 0}, {0, 1}, {-1, 0}, {0, -1}, {1, 0}, {0, 1}, {-1, 0}, {0, -1}}, true);
  // Three triangles where the first and last have opposed bitangents but not opposed tangents.
  ExpectFanSplitByOpposition({P(1, 0, 0), P(1, 1, 0), P(-1, 1, 0), P(-1, -1, 0)},
                             {{-2, 0}, {-2, -1}, {-1, -1}, {-1, -2}}, false);
}

TEST(TangentWeighting, TangentsCancellingAtAVertexGiveTheFallback) {
  // Nine triangles round V with UVs winding three times: their tangents point three each at 0,
  // 120 and 240 degrees, none opposed, and sum to nothing but rounding.
  Mesh m;
  const std::uint32_t v = m.Add(P(0, 0, 0), kUp, {0, 0});
  for (int k = 0; k < 9; ++k) {
    const double a = 6.283185307179586 * k / 9;
    m.Add(Point3(std::cos(a), std::sin(a), 0.0), kUp, {float(std::cos(3 * a)), float(std::sin(3 * a))});
  }
  for (std::uint32_t k = 0; k < 9; ++k) m.Tri(v, 1 + k, 1 + (k + 1) % 9);
  const std::vector<Tangent> t = m.Run();
  for (int k = 0; k < 9; ++k) {
    EXPECT_EQ(t[3 * k].t, Point3(1.0f, 0.0f, 0.0f)) << k;
    EXPECT_EQ(t[3 * k].w, 1.0f);
  }
}

TEST(TangentDegenerate, NoUvGradientTakesTheNeighboursOrAFallback) {
  // An isolated triangle with one UV at every corner.
  // The fallback: the axis the normal leans on least (x first of equals), made perpendicular.
  const std::pair<Point3, Point3> cases[] = {{P(-1.5f, 1.25f, 3), P(0, 1, 0)},
                                             {P(-1.25f, 1.25f, 3), P(1, 0, 0)},
                                             {P(2, -3, 1.5f), P(0, 0, 1)}};
  for (const auto& [normal, axis] : cases) {
    Mesh lone = MappedTriangle(P(1, 0, 0), P(0, 1, 0), {{0, 0}, {1, 0}, {0, 1}});
    lone.uv.assign(3, Point2(0.3f, 0.3f));
    const Point3 n = normal.Normalize();
    lone.n.assign(3, n);
    for (const Tangent& t : lone.Run()) {
      ExpectFrame(t, n);
      ExpectNear(t.t, (axis - DotProd(axis, n) * n).Normalize(), 1e-6f);
      EXPECT_EQ(t.w, 1.0f);
    }
  }

  // A square mapped u = 0.75x + 0.5y, v = 0.75y - 0.5x, with a triangle on its top edge whose
  // third UV lies on that edge's (zero UV area), and one whose third corner repeats a position.
  Mesh m;
  std::uint32_t q[4];
  const Point2 corner[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (int k = 0; k < 4; ++k) {
    const Point2& c = corner[k];
    q[k] = m.Add({c.x, c.y, 0}, kUp, {0.75f * c.x + 0.5f * c.y, 0.75f * c.y - 0.5f * c.x});
  }
  m.Tri(q[0], q[1], q[2]), m.Tri(q[0], q[2], q[3]);
  m.Tri(q[3], q[2], m.Add(P(0.5f, 2, 0), kUp, {0.875f, 0.5f}));
  m.Tri(q[3], q[2], m.Add(P(0, 1, 0), kUp, {9, 9}));
  const std::vector<Tangent> t = m.Run();
  for (int c = 0; c < 6; ++c) ExpectNear(t[c].t, P(3, 2, 0).Normalize(), 1e-6f);
  for (const int c : {6, 9}) EXPECT_TRUE(SameBits(t[c], t[5])) << c;      // at q[3]
  for (const int c : {7, 10}) EXPECT_TRUE(SameBits(t[c], t[4])) << c;     // at q[2]
  for (const int c : {8, 11}) {
    ExpectFrame(t[c], kUp);
    EXPECT_EQ(t[c].w, 1.0f);
  }
}

TEST(TangentDegenerate, NonFiniteInputsStayLocalAndNeverGiveNaN) {
  const Mesh clean = BumpyGrid(9, 7);
  Mesh m = clean;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  m.uv[10].x = nan, m.n[30] = Point3(nan, 0.0f, 1.0f), m.p[50].z = std::numeric_limits<float>::infinity();
  std::set<std::uint32_t> touched;
  for (std::size_t c = 0; c < m.idx.size(); ++c)
    if (m.idx[c] == 10 || m.idx[c] == 30 || m.idx[c] == 50)
      for (int k = 0; k < 3; ++k) touched.insert(m.idx[c / 3 * 3 + k]);
  const std::vector<Tangent> t = m.Run(), tc = clean.Run();
  for (std::size_t c = 0; c < t.size(); ++c) {
    ASSERT_TRUE(std::isfinite(t[c].t.x) && std::isfinite(t[c].t.y) && std::isfinite(t[c].t.z)) << c;
    EXPECT_NEAR(t[c].t.Length(), 1.0f, 1e-6f);
    EXPECT_TRUE(t[c].w == 1.0f || t[c].w == -1.0f);
    if (!touched.count(m.idx[c])) {
      EXPECT_TRUE(SameBits(t[c], tc[c])) << c;
    }
  }
  EXPECT_LT(touched.size(), 25u);
}

TEST(TangentDeterminism, SameBitsOnEveryRun) {
  Mesh m = BumpyGrid(30, 20);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> jitter(-0.2f, 0.2f);  // flips some UV windings
  for (Point2& t : m.uv) t = Point2(t.x + jitter(rng), t.y + jitter(rng));
  for (std::size_t i = 0; i < m.uv.size(); i += 37) m.uv[i] = m.uv[i + 1];
  const std::vector<Tangent> a = m.Run();
  const Mesh copy = m;
  const std::vector<Tangent> b = copy.Run();
  ASSERT_EQ(a.size(), m.idx.size());
  int mirrored = 0;
  for (std::size_t c = 0; c < a.size(); ++c) {
    EXPECT_TRUE(SameBits(a[c], b[c])) << c;
    mirrored += a[c].w < 0;
  }
  EXPECT_GT(mirrored, 0);
}

TEST(TangentInput, MismatchedSizesAndIndicesAreRefused) {
  Mesh m = MappedTriangle(P(1, 0, 0), P(0, 1, 0), {{0, 0}, {1, 0}, {0, 1}});
  EXPECT_TRUE(GenerateTangents({}, {}, {}, {}).empty());
  EXPECT_THROW(GenerateTangents(m.p, m.n, {m.uv[0], m.uv[1]}, m.idx), std::invalid_argument);
  EXPECT_THROW(GenerateTangents(m.p, {m.n[0], m.n[1]}, m.uv, m.idx), std::invalid_argument);
  EXPECT_THROW(GenerateTangents(m.p, m.n, m.uv, {0, 1}), std::invalid_argument);
  EXPECT_THROW(GenerateTangents(m.p, m.n, m.uv, {0, 1, 3}), std::invalid_argument);
  EXPECT_EQ(GenerateTangents(m.p, m.n, m.uv, {0, 1, 2}).size(), 3u);
}

}  // namespace
}  // namespace tamrel::mesh
