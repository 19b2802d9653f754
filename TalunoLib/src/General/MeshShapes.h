#pragma once

#include <Eigen/Core>
#include <array>
#include <vector>

class Mesh;

/// Indexed triangles with counter-clockwise corners seen from outside, so that
/// (b - a) x (c - a) points outward on closed shapes.
struct TriangleSoup
{
  std::vector<Eigen::Vector3d> points;
  std::vector<std::array<int, 3>> triangles;
};

/// The axis-aligned box [min, max]: 8 points, 12 triangles.
TriangleSoup boxSoup(Eigen::Vector3d const& min, Eigen::Vector3d const& max);

/// A sphere from an icosahedron whose faces are split in four `subdivisions`
/// times: 20 * 4^subdivisions triangles.
TriangleSoup sphereSoup(Eigen::Vector3d const& center, double radius, int subdivisions);

/// A torus around the y axis: ring radius `major`, tube radius `minor`,
/// 2 * segments * sides triangles.
TriangleSoup torusSoup(double major, double minor, int segments, int sides);

/// A drinking glass standing on y = 0 around the y axis: the closed solid
/// between an outer cylinder of radius `outer` and height `height` and the
/// cavity of radius `inner` above a base `base` thick, revolved in
/// `segments` steps. Its walls are long thin triangles and both bottoms are
/// fans around the axis: 8 * segments triangles.
TriangleSoup glassSoup(double outer, double inner, double height, double base, int segments);

/// Builds a Mesh that owns new records made from the soup.
Mesh* makeMesh(TriangleSoup const& soup, unsigned int nbKdTreeReturnedVertices);
