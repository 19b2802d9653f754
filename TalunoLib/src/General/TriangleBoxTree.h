#pragma once

#include <Eigen/Core>
#include <cmath>
#include <cstdint>
#include <vector>

class Triangle;

/// A bounding-box hierarchy over a mesh's triangles, for finding every
/// triangle that may lie nearer to a point than a distance already known.
/// Nodes are stored flat; each leaf lists a few triangles.
class TriangleBoxTree
{
public:
  /// Builds the hierarchy over triangles 0 .. count - 1 (borrowed).
  TriangleBoxTree(Triangle* const* triangles, int count);

  /// Calls visit(t) for every triangle t whose box is nearer to p than the
  /// square root of bound2, nearer boxes first. `bound2` is read again after
  /// every visit, so a visitor that finds nearer triangles narrows the search.
  template <typename Visit> void forEachNear(Eigen::Vector3d const& p, double const& bound2, Visit&& visit) const;

  /// Whether p lies inside the closed surface the triangles form, by the
  /// parity of a ray's crossings. A ray that passes too near an edge or a
  /// vertex to count reliably is replaced by another; -1 when every ray
  /// tried was unreliable, else 0 (outside) or 1 (inside).
  int inside(Eigen::Vector3d const& p) const;

private:
  struct Node
  {
    Eigen::Vector3d min, max;
    int32_t first;  ///< leaf: first entry in _order; inner: index of the left child
    int32_t count;  ///< leaf: number of triangles; inner: 0
    int32_t right;  ///< inner: index of the right child
  };
  int build(int first, int count, std::vector<Eigen::Vector3d> const& centres,
            std::vector<Eigen::Vector3d> const& mins, std::vector<Eigen::Vector3d> const& maxs);
  static double boxDistance2(Node const& node, Eigen::Vector3d const& p)
  {
    const Eigen::Vector3d d = (node.min - p).cwiseMax(p - node.max).cwiseMax(0.0);
    return d.squaredNorm();
  }

  struct Bounds
  {
    Eigen::Vector3d normal; ///< unit normal of the triangle's plane (zero for a degenerate triangle)
    double offset;          ///< normal . (any corner)
    Eigen::Vector3d centre; ///< of the bounding sphere
    double radius;
  };
  /// Crossings of the ray p + t dir (t > 0) with the triangles; false when
  /// the ray grazes an edge or a vertex and the count cannot be trusted.
  bool crossings(Eigen::Vector3d const& p, Eigen::Vector3d const& dir, int& count) const;

  Triangle* const* _triangles = nullptr; ///< the mesh's triangles (borrowed)
  std::vector<Node> _nodes;
  std::vector<int32_t> _order;  ///< triangle indices, grouped by leaf
  std::vector<Bounds> _bounds; ///< plane and bounding sphere of each triangle, in the order of _order
  static constexpr int leafSize = 4;
};

template <typename Visit>
void TriangleBoxTree::forEachNear(Eigen::Vector3d const& p, double const& bound2, Visit&& visit) const
{
  if (_nodes.empty())
    return;
  // Entries keep the box distance they were pushed with, checked again when
  // taken: the bound may have shrunk meanwhile.
  struct Entry
  {
    int32_t node;
    double distance2;
  };
  Entry stack[64];
  int top = 0;
  stack[top++] = Entry{0, boxDistance2(_nodes[0], p)};
  while (top > 0) {
    const Entry entry = stack[--top];
    if (entry.distance2 >= bound2)
      continue;
    Node const& node = _nodes[size_t(entry.node)];
    if (node.count > 0) {
      // Each triangle's plane, then its bounding sphere, reject most of a
      // leaf for the cost of a dot product or a squared distance.
      for (int32_t k = node.first; k < node.first + node.count; ++k) {
        Bounds const& b = _bounds[size_t(k)];
        const double plane = b.normal.dot(p) - b.offset;
        if (plane * plane >= bound2)
          continue;
        const double centre = std::sqrt((p - b.centre).squaredNorm());
        if (centre <= b.radius || (centre - b.radius) * (centre - b.radius) < bound2)
          visit(_order[size_t(k)]);
      }
      continue;
    }
    const Entry left{node.first, boxDistance2(_nodes[size_t(node.first)], p)};
    const Entry right{node.right, boxDistance2(_nodes[size_t(node.right)], p)};
    // The nearer child last on the stack, so that it is taken first.
    if (left.distance2 <= right.distance2) {
      stack[top++] = right;
      stack[top++] = left;
    } else {
      stack[top++] = left;
      stack[top++] = right;
    }
  }
}
