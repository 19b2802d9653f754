#pragma once

#include <cstdint>
#include <vector>

class Vertex;

/// KD-tree over a mesh's vertices, split at the mean coordinate with the axis
/// cycling x, y, z by depth. Every node keeps the indices of its whole subtree,
/// so a query can scan a sibling subtree as one flat list.
class KdTree
{
public:
  /// Root over vertices 0 .. nbVertices - 1 (at least one).
  KdTree(Vertex** vertices, int nbVertices);
  /// Inner node over the given vertex indices, divided unless it stays a leaf.
  KdTree(Vertex** vertices, std::vector<int> indices, int depth, KdTree* parent);
  ~KdTree();

  KdTree(KdTree const&) = delete;
  KdTree& operator=(KdTree const&) = delete;

  /// Splits this node on axis depth mod 3 and divides the children in turn.
  void divide(int depth);

  /// Up to n (at least 1) indices of the vertices nearest to (x, y, z) by
  /// squared distance, nearest first; equally near vertices in the order met.
  std::vector<int> closestVertices(double x, double y, double z, unsigned int n) const;

  /// Vertices closer than this on every axis are not separated.
  static constexpr double tolerance = double(1e-6f);
  /// Distance of an unfilled result slot.
  static constexpr double noDistance = double(3.4e38f);

  uint8_t _axis : 2;         ///< split axis: 0 x, 1 y, 2 z, 3 not split
  uint8_t _isRightChild : 1; ///< 1 when this node is its parent's _right
  KdTree* _parent = nullptr; ///< null in the root
  KdTree* _left = nullptr;   ///< vertices below _split on _axis; null when none
  KdTree* _right = nullptr;  ///< vertices at or above _split; null when none
  double _split = 0.0;       ///< mean coordinate of the node's vertices on _axis
  Vertex** _vertices;        ///< the mesh's vertex array (borrowed)
  std::vector<int> _indices; ///< every vertex of the subtree, in partition order
  int _nbVertices = 0;       ///< vertex count, set in the root only

private:
  double _boxMin[3] = {0.0, 0.0, 0.0}; ///< bounding box of the subtree's vertices, for pruning queries
  double _boxMax[3] = {0.0, 0.0, 0.0};

  struct NoDivide {};
  void computeBox();
  /// Squared distance from a point to the subtree's bounding box.
  double boxDistance2(double const* point) const;
  KdTree(Vertex** vertices, std::vector<int> indices, KdTree* parent, NoDivide);
  /// The leaf rules: fewer than two vertices, or all within tolerance on every axis.
  bool staysLeaf() const;
  /// Steps of one split: creates the children without dividing them.
  void splitOnce(int depth);
  double coordinate(int index, int axis) const;
};
