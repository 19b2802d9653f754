#include "KdTree.h"

#include "Mesh.h"

#include <utility>

KdTree::KdTree(Vertex** vertices, int nbVertices)
    : _axis(3), _isRightChild(0), _vertices(vertices), _nbVertices(nbVertices)
{
  _indices.resize(nbVertices);
  for (int i = 0; i < nbVertices; ++i)
    _indices[i] = i;
  computeBox();
  divide(0);
}

KdTree::KdTree(Vertex** vertices, std::vector<int> indices, int depth, KdTree* parent)
    : _axis(3), _isRightChild(0), _parent(parent), _vertices(vertices), _indices(std::move(indices))
{
  computeBox();
  if (!staysLeaf())
    divide(depth);
}

KdTree::KdTree(Vertex** vertices, std::vector<int> indices, KdTree* parent, NoDivide)
    : _axis(3), _isRightChild(0), _parent(parent), _vertices(vertices), _indices(std::move(indices))
{
  computeBox();
}

void KdTree::computeBox()
{
  for (int axis = 0; axis < 3; ++axis) {
    _boxMin[axis] = _indices.empty() ? 0.0 : coordinate(_indices[0], axis);
    _boxMax[axis] = _boxMin[axis];
  }
  for (int index : _indices)
    for (int axis = 0; axis < 3; ++axis) {
      const double c = coordinate(index, axis);
      _boxMin[axis] = c < _boxMin[axis] ? c : _boxMin[axis];
      _boxMax[axis] = c > _boxMax[axis] ? c : _boxMax[axis];
    }
}

double KdTree::boxDistance2(double const* point) const
{
  double d2 = 0.0;
  for (int axis = 0; axis < 3; ++axis) {
    const double below = _boxMin[axis] - point[axis], above = point[axis] - _boxMax[axis];
    const double gap = below > 0.0 ? below : (above > 0.0 ? above : 0.0);
    d2 += gap * gap;
  }
  return d2;
}

KdTree::~KdTree()
{
  // Iterative teardown: a degenerate vertex distribution can make the tree as
  // deep as it has vertices, too deep for recursive destruction.
  std::vector<KdTree*> pending;
  auto detach = [&pending](KdTree* node) {
    if (node->_left)
      pending.push_back(node->_left);
    if (node->_right)
      pending.push_back(node->_right);
    node->_left = node->_right = nullptr;
  };
  detach(this);
  while (!pending.empty()) {
    KdTree* node = pending.back();
    pending.pop_back();
    detach(node);
    delete node;
  }
}

double KdTree::coordinate(int index, int axis) const { return _vertices[index]->position[axis]; }

bool KdTree::staysLeaf() const
{
  if (_indices.size() < 2)
    return true;
  // Some pair differs by more than the tolerance on an axis exactly when the
  // extremes on that axis do.
  for (int axis = 0; axis < 3; ++axis)
    if (_boxMax[axis] - _boxMin[axis] > tolerance)
      return false;
  return true;
}

void KdTree::divide(int depth)
{
  // Divides the subtree with an explicit work list rather than recursion, so
  // that deep trees cannot exhaust the stack.
  std::vector<std::pair<KdTree*, int>> pending{{this, depth}};
  while (!pending.empty()) {
    auto [node, nodeDepth] = pending.back();
    pending.pop_back();
    node->splitOnce(nodeDepth);
    for (KdTree* child : {node->_left, node->_right})
      if (child && !child->staysLeaf())
        pending.emplace_back(child, nodeDepth + 1);
  }
}

void KdTree::splitOnce(int depth)
{
  const int axis = depth % 3;
  double sum = 0.0;
  for (int index : _indices)
    sum += coordinate(index, axis);
  _split = sum / static_cast<double>(_indices.size());

  std::vector<int> lower, upper;
  for (int index : _indices)
    (coordinate(index, axis) < _split ? lower : upper).push_back(index);

  // A node that passes all its vertices to one child lets the child try the
  // next axis. When three generations in a row failed to split the same set,
  // every axis has been tried and the next split would repeat the first
  // forever (vertices apart by more than the tolerance but not by a
  // representable mean, far from the origin): the node stays a leaf instead.
  if (lower.empty() || upper.empty()) {
    const size_t n = _indices.size();
    if (_parent && _parent->_indices.size() == n && _parent->_parent && _parent->_parent->_indices.size() == n)
      return;
  }

  if (!lower.empty()) {
    _axis = static_cast<uint8_t>(axis);
    _left = new KdTree(_vertices, std::move(lower), this, NoDivide{});
    _left->_isRightChild = 0;
  }
  if (!upper.empty()) {
    _axis = static_cast<uint8_t>(axis);
    _right = new KdTree(_vertices, std::move(upper), this, NoDivide{});
    _right->_isRightChild = 1;
  }
}

namespace {

// The n nearest vertices found so far, in ascending order of squared distance.
// Vertices are scanned in groups: the stop node of the descent is group 0 and
// each sibling subtree of the ascent the next group. Scanning a group's index
// list in order, a vertex enters behind the held ones at equal distance; the
// same outcome is to rank by (distance, group, index), which this does, so a
// group's subtree can be walked in any order and pruned.
struct NearestSlots
{
  explicit NearestSlots(unsigned n) : indices(n, -1), groups(n, 0), distances(n, KdTree::noDistance) {}

  bool before(double d2, int group, int index, size_t slot) const
  {
    if (indices[slot] == -1 || distances[slot] != d2)
      return distances[slot] > d2;
    return groups[slot] != group ? groups[slot] > group : indices[slot] > index;
  }

  void offer(int index, double d2, int group)
  {
    const size_t n = indices.size();
    size_t slot = 0;
    while (slot < n && !before(d2, group, index, slot))
      ++slot;
    if (slot == n)
      return;
    for (size_t k = n - 1; k > slot; --k) {
      indices[k] = indices[k - 1];
      groups[k] = groups[k - 1];
      distances[k] = distances[k - 1];
    }
    indices[slot] = index;
    groups[slot] = group;
    distances[slot] = d2;
  }

  double worst() const { return distances.back(); }

  std::vector<int> indices;
  std::vector<int> groups;
  std::vector<double> distances;
};

} // namespace

std::vector<int> KdTree::closestVertices(double x, double y, double z, unsigned int n) const
{
  const double query[3] = {x, y, z};
  NearestSlots slots(n);

  // Offers every vertex of a subtree that may rank among the n nearest: a
  // node whose bounding box lies farther than the worst held distance cannot
  // hold a better vertex. Nearer children are examined first.
  std::vector<std::pair<double, KdTree const*>> pending;
  auto scan = [&](KdTree const* subtree, int group) {
    pending.assign(1, {subtree->boxDistance2(query), subtree});
    while (!pending.empty()) {
      const auto [bound, node] = pending.back();
      pending.pop_back();
      if (bound > slots.worst())
        continue;
      if (!node->_left && !node->_right) {
        for (int index : node->_indices) {
          const double dx = _vertices[index]->position.x() - x;
          const double dy = _vertices[index]->position.y() - y;
          const double dz = _vertices[index]->position.z() - z;
          slots.offer(index, dx * dx + dy * dy + dz * dz, group);
        }
        continue;
      }
      const double leftBound = node->_left ? node->_left->boxDistance2(query) : 0.0;
      const double rightBound = node->_right ? node->_right->boxDistance2(query) : 0.0;
      const bool leftFirst = leftBound <= rightBound;
      KdTree const* first = leftFirst ? node->_left : node->_right;
      KdTree const* second = leftFirst ? node->_right : node->_left;
      if (second)
        pending.emplace_back(leftFirst ? rightBound : leftBound, second);
      if (first)
        pending.emplace_back(leftFirst ? leftBound : rightBound, first); // popped first
    }
  };

  // Descent: the depth, not the node's axis, picks the coordinate.
  KdTree const* node = this;
  for (int depth = 0;; ++depth) {
    KdTree const* child = node->_split > query[depth % 3] ? node->_left : node->_right;
    if (!child)
      break;
    node = child;
  }
  int group = 0;
  scan(node, group);

  // Ascent: a sibling subtree is examined whenever its half-space may hold a
  // vertex nearer than the farthest one held.
  for (KdTree const* s = node; s->_parent; s = s->_parent) {
    KdTree const* parent = s->_parent;
    const double plane = query[parent->_axis] - parent->_split;
    if (slots.worst() > plane * plane) {
      KdTree const* sibling = s->_isRightChild ? parent->_left : parent->_right;
      if (sibling)
        scan(sibling, ++group);
    }
  }

  while (!slots.indices.empty() && slots.indices.back() == -1)
    slots.indices.pop_back();
  return slots.indices;
}
