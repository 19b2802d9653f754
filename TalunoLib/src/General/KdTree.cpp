#include "KdTree.h"

#include "Mesh.h"

#include <utility>

KdTree::KdTree(Vertex** vertices, int nbVertices)
    : _axis(3), _isRightChild(0), _vertices(vertices), _nbVertices(nbVertices)
{
  _indices.resize(nbVertices);
  for (int i = 0; i < nbVertices; ++i)
    _indices[i] = i;
  divide(0);
}

KdTree::KdTree(Vertex** vertices, std::vector<int> indices, int depth, KdTree* parent)
    : _axis(3), _isRightChild(0), _parent(parent), _vertices(vertices), _indices(std::move(indices))
{
  if (!staysLeaf())
    divide(depth);
}

KdTree::KdTree(Vertex** vertices, std::vector<int> indices, KdTree* parent, NoDivide)
    : _axis(3), _isRightChild(0), _parent(parent), _vertices(vertices), _indices(std::move(indices))
{
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
  for (int axis = 0; axis < 3; ++axis) {
    double lo = coordinate(_indices[0], axis), hi = lo;
    for (int index : _indices) {
      const double c = coordinate(index, axis);
      lo = c < lo ? c : lo;
      hi = c > hi ? c : hi;
    }
    if (hi - lo > tolerance)
      return false;
  }
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

// The n nearest vertices found so far, sorted by ascending squared distance.
struct NearestSlots
{
  NearestSlots(unsigned n) : indices(n, -1), distances(n, KdTree::noDistance) {}

  void offer(int index, double d2)
  {
    const size_t n = indices.size();
    size_t slot = 0;
    while (slot < n && !(distances[slot] > d2))
      ++slot;
    if (slot == n)
      return;
    for (size_t k = n - 1; k > slot; --k) {
      indices[k] = indices[k - 1];
      distances[k] = distances[k - 1];
    }
    indices[slot] = index;
    distances[slot] = d2;
  }

  std::vector<int> indices;
  std::vector<double> distances;
};

} // namespace

std::vector<int> KdTree::closestVertices(double x, double y, double z, unsigned int n) const
{
  const double query[3] = {x, y, z};
  NearestSlots slots(n);
  auto scan = [&](KdTree const* node) {
    for (int index : node->_indices) {
      const double dx = _vertices[index]->position.x() - x;
      const double dy = _vertices[index]->position.y() - y;
      const double dz = _vertices[index]->position.z() - z;
      slots.offer(index, dx * dx + dy * dy + dz * dz);
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
  scan(node);

  // Ascent: scan a sibling subtree whenever its half-space may hold a vertex
  // nearer than the farthest one held.
  for (KdTree const* s = node; s->_parent; s = s->_parent) {
    KdTree const* parent = s->_parent;
    const double plane = query[parent->_axis < 3 ? parent->_axis : 0] - parent->_split;
    if (slots.distances.back() > plane * plane) {
      KdTree const* sibling = s->_isRightChild ? parent->_left : parent->_right;
      if (sibling)
        scan(sibling);
    }
  }

  while (!slots.indices.empty() && slots.indices.back() == -1)
    slots.indices.pop_back();
  return slots.indices;
}
