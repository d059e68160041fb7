// libFuzzer target for model loading: the first byte picks the format (glb, gltf, obj, ply), the
// rest is the file. Any byte string either loads into a model that keeps the record's promises
// (indices in range, finite unit normals, a UV per vertex) or is refused with a one-line message;
// no crash, hang or leak, and the small limits keep every input's memory small.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mesh/MeshLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const kFormats[] = {"glb", "gltf", "obj", "ply"};
  const std::string ext = kFormats[data[0] % 4];
  tamrel::mesh::LoadLimits limits;
  limits.maxFileBytes = 1 << 20;
  limits.maxTriangles = 100000;
  limits.maxVertices = 100000;
  limits.maxInstances = 1000;
  limits.maxNodeDepth = 64;
  try {
    const tamrel::mesh::MeshModel m = tamrel::mesh::LoadMeshFromMemory(data + 1, size - 1, ext, limits);
    if (m.instances.empty() || m.TriangleCount() > limits.maxTriangles) std::abort();
    for (const tamrel::mesh::MeshInstance& i : m.instances) {
      if (i.part >= m.parts.size()) std::abort();
      for (const auto& row : i.objectToWorld.m)
        for (double x : row) if (!std::isfinite(x)) std::abort();
    }
    for (const tamrel::mesh::MeshPart& p : m.parts) {
      if (p.indices.empty() || p.indices.size() % 3 || p.normals.size() != p.positions.size()) std::abort();
      for (std::uint32_t i : p.indices) if (i >= p.positions.size()) std::abort();
      for (const auto& uv : p.uvSets) if (uv.size() != p.positions.size()) std::abort();
      for (const Point3& n : p.normals) if (!(std::fabs(n.Length() - 1.0f) < 1e-3f)) std::abort();
      if (!p.fileTangents.empty() && p.fileTangents.size() != p.positions.size()) std::abort();
    }
  } catch (const tamrel::mesh::MeshError& e) {
    const char* w = e.what();
    if (!*w || std::strchr(w, '\n')) std::abort();  // a refusal says why, on one line
  }
  return 0;
}
