#include "Mesh.h"

#include "KdTree.h"
#include "TriangleBoxTree.h"

#include <algorithm>
#include <cmath>

namespace {

// acos that maps arguments pushed just past +-1 by rounding to 0 or pi rather
// than NaN; exact arguments are unaffected.
inline double clampedAcos(double c) { return std::acos(std::max(-1.0, std::min(1.0, c))); }

} // namespace

Triangle::Triangle(Vertex* a, Vertex* b, Vertex* c) : a(a), b(b), c(c), normal(Eigen::Vector3d::Zero())
{
  const Eigen::Vector3d ab = b->position - a->position;
  const Eigen::Vector3d ac = c->position - a->position;
  const Eigen::Vector3d bc = c->position - b->position;
  const Eigen::Vector3d cross = ab.cross(ac);
  const double length = cross.norm();
  if (!(length > 0.0) || !std::isfinite(length))
    return; // zero area: no normal, no share in the corners' normals
  normal = cross / length;

  const double alphaA = clampedAcos(ab.dot(ac) / (ab.norm() * ac.norm()));
  const double alphaB = clampedAcos(bc.dot(-ab) / (ab.norm() * bc.norm()));
  const double alphaC = double(3.1415927f) - alphaA - alphaB;
  a->normal += alphaA * normal;
  b->normal += alphaB * normal;
  c->normal += alphaC * normal;
}

Mesh::Mesh(int nbVertices, int nbTriangles, Vertex** vertices, Triangle** triangles,
           unsigned int nbKdTreeReturnedVertices)
    : _nbKdTreeReturnedVertices(nbKdTreeReturnedVertices)
{
  if (nbTriangles < 1) {
    // Nothing to measure against: release the records now so that they are
    // neither kept nor leaked.
    for (int t = 0; triangles && t < nbTriangles; ++t)
      delete triangles[t];
    delete[] triangles;
    for (int v = 0; vertices && v < nbVertices; ++v)
      delete vertices[v];
    delete[] vertices;
    return;
  }
  _nbVertices = nbVertices;
  _nbTriangles = nbTriangles;
  // Asking for more nearest vertices than the mesh has would only make each
  // query's result list larger (10^9 took gigabytes): every vertex is as many
  // as there can be.
  _nbKdTreeReturnedVertices = std::min<uint32_t>(_nbKdTreeReturnedVertices, uint32_t(std::max(nbVertices, 1)));
  _vertices = vertices;
  _triangles = triangles;

  BuildEdges();
  createDistCalcNecessaryData();
  for (int t = 0; t < _nbTriangles; ++t) {
    _triangles[t]->a->triangles.push_back(t);
    _triangles[t]->b->triangles.push_back(t);
    _triangles[t]->c->triangles.push_back(t);
  }
  if (_nbKdTreeReturnedVertices != 0 && _nbVertices > 0) {
    _kdTree = new KdTree(_vertices, _nbVertices);
    _triangleTree = new TriangleBoxTree(_triangles, _nbTriangles);
  }
  for (auto const& [key, edge] : _edges) {
    _borderEdges += edge.triangleB == nullptr;
    _longestEdge2 = std::max(_longestEdge2, (edge.vertexA->position - edge.vertexB->position).squaredNorm());
  }
  _closed = !_edges.empty() && _borderEdges == 0;
  calculateBBox();
  calculateCenter();
}

Mesh::~Mesh()
{
  deleteDistCalcNecessaryData();
  for (int t = 0; t < _nbTriangles; ++t)
    delete _triangles[t];
  delete[] _triangles;
  for (int v = 0; v < _nbVertices; ++v)
    delete _vertices[v];
  delete[] _vertices;
  delete _kdTree;
  delete _triangleTree;
  _edges.clear();
}

void Mesh::getBBox(Eigen::Vector3d& min, Eigen::Vector3d& max, double margin) const
{
  min = _bboxMin - Eigen::Vector3d::Constant(margin);
  max = _bboxMax + Eigen::Vector3d::Constant(margin);
}

void Mesh::calculateCenter()
{
  if (_nbVertices <= 0)
    return;
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  for (int v = 0; v < _nbVertices; ++v)
    sum += _vertices[v]->position;
  _center = sum * (1.0 / _nbVertices);
}

void Mesh::calculateBBox()
{
  if (_nbVertices <= 0)
    return;
  _bboxMin = _bboxMax = _vertices[0]->position;
  for (int v = 0; v < _nbVertices; ++v)
    for (int axis = 0; axis < 3; ++axis) {
      const double c = _vertices[v]->position[axis];
      if (_bboxMin[axis] > c)
        _bboxMin[axis] = c;
      if (_bboxMax[axis] < c)
        _bboxMax[axis] = c;
    }
}

void Mesh::BuildEdges()
{
  for (int t = 0; t < _nbTriangles; ++t) {
    Triangle* triangle = _triangles[t];
    Vertex* corners[3] = {triangle->a, triangle->b, triangle->c};
    for (int e = 0; e < 3; ++e) {
      Vertex* v1 = corners[e];
      Vertex* v2 = corners[(e + 1) % 3];
      const uint64_t key = edgeKey(v1->index, v2->index);
      auto found = _edges.find(key);
      if (found != _edges.end()) {
        found->second.triangleB = triangle;
        found->second.normal += triangle->normal;
      } else {
        Edge edge;
        edge.vertexA = v1;
        edge.vertexB = v2;
        edge.triangleA = triangle;
        edge.normal = triangle->normal;
        _edges.emplace(key, edge);
      }
    }
  }
}

void Mesh::createDistCalcNecessaryData()
{
  deleteDistCalcNecessaryData();
  _triangleFrames = new Eigen::Matrix4d[_nbTriangles];
  _triangleLines = new double[36 * static_cast<size_t>(_nbTriangles)];

  for (int t = 0; t < _nbTriangles; ++t) {
    Triangle const& triangle = *_triangles[t];
    const Eigen::Vector3d& a = triangle.a->position;
    const Eigen::Vector3d& n = triangle.normal;

    Eigen::Matrix4d translation = Eigen::Matrix4d::Identity();
    translation.block<3, 1>(0, 3) = -a;

    // Rodrigues rotation turning n onto -x about the axis n x (-x).
    const double cosTheta = -n.x();
    // sin(acos(-1)) is not exactly 0 in floating point; a normal along +x
    // turns by exactly half a turn about y, so that points on the plane of an
    // axis-aligned face are exactly at distance 0.
    const double sinTheta = n.x() == 1.0 ? 0.0 : std::sin(clampedAcos(-n.x()));
    Eigen::Vector3d k(0.0, -n.z(), n.y());
    const double tiny = double(1e-6f);
    if (std::abs(n.z()) < tiny && std::abs(n.y()) < tiny)
      k = Eigen::Vector3d(0.0, 1.0, 0.0);
    else
      k /= k.norm();
    Eigen::Matrix3d kx;
    kx << 0.0, -k.z(), k.y(), k.z(), 0.0, -k.x(), -k.y(), k.x(), 0.0;
    const Eigen::Matrix3d r =
        cosTheta * Eigen::Matrix3d::Identity() + sinTheta * kx + (1.0 - cosTheta) * (k * k.transpose());
    Eigen::Matrix4d rotation = Eigen::Matrix4d::Identity();
    rotation.block<3, 3>(0, 0) = r;

    const Eigen::Matrix4d frame = rotation * translation;
    _triangleFrames[t] = frame;

    // In-plane images (u, v) = (q.z, q.y) of the corners.
    auto inPlane = [&frame](Eigen::Vector3d const& p) {
      const Eigen::Vector4d q = frame * p.homogeneous();
      return Eigen::Vector2d(q.z(), q.y());
    };
    const Eigen::Vector2d pa(0.0, 0.0);
    const Eigen::Vector2d pb = inPlane(triangle.b->position);
    const Eigen::Vector2d pc = inPlane(triangle.c->position);
    auto perp = [](Eigen::Vector2d const& e) { return Eigen::Vector2d(e.y(), -e.x()); };

    const Eigen::Vector2d lines[9][2] = {
        {pa, pb - pa},       {pb, pc - pb},       {pc, pa - pc},
        {pa, perp(pb - pa)}, {pb, perp(pb - pa)}, {pb, perp(pc - pb)},
        {pc, perp(pc - pb)}, {pc, perp(pa - pc)}, {pa, perp(pa - pc)},
    };
    double* out = _triangleLines + 36 * static_cast<size_t>(t);
    for (int l = 0; l < 9; ++l) {
      out[4 * l + 0] = lines[l][0].x();
      out[4 * l + 1] = lines[l][0].y();
      out[4 * l + 2] = lines[l][1].x();
      out[4 * l + 3] = lines[l][1].y();
    }
  }
}

void Mesh::deleteDistCalcNecessaryData()
{
  delete[] _triangleFrames;
  _triangleFrames = nullptr;
  delete[] _triangleLines;
  _triangleLines = nullptr;
}
