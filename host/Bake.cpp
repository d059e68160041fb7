// The height output cannot reach the pattern directly: the host knows the map only through its
// shading interface. With the scratch colour black and the surface colour white, and their maps
// switched off, the map's mono value is exactly the scratch intensity, so a clone set up that way
// gives the height without touching the user's map.
#include "host/Bake.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "iparamb2.h"
#include "maxapi.h"
#include "ref.h"
#include "scenefile.h"

namespace tamrel::host {
namespace {

// Sets a parameter found by internal name in whichever of the map's blocks declares it.
template <typename T>
void SetByName(Texmap& map, const MCHAR* name, TimeValue t, const T& value) {
  for (int b = 0; b < map.NumParamBlocks(); ++b) {
    IParamBlock2* block = map.GetParamBlock(b);
    if (!block) continue;
    const ParamBlockDesc2* desc = block->GetDesc();
    const int index = desc->NameToIndex(name);
    if (index < 0) continue;
    if (block->SetValue(desc->IndextoID(index), t, value)) return;
  }
  throw BakeError("the map has no parameter \"" + std::string(name, name + std::wcslen(name)) +
                  "\" of the expected type, which the height output relies on");
}

// Gives a clone that reads the scratch intensity as its mono value at time t.
Texmap* MakeHeightClone(Texmap& map, TimeValue t, Scene& keeper) {
  auto* clone = dynamic_cast<Texmap*>(CloneRefHierarchy(&map));
  if (!clone) throw BakeError("the map cannot be cloned for the height output");
  keeper.AddRoot(clone);
  SetByName(*clone, L"color1", t, Color(0.0f, 0.0f, 0.0f));
  SetByName(*clone, L"color2", t, Color(1.0f, 1.0f, 1.0f));
  SetByName(*clone, L"col1mapEnabled", t, 0);
  SetByName(*clone, L"col2mapEnabled", t, 0);
  return clone;
}

float Clamp01(float v) { return std::clamp(v, 0.0f, 1.0f); }

}  // namespace

// The map's perturbation is a gradient of its field in three dimensions; only the part across the
// surface tilts the normal, and dropping the rest keeps every normal on the outer side. A strong
// bump (or a huge scale) would overflow the float length; the direction is then found in double,
// where the product of two floats cannot overflow, so the normal is always finite and of unit
// length.
Point3 BentNormal(const Point3& n, const Point3& perturb, float scale) {
  const Point3 across = perturb - n * DotProd(perturb, n);
  if (!std::isfinite(across.x) || !std::isfinite(across.y) || !std::isfinite(across.z)) return n;
  const Point3 d = n + across * scale;
  const float len = Length(d);
  if (std::isfinite(len) && len > 0.0f && std::isfinite(d.x) && std::isfinite(d.y) &&
      std::isfinite(d.z)) {
    return d / len;
  }
  const double dx = double(n.x) + double(across.x) * double(scale);
  const double dy = double(n.y) + double(across.y) * double(scale);
  const double dz = double(n.z) + double(across.z) * double(scale);
  const double wide = std::sqrt(dx * dx + dy * dy + dz * dz);
  if (!(wide > 0.0) || !std::isfinite(wide)) return n;
  return Point3(static_cast<float>(dx / wide), static_cast<float>(dy / wide),
                static_cast<float>(dz / wide));
}

bool ParseOutputKind(const std::string& name, OutputKind& kind) {
  static const std::pair<const char*, OutputKind> kNames[] = {{"color", OutputKind::COLOR},
                                                              {"mono", OutputKind::MONO},
                                                              {"height", OutputKind::HEIGHT},
                                                              {"normal", OutputKind::NORMAL}};
  for (const auto& [n, k] : kNames) {
    if (name == n) {
      kind = k;
      return true;
    }
  }
  return false;
}

const char* OutputKindName(OutputKind kind) {
  switch (kind) {
    case OutputKind::MONO:
      return "mono";
    case OutputKind::HEIGHT:
      return "height";
    case OutputKind::NORMAL:
      return "normal";
    default:
      return "color";
  }
}

int OutputChannels(OutputKind kind) {
  switch (kind) {
    case OutputKind::COLOR:
      return 4;
    case OutputKind::NORMAL:
      return 3;
    default:
      return 1;
  }
}

bool IsDataOutput(OutputKind kind) { return kind != OutputKind::COLOR; }

std::string CheckBakeSettings(const BakeSettings& s) {
  if (s.view.width <= 0 || s.view.height <= 0) return "the image size must be at least 1x1";
  if (!(s.bumpScale >= 0.0f) || !std::isfinite(s.bumpScale)) {
    return "--bump-scale must be a finite number, 0 or more";
  }
  if (!(s.view.extent > 0.0f) || !std::isfinite(s.view.extent)) {
    return "the plane's extent must be a positive number of scene units";
  }
  // A tangent frame is only fixed on the plane; on the sphere it would depend on the UV layout.
  if (s.output == OutputKind::NORMAL && s.view.geometry != Geometry::PLANE) {
    return "--output normal bakes a tangent-space normal map of the plane; use --geometry plane";
  }
  return {};
}

bool BakeFrame(Texmap& map, TimeValue t, const BakeSettings& s, Raster& raster) {
  if (std::string why = CheckBakeSettings(s); !why.empty()) throw BakeError(why);

  Scene keeper;  // owns the height clone for the length of the bake
  Texmap* target = &map;
  if (s.output == OutputKind::HEIGHT) target = MakeHeightClone(map, t, keeper);

  // Maps may read the current time while they update, never while they are shaded.
  GetCOREInterface()->SetTime(t);
  Interval valid = FOREVER;
  target->Update(t, valid);

  const View view = s.view;
  const OutputKind output = s.output;
  const bool directx = s.convention == NormalConvention::DIRECTX;
  const BOOL filter = s.filter ? TRUE : FALSE;
  const float bumpScale = s.bumpScale;
  const int channels = OutputChannels(output);

  // The sphere is lit with the map's bump; the plane shows the map as it is. The bump is a
  // camera-space perturbation, and camera and object axes coincide here.
  const bool lit = view.geometry == Geometry::SPHERE;
  auto Lighting = [&, target](SampleShadeContext& sc, const Point3& n) {
    if (!lit) return 1.0f;
    sc.ClearCache();
    return SphereDiffuse(BentNormal(n, target->EvalNormalPerturb(sc), bumpScale));
  };

  // Checked at every pixel: a scene's maps may take long for one sample, and an interrupt should
  // not wait for a whole tile.
  const std::atomic<bool>* cancel = s.render.cancel;
  auto shade = [&, target](int y, int x0, int x1, float* out) {
    SampleShadeContext sc;
    Point3 n;
    for (int x = x0; x < x1; ++x, out += channels) {
      if (cancel && cancel->load(std::memory_order_relaxed)) return;
      const bool hit = MakeSample(view, x, y, sc, &n);
      sc.filterMaps = filter;
      if (!hit) {
        const float b = Backdrop(x, y);
        if (output == OutputKind::COLOR) {
          out[0] = out[1] = out[2] = b;
          out[3] = 1.0f;
        } else {
          out[0] = output == OutputKind::MONO ? b : 0.0f;
        }
        continue;
      }
      switch (output) {
        case OutputKind::COLOR: {
          const AColor c = target->EvalColor(sc);
          const float shading = Lighting(sc, n);
          out[0] = c.r * shading;
          out[1] = c.g * shading;
          out[2] = c.b * shading;
          out[3] = lit ? 1.0f : c.a;
          break;
        }
        case OutputKind::MONO: {
          const float m = target->EvalMono(sc);
          out[0] = m * Lighting(sc, n);
          break;
        }
        case OutputKind::HEIGHT:
          out[0] = Clamp01(target->EvalMono(sc));
          break;
        case OutputKind::NORMAL: {
          // Tangent +x, bitangent +y, normal +z: the plane's own axes, which are camera axes.
          const Point3 d =
              BentNormal(Point3(0.0f, 0.0f, 1.0f), target->EvalNormalPerturb(sc), bumpScale);
          out[0] = Clamp01(d.x * 0.5f + 0.5f);
          out[1] = Clamp01((directx ? -d.y : d.y) * 0.5f + 0.5f);
          out[2] = Clamp01(d.z * 0.5f + 0.5f);
          break;
        }
      }
    }
  };
  return RenderRaster(raster, view.width, view.height, channels, shade, s.render);
}

}  // namespace tamrel::host
