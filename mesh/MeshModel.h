// A model as the bake sees it: triangles over indexed vertices, grouped in parts (a file's
// meshes), and placed in the scene by instances (its nodes). Loaders fill it and check it; the
// bake only reads it, from as many threads as it likes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "point2.h"
#include "point3.h"

namespace tamrel::mesh {

// A tangent and the handedness of its bitangent: bitangent = w * cross(normal, tangent), w = +1
// or -1, as glTF stores them and as real-time engines rebuild the frame.
struct Tangent {
  Point3 t;
  float w = 1.0f;
};

// A transform of points, p' = m * (p, 1): rows of a 3x4 matrix, in double as the files give them
// (a node's transform is the product of its ancestors', which float would round at every level).
struct Affine {
  double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
};

struct MeshPart {
  std::string name;
  std::vector<Point3> positions;  // in the part's own (object) space
  std::vector<Point3> normals;    // unit, one per vertex; made smooth at load when the file has none
  // uvSets[s][vertex]: the file's texture coordinate sets in order. v runs up the image: (0, 0)
  // is its bottom-left corner, (1, 1) its top-right, whatever the file's own convention.
  std::vector<std::vector<Point2>> uvSets;
  // Three per triangle, counter-clockwise seen from the side the normals face. Every index is in
  // range and no triangle is degenerate (such triangles are dropped at load and counted).
  std::vector<std::uint32_t> indices;
  // The file's tangents for uvSets[0], one per vertex, when it has them; empty otherwise.
  std::vector<Tangent> fileTangents;
  int material = -1;  // the file's material index, -1 for none
  std::string materialName;  // that material's name in the file, when it has one

  std::size_t TriangleCount() const { return indices.size() / 3; }
};

struct MeshInstance {
  std::string name;  // the node's name; unique within the model (repeats get " #2", " #3", ...)
  std::size_t part = 0;
  Affine objectToWorld;
};

struct MeshModel {
  std::string source;  // the file it was read from, as given
  std::vector<MeshPart> parts;
  std::vector<MeshInstance> instances;  // in the file's node order, depth first
  std::size_t droppedTriangles = 0;     // degenerate triangles left out at load

  // Triangles over all instances: what a bake rasterises.
  std::size_t TriangleCount() const {
    std::size_t n = 0;
    for (const MeshInstance& i : instances) n += parts[i.part].TriangleCount();
    return n;
  }
  // UV sets every instanced part has.
  int CommonUvSets() const {
    int n = -1;
    for (const MeshInstance& i : instances) {
      const int k = static_cast<int>(parts[i.part].uvSets.size());
      n = n < 0 ? k : (k < n ? k : n);
    }
    return n < 0 ? 0 : n;
  }
};

}  // namespace tamrel::mesh
