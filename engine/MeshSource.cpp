#include "engine/MeshSource.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/Bake.h"
#include "mesh/MeshTangents.h"

namespace tamrel::host {

// A triangle laid out in the image: its first corner in pixels and the inverse of its edge
// matrix, which turns a pixel offset from that corner into the barycentric weights of the other
// two corners. Double keeps the weights of neighbouring triangles consistent along shared edges.
struct MeshSource::UvTriangle {
  double x0, y0;
  double i00, i01, i10, i11;  // (b1, b2) = I * (px - x0, py - y0)
  std::uint32_t instance, triangle;
  int island;  // connected through shared vertices, counted over all instances
};

struct MeshSource::Hit {
  const UvTriangle* tri;
  double b1, b2;
};

namespace {

// Weights this far below zero still count as inside, so that a sample on an edge shared by two
// triangles belongs to one of them (the first) however the edge's two sides round.
constexpr double kEdgeTolerance = 1e-9;
// Cell entries at most, whatever the model: a layout of triangles that each span the whole image
// is binned coarser rather than taking memory for every cell each one touches.
constexpr std::uint64_t kMaxCellEntries = std::uint64_t(1) << 26;

Point3 Lerp3(const Point3& a, const Point3& b, const Point3& c, double b0, double b1, double b2) {
  return Point3(static_cast<float>(b0 * a.x + b1 * b.x + b2 * c.x),
                static_cast<float>(b0 * a.y + b1 * b.y + b2 * c.y),
                static_cast<float>(b0 * a.z + b1 * b.z + b2 * c.z));
}

Matrix3 ToMatrix3(const mesh::Affine& a) {
  // Matrix3 transforms row vectors: its rows are the images of the axes, then the translation.
  Matrix3 m;
  for (int r = 0; r < 4; ++r) {
    m.SetRow(r, Point3(static_cast<float>(a.m[0][r]), static_cast<float>(a.m[1][r]),
                       static_cast<float>(a.m[2][r])));
  }
  return m;
}

// A unit vector across n, for frames that have no direction of their own.
Point3 AnyPerpendicular(const Point3& n) {
  const Point3 axis = std::fabs(n.x) < 0.9f ? Point3(1.0f, 0.0f, 0.0f) : Point3(0.0f, 1.0f, 0.0f);
  return Normalize(axis - n * DotProd(axis, n));
}

// The UV island of each triangle of part: triangles that share a vertex (and so its UV) are
// one piece of the layout. Union-find over the vertices, islands numbered in triangle order.
std::vector<int> Islands(const mesh::MeshPart& part) {
  std::vector<std::uint32_t> parent(part.positions.size());
  for (std::uint32_t v = 0; v < parent.size(); ++v) parent[v] = v;
  const auto root = [&](std::uint32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
  };
  for (std::size_t k = 0; k < part.indices.size(); k += 3) {
    for (int c = 1; c < 3; ++c) {
      const std::uint32_t a = root(part.indices[k]), b = root(part.indices[k + c]);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  }
  std::vector<int> number(parent.size(), -1), out(part.TriangleCount());
  int next = 0;
  for (std::size_t t = 0; t < out.size(); ++t) {
    int& n = number[root(part.indices[3 * t])];
    if (n < 0) n = next++;
    out[t] = n;
  }
  return out;
}

bool Finite(const Point3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

std::shared_ptr<const MeshBake> PrepareMeshBake(std::shared_ptr<const mesh::MeshModel> model,
                                                int uvSet, int padding) {
  auto bake = std::make_shared<MeshBake>();
  bake->uvSet = uvSet;
  bake->padding = padding;
  bake->cornerTangents.resize(model->parts.size());
  bake->tangentsFromFile.assign(model->parts.size(), 0);
  std::vector<char> used(model->parts.size(), 0);
  for (const mesh::MeshInstance& i : model->instances) used[i.part] = 1;
  for (std::size_t p = 0; p < model->parts.size(); ++p) {
    if (!used[p]) continue;
    const mesh::MeshPart& part = model->parts[p];
    std::vector<mesh::Tangent>& out = bake->cornerTangents[p];
    // The file's tangents belong to its first UV set, where engines use them.
    if (uvSet == 0 && part.fileTangents.size() == part.positions.size()) {
      out.resize(part.indices.size());
      for (std::size_t k = 0; k < part.indices.size(); ++k) out[k] = part.fileTangents[part.indices[k]];
      bake->tangentsFromFile[p] = 1;
    } else {
      out = mesh::GenerateTangents(part.positions, part.normals, part.uvSets[uvSet], part.indices);
    }
  }
  bake->model = std::move(model);
  return bake;
}

MeshSource::MeshSource(std::shared_ptr<const MeshBake> bake, int width, int height, int samples,
                       bool filter)
    : bake_(std::move(bake)),
      width_(width),
      height_(height),
      samples_(samples),
      footprint_(SampleFootprint(samples)),
      filter_(filter) {
  const mesh::MeshModel& model = *bake_->model;
  const double w = width_, h = height_;
  struct Box {
    double lx, hx, ly, hy;
  };
  std::vector<Box> bounds;
  int islands = 0;  // of the instances so far
  for (std::size_t inst = 0; inst < model.instances.size(); ++inst) {
    const std::vector<int> island = Islands(model.parts[model.instances[inst].part]);
    const int base = islands;
    for (int i : island) islands = std::max(islands, base + i + 1);
    nodes_.push_back(std::make_unique<INode>(static_cast<ULONG>(inst + 1)));
    objectToWorld_.push_back(ToMatrix3(model.instances[inst].objectToWorld));
    const mesh::MeshPart& part = model.parts[model.instances[inst].part];
    const std::vector<Point2>& uv = part.uvSets[bake_->uvSet];
    for (std::size_t t = 0; t < part.TriangleCount(); ++t) {
      // Image rows run down, v up.
      double x[3], y[3];
      for (int k = 0; k < 3; ++k) {
        const Point2& c = uv[part.indices[3 * t + k]];
        x[k] = static_cast<double>(c.x) * w;
        y[k] = (1.0 - static_cast<double>(c.y)) * h;
      }
      const double e1x = x[1] - x[0], e1y = y[1] - y[0], e2x = x[2] - x[0], e2y = y[2] - y[0];
      const double det = e1x * e2y - e2x * e1y;
      // A triangle of no area in UV shows no texel.
      if (!(std::fabs(det) > 0.0) || !std::isfinite(det)) continue;
      UvTriangle tri{x[0], y[0], e2y / det, -e2x / det, -e1y / det, e1x / det,
                     static_cast<std::uint32_t>(inst), static_cast<std::uint32_t>(t),
                     base + island[t]};
      if (!std::isfinite(tri.i00) || !std::isfinite(tri.i01) || !std::isfinite(tri.i10) ||
          !std::isfinite(tri.i11)) {
        continue;
      }
      bounds.push_back({std::min({x[0], x[1], x[2]}), std::max({x[0], x[1], x[2]}),
                        std::min({y[0], y[1], y[2]}), std::max({y[0], y[1], y[2]})});
      triangles_.push_back(tri);
    }
  }

  // Cells of about one triangle each, coarser when the triangles' boxes would fill too many.
  const double perTriangle =
      std::max(1.0, w * h / static_cast<double>(std::max<std::size_t>(1, triangles_.size())));
  cell_ = std::clamp(static_cast<int>(std::sqrt(perTriangle)), 1, std::max(width_, height_));
  std::vector<int> boxes(triangles_.size() * 4);
  for (;;) {
    cellsX_ = (width_ + cell_ - 1) / cell_;
    cellsY_ = (height_ + cell_ - 1) / cell_;
    std::uint64_t entries = 0;
    for (std::size_t i = 0; i < triangles_.size(); ++i) {
      const auto [lx, hx, ly, hy] = bounds[i];
      int* b = &boxes[4 * i];
      // Cells the box touches, clamped to the image; a box wholly outside gets an empty range.
      b[0] = static_cast<int>(std::clamp(std::floor(lx / cell_), -1.0, double(cellsX_)));
      b[1] = static_cast<int>(std::clamp(std::floor(hx / cell_), -1.0, double(cellsX_)));
      b[2] = static_cast<int>(std::clamp(std::floor(ly / cell_), -1.0, double(cellsY_)));
      b[3] = static_cast<int>(std::clamp(std::floor(hy / cell_), -1.0, double(cellsY_)));
      b[0] = std::max(b[0], 0);
      b[2] = std::max(b[2], 0);
      b[1] = std::min(b[1], cellsX_ - 1);
      b[3] = std::min(b[3], cellsY_ - 1);
      if (b[1] >= b[0] && b[3] >= b[2]) {
        entries += std::uint64_t(b[1] - b[0] + 1) * std::uint64_t(b[3] - b[2] + 1);
      }
    }
    if (entries <= kMaxCellEntries || cell_ >= std::max(width_, height_)) break;
    cell_ *= 2;
  }
  cellStart_.assign(static_cast<std::size_t>(cellsX_) * cellsY_ + 1, 0);
  for (std::size_t i = 0; i < triangles_.size(); ++i) {
    const int* b = &boxes[4 * i];
    for (int cy = b[2]; cy <= b[3]; ++cy) {
      for (int cx = b[0]; cx <= b[1]; ++cx) ++cellStart_[static_cast<std::size_t>(cy) * cellsX_ + cx + 1];
    }
  }
  for (std::size_t c = 1; c < cellStart_.size(); ++c) cellStart_[c] += cellStart_[c - 1];
  cellTriangles_.resize(cellStart_.back());
  std::vector<std::uint32_t> fill(cellStart_.begin(), cellStart_.end() - 1);
  for (std::size_t i = 0; i < triangles_.size(); ++i) {
    const int* b = &boxes[4 * i];
    for (int cy = b[2]; cy <= b[3]; ++cy) {
      for (int cx = b[0]; cx <= b[1]; ++cx) {
        cellTriangles_[fill[static_cast<std::size_t>(cy) * cellsX_ + cx]++] =
            static_cast<std::uint32_t>(i);
      }
    }
  }
}

MeshSource::~MeshSource() = default;

bool MeshSource::Find(double px, double py, Hit& hit) const {
  if (!(px >= 0.0 && px < width_ && py >= 0.0 && py < height_)) return false;
  const std::size_t cell = static_cast<std::size_t>(static_cast<int>(py) / cell_) * cellsX_ +
                           static_cast<std::size_t>(static_cast<int>(px) / cell_);
  for (std::uint32_t k = cellStart_[cell]; k < cellStart_[cell + 1]; ++k) {
    const UvTriangle& t = triangles_[cellTriangles_[k]];
    const double dx = px - t.x0, dy = py - t.y0;
    const double b1 = t.i00 * dx + t.i01 * dy;
    const double b2 = t.i10 * dx + t.i11 * dy;
    if (b1 >= -kEdgeTolerance && b2 >= -kEdgeTolerance && 1.0 - b1 - b2 >= -kEdgeTolerance) {
      hit = {&t, b1, b2};
      return true;
    }
  }
  return false;
}

bool MeshSource::Locate(double px, double py, std::uint32_t& instance,
                        std::uint32_t& triangle) const {
  Hit hit;
  if (!Find(px, py, hit)) return false;
  instance = hit.tri->instance;
  triangle = hit.tri->triangle;
  return true;
}

// The context of the point of hit's triangle plane at image position (px, py), which may lie
// outside the triangle: the neighbours a normal is taken from continue the triangle's plane.
void MeshSource::MakeContext(const Hit& hit, double px, double py, SampleShadeContext& sc,
                             Point3* normal, Point3* tangent, Point3* bitangent) const {
  const UvTriangle& t = *hit.tri;
  const mesh::MeshModel& model = *bake_->model;
  const mesh::MeshInstance& inst = model.instances[t.instance];
  const mesh::MeshPart& part = model.parts[inst.part];
  const std::uint32_t* idx = &part.indices[3 * static_cast<std::size_t>(t.triangle)];
  const double dx = px - t.x0, dy = py - t.y0;
  const double b1 = t.i00 * dx + t.i01 * dy, b2 = t.i10 * dx + t.i11 * dy, b0 = 1.0 - b1 - b2;

  const Point3& p0 = part.positions[idx[0]];
  const Point3& p1 = part.positions[idx[1]];
  const Point3& p2 = part.positions[idx[2]];
  // The surface's change per pixel across and down the image: the triangle's edges weighted by
  // how the barycentric weights change per pixel.
  const Point3 e1 = p1 - p0, e2 = p2 - p0;
  const Point3 dPdX(static_cast<float>(e1.x * t.i00 + e2.x * t.i10),
                    static_cast<float>(e1.y * t.i00 + e2.y * t.i10),
                    static_cast<float>(e1.z * t.i00 + e2.z * t.i10));
  const Point3 dPdY(static_cast<float>(e1.x * t.i01 + e2.x * t.i11),
                    static_cast<float>(e1.y * t.i01 + e2.y * t.i11),
                    static_cast<float>(e1.z * t.i01 + e2.z * t.i11));

  sc = SampleShadeContext();
  sc.p = Lerp3(p0, p1, p2, b0, b1, b2);
  sc.dpdx = dPdX * footprint_;
  sc.dpdy = dPdY * footprint_;
  sc.camToObj.IdentityMatrix();
  sc.camToWorld = objectToWorld_[t.instance];
  sc.node = nodes_[t.instance].get();
  sc.mtlNum = part.material < 0 ? 0 : part.material;
  sc.filterMaps = filter_ ? TRUE : FALSE;
  sc.screenUV = Point2(static_cast<float>(px / width_), static_cast<float>(1.0 - py / height_));
  sc.screenDUV = Point2(footprint_ / static_cast<float>(width_),
                        footprint_ / static_cast<float>(height_));
  const int sets = std::min<int>(static_cast<int>(part.uvSets.size()), SampleShadeContext::kChannels);
  for (int s = 0; s < sets; ++s) {
    const std::vector<Point2>& uv = part.uvSets[s];
    const Point2 &u0 = uv[idx[0]], &u1 = uv[idx[1]], &u2 = uv[idx[2]];
    const double du1 = double(u1.x) - u0.x, du2 = double(u2.x) - u0.x;
    const double dv1 = double(u1.y) - u0.y, dv2 = double(u2.y) - u0.y;
    const double dudx = du1 * t.i00 + du2 * t.i10, dudy = du1 * t.i01 + du2 * t.i11;
    const double dvdx = dv1 * t.i00 + dv2 * t.i10, dvdy = dv1 * t.i01 + dv2 * t.i11;
    const Point3 uvw(static_cast<float>(b0 * u0.x + b1 * u1.x + b2 * u2.x),
                     static_cast<float>(b0 * u0.y + b1 * u1.y + b2 * u2.y), 0.0f);
    const Point3 duvw(static_cast<float>((std::fabs(dudx) + std::fabs(dudy)) * footprint_),
                      static_cast<float>((std::fabs(dvdx) + std::fabs(dvdy)) * footprint_), 0.0f);
    sc.SetUVW(s + 1, uvw, duvw);
  }
  if (!normal) return;

  Point3 n = Normalize(Lerp3(part.normals[idx[0]], part.normals[idx[1]], part.normals[idx[2]],
                             b0, b1, b2));
  if (!Finite(n) || Length(n) == 0.0f) n = Normalize(CrossProd(e1, e2));
  if (!Finite(n)) n = Point3(0.0f, 0.0f, 1.0f);
  *normal = n;
  // The frame engines rebuild per pixel: the interpolated tangent made perpendicular to the
  // interpolated normal, the bitangent across both with the corners' handedness.
  const mesh::Tangent* ct = &bake_->cornerTangents[inst.part][3 * static_cast<std::size_t>(t.triangle)];
  const Point3 raw = Lerp3(ct[0].t, ct[1].t, ct[2].t, b0, b1, b2);
  Point3 tt = raw - n * DotProd(raw, n);
  const float len = Length(tt);
  tt = len > 1e-12f && std::isfinite(len) ? tt / len : AnyPerpendicular(n);
  const double w = b0 * ct[0].w + b1 * ct[1].w + b2 * ct[2].w;
  *tangent = tt;
  *bitangent = CrossProd(n, tt) * (w < 0.0 ? -1.0f : 1.0f);
}

void MeshSource::Fill(int y, int x0, int x1, SampleRun& run) const {
  const bool neighbours = run.wantNeighbours;
  for (int x = x0, k = 0; x < x1; ++x) {
    for (int i = 0; i < samples_; ++i, ++k) {
      float sx, sy;
      SamplePosition(i, samples_, sx, sy);
      const double px = static_cast<double>(x) + sx, py = static_cast<double>(y) + sy;
      Hit hit;
      run.covered[k] = Find(px, py, hit);
      if (!run.covered[k]) continue;
      MakeContext(hit, px, py, run.contexts[k], &run.normals[k], &run.tangents[k],
                  &run.bitangents[k]);
      run.islands[k] = hit.tri->island;
      if (!neighbours) continue;
      // One pixel to the left, right, up and down, on the plane of the sample's triangle.
      SampleShadeContext* nb = &run.neighbours[4 * static_cast<std::size_t>(k)];
      MakeContext(hit, px - 1.0, py, nb[0], nullptr, nullptr, nullptr);
      MakeContext(hit, px + 1.0, py, nb[1], nullptr, nullptr, nullptr);
      MakeContext(hit, px, py - 1.0, nb[2], nullptr, nullptr, nullptr);
      MakeContext(hit, px, py + 1.0, nb[3], nullptr, nullptr, nullptr);
    }
  }
}

std::shared_ptr<const mesh::MeshModel> PreviewSphereModel(float extent) {
  constexpr int kSegments = 64, kRings = 32;
  constexpr double kPi = 3.14159265358979323846;
  const double radius = 0.45 * static_cast<double>(extent);
  auto model = std::make_shared<mesh::MeshModel>();
  model->source = "the preview sphere";
  mesh::MeshPart& part = model->parts.emplace_back();
  part.name = "sphere";
  part.uvSets.resize(1);
  // Rings of kSegments + 1 vertices (the seam's twice, with u 0 and 1), the poles' too.
  for (int r = 0; r <= kRings; ++r) {
    const double latitude = -kPi / 2.0 + kPi * r / kRings;
    for (int s = 0; s <= kSegments; ++s) {
      const double longitude = -kPi + 2.0 * kPi * s / kSegments;
      const Point3 n(static_cast<float>(std::cos(latitude) * std::sin(longitude)),
                     static_cast<float>(std::sin(latitude)),
                     static_cast<float>(std::cos(latitude) * std::cos(longitude)));
      part.normals.push_back(n);
      part.positions.push_back(n * static_cast<float>(radius));
      part.uvSets[0].emplace_back(static_cast<float>(s) / kSegments,
                                  static_cast<float>(r) / kRings);
    }
  }
  const auto at = [](int r, int s) { return static_cast<std::uint32_t>(r * (kSegments + 1) + s); };
  for (int r = 0; r < kRings; ++r) {
    for (int s = 0; s < kSegments; ++s) {
      // Counter-clockwise from outside; at the poles one triangle of each quad has no area.
      if (r > 0) part.indices.insert(part.indices.end(), {at(r, s), at(r, s + 1), at(r + 1, s + 1)});
      if (r + 1 < kRings) {
        part.indices.insert(part.indices.end(), {at(r, s), at(r + 1, s + 1), at(r + 1, s)});
      }
    }
  }
  mesh::MeshInstance& instance = model->instances.emplace_back();
  instance.name = "sphere";
  return model;
}

}  // namespace tamrel::host
