#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cstdint>
#include <map>
#include <vector>

class KdTree;
class TriangleBoxTree;

/// A mesh vertex. Its index equals its slot in the mesh's vertex array.
class Vertex
{
public:
  Vertex(Eigen::Vector3d const& position, int index) : position(position), index(index) {}
  Vertex(double x, double y, double z, int index) : position(x, y, z), index(index) {}

  Eigen::Vector3d position;                        ///< object-space position
  int32_t index;                                   ///< slot in the mesh's vertex array
  Eigen::Vector3d normal = Eigen::Vector3d::Zero(); ///< angle-weighted pseudo-normal, not normalised
  std::vector<int32_t> triangles;                  ///< triangles using the vertex, ascending
};

/// A mesh triangle; its corners are borrowed from the mesh's vertex array.
class Triangle
{
public:
  /// Sets the unit normal and adds the triangle's angle-weighted share to its
  /// corners' pseudo-normals. A triangle of zero area (or naming a vertex
  /// twice) has no direction: its normal is zero and it adds nothing.
  Triangle(Vertex* a, Vertex* b, Vertex* c);

  /// True for a zero-area triangle, which distance queries skip.
  bool isDegenerate() const { return normal.x() == 0.0 && normal.y() == 0.0 && normal.z() == 0.0; }

  Vertex* a;
  Vertex* b;
  Vertex* c;
  Eigen::Vector3d normal; ///< unit normal of (b - a) x (c - a)
};

/// An edge shared by the triangles that use its vertex pair.
class Edge
{
public:
  Vertex* vertexA = nullptr;     ///< first end, in the first triangle's order
  Vertex* vertexB = nullptr;     ///< second end
  Triangle* triangleA = nullptr; ///< first triangle using the edge
  Triangle* triangleB = nullptr; ///< last later triangle using it; null on a border
  Eigen::Vector3d normal = Eigen::Vector3d::Zero(); ///< sum of the users' unit normals
};

/// Key of the unordered vertex pair (i, j): smaller index in the upper half.
inline uint64_t edgeKey(int32_t i, int32_t j)
{
  const uint32_t lo = static_cast<uint32_t>(i < j ? i : j), hi = static_cast<uint32_t>(i < j ? j : i);
  return (static_cast<uint64_t>(lo) << 32) | hi;
}

/// Triangle geometry of an object in its own space, with what exact signed
/// distance queries need: edges, pseudo-normals, one local frame and nine 2D
/// lines per triangle, and a vertex KD-tree. Read-only after construction, so
/// any number of threads may query it at once.
class Mesh
{
public:
  /// Takes ownership of both arrays and every record in them. With fewer than
  /// one triangle the mesh stays empty and releases what it was given at once.
  Mesh(int nbVertices, int nbTriangles, Vertex** vertices, Triangle** triangles,
       unsigned int nbKdTreeReturnedVertices);
  ~Mesh();

  Mesh(Mesh const&) = delete;
  Mesh& operator=(Mesh const&) = delete;

  void getBBox(Eigen::Vector3d& min, Eigen::Vector3d& max, double margin) const;
  void calculateCenter();
  void calculateBBox();
  void BuildEdges();
  void createDistCalcNecessaryData();
  void deleteDistCalcNecessaryData();

  /// Signed distance from the point to the mesh: negative inside a closed mesh
  /// whose normals point outward. The point is left unchanged. With
  /// _nbKdTreeReturnedVertices above 0 the triangles around that many nearest
  /// vertices are examined first; then, within one longest edge of the
  /// surface or where a closed mesh's ray parity contradicts the sign, every
  /// triangle that may be nearer. Among equally near features the first
  /// examined decides the sign.
  double minimumDistance(double& x, double& y, double& z) const;

  /// Distance returned when no triangle is examined: the square root of the
  /// initial squared distance.
  static constexpr double noDistance2 = double(3.4e38f);

  int32_t _nbVertices = 0;
  int32_t _nbTriangles = 0;
  Vertex** _vertices = nullptr;      ///< owned, with the vertices
  Triangle** _triangles = nullptr;   ///< owned, with the triangles
  Eigen::Vector3d _center = Eigen::Vector3d::Zero(); ///< mean of the vertex positions
  Eigen::Matrix4d* _triangleFrames = nullptr; ///< per triangle: translation of a to the origin, then
                                              ///< rotation of the normal onto -x (16-byte aligned)
  double* _triangleLines = nullptr;  ///< per triangle: 9 lines of (point.u, point.v, dir.u, dir.v)
  std::map<uint64_t, Edge> _edges;   ///< by edgeKey; owns the edges
  KdTree* _kdTree = nullptr;         ///< over all vertices; null when _nbKdTreeReturnedVertices is 0
  /// Over all triangles, beside the KD-tree: a query that starts from the
  /// nearest vertices' triangles then examines every triangle that may be
  /// nearer still, so that the start never decides a sign wrongly.
  TriangleBoxTree* _triangleTree = nullptr;
  double _longestEdge2 = 0.0; ///< squared length of the longest triangle edge
  bool _closed = false;       ///< every edge is shared by two triangles: inside and outside are defined
  int64_t _borderEdges = 0;   ///< edges of one triangle only: the open rims of a surface
  Eigen::Vector3d _bboxMin = Eigen::Vector3d::Zero();
  Eigen::Vector3d _bboxMax = Eigen::Vector3d::Zero();
  uint32_t _nbKdTreeReturnedVertices; ///< nearest vertices a query looks around; 0: every triangle
};
