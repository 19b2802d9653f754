#include "TriangleBoxTree.h"

#include "Mesh.h"

#include <algorithm>
#include <cmath>
#include <numeric>

TriangleBoxTree::TriangleBoxTree(Triangle* const* triangles, int count) : _triangles(triangles)
{
  if (count < 1)
    return;
  const size_t n = static_cast<size_t>(count);
  std::vector<Eigen::Vector3d> centres(n), mins(n), maxs(n);
  for (int t = 0; t < count; ++t) {
    Triangle const& tri = *triangles[t];
    mins[size_t(t)] = tri.a->position.cwiseMin(tri.b->position).cwiseMin(tri.c->position);
    maxs[size_t(t)] = tri.a->position.cwiseMax(tri.b->position).cwiseMax(tri.c->position);
    centres[size_t(t)] = 0.5 * (mins[size_t(t)] + maxs[size_t(t)]);
  }
  _order.resize(size_t(count));
  std::iota(_order.begin(), _order.end(), 0);
  _nodes.reserve(size_t(2 * count / leafSize + 2));
  build(0, count, centres, mins, maxs);
  _bounds.reserve(n);
  for (int32_t t : _order) {
    Triangle const& tri = *triangles[t];
    const Eigen::Vector3d centre = centres[size_t(t)];
    const double radius = std::sqrt(std::max({(tri.a->position - centre).squaredNorm(),
                                              (tri.b->position - centre).squaredNorm(),
                                              (tri.c->position - centre).squaredNorm()}));
    _bounds.push_back(Bounds{tri.normal, tri.normal.dot(tri.a->position), centre, radius});
  }
}

int TriangleBoxTree::build(int first, int count, std::vector<Eigen::Vector3d> const& centres,
                           std::vector<Eigen::Vector3d> const& mins, std::vector<Eigen::Vector3d> const& maxs)
{
  const int index = static_cast<int>(_nodes.size());
  _nodes.push_back(Node{Eigen::Vector3d::Constant(1e300), Eigen::Vector3d::Constant(-1e300), first, count, -1});
  Eigen::Vector3d centreMin = Eigen::Vector3d::Constant(1e300), centreMax = Eigen::Vector3d::Constant(-1e300);
  for (int k = first; k < first + count; ++k) {
    const int t = _order[size_t(k)];
    _nodes[size_t(index)].min = _nodes[size_t(index)].min.cwiseMin(mins[size_t(t)]);
    _nodes[size_t(index)].max = _nodes[size_t(index)].max.cwiseMax(maxs[size_t(t)]);
    centreMin = centreMin.cwiseMin(centres[size_t(t)]);
    centreMax = centreMax.cwiseMax(centres[size_t(t)]);
  }
  // Depth stays below the traversal stack's size: halving from 2^31 items
  // takes 31 levels.
  if (count <= leafSize)
    return index;
  // Split at the median centre along the widest extent of the centres.
  int axis = 0;
  (centreMax - centreMin).maxCoeff(&axis);
  const int half = count / 2;
  std::nth_element(_order.begin() + first, _order.begin() + first + half, _order.begin() + first + count,
                   [&](int32_t a, int32_t b) { return centres[size_t(a)][axis] < centres[size_t(b)][axis]; });
  const int left = build(first, half, centres, mins, maxs);
  const int right = build(first + half, count - half, centres, mins, maxs);
  _nodes[size_t(index)].first = left;
  _nodes[size_t(index)].count = 0;
  _nodes[size_t(index)].right = right;
  return index;
}

bool TriangleBoxTree::crossings(Eigen::Vector3d const& p, Eigen::Vector3d const& dir, int& count) const
{
  count = 0;
  if (_nodes.empty())
    return true;
  const Eigen::Vector3d inverse = dir.cwiseInverse();
  // Below this, in barycentric units, a hit is too near an edge to count.
  const double graze = 1e-9;
  int32_t stack[64];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    Node const& node = _nodes[size_t(stack[--top])];
    // Slab test of the ray against the node's box.
    const Eigen::Vector3d t0 = (node.min - p).cwiseProduct(inverse), t1 = (node.max - p).cwiseProduct(inverse);
    const double enter = t0.cwiseMin(t1).maxCoeff(), leave = t0.cwiseMax(t1).minCoeff();
    if (leave < std::max(enter, 0.0))
      continue;
    if (node.count == 0) {
      stack[top++] = node.first;
      stack[top++] = node.right;
      continue;
    }
    for (int32_t k = node.first; k < node.first + node.count; ++k) {
      Triangle const& tri = *_triangles[_order[size_t(k)]];
      if (tri.isDegenerate())
        continue;
      // Möller-Trumbore.
      const Eigen::Vector3d e1 = tri.b->position - tri.a->position, e2 = tri.c->position - tri.a->position;
      const Eigen::Vector3d h = dir.cross(e2);
      const double det = e1.dot(h);
      const double scale = e1.norm() * e2.norm();
      if (std::abs(det) <= graze * scale)
        continue; // the ray runs along the plane: it meets the neighbours instead
      const Eigen::Vector3d s = p - tri.a->position;
      const double u = s.dot(h) / det;
      const Eigen::Vector3d q = s.cross(e1);
      const double v = dir.dot(q) / det;
      const double t = e2.dot(q) / det;
      if (u < -graze || v < -graze || u + v > 1.0 + graze || t < 0.0)
        continue;
      if (u < graze || v < graze || u + v > 1.0 - graze || t < graze * std::sqrt(scale))
        return false; // on an edge, a vertex or the point itself: ambiguous
      ++count;
    }
  }
  return true;
}

int TriangleBoxTree::inside(Eigen::Vector3d const& p) const
{
  if (_nodes.empty() || (p.array() < _nodes[0].min.array()).any() || (p.array() > _nodes[0].max.array()).any())
    return 0; // outside the box of every triangle
  // Directions unlikely to run along a modelled edge or face.
  static const Eigen::Vector3d directions[] = {Eigen::Vector3d(0.5377, 0.7453, 0.3946).normalized(),
                                               Eigen::Vector3d(-0.3128, 0.2207, 0.9238).normalized(),
                                               Eigen::Vector3d(0.8271, -0.4934, 0.2693).normalized()};
  for (Eigen::Vector3d const& dir : directions) {
    int count = 0;
    if (crossings(p, dir, count))
      return count % 2;
  }
  return -1;
}
