#include "KdTree.h"
#include "Mesh.h"
#include "MeshChecks.h"
#include "MeshShapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

namespace {

std::unique_ptr<Mesh> meshOf(TriangleSoup const& soup, unsigned nbKd = 0)
{
  return std::unique_ptr<Mesh>(makeMesh(soup, nbKd));
}

double distance(Mesh const& mesh, Eigen::Vector3d const& p)
{
  double x = p.x(), y = p.y(), z = p.z();
  return mesh.minimumDistance(x, y, z);
}

TriangleSoup singleTriangle()
{
  TriangleSoup soup;
  soup.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  soup.triangles = {{0, 1, 2}};
  return soup;
}

} // namespace

TEST(MeshConstruction, EdgesPseudoNormalsBoxAndCentre)
{
  // Three triangles share the edge (0, 1); vertex 5 is used by none.
  TriangleSoup soup;
  soup.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {3, 4, 5}};
  soup.triangles = {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}};
  auto mesh = meshOf(soup);
  ASSERT_EQ(mesh->_nbTriangles, 3);
  Triangle* t0 = mesh->_triangles[0];
  Triangle* t2 = mesh->_triangles[2];
  EXPECT_EQ(t0->normal, Eigen::Vector3d(0, 0, 1));

  Edge const& shared = mesh->_edges.at(edgeKey(0, 1));
  EXPECT_EQ(shared.vertexA->index, 0);
  EXPECT_EQ(shared.vertexB->index, 1);
  EXPECT_EQ(shared.triangleA, t0);
  EXPECT_EQ(shared.triangleB, t2); // the last of the later users
  EXPECT_TRUE(shared.normal.isApprox(t0->normal + mesh->_triangles[1]->normal + t2->normal));
  Edge const& border = mesh->_edges.at(edgeKey(1, 2));
  EXPECT_EQ(border.vertexA->index, 1);
  EXPECT_EQ(border.triangleB, nullptr);
  EXPECT_EQ(border.normal, t0->normal);
  EXPECT_EQ(mesh->_edges.size(), 7u);

  // Right angle at vertex 0 of triangle 0: pi/2 of its normal.
  EXPECT_EQ(mesh->_vertices[2]->triangles, std::vector<int32_t>({0}));
  EXPECT_EQ(mesh->_vertices[0]->triangles, std::vector<int32_t>({0, 1, 2}));
  Vertex const* unused = mesh->_vertices[5];
  EXPECT_EQ(unused->normal, Eigen::Vector3d::Zero());
  EXPECT_TRUE(unused->triangles.empty());
  EXPECT_EQ(mesh->_bboxMin, Eigen::Vector3d(0, -1, 0));
  EXPECT_EQ(mesh->_bboxMax, Eigen::Vector3d(3, 4, 5)); // the unused vertex counts
  EXPECT_TRUE(mesh->_center.isApprox(Eigen::Vector3d(4, 4, 6) / 6.0));

  Eigen::Vector3d lo, hi;
  mesh->getBBox(lo, hi, 0.0);
  EXPECT_EQ(lo, mesh->_bboxMin);
  EXPECT_EQ(hi, mesh->_bboxMax);
  mesh->getBBox(lo, hi, 0.25);
  EXPECT_EQ(lo, Eigen::Vector3d(-0.25, -1.25, -0.25));
  EXPECT_EQ(hi, Eigen::Vector3d(3.25, 4.25, 5.25));
}

TEST(MeshConstruction, VertexNormalsWeightByAngle)
{
  auto mesh = meshOf(singleTriangle());
  const double pi = double(3.1415927f);
  EXPECT_NEAR(mesh->_vertices[0]->normal.z(), std::acos(0.0), 1e-15);
  EXPECT_NEAR(mesh->_vertices[1]->normal.z(), pi / 4, 1e-7);
  EXPECT_EQ(mesh->_vertices[2]->normal.z(), pi - mesh->_vertices[0]->normal.z() - mesh->_vertices[1]->normal.z());
  EXPECT_EQ(edgeKey(2, 1), edgeKey(1, 2));
  EXPECT_EQ(edgeKey(7, 3), (uint64_t(3) << 32) | 7u);

  // Triangles (0, 1, 2) and (2, 1, 0) share their three edges.
  TriangleSoup both = singleTriangle();
  both.triangles.push_back({2, 1, 0});
  auto doubled = meshOf(both);
  EXPECT_EQ(doubled->_edges.size(), 3u);
  for (auto const& [key, edge] : doubled->_edges)
    EXPECT_EQ(edge.triangleB, doubled->_triangles[1]) << key;
}

TEST(MeshConstruction, FramesMapTheNormalOntoMinusX)
{
  TriangleSoup soup;
  soup.points = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}, {0, 1, 0}};
  soup.triangles = {{0, 1, 2}, {0, 3, 4}}; // normals (1, 0, 0) and (-1, 0, 0)
  auto mesh = meshOf(soup);
  const Eigen::Matrix3d halfTurnY = Eigen::Vector3d(-1, 1, -1).asDiagonal();
  const Eigen::Matrix3d rotation0 = mesh->_triangleFrames[0].block<3, 3>(0, 0);
  EXPECT_EQ(rotation0, halfTurnY); // exactly: points on the plane are at distance 0
  EXPECT_EQ(mesh->_triangleFrames[1], Eigen::Matrix4d::Identity());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mesh->_triangleFrames) % 16, 0u);

  // On a general triangle, q.x is minus the height over the plane and the
  // corners land in the plane.
  auto sphere = meshOf(sphereSoup(Eigen::Vector3d(1, 2, 3), 2.0, 1));
  for (int t = 0; t < sphere->_nbTriangles; ++t) {
    Triangle const& tri = *sphere->_triangles[t];
    const Eigen::Matrix4d& f = sphere->_triangleFrames[t];
    const Eigen::Vector3d p = tri.a->position + 0.7 * tri.normal + Eigen::Vector3d(0.01, -0.02, 0.03).cross(tri.normal);
    EXPECT_NEAR((f * p.homogeneous()).x(), -0.7, 1e-12);
    EXPECT_NEAR((f * tri.c->position.homogeneous()).x(), 0.0, 1e-12);
    double const* lines = sphere->_triangleLines + 36 * t;
    const Eigen::Vector4d qb = f * tri.b->position.homogeneous();
    EXPECT_EQ(lines[0], 0.0);         // L0 starts at Pa = (0, 0)
    EXPECT_NEAR(lines[2], qb.z(), 1e-15); // ... towards Pb
    EXPECT_NEAR(lines[3], qb.y(), 1e-15);
    EXPECT_EQ(lines[4 * 3 + 2], lines[3]);   // L3 = perp(Pb - Pa) = (v, -u)
    EXPECT_EQ(lines[4 * 3 + 3], -lines[2]);
  }
}

TEST(MeshConstruction, NoTrianglesMeansAnEmptyMesh)
{
  TriangleSoup soup;
  soup.points = {{1, 2, 3}, {4, 5, 6}};
  auto mesh = meshOf(soup, 4);
  EXPECT_EQ(mesh->_nbVertices, 0);
  EXPECT_EQ(mesh->_nbTriangles, 0);
  EXPECT_EQ(mesh->_kdTree, nullptr);
  EXPECT_EQ(mesh->_center, Eigen::Vector3d::Zero());
  EXPECT_EQ(mesh->_bboxMax, Eigen::Vector3d::Zero());
  EXPECT_EQ(distance(*mesh, Eigen::Vector3d(0, 0, 0)), 1.8439088784818962e19);
  auto noKd = meshOf(soup, 0);
  EXPECT_EQ(distance(*noKd, Eigen::Vector3d(7, 0, 0)), 1.8439088784818962e19);
}

TEST(MeshDistance, SingleTriangleFeatures)
{
  auto mesh = meshOf(singleTriangle());
  EXPECT_EQ(distance(*mesh, {0.25, 0.25, 2}), 2.0);                  // face, above
  EXPECT_EQ(distance(*mesh, {0.25, 0.25, -2}), -2.0);                // face, below
  EXPECT_EQ(distance(*mesh, {0.5, -1, 0}), 1.0);                     // edge (a, b), in plane
  EXPECT_EQ(distance(*mesh, {0.5, -1, -1}), -1.4142135623730951);    // edge (a, b), below
  EXPECT_EQ(distance(*mesh, {-1, -1, 0}), 1.4142135623730951);       // vertex a
  // Points on the mesh are at distance +0.
  for (Eigen::Vector3d p : {Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(0.5, 0.5, 0), Eigen::Vector3d(0.2, 0.3, 0)}) {
    const double d = distance(*mesh, p);
    EXPECT_EQ(d, 0.0);
    EXPECT_FALSE(std::signbit(d));
  }
  // The point is passed by reference and left unchanged.
  double x = 0.5, y = -1, z = -1;
  mesh->minimumDistance(x, y, z);
  EXPECT_EQ(Eigen::Vector3d(x, y, z), Eigen::Vector3d(0.5, -1, -1));
}

TEST(MeshDistance, EdgeRegionsTakeTheEdgeNormal)
{
  // Fans at a and b turn their vertex normals to -z, while the edge (a, b)
  // belongs to the +z triangle alone: below that edge the point is outside by
  // the vertex normals but inside by the edge's.
  TriangleSoup soup = singleTriangle();
  soup.points.insert(soup.points.end(), {{-1, -1, 0}, {-1, 1, 0}, {2, 1, 0}, {2, -1, 0}});
  soup.triangles.push_back({0, 3, 4});
  soup.triangles.push_back({1, 5, 6});
  auto mesh = meshOf(soup);
  ASSERT_LT((mesh->_vertices[0]->normal + mesh->_vertices[1]->normal).z(), 0.0);
  EXPECT_EQ(distance(*mesh, {0.5, -1, -1}), -1.4142135623730951);
}

TEST(MeshDistance, UnitCubeValues)
{
  auto cube = meshOf(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Ones()));
  EXPECT_DOUBLE_EQ(distance(*cube, {0.5, 0.5, 0.5}), -0.5);
  EXPECT_DOUBLE_EQ(distance(*cube, {2, 0.5, 0.5}), 1.0);
  EXPECT_DOUBLE_EQ(distance(*cube, {2, 2, 2}), std::sqrt(3.0));
  EXPECT_DOUBLE_EQ(distance(*cube, {-1, 0.5, -1}), std::sqrt(2.0)); // beyond an edge
  for (Eigen::Vector3d p : {Eigen::Vector3d(1, 1, 1), Eigen::Vector3d(1, 0.5, 1), Eigen::Vector3d(0.5, 1, 0.5)}) {
    const double d = distance(*cube, p); // on a vertex, an edge, a face
    EXPECT_NEAR(d, 0.0, 1e-15);
    EXPECT_FALSE(std::signbit(d));
  }
}

TEST(MeshDistance, MatchesBruteForceWithCorrectSignOnClosedMeshes)
{
  const std::vector<std::pair<const char*, TriangleSoup>> shapes = {
      {"cube", boxSoup(Eigen::Vector3d(-1, -0.5, 0), Eigen::Vector3d(1, 1.5, 0.7))},
      {"sphere", sphereSoup(Eigen::Vector3d(0.3, -0.2, 0.1), 1.3, 2)},
      {"torus", torusSoup(1.5, 0.5, 24, 12)},
  };
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> unit(0.0, 1.0), signedUnit(-1.0, 1.0);
  for (auto const& [name, soup] : shapes) {
    auto mesh = meshOf(soup);
    Eigen::Vector3d lo, hi;
    mesh->getBBox(lo, hi, 1.0);
    int inside = 0;
    for (int n = 0; n < 1500; ++n) {
      Eigen::Vector3d p;
      if (n % 2 == 0) { // anywhere around the shape
        p = lo + Eigen::Vector3d(unit(rng), unit(rng), unit(rng)).cwiseProduct(hi - lo);
      } else { // close to the surface, on either side
        auto const& t = soup.triangles[rng() % soup.triangles.size()];
        double u = unit(rng), v = unit(rng);
        if (u + v > 1) {
          u = 1 - u;
          v = 1 - v;
        }
        const Eigen::Vector3d& a = soup.points[t[0]];
        p = a + u * (soup.points[t[1]] - a) + v * (soup.points[t[2]] - a) +
            1e-2 * unit(rng) * Eigen::Vector3d(signedUnit(rng), signedUnit(rng), signedUnit(rng));
      }
      const double expected = meshchecks::bruteForceDistance(soup, p);
      const double d = distance(*mesh, p);
      ASSERT_NEAR(std::abs(d), expected, 1e-9) << name << " at " << p.transpose();
      if (expected > 1e-7) {
        const bool isInside = meshchecks::windingNumber(soup, p) > 0.5;
        inside += isInside;
        ASSERT_EQ(d < 0, isInside) << name << " at " << p.transpose() << " distance " << d;
      }
    }
    EXPECT_GT(inside, 100) << name; // both sides were exercised
  }
}

TEST(MeshDistance, NearestVerticesOnlyStartTheSearch)
{
  // A large triangle in the plane y = 0 and a small one at y = 1 near the
  // origin: the nearest vertex belongs to the small one, yet the large one is
  // nearer, and below it the sign is the large one's.
  TriangleSoup soup;
  soup.points = {{-100, 0, -100}, {0, 0, 100}, {100, 0, -100}, {0, 1, 0}, {0.1, 1, 0}, {0, 1, 0.1}};
  soup.triangles = {{0, 1, 2}, {3, 4, 5}};
  for (unsigned nearest : {0u, 1u, 4u}) {
    EXPECT_NEAR(std::abs(distance(*meshOf(soup, nearest), Eigen::Vector3d(0, 0.4, 0))), 0.4, 1e-12) << nearest;
    EXPECT_EQ(distance(*meshOf(soup, nearest), Eigen::Vector3d(0, -0.4, 0)),
              distance(*meshOf(soup, 0), Eigen::Vector3d(0, -0.4, 0)))
        << nearest;
  }

  // On closed meshes, whatever the number of nearest vertices, the answer is exact.
  const TriangleSoup sphere = sphereSoup(Eigen::Vector3d::Zero(), 1.0, 3);
  auto exact = meshOf(sphere, 0), limited = meshOf(sphere, 1);
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  for (int n = 0; n < 300; ++n) {
    const Eigen::Vector3d q(u(rng), u(rng), u(rng));
    ASSERT_NEAR(distance(*limited, q), distance(*exact, q), 1e-12) << q.transpose();
  }
}

TEST(MeshDistance, EqualDistancesKeepTheFirstCandidate)
{
  // Two parallel triangles at distance 1 from the origin, both facing +y: the
  // origin is below the first and above the second.
  TriangleSoup soup;
  soup.points = {{-1, 1, -1}, {-1, 1, 1}, {1, 1, -1}, {-1, -1, -1}, {-1, -1, 1}, {1, -1, -1}};
  soup.triangles = {{0, 1, 2}, {3, 4, 5}};
  EXPECT_EQ(distance(*meshOf(soup), Eigen::Vector3d(-0.5, 0, -0.5)), -1.0);
  std::swap(soup.triangles[0], soup.triangles[1]);
  EXPECT_EQ(distance(*meshOf(soup), Eigen::Vector3d(-0.5, 0, -0.5)), 1.0);
}

TEST(MeshDistance, DegenerateTrianglesNeverGiveNonFiniteResults)
{
  const TriangleSoup cube = boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Ones());
  TriangleSoup broken = cube;
  broken.points.push_back({1, 1, 1});     // 8: coincides with corner 7
  broken.points.push_back({0.5, 0, 0});   // 9: on the edge (0, 1)
  broken.triangles.push_back({0, 9, 1});  // zero area, collinear
  broken.triangles.push_back({3, 3, 7});  // names a vertex twice
  broken.triangles.push_back({7, 8, 5});  // two coincident corners
  broken.triangles.push_back({8, 8, 8});  // a single point
  auto plain = meshOf(cube), withDegenerate = meshOf(broken), withKd = meshOf(broken, 3);

  for (int t = 12; t < 16; ++t)
    EXPECT_TRUE(withDegenerate->_triangles[t]->isDegenerate()) << t;
  for (int v = 0; v < withDegenerate->_nbVertices; ++v)
    EXPECT_TRUE(withDegenerate->_vertices[v]->normal.allFinite()) << v;
  EXPECT_EQ(withDegenerate->_vertices[3]->triangles, std::vector<int32_t>({2, 7, 8, 9, 13, 13}));

  std::mt19937 rng(8);
  std::uniform_real_distribution<double> u(-0.5, 1.5);
  for (int n = 0; n < 2000; ++n) {
    const Eigen::Vector3d p(u(rng), u(rng), u(rng));
    const double d = distance(*withDegenerate, p);
    ASSERT_TRUE(std::isfinite(d));
    ASSERT_EQ(d, distance(*plain, p)) << p.transpose();
    ASSERT_TRUE(std::isfinite(distance(*withKd, p)));
  }
  // Points on the degenerate triangles themselves.
  for (Eigen::Vector3d p : {Eigen::Vector3d(0.5, 0, 0), Eigen::Vector3d(1, 1, 1), Eigen::Vector3d(0.25, 0, 0)})
    EXPECT_NEAR(distance(*withDegenerate, p), 0.0, 1e-15);

  // A mesh made only of degenerate triangles measures nothing: far outside.
  TriangleSoup flat;
  flat.points = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  flat.triangles = {{0, 1, 2}, {0, 0, 1}};
  EXPECT_EQ(distance(*meshOf(flat), Eigen::Vector3d(1, 1, 0)), 1.8439088784818962e19);
  EXPECT_EQ(distance(*meshOf(flat, 2), Eigen::Vector3d(1, 1, 0)), 1.8439088784818962e19);

  // Slivers whose angle cosines can round past +-1 still get finite normals.
  std::uniform_real_distribution<double> w(-1.0, 1.0);
  for (int n = 0; n < 2000; ++n) {
    TriangleSoup sliver;
    const Eigen::Vector3d a(w(rng), w(rng), w(rng)), dir(w(rng), w(rng), w(rng));
    sliver.points = {a, a + 0.3 * dir, a + 0.9 * dir + Eigen::Vector3d::Constant(1e-13 * w(rng))};
    sliver.triangles = {{0, 1, 2}};
    auto thin = meshOf(sliver);
    for (int v = 0; v < 3; ++v)
      ASSERT_TRUE(thin->_vertices[v]->normal.allFinite()) << n;
    ASSERT_TRUE(std::isfinite(distance(*thin, Eigen::Vector3d(1, 1, 1)))) << n;
  }
}

TEST(MeshDistance, ConcurrentQueriesMatchSerialOnes)
{
  auto mesh = meshOf(torusSoup(2.0, 0.6, 48, 24), 8);
  std::mt19937 rng(4);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  std::vector<Eigen::Vector3d> points(20000);
  for (auto& p : points)
    p = Eigen::Vector3d(u(rng), u(rng), u(rng));
  std::vector<double> serial(points.size()), parallel(points.size());
  for (size_t i = 0; i < points.size(); ++i)
    serial[i] = distance(*mesh, points[i]);
#pragma omp parallel for schedule(dynamic, 64) num_threads(4)
  for (int64_t i = 0; i < int64_t(points.size()); ++i)
    parallel[i] = distance(*mesh, points[i]);
  EXPECT_EQ(serial, parallel);
}
