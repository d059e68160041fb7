// Reading a model file into a MeshModel. The file is checked before and after the import library
// sees it: a model from the wild may hold out-of-range indices, infinities, missing buffers,
// recursive node graphs or counts meant to exhaust memory, and every such model is refused with
// one line that names the file and the fault, never a crash, a hang or a runaway allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "mesh/MeshModel.h"

namespace tamrel::mesh {

// Why a model was refused: one line, "<file>: <what is wrong>".
class MeshError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bounds on what a model may cost. Each is checked before the memory it would take is allocated.
struct LoadLimits {
  // The model file's size, and the size of each file it refers to (a .gltf's .bin buffers, an
  // .obj's material library): 1 GiB.
  std::uint64_t maxFileBytes = std::uint64_t{1} << 30;
  // Triangles over all instances, what a bake rasterises: 20 million.
  std::size_t maxTriangles = 20'000'000;
  // Vertices over all parts, what the model holds in memory: 20 million.
  std::size_t maxVertices = 20'000'000;
  // Placements of parts by the file's nodes: 100,000.
  std::size_t maxInstances = 100'000;
  // Levels of the node tree, the root being level 1: 256.
  int maxNodeDepth = 256;
};

// Loads the model at `path`; its format is taken from the extension (glb, gltf, obj, ply; any
// case). Files the model refers to are read relative to its folder. Throws MeshError.
MeshModel LoadMesh(const std::string& path, const LoadLimits& limits = {});

// The same from bytes in memory; `extension` ("glb", "gltf", "obj", "ply") picks the format. Such
// a model can refer to no other file: a glTF buffer must be in the bytes (a data URI or the .glb
// binary chunk). The result's `source` is empty. Throws MeshError.
MeshModel LoadMeshFromMemory(const void* data, std::size_t size, const std::string& extension,
                             const LoadLimits& limits = {});

}  // namespace tamrel::mesh
