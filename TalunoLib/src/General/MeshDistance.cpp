// Exact signed point-to-mesh distance. Each candidate triangle is examined in
// its own frame: one 4x4 product gives the squared distance to its plane and
// the in-plane coordinates, and sign tests against nine precomputed 2D lines
// pick the closest feature (face, edge or vertex). The sign comes from that
// feature's angle-weighted pseudo-normal.
#include "KdTree.h"
#include "Mesh.h"
#include "TriangleBoxTree.h"

#include <algorithm>
#include <cmath>

namespace {

enum class Feature
{
  face,
  vertexA,
  vertexB,
  vertexC,
  edgeAB,
  edgeBC,
  edgeCA
};

// Closest feature of the triangle for the in-plane point (u, v).
Feature classify(double const* lines, double u, double v)
{
  auto s = [lines, u, v](int k) {
    double const* l = lines + 4 * k;
    return (u - l[0]) * l[3] - (v - l[1]) * l[2];
  };
  // Beyond side (c, a): vertex c, vertex a or the edge between them.
  auto cornerCA = [&s]() {
    if (s(7) >= 0)
      return Feature::vertexC;
    if (s(8) <= 0)
      return Feature::vertexA;
    return Feature::edgeCA;
  };

  if (s(0) < 0) {
    if (s(1) >= 0) {
      const double s5 = s(5);
      if (s5 >= 0)
        return Feature::vertexB;
      const double s6 = s(6);
      if (s6 < 0)
        return cornerCA();
      if (s6 == 0)
        return Feature::vertexC;
      return Feature::edgeBC;
    }
    if (s(2) <= 0)
      return Feature::face;
    return cornerCA();
  }
  const double s3 = s(3);
  if (s3 < 0) {
    const double s4 = s(4);
    if (s4 < 0) {
      if (s(5) >= 0)
        return Feature::vertexB;
      if (s(6) > 0)
        return Feature::edgeBC;
      return Feature::vertexC;
    }
    if (s4 == 0)
      return Feature::vertexB;
    return Feature::edgeAB;
  }
  if (s3 == 0)
    return Feature::vertexA;
  if (s(8) > 0)
    return s(7) >= 0 ? Feature::vertexC : Feature::edgeCA;
  return Feature::vertexA;
}

} // namespace

double Mesh::minimumDistance(double& x, double& y, double& z) const
{
  const Eigen::Vector3d p(x, y, z);
  const Eigen::Vector4d ph(x, y, z, 1.0);

  double best = noDistance2;
  Eigen::Vector3d closest = Eigen::Vector3d::Zero();
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();

  auto examine = [&](int t) {
    Triangle const& triangle = *_triangles[t];
    if (triangle.isDegenerate())
      return; // no area, no direction: its edges belong to its neighbours
    const Eigen::Vector4d q = _triangleFrames[t] * ph;
    const double plane2 = q.x() * q.x();
    if (plane2 >= best)
      return;

    double d2;
    Eigen::Vector3d point, featureNormal;
    auto atVertex = [&](Vertex const* vertex) {
      point = vertex->position;
      d2 = (point - p).squaredNorm();
      featureNormal = vertex->normal;
    };
    auto atEdge = [&](Vertex const* e1, Vertex const* e2) {
      const Eigen::Vector3d direction = e2->position - e1->position;
      const double t = (p - e1->position).dot(direction) / direction.squaredNorm();
      point = e1->position + t * direction;
      d2 = (point - p).squaredNorm();
      auto found = _edges.find(edgeKey(e1->index, e2->index));
      featureNormal = found != _edges.end() ? found->second.normal : Eigen::Vector3d(e1->normal + e2->normal);
    };

    switch (classify(_triangleLines + 36 * static_cast<size_t>(t), q.z(), q.y())) {
    case Feature::face:
      d2 = plane2;
      point = triangle.a->position;
      featureNormal = triangle.normal;
      break;
    case Feature::vertexA: atVertex(triangle.a); break;
    case Feature::vertexB: atVertex(triangle.b); break;
    case Feature::vertexC: atVertex(triangle.c); break;
    case Feature::edgeAB: atEdge(triangle.a, triangle.b); break;
    case Feature::edgeBC: atEdge(triangle.b, triangle.c); break;
    case Feature::edgeCA: atEdge(triangle.c, triangle.a); break;
    }
    if (d2 < best) {
      best = d2;
      closest = point;
      normal = featureNormal;
    }
  };

  if (_nbKdTreeReturnedVertices == 0) {
    for (int t = 0; t < _nbTriangles; ++t)
      examine(t);
  } else if (_kdTree) {
    // Only the triangles around the nearest vertices, each once, in the order met.
    std::vector<int> candidates;
    for (int v : _kdTree->closestVertices(x, y, z, _nbKdTreeReturnedVertices)) {
      if (v == -1)
        continue;
      for (int t : _vertices[v]->triangles)
        if (std::find(candidates.begin(), candidates.end(), t) == candidates.end())
          candidates.push_back(t);
    }
    for (int t : candidates)
      examine(t);
    // A triangle none of whose corners is among the nearest vertices can
    // still be nearer (a long wall, a fan around a far centre) and, on the
    // other side of a thin part, decide the sign wrongly. Within one longest
    // edge of the surface every triangle that may be nearer is examined; the
    // box tree finds them from the bound found so far. Farther out, where
    // that search would cost a great deal on fine meshes and the magnitude
    // matters little, a closed mesh's ray parity checks the sign, and only a
    // disagreement calls for the search.
    bool search = best < _longestEdge2;
    if (!search && _closed && best < noDistance2) {
      const double dot = (p - closest).dot(normal);
      const int inside = _triangleTree->inside(p);
      search = inside != -1 && (inside == 1) != (dot < 0);
    }
    if (search)
      _triangleTree->forEachNear(p, best, [&](int t) {
        if (std::find(candidates.begin(), candidates.end(), t) == candidates.end())
          examine(t);
      });
  }

  const double dot = (p - closest).dot(normal);
  return dot < 0 ? -std::sqrt(best) : std::sqrt(best);
}
