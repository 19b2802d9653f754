#include "MeshShapes.h"

#include "Mesh.h"

#include <cmath>
#include <map>

TriangleSoup boxSoup(Eigen::Vector3d const& min, Eigen::Vector3d const& max)
{
  TriangleSoup soup;
  // Corner i + 2j + 4k sits at (x_i, y_j, z_k).
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 2; ++j)
      for (int i = 0; i < 2; ++i)
        soup.points.emplace_back(i ? max.x() : min.x(), j ? max.y() : min.y(), k ? max.z() : min.z());
  soup.triangles = {{0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}, {0, 1, 5}, {0, 5, 4},
                    {2, 6, 7}, {2, 7, 3}, {0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}};
  return soup;
}

TriangleSoup sphereSoup(Eigen::Vector3d const& center, double radius, int subdivisions)
{
  const double g = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<Eigen::Vector3d> unit = {{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0}, {0, -1, g}, {0, 1, g},
                                       {0, -1, -g}, {0, 1, -g}, {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}};
  for (auto& p : unit)
    p.normalize();
  std::vector<std::array<int, 3>> faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                                           {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                           {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                                           {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  for (int level = 0; level < subdivisions; ++level) {
    std::map<std::pair<int, int>, int> midpoints;
    auto midpoint = [&](int i, int j) {
      const auto key = std::make_pair(std::min(i, j), std::max(i, j));
      auto found = midpoints.find(key);
      if (found != midpoints.end())
        return found->second;
      unit.push_back((unit[i] + unit[j]).normalized());
      const int index = int(unit.size()) - 1;
      midpoints.emplace(key, index);
      return index;
    };
    std::vector<std::array<int, 3>> finer;
    finer.reserve(faces.size() * 4);
    for (auto const& f : faces) {
      const int ab = midpoint(f[0], f[1]), bc = midpoint(f[1], f[2]), ca = midpoint(f[2], f[0]);
      finer.push_back({f[0], ab, ca});
      finer.push_back({f[1], bc, ab});
      finer.push_back({f[2], ca, bc});
      finer.push_back({ab, bc, ca});
    }
    faces.swap(finer);
  }
  TriangleSoup soup;
  for (auto const& p : unit)
    soup.points.push_back(center + radius * p);
  soup.triangles = std::move(faces);
  return soup;
}

TriangleSoup torusSoup(double major, double minor, int segments, int sides)
{
  TriangleSoup soup;
  const double twoPi = 2.0 * 3.14159265358979323846;
  for (int i = 0; i < segments; ++i) {
    const double u = twoPi * i / segments;
    for (int j = 0; j < sides; ++j) {
      const double v = twoPi * j / sides;
      const double ring = major + minor * std::cos(v);
      soup.points.emplace_back(ring * std::cos(u), minor * std::sin(v), ring * std::sin(u));
    }
  }
  auto at = [&](int i, int j) { return (i % segments) * sides + (j % sides); };
  for (int i = 0; i < segments; ++i)
    for (int j = 0; j < sides; ++j) {
      soup.triangles.push_back({at(i, j), at(i, j + 1), at(i + 1, j + 1)});
      soup.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i + 1, j)});
    }
  return soup;
}

TriangleSoup glassSoup(double outer, double inner, double height, double base, int segments)
{
  // The profile in the (radius, height) plane, walked around the solid:
  // outer bottom, outer wall, rim, inner wall, inner bottom.
  const double profile[][2] = {{outer, 0}, {outer, height}, {inner, height}, {inner, base}};
  TriangleSoup soup;
  const double twoPi = 2.0 * 3.14159265358979323846;
  for (int i = 0; i < segments; ++i) {
    const double u = twoPi * i / segments;
    for (auto const& point : profile)
      soup.points.emplace_back(point[0] * std::cos(u), point[1], point[0] * std::sin(u));
  }
  const int bottom = static_cast<int>(soup.points.size());
  soup.points.emplace_back(0, 0, 0);
  const int floor = bottom + 1;
  soup.points.emplace_back(0, base, 0);
  auto at = [segments](int i, int k) { return (i % segments) * 4 + k; };
  for (int i = 0; i < segments; ++i) {
    // Bands between consecutive profile points, turning outward.
    for (int k = 0; k < 3; ++k) {
      soup.triangles.push_back({at(i, k), at(i, k + 1), at(i + 1, k + 1)});
      soup.triangles.push_back({at(i, k), at(i + 1, k + 1), at(i + 1, k)});
    }
    soup.triangles.push_back({bottom, at(i, 0), at(i + 1, 0)}); // outer bottom, facing down
    soup.triangles.push_back({floor, at(i + 1, 3), at(i, 3)});  // inner bottom, facing up
  }
  return soup;
}

Mesh* makeMesh(TriangleSoup const& soup, unsigned int nbKdTreeReturnedVertices)
{
  const int nbVertices = static_cast<int>(soup.points.size());
  const int nbTriangles = static_cast<int>(soup.triangles.size());
  Vertex** vertices = new Vertex*[nbVertices];
  for (int v = 0; v < nbVertices; ++v)
    vertices[v] = new Vertex(soup.points[v], v);
  Triangle** triangles = new Triangle*[nbTriangles];
  for (int t = 0; t < nbTriangles; ++t) {
    auto const& c = soup.triangles[t];
    triangles[t] = new Triangle(vertices[c[0]], vertices[c[1]], vertices[c[2]]);
  }
  return new Mesh(nbVertices, nbTriangles, vertices, triangles, nbKdTreeReturnedVertices);
}
