// Tangent frames of a triangle mesh for one UV set, as real-time engines rebuild them to read a
// tangent-space normal map: the MikkTSpace construction (M. Mikkelsen, "Simulation of Wrinkled
// Surfaces Revisited", 2008).
//
// Corners are first identified by value: two vertices whose position, normal and UV are equal
// (bit for bit, +0 and -0 alike) are one vertex, whatever their indices. At each
// vertex, the corners of triangles that are joined by edges around it and whose UV winding agrees
// form a group; the group's tangent is the average of its triangles' directions of increasing u,
// projected into the plane of the vertex normal and weighted by the corner angles (measured in
// that plane), then normalised. Triangles of opposite UV winding (mirrored islands) never share a
// tangent, and within a group two triangles whose projected tangents or bitangents point in
// exactly opposite directions are not averaged together (a 180-degree threshold).
//
// A triangle with no usable UV gradient (zero UV area, or a zero gradient) adds nothing to the
// averages but takes, at each corner, the tangent and winding of the group it is joined to there.
// A corner no group reaches, and a corner whose average cancels out, gets a fallback: the
// coordinate axis least aligned with its normal, made perpendicular to it. Triangles with two
// equal corner positions copy, at each corner, the tangent of the first corner of a proper
// triangle at the same vertex, and the fallback where there is none.
//
// All arithmetic is in double from the float inputs, so huge coordinates do not overflow; every
// output is finite with unit length and w = +1 or -1, for any input, NaN included. The result
// depends only on the values and the triangle order, not on how the vertices are indexed.
#pragma once

#include <cstdint>
#include <vector>

#include "mesh/MeshModel.h"

namespace tamrel::mesh {

// MikkTSpace tangents of a triangle mesh for one UV set, one per triangle corner
// (result[3*t + k] for corner k of triangle t), each of unit length with w = +1 or -1: the
// bitangent w * cross(normal, tangent) points along increasing v.
//
// positions, normals and uvs hold one entry per vertex; indices three per triangle, each below
// positions.size(). Throws std::invalid_argument when the sizes disagree or an index is out of
// range, std::length_error when it has 2^32 - 1 corners or more.
std::vector<Tangent> GenerateTangents(const std::vector<Point3>& positions,
                                      const std::vector<Point3>& normals,
                                      const std::vector<Point2>& uvs,
                                      const std::vector<std::uint32_t>& indices);

}  // namespace tamrel::mesh
