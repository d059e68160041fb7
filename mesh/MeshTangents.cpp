// MikkTSpace tangents: per-triangle UV gradients, vertices by value, groups by edge-connected
// fans of one UV winding, angle-weighted averages in the plane of the vertex normal.
#include "mesh/MeshTangents.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace tamrel::mesh {
namespace {

struct Vec3d {
  double x = 0.0, y = 0.0, z = 0.0;
};

Vec3d operator+(const Vec3d& a, const Vec3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3d operator-(const Vec3d& a, const Vec3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3d operator*(double f, const Vec3d& a) { return {f * a.x, f * a.y, f * a.z}; }
double Dot(const Vec3d& a, const Vec3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double LengthOf(const Vec3d& a) { return std::sqrt(Dot(a, a)); }
double Component(const Vec3d& a, int axis) { return axis == 0 ? a.x : (axis == 1 ? a.y : a.z); }
Vec3d ToDouble(const Point3& p) { return {p.x, p.y, p.z}; }

// What the construction counts as zero: the smallest normal float, as for the float inputs.
constexpr double kNotZero = std::numeric_limits<float>::min();
// Projected tangents (or bitangents) of two triangles of a group whose cosine is at most this are
// opposed, and their corners are not averaged together: the 180-degree threshold, with room for
// the rounding of two exactly opposite unit vectors.
constexpr double kOpposedCos = -1.0 + 1e-12;
// Opposed unit vectors differ from each other's negation by less than 2e-6 in every component;
// the candidates for a vector's opposite are searched within this window.
constexpr double kOpposedWindow = 1e-5;
// A group average shorter than this fraction of its total weight has cancelled out: what is left
// is the rounding of the float inputs, and points nowhere in particular.
constexpr double kCancelled = 1e-6;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// The unit vector along v, or zero when v is (nearly) zero or not finite.
Vec3d Normalized(const Vec3d& v) {
  const double len = LengthOf(v);
  if (!(len > kNotZero) || !std::isfinite(len)) return {};
  return {v.x / len, v.y / len, v.z / len};
}

// v without its component along the unit (or zero) vector n: one Gram-Schmidt step.
Vec3d ProjectOut(const Vec3d& v, const Vec3d& n) { return v - Dot(n, v) * n; }

// The bits a float is identified by: +0 and -0 are one value.
std::uint32_t IdentityBits(float f) {
  if (f == 0.0f) return 0u;
  return std::bit_cast<std::uint32_t>(f);
}

using VertexKey = std::array<std::uint32_t, 8>;  // position, normal, UV

// The tangent of a corner no average defines: the coordinate axis least aligned with the unit
// normal (the first of equals), made perpendicular to it; +x when the normal is unusable.
Point3 Fallback(const Vec3d& n) {
  const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
  if (!(LengthOf(n) > 0.5)) return Point3(1.0f, 0.0f, 0.0f);
  Vec3d axis{1.0, 0.0, 0.0};
  if (ay < ax && ay <= az) {
    axis = {0.0, 1.0, 0.0};
  } else if (az < ax && az < ay) {
    axis = {0.0, 0.0, 1.0};
  }
  const Vec3d t = Normalized(ProjectOut(axis, n));  // at least sqrt(2/3) long before normalising
  return Point3(t.x, t.y, t.z);
}

// The unit tangent of a group's weighted sum, orthogonalised against the unit normal n.
Point3 FinishTangent(const Vec3d& sum, double weight, const Vec3d& n) {
  const Vec3d t = ProjectOut(sum, n);
  const double len = LengthOf(t);
  if (!(weight > 0.0) || !std::isfinite(len) || !(len > kCancelled * weight)) return Fallback(n);
  return Point3(t.x / len, t.y / len, t.z / len);
}

struct TriangleInfo {
  Vec3d os, ot;  // unit directions of increasing u and v in the triangle's plane, when usable
  std::uint32_t neighbor[3] = {kNone, kNone, kNone};  // across the edge from corner k to k + 1
  bool orientPreserving = false;  // UV winding counter-clockwise, as the positions' winding
  bool groupWithAny = true;       // no usable UV gradient: joins a group of either winding
  bool degenerate = false;        // two corners at one position
};

// One triangle of a group, at the group's vertex.
struct Member {
  std::uint32_t triangle = 0;
  int corner = 0;
  // Zero for a triangle without usable gradients, which takes the group's tangent but adds
  // nothing to it.
  double angle = 0.0;
  Vec3d t, b;  // the triangle's tangent and bitangent projected into the normal's plane, unit
};

class TangentBuilder {
 public:
  TangentBuilder(const std::vector<Point3>& positions, const std::vector<Point3>& normals,
                 const std::vector<Point2>& uvs, const std::vector<std::uint32_t>& indices)
      : positions_(positions), normals_(normals), uvs_(uvs), indices_(indices),
        triangles_(indices.size() / 3), result_(indices.size()), group_(indices.size(), kNone) {}

  std::vector<Tangent> Run() {
    IdentifyVertices();
    InitTriangles();
    BuildNeighbors();
    BuildGroups();
    FillUngrouped();
    return std::move(result_);
  }

 private:
  std::size_t TriangleCount() const { return triangles_.size(); }
  std::uint32_t Vertex(std::size_t t, int k) const { return shared_[3 * t + k]; }
  Vec3d Position(std::size_t t, int k) const { return ToDouble(positions_[indices_[3 * t + k]]); }

  Vec3d UnitNormal(std::size_t t, int k) const {
    const Vec3d n = ToDouble(normals_[indices_[3 * t + k]]);
    const double len = LengthOf(n);
    if (!(len > 0.0) || !std::isfinite(len)) return {};
    return {n.x / len, n.y / len, n.z / len};
  }

  // shared_[corner]: a dense id per distinct vertex value, ranked by value, so that the ids (and
  // everything after) do not depend on how the vertices are indexed.
  void IdentifyVertices() {
    const std::size_t n = positions_.size();
    keys_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const Point3& p = positions_[i];
      const Point3& nm = normals_[i];
      const Point2& uv = uvs_[i];
      keys_[i] = {IdentityBits(p.x),  IdentityBits(p.y),  IdentityBits(p.z),  IdentityBits(nm.x),
                  IdentityBits(nm.y), IdentityBits(nm.z), IdentityBits(uv.x), IdentityBits(uv.y)};
    }
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return keys_[a] < keys_[b] || (keys_[a] == keys_[b] && a < b);
    });
    std::vector<std::uint32_t> id(n, 0);
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0 && keys_[order[i]] != keys_[order[i - 1]]) ++next;
      id[order[i]] = next;
    }
    vertexCount_ = n == 0 ? 0 : next + 1;
    shared_.resize(indices_.size());
    for (std::size_t c = 0; c < indices_.size(); ++c) shared_[c] = id[indices_[c]];
  }

  bool SamePosition(std::uint32_t a, std::uint32_t b) const {
    return keys_[a][0] == keys_[b][0] && keys_[a][1] == keys_[b][1] && keys_[a][2] == keys_[b][2];
  }

  // The triangle's UV gradients: os = dP/du and ot = dP/dv, both scaled by twice the signed UV
  // area, then normalised with the area's sign so that they point along increasing u and v.
  void InitTriangles() {
    for (std::size_t t = 0; t < TriangleCount(); ++t) {
      TriangleInfo& tri = triangles_[t];
      const std::uint32_t i0 = indices_[3 * t], i1 = indices_[3 * t + 1], i2 = indices_[3 * t + 2];
      if (SamePosition(i0, i1) || SamePosition(i1, i2) || SamePosition(i2, i0)) {
        tri.degenerate = true;
        continue;
      }
      const Vec3d d1 = Position(t, 1) - Position(t, 0);
      const Vec3d d2 = Position(t, 2) - Position(t, 0);
      const double t21x = double(uvs_[i1].x) - double(uvs_[i0].x);
      const double t21y = double(uvs_[i1].y) - double(uvs_[i0].y);
      const double t31x = double(uvs_[i2].x) - double(uvs_[i0].x);
      const double t31y = double(uvs_[i2].y) - double(uvs_[i0].y);
      const double signedArea = t21x * t31y - t21y * t31x;
      const Vec3d os = t31y * d1 - t21y * d2;
      const Vec3d ot = t21x * d2 - t31x * d1;
      tri.orientPreserving = signedArea > 0.0;
      const double absArea = std::fabs(signedArea);
      if (!(absArea > kNotZero)) continue;
      const double lenS = LengthOf(os), lenT = LengthOf(ot);
      const double magS = lenS / absArea, magT = lenT / absArea;
      if (!(magS > kNotZero) || !(magT > kNotZero) || !std::isfinite(magS) || !std::isfinite(magT))
        continue;
      const double sign = tri.orientPreserving ? 1.0 : -1.0;
      tri.os = (sign / lenS) * os;
      tri.ot = (sign / lenT) * ot;
      tri.groupWithAny = false;
    }
  }

  // Neighbours across edges traversed in opposite directions. Among the triangles of one edge,
  // the k-th (in triangle order) running one way pairs with the k-th running the other way.
  void BuildNeighbors() {
    struct Edge {
      std::uint32_t lo, hi, triangle;
      int side;
      bool forward;  // the triangle runs lo -> hi
    };
    std::vector<Edge> edges;
    edges.reserve(indices_.size());
    for (std::size_t t = 0; t < TriangleCount(); ++t) {
      if (triangles_[t].degenerate) continue;
      for (int k = 0; k < 3; ++k) {
        const std::uint32_t a = Vertex(t, k), b = Vertex(t, (k + 1) % 3);
        edges.push_back({std::min(a, b), std::max(a, b), static_cast<std::uint32_t>(t), k, a < b});
      }
    }
    std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
      if (a.lo != b.lo) return a.lo < b.lo;
      if (a.hi != b.hi) return a.hi < b.hi;
      return a.triangle < b.triangle;
    });
    std::vector<const Edge*> forward, backward;
    for (std::size_t begin = 0; begin < edges.size();) {
      std::size_t end = begin;
      forward.clear();
      backward.clear();
      while (end < edges.size() && edges[end].lo == edges[begin].lo &&
             edges[end].hi == edges[begin].hi) {
        (edges[end].forward ? forward : backward).push_back(&edges[end]);
        ++end;
      }
      const std::size_t pairs = std::min(forward.size(), backward.size());
      for (std::size_t i = 0; i < pairs; ++i) {
        triangles_[forward[i]->triangle].neighbor[forward[i]->side] = backward[i]->triangle;
        triangles_[backward[i]->triangle].neighbor[backward[i]->side] = forward[i]->triangle;
      }
      begin = end;
    }
  }

  int CornerOf(std::uint32_t t, std::uint32_t vertex) const {
    for (int k = 0; k < 3; ++k) {
      if (Vertex(t, k) == vertex) return k;
    }
    return -1;
  }

  // Every corner of a triangle with usable gradients starts a group unless one already holds it;
  // the group spreads to the triangles joined to it by the two edges at its vertex, as long as
  // they have its winding (a triangle without gradients takes the winding of the first group that
  // reaches it).
  void BuildGroups() {
    std::vector<std::uint32_t> stack, faces;
    std::uint32_t groupCount = 0;
    for (std::size_t t = 0; t < TriangleCount(); ++t) {
      const TriangleInfo& start = triangles_[t];
      if (start.degenerate || start.groupWithAny) continue;
      for (int k = 0; k < 3; ++k) {
        if (group_[3 * t + k] != kNone) continue;
        const std::uint32_t g = groupCount++;
        const std::uint32_t vertex = Vertex(t, k);
        const bool orient = start.orientPreserving;
        faces.clear();
        stack.assign(1, static_cast<std::uint32_t>(t));
        while (!stack.empty()) {
          const std::uint32_t q = stack.back();
          stack.pop_back();
          const int c = CornerOf(q, vertex);
          if (c < 0 || group_[3 * q + c] != kNone) continue;
          TriangleInfo& tri = triangles_[q];
          if (tri.groupWithAny && group_[3 * q] == kNone && group_[3 * q + 1] == kNone &&
              group_[3 * q + 2] == kNone) {
            tri.orientPreserving = orient;
          }
          if (tri.orientPreserving != orient) continue;
          group_[3 * q + c] = g;
          faces.push_back(q);
          const std::uint32_t left = tri.neighbor[c], right = tri.neighbor[(c + 2) % 3];
          if (left != kNone) stack.push_back(left);
          if (right != kNone) stack.push_back(right);
        }
        ResolveGroup(faces, vertex, orient);
      }
    }
  }

  // The corner angle at corner c of triangle t, between its edges projected into the plane of n.
  double CornerAngle(std::uint32_t t, int c, const Vec3d& n) const {
    const Vec3d p = Position(t, c);
    const Vec3d toPrev = Normalized(ProjectOut(Position(t, (c + 2) % 3) - p, n));
    const Vec3d toNext = Normalized(ProjectOut(Position(t, (c + 1) % 3) - p, n));
    const double cosine = std::clamp(Dot(toPrev, toNext), -1.0, 1.0);
    const double angle = std::acos(cosine);
    return std::isfinite(angle) ? angle : 0.0;
  }

  // Appends to opposed_ the pairs (i, j) of members whose tangents (or bitangents, with
  // bitangents) oppose. Members that do not contribute have zero vectors and oppose nothing.
  // Candidates are found by sorting on the axis the normal leans on least, where tangent-plane
  // vectors spread most.
  void FindOpposed(bool bitangents, int axis) {
    sorted_.clear();
    for (std::size_t i = 0; i < members_.size(); ++i) {
      const Vec3d& v = bitangents ? members_[i].b : members_[i].t;
      if (LengthOf(v) > 0.5) sorted_.push_back({Component(v, axis), static_cast<std::uint32_t>(i)});
    }
    std::sort(sorted_.begin(), sorted_.end());
    for (const auto& [value, i] : sorted_) {
      const Vec3d& vi = bitangents ? members_[i].b : members_[i].t;
      auto it = std::lower_bound(sorted_.begin(), sorted_.end(),
                                 std::pair<double, std::uint32_t>(-value - kOpposedWindow, 0));
      for (; it != sorted_.end() && it->first <= -value + kOpposedWindow; ++it) {
        const Vec3d& vj = bitangents ? members_[it->second].b : members_[it->second].t;
        if (Dot(vi, vj) <= kOpposedCos) opposed_.push_back({i, it->second});
      }
    }
  }

  // The tangents of a group's corners. Sums run over the members in the order the group reached
  // them, which depends on the values and the triangle order alone.
  void ResolveGroup(const std::vector<std::uint32_t>& faces, std::uint32_t vertex, bool orient) {
    const int firstCorner = CornerOf(faces[0], vertex);
    const Vec3d n = UnitNormal(faces[0], firstCorner);
    members_.clear();
    for (const std::uint32_t q : faces) {
      Member m;
      m.triangle = q;
      m.corner = CornerOf(q, vertex);
      const TriangleInfo& tri = triangles_[q];
      if (!tri.groupWithAny) {
        m.t = Normalized(ProjectOut(tri.os, n));
        m.b = Normalized(ProjectOut(tri.ot, n));
        m.angle = CornerAngle(q, m.corner, n);
      }
      members_.push_back(m);
    }

    Vec3d sum;
    double weight = 0.0;
    for (const Member& m : members_) {
      sum = sum + m.angle * m.t;
      weight += m.angle;
    }
    const float w = orient ? 1.0f : -1.0f;
    const Tangent shared{FinishTangent(sum, weight, n), w};
    for (const Member& m : members_) result_[3 * m.triangle + m.corner] = shared;
    if (members_.size() < 2) return;

    // A member with opposing ones averages all the others: the group's sum less theirs, taken
    // in member order so that members with the same opposing set get the same bits.
    opposed_.clear();
    const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    const int axis = (ax <= ay && ax <= az) ? 0 : (ay <= az ? 1 : 2);
    FindOpposed(false, axis);
    FindOpposed(true, axis);
    std::sort(opposed_.begin(), opposed_.end());
    opposed_.erase(std::unique(opposed_.begin(), opposed_.end()), opposed_.end());
    for (std::size_t k = 0; k < opposed_.size();) {
      const std::uint32_t i = opposed_[k].first;
      Vec3d own = sum;
      double ownWeight = weight;
      for (; k < opposed_.size() && opposed_[k].first == i; ++k) {
        const Member& other = members_[opposed_[k].second];
        own = own - other.angle * other.t;
        ownWeight -= other.angle;
      }
      const Member& m = members_[i];
      result_[3 * m.triangle + m.corner] = Tangent{FinishTangent(own, ownWeight, n), w};
    }
  }

  // Corners no group reached: the fallback tangent with their triangle's winding when a group
  // fixed it, +1 otherwise. Corners of triangles with two corners at one position: a copy of the
  // first grouped-triangle corner at the same vertex, or the fallback.
  void FillUngrouped() {
    std::vector<std::uint32_t> firstCorner(vertexCount_, kNone);
    for (std::size_t t = 0; t < TriangleCount(); ++t) {
      const TriangleInfo& tri = triangles_[t];
      if (tri.degenerate) continue;
      const bool fixed =
          group_[3 * t] != kNone || group_[3 * t + 1] != kNone || group_[3 * t + 2] != kNone;
      for (int k = 0; k < 3; ++k) {
        const std::size_t c = 3 * t + k;
        if (firstCorner[shared_[c]] == kNone) firstCorner[shared_[c]] = static_cast<std::uint32_t>(c);
        if (group_[c] != kNone) continue;
        const float w = (fixed && !tri.orientPreserving) ? -1.0f : 1.0f;
        result_[c] = Tangent{Fallback(UnitNormal(t, k)), w};
      }
    }
    for (std::size_t t = 0; t < TriangleCount(); ++t) {
      if (!triangles_[t].degenerate) continue;
      for (int k = 0; k < 3; ++k) {
        const std::size_t c = 3 * t + k;
        const std::uint32_t source = firstCorner[shared_[c]];
        result_[c] = source != kNone ? result_[source] : Tangent{Fallback(UnitNormal(t, k)), 1.0f};
      }
    }
  }

  const std::vector<Point3>& positions_;
  const std::vector<Point3>& normals_;
  const std::vector<Point2>& uvs_;
  const std::vector<std::uint32_t>& indices_;
  std::vector<VertexKey> keys_;
  std::vector<std::uint32_t> shared_;  // per corner
  std::uint32_t vertexCount_ = 0;
  std::vector<TriangleInfo> triangles_;
  std::vector<Tangent> result_;
  std::vector<std::uint32_t> group_;  // per corner: its group, kNone when none reached it
  std::vector<Member> members_;       // scratch: the group being resolved
  std::vector<std::pair<double, std::uint32_t>> sorted_;          // scratch of FindOpposed
  std::vector<std::pair<std::uint32_t, std::uint32_t>> opposed_;  // scratch: opposing members
};

}  // namespace

std::vector<Tangent> GenerateTangents(const std::vector<Point3>& positions,
                                      const std::vector<Point3>& normals,
                                      const std::vector<Point2>& uvs,
                                      const std::vector<std::uint32_t>& indices) {
  if (normals.size() != positions.size() || uvs.size() != positions.size())
    throw std::invalid_argument("GenerateTangents: positions, normals and uvs differ in count");
  if (indices.size() % 3 != 0)
    throw std::invalid_argument("GenerateTangents: index count is not a multiple of 3");
  if (indices.size() >= kNone) throw std::length_error("GenerateTangents: too many corners");
  for (const std::uint32_t i : indices) {
    if (i >= positions.size()) throw std::invalid_argument("GenerateTangents: index out of range");
  }
  return TangentBuilder(positions, normals, uvs, indices).Run();
}

}  // namespace tamrel::mesh
