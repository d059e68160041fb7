// A baked set as a glTF 2.0 asset ready for a real-time viewer: the model of a mesh bake (or the
// plane of the view) with one metallic-roughness material that reads the baked maps.
//
// Geometry: every instanced part of the model is one mesh of one triangle primitive with
// POSITION, NORMAL, TANGENT (the frames the bake used, corner for corner: a vertex whose
// triangles the bake gave different tangents is written once per tangent) and TEXCOORD_0 (the
// UV set baked into, v turned to glTF's convention, where (0, 0) is the image's top-left corner);
// every instance is one node under the scene's root with its world matrix and name. The plane is
// one quad the size of the view: x to the right, y up, z toward the viewer, its UVs over the whole
// image.
//
// The material: baseColorTexture the colour map (the one sRGB image), normalTexture the normal-gl
// map, metallicRoughnessTexture and occlusionTexture the orm map, and KHR_materials_anisotropy
// with the anisotropy-gltf map at strength 1. A .glb holds the PNG images in its binary chunk; a
// .gltf is the JSON with a .bin of the geometry beside it, referring to the PNG files by paths
// relative to itself.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "engine/SampleGeometry.h"

namespace tamrel::host {

struct MeshBake;

// The images of the material, in this order in the asset's images.
enum GltfImage : int { GLTF_COLOR, GLTF_NORMAL, GLTF_ORM, GLTF_ANISOTROPY, GLTF_IMAGES };

// An image as the asset refers to it: embedded bytes (a .glb) or a URI (a .gltf).
struct GltfImageRef {
  std::string bytes;
  std::string uri;
};

// What the asset shows: a mesh bake's model, or the plane of the view when mesh is null.
struct GltfScene {
  const MeshBake* mesh = nullptr;
  View view;
};

// An asset in memory: the JSON document and its one binary buffer.
struct GltfAsset {
  nlohmann::json doc;
  std::string bin;
};

// Builds the asset. Images with bytes go into the buffer as bufferViews of mimeType image/png,
// the others are referred to by their URI. binUri names the buffer's file (a .gltf); empty leaves
// the buffer without one, as the binary chunk of a .glb. generator goes into asset.generator.
GltfAsset BuildGltf(const GltfScene& scene, const GltfImageRef (&images)[GLTF_IMAGES],
                    const std::string& generator, const std::string& binUri);

// The asset as a .glb: the 12-byte header, the JSON chunk padded with spaces and the BIN chunk
// padded with zeros, each to a multiple of 4 bytes. Throws Failure (EXIT_OUTPUT) for an asset of
// 4 GiB or more, which the container cannot hold.
std::string GlbBytes(const GltfAsset& asset);

// The asset's JSON as a .gltf file holds it: valid UTF-8 whatever the names hold.
std::string GltfText(const GltfAsset& asset);

// True for a path ending in .glb (any case); false for .gltf. Throws Failure (EXIT_USAGE) for
// any other extension.
bool IsGlbPath(const std::string& path);
// The .bin a .gltf's buffer goes to: the same path with the extension .bin.
std::string GltfBufferPath(const std::string& gltfPath);

// A URI reference from a file in folder `from` to `path`: the relative path, every byte outside
// the unreserved characters and '/' percent-encoded.
std::string RelativeUri(const std::string& from, const std::string& path);

// Writes the asset to path (.glb or .gltf) from the PNG files of the bake, each replaced whole or
// not at all; for a .gltf the .bin first. Returns the report's entry: the file, its format, the
// buffer of a .gltf, the images, and the counts of nodes, meshes, vertices and triangles. Throws
// Failure (EXIT_OUTPUT) when an image cannot be read or is not a PNG, or a file cannot be
// written.
nlohmann::json WriteGltf(const std::string& path, const GltfScene& scene,
                         const std::string (&imagePaths)[GLTF_IMAGES],
                         const std::string& generator);

}  // namespace tamrel::host
