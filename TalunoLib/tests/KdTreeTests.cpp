#include "KdTree.h"
#include "Mesh.h"
#include "MeshShapes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <set>

namespace {

// Owns a vertex array for a tree under test.
struct VertexSet
{
  explicit VertexSet(std::vector<Eigen::Vector3d> const& points)
  {
    for (size_t i = 0; i < points.size(); ++i)
      vertices.push_back(new Vertex(points[i], int(i)));
  }
  ~VertexSet()
  {
    for (Vertex* v : vertices)
      delete v;
  }
  std::vector<Vertex*> vertices;
};

std::vector<std::pair<double, int>> bruteForce(std::vector<Eigen::Vector3d> const& points, Eigen::Vector3d const& q)
{
  std::vector<std::pair<double, int>> all;
  for (size_t i = 0; i < points.size(); ++i)
    all.emplace_back((points[i] - q).squaredNorm(), int(i));
  std::sort(all.begin(), all.end());
  return all;
}

// The query as a plain scan: the stop node's list, then each sibling's whole
// list on the way up, inserting behind equal distances. The tree's pruned
// walk must give exactly this, ties included.
std::vector<int> flatScanReference(KdTree const& tree, Eigen::Vector3d const& q, unsigned n)
{
  std::vector<int> indices(n, -1);
  std::vector<double> distances(n, KdTree::noDistance);
  auto scan = [&](KdTree const* node) {
    for (int index : node->_indices) {
      const double d2 = (tree._vertices[index]->position - q).squaredNorm();
      size_t slot = 0;
      while (slot < n && !(distances[slot] > d2))
        ++slot;
      if (slot == n)
        continue;
      indices.insert(indices.begin() + slot, index);
      distances.insert(distances.begin() + slot, d2);
      indices.pop_back();
      distances.pop_back();
    }
  };
  KdTree const* node = &tree;
  for (int depth = 0;; ++depth) {
    KdTree const* child = node->_split > q[depth % 3] ? node->_left : node->_right;
    if (!child)
      break;
    node = child;
  }
  scan(node);
  for (KdTree const* s = node; s->_parent; s = s->_parent) {
    const double plane = q[s->_parent->_axis] - s->_parent->_split;
    KdTree const* sibling = s->_isRightChild ? s->_parent->_left : s->_parent->_right;
    if (distances.back() > plane * plane && sibling)
      scan(sibling);
  }
  while (!indices.empty() && indices.back() == -1)
    indices.pop_back();
  return indices;
}

} // namespace

TEST(KdTree, NearestVerticesEqualBruteForce)
{
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> u(-5.0, 5.0);
  std::uniform_int_distribution<int> lattice(-3, 3);
  for (bool onLattice : {false, true}) { // the lattice makes many equal distances
    std::vector<Eigen::Vector3d> points;
    for (int i = 0; i < 2000; ++i)
      points.push_back(onLattice ? Eigen::Vector3d(lattice(rng), lattice(rng), lattice(rng))
                                 : Eigen::Vector3d(u(rng), u(rng), u(rng)));
    VertexSet set(points);
    KdTree tree(set.vertices.data(), int(points.size()));
    for (int n = 0; n < 800; ++n) {
      const Eigen::Vector3d q = n % 2 ? Eigen::Vector3d(u(rng), u(rng), u(rng))
                                      : Eigen::Vector3d(lattice(rng) * 0.5, lattice(rng) * 0.5, lattice(rng) * 0.5);
      const unsigned k = 1 + n % 12;
      const auto expected = bruteForce(points, q);
      const std::vector<int> got = tree.closestVertices(q.x(), q.y(), q.z(), k);
      ASSERT_EQ(got.size(), k);
      const double last = expected[k - 1].first;
      for (unsigned i = 0; i < k; ++i) {
        // Same distances in the same order; among equal distances any vertex
        // at that distance, and every vertex strictly nearer than the last.
        ASSERT_EQ((points[got[i]] - q).squaredNorm(), expected[i].first) << "slot " << i;
        if (expected[i].first < last) {
          ASSERT_NE(std::find(got.begin(), got.end(), expected[i].second), got.end());
        }
      }
      ASSERT_EQ(std::set<int>(got.begin(), got.end()).size(), k) << "a vertex returned twice";
      ASSERT_EQ(got, flatScanReference(tree, q, k)) << "tie order differs from a plain scan";
    }
  }
}

TEST(KdTree, SmallTreesAndCoincidentVertices)
{
  VertexSet one({Eigen::Vector3d(1, 2, 3)});
  KdTree single(one.vertices.data(), 1);
  EXPECT_EQ(single.closestVertices(9, 9, 9, 3), std::vector<int>({0}));

  // Coincident vertices stay together in one leaf and come back in index order.
  VertexSet set({{0, 0, 0}, {5, 5, 5}, {1, 1, 1}, {1, 1, 1 + 1e-7}, {1, 1, 1}, {-4, 0, 2}});
  KdTree tree(set.vertices.data(), 6);
  EXPECT_EQ(tree.closestVertices(1, 1, 1.5, 3), std::vector<int>({3, 2, 4})); // 2 and 4 coincide
  const std::vector<int> all = tree.closestVertices(1, 1, 1.5, 10); // more than there are
  EXPECT_EQ(all.size(), 6u);
  EXPECT_EQ(std::vector<int>(all.begin(), all.begin() + 4), std::vector<int>({3, 2, 4, 0}));
  EXPECT_EQ(tree.closestVertices(1, 1, 1, 1), std::vector<int>({2})); // first met among equals
}

TEST(KdTree, SplitsAtTheMeanAndSendsTiesRight)
{
  // All vertices share x: the root passes them all to one side and the next
  // level splits on y.
  VertexSet set({{2, 0, 0}, {2, 1, 0}, {2, 4, 0}, {2, 7, 1}});
  KdTree tree(set.vertices.data(), 4);
  EXPECT_EQ(tree._axis, 0);
  EXPECT_EQ(tree._split, 2.0);
  EXPECT_EQ(tree._left, nullptr);
  ASSERT_NE(tree._right, nullptr);
  EXPECT_EQ(tree._right->_isRightChild, 1);
  EXPECT_EQ(tree._right->_axis, 1);
  EXPECT_EQ(tree._right->_split, 3.0);
  EXPECT_EQ(tree._right->_left->_indices, std::vector<int>({0, 1}));
  EXPECT_EQ(tree._right->_right->_indices, std::vector<int>({2, 3}));
  EXPECT_EQ(tree._right->_parent, &tree);
  EXPECT_EQ(tree._nbVertices, 4);
  EXPECT_EQ(tree._right->_nbVertices, 0); // set in the root only

  // A query on a split plane descends to the right.
  VertexSet pair({{0, 0, 0}, {2, 0, 0}});
  KdTree halves(pair.vertices.data(), 2);
  EXPECT_EQ(halves._split, 1.0);
  EXPECT_EQ(halves.closestVertices(1, 0, 0, 1), std::vector<int>({1}));
}

TEST(KdTree, UnsplittableVerticesFarFromTheOriginEndInALeaf)
{
  // Apart by more than the tolerance, but too close to be told apart by a mean
  // at this magnitude: the build must stop rather than split forever.
  const double far = 1e12;
  VertexSet set({{far, far, far}, {std::nextafter(far, 2 * far), far, far}, {far, far, far}});
  KdTree tree(set.vertices.data(), 3);
  const std::vector<int> got = tree.closestVertices(far, far, far, 3);
  EXPECT_EQ(got.size(), 3u);
  EXPECT_EQ(std::set<int>(got.begin(), got.end()).size(), 3u);
}

TEST(KdTree, MeshBuildsItsTreeOnlyWhenAsked)
{
  std::unique_ptr<Mesh> plain(makeMesh(sphereSoup(Eigen::Vector3d::Zero(), 1.0, 1), 0));
  EXPECT_EQ(plain->_kdTree, nullptr);
  std::unique_ptr<Mesh> indexed(makeMesh(sphereSoup(Eigen::Vector3d::Zero(), 1.0, 1), 2));
  ASSERT_NE(indexed->_kdTree, nullptr);
  EXPECT_EQ(indexed->_kdTree->_nbVertices, indexed->_nbVertices);
}
