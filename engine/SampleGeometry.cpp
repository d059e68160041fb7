#include "engine/SampleGeometry.h"

#include <algorithm>
#include <cmath>

namespace tamrel::host {
namespace {

constexpr float kPi = 3.14159265f;
constexpr float kCameraDistance = 1000.0f;  // the camera sits this far in front of the object

}  // namespace

bool MakeSample(const View& view, int x, int y, SampleShadeContext& sc, Point3* normal) {
  return MakeSampleAt(view, static_cast<float>(x) + 0.5f, static_cast<float>(y) + 0.5f, 1.0f, sc,
                      normal);
}

namespace {

// Where a sample at image position (px, py) lies: its screen position (u, v), its position
// (ox, oy) on the view's plane and the side of its footprint there.
struct Place {
  float w, h, pixel, u, v, ox, oy;
};

inline Place PlaceOf(const View& view, float px, float py, float footprint) {
  Place q;
  q.w = static_cast<float>(view.width);
  q.h = static_cast<float>(view.height);
  const float w = q.w, h = q.h;
  q.pixel = view.extent / w * footprint;  // square pixels
  // A moved view adds its whole-pixel offset in double, so the sub-pixel position survives it.
  q.u = view.offsetX == 0 ? px / w
                          : static_cast<float>((view.offsetX + static_cast<double>(px)) / w);
  q.v = 1.0f - (view.offsetY == 0
                    ? py / h
                    : static_cast<float>((view.offsetY + static_cast<double>(py)) / h));
  q.ox = (q.u - 0.5f) * view.extent;
  q.oy = (q.v - 0.5f) * (h * (view.extent / w));
  return q;
}

// Camera to object (and world) space: the object sits kCameraDistance in front of the camera.
inline Matrix3 CameraToObject() {
  Matrix3 m;
  m.IdentityMatrix();
  m.Translate(Point3(0.0f, 0.0f, kCameraDistance));
  return m;
}

}  // namespace

void SampleArrays::Reserve(std::size_t n) {
  if (p.size() >= n) return;
  p.resize(n);
  dpdx.resize(n);
  dpdy.resize(n);
  screenUV.resize(n);
  screenDUV.resize(n);
  instance.resize(n);
  mtlNum.resize(n);
  for (int c = 0; c < TexBakeRun::kChannels; ++c) {
    uvw[c].resize(n);
    duvw[c].resize(n);
  }
}

TexBakeRun SampleArrays::Run() const {
  TexBakeRun r;
  r.count = count;
  r.p = p.data();
  r.dpdx = dpdx.data();
  r.dpdy = dpdy.data();
  r.screenUV = screenUV.data();
  r.screenDUV = screenDUV.data();
  r.camToObj = camToObj.data();
  r.camToWorld = camToWorld.data();
  r.nodes = nodes.empty() ? nullptr : nodes.data();
  r.instance = perInstance ? instance.data() : nullptr;
  r.mtlNum = perInstance ? mtlNum.data() : nullptr;
  r.channelCount = channelCount;
  for (int c = 0; c < channelCount; ++c) {
    r.channelIds[c] = channelIds[c];
    r.uvw[c] = uvw[c].data();
    r.duvw[c] = duvw[c].data();
  }
  r.filterMaps = filterMaps;
  return r;
}

void SetPlaneFrame(SampleArrays& a) {
  a.camToObj.assign(1, CameraToObject());
  a.camToWorld = a.camToObj;
  a.nodes.clear();
  a.perInstance = false;
  a.channelCount = 1;
  a.channelIds[0] = 1;
}

void PlaneRowArrays(const View& view, int y, int x0, int x1, const float* positions, int samples,
                    float footprint, SampleArrays& a) {
  // What PlaceOf gives every sample alike, once: the same operations on the same values.
  const float w = static_cast<float>(view.width), h = static_cast<float>(view.height);
  const float pixel = view.extent / w * footprint;
  const float height = h * (view.extent / w);
  const Point2 duv(footprint / w, footprint / h);
  const Point3 dpdx(pixel, 0.0f, 0.0f), dpdy(0.0f, -pixel, 0.0f), duvw(duv.x, duv.y, 0.0f);
  const float fy = static_cast<float>(y);
  for (int x = x0, j = 0; x < x1; ++x) {
    const float fx = static_cast<float>(x);
    for (int i = 0; i < samples; ++i, ++j) {
      const float px = fx + positions[2 * i], py = fy + positions[2 * i + 1];
      const float u = view.offsetX == 0
                          ? px / w
                          : static_cast<float>((view.offsetX + static_cast<double>(px)) / w);
      const float v = 1.0f - (view.offsetY == 0
                                  ? py / h
                                  : static_cast<float>((view.offsetY + static_cast<double>(py)) / h));
      a.p[j] = Point3((u - 0.5f) * view.extent, (v - 0.5f) * height, -kCameraDistance);
      a.dpdx[j] = dpdx;
      a.dpdy[j] = dpdy;
      a.screenUV[j] = Point2(u, v);
      a.screenDUV[j] = duv;
      a.uvw[0][j] = Point3(u, v, 0.0f);
      a.duvw[0][j] = duvw;
    }
  }
}

bool MakeSampleAt(const View& view, float px, float py, float footprint, SampleShadeContext& sc,
                  Point3* normal) {
  const Place q = PlaceOf(view, px, py, footprint);
  const float w = q.w, h = q.h, pixel = q.pixel, u = q.u, v = q.v, ox = q.ox, oy = q.oy;

  sc = SampleShadeContext();
  sc.camToObj = CameraToObject();
  sc.camToWorld = sc.camToObj;
  sc.screenUV = Point2(u, v);
  sc.screenDUV = Point2(footprint / w, footprint / h);

  if (view.geometry == Geometry::PLANE) {
    sc.p = Point3(ox, oy, -kCameraDistance);
    sc.dpdx = Point3(pixel, 0.0f, 0.0f);
    sc.dpdy = Point3(0.0f, -pixel, 0.0f);
    sc.SetUVW(1, Point3(u, v, 0.0f), Point3(footprint / w, footprint / h, 0.0f));
    if (normal) *normal = Point3(0.0f, 0.0f, 1.0f);
    return true;
  }

  const float radius = 0.5f * std::min(view.extent, h * (view.extent / w)) * 0.9f;
  const float nx = ox / radius, ny = oy / radius;
  const float r2 = nx * nx + ny * ny;
  if (r2 > 1.0f) return false;
  const float nz = std::sqrt(1.0f - r2);
  const Point3 n(nx, ny, nz);
  if (normal) *normal = n;
  sc.p = Point3(ox, oy, nz * radius - kCameraDistance);
  // Moving one pixel across the image slides along the surface: dz = -x/z dx, limited at the rim.
  const float zClamp = std::max(nz, 0.05f);
  sc.dpdx = Point3(pixel, 0.0f, -nx / zClamp * pixel);
  sc.dpdy = Point3(0.0f, -pixel, ny / zClamp * pixel);
  // Spherical UVW around the vertical axis.
  const float su = 0.5f + std::atan2(nx, nz) / (2.0f * kPi);
  const float sv = 0.5f + std::asin(std::clamp(ny, -1.0f, 1.0f)) / kPi;
  sc.SetUVW(1, Point3(su, sv, 0.0f), Point3(pixel / (2.0f * kPi * radius), pixel / (kPi * radius), 0.0f));
  return true;
}

float SphereDiffuse(const Point3& normal, const SphereLighting& light) {
  const float d = std::max(0.0f, DotProd(Normalize(normal), light.toLight));
  return light.ambient + (1.0f - light.ambient) * d;
}

float Backdrop(int x, int y) { return ((x / 16 + y / 16) & 1) ? 0.22f : 0.32f; }

}  // namespace tamrel::host
