#include "ASDFObject.h"
#include "Mesh.h"
#include "MeshShapes.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <set>

namespace {

struct Field
{
  Field(TriangleSoup const& soup, double threshold, int depth, unsigned nbKd = 1)
      : mesh(makeMesh(soup, nbKd)), asdf(std::make_unique<ASDFObject>(mesh.get(), threshold, depth))
  {
  }
  std::unique_ptr<Mesh> mesh;
  std::unique_ptr<ASDFObject> asdf;
};

TriangleSoup unitCube(bool inward = false)
{
  TriangleSoup soup = boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Ones());
  if (inward)
    for (auto& t : soup.triangles)
      std::swap(t[1], t[2]);
  return soup;
}

double query(ASDFObject const& f, Eigen::Vector3d const& p, Eigen::Vector3d* gradient = nullptr)
{
  double d;
  Eigen::Vector3d g = Eigen::Vector3d::Constant(7.0);
  f.trilinearInterpolation(p.x(), p.y(), p.z(), d, 1e30, g);
  if (gradient)
    *gradient = g;
  return d;
}

void forEachLeaf(ASDFCell* cell, std::function<void(ASDFCell*)> const& f)
{
  if (cell->isLeaf()) {
    f(cell);
    return;
  }
  for (ASDFCell* child : cell->_children)
    forEachLeaf(child, f);
}

} // namespace

TEST(DistanceField, UnitCubeSignsFarValueAndGradient)
{
  for (bool inward : {false, true}) {
    Field field(unitCube(inward), 0.01, 5);
    ASDFObject const& f = *field.asdf;
    EXPECT_EQ(f._sign, inward ? -1 : 1);
    EXPECT_EQ(f._bboxMin, Eigen::Vector3d::Constant(-0.75));
    EXPECT_EQ(f._rootSize, 2.5);
    EXPECT_GT(f._depth, 0);
    EXPECT_EQ(f._resolution, 1 << f._depth);
    EXPECT_EQ(f._depthMinusOne, f._depth - 1);
    EXPECT_LT(query(f, {0.5, 0.5, 0.5}), 0.0);
    EXPECT_NEAR(query(f, {0.5, 0.5, 0.5}), -0.5, 0.02);
    EXPECT_GT(query(f, {1.3, 0.5, 0.5}), 0.0);

    Eigen::Vector3d untouched = Eigen::Vector3d::Constant(7.0), g = untouched;
    double d;
    f.trilinearInterpolation(2, 0.5, 0.5, d, 1e30, g); // outside the widened box
    EXPECT_EQ(d, 3.3999999521443642e38);
    EXPECT_EQ(g, untouched);
    f.trilinearInterpolation(1.75, 0.5, 0.5, d, 1e30, g); // on its boundary
    EXPECT_EQ(d, 3.3999999521443642e38);

    query(f, {0.9, 0.5, 0.5}, &g);
    Eigen::Index largest;
    g.cwiseAbs().maxCoeff(&largest);
    EXPECT_EQ(largest, 0);
    EXPECT_GT(g.x(), 0.0);
    EXPECT_NEAR(g.norm(), 1.0, 1e-12);
  }
}

TEST(DistanceField, RootOnlyFields)
{
  for (auto [threshold, depth] : {std::pair<double, int>{0.01, 0}, std::pair<double, int>{1e9, 6}}) {
    Field field(unitCube(), threshold, depth);
    ASDFObject const& f = *field.asdf;
    EXPECT_TRUE(f._root->isLeaf());
    EXPECT_EQ(f._depth, 0);
    EXPECT_EQ(f._resolution, 1);
    for (Eigen::Vector3d p : {Eigen::Vector3d(-0.7, -0.7, -0.7), Eigen::Vector3d(0.5, 0.5, 0.5),
                              Eigen::Vector3d(1.74, 1.74, 1.74)})
      EXPECT_EQ(f.getCell(p.x(), p.y(), p.z()), f._root);
    EXPECT_EQ(f.getCell(1.75, 0.5, 0.5), nullptr);
  }
}

TEST(DistanceField, CornersAreSharedAndEvaluatedOnce)
{
  Field field(unitCube(), 0.001, 3);
  ASDFObject& f = *field.asdf;
  ASSERT_FALSE(f._root->isLeaf());
  std::set<Corner*> corners;
  int leaves = 0;
  forEachLeaf(f._root, [&](ASDFCell* leaf) {
    ++leaves;
    for (Corner* c : leaf->_corners) {
      ASSERT_NE(c->distance, Corner::unset) << "corner never evaluated";
      corners.insert(c);
      double x = c->x, y = c->y, z = c->z;
      ASSERT_EQ(c->distance, field.mesh->minimumDistance(x, y, z)); // sign +1
    }
  });
  EXPECT_LT(corners.size(), size_t(leaves) * 8); // leaves share corners

  // Children of one subdivision meet at shared corners: changing one moves
  // the interpolation in every cell that uses it.
  ASDFCell* c0 = f._root->_children[0];
  ASDFCell* c7 = f._root->_children[7];
  ASSERT_EQ(c0->_corners[7], c7->_corners[0]); // the root's centre
  ASSERT_EQ(c0->_corners[7], f._root->_children[3]->_corners[4]);
  Corner* centre = c0->_corners[7];
  double before0;
  f.trilinearInterpolation(c0, centre->x - 1e-3, centre->y - 1e-3, centre->z - 1e-3, before0);
  centre->distance += 1.0;
  double after0, inside7;
  f.trilinearInterpolation(c0, centre->x - 1e-3, centre->y - 1e-3, centre->z - 1e-3, after0);
  f.trilinearInterpolation(c7, centre->x, centre->y, centre->z, inside7);
  EXPECT_GT(after0, before0 + 0.5);
  EXPECT_EQ(inside7, centre->distance);
}

TEST(DistanceField, OnlyCellsTheSurfaceMayCrossAreRefined)
{
  Field field(unitCube(), 0.001, 5);
  int refined = 0, leaves = 0;
  std::function<void(ASDFCell*)> walk = [&](ASDFCell* cell) {
    if (cell->isLeaf()) {
      ++leaves;
      return;
    }
    ++refined;
    Corner const* const* c = cell->_corners;
    const Eigen::Vector3d half = 0.5 * Eigen::Vector3d(c[4]->x - c[0]->x, c[2]->y - c[0]->y, c[1]->z - c[0]->z);
    bool near = false;
    for (int k = 0; k < 8; ++k)
      near = near || half.squaredNorm() > c[k]->distance * c[k]->distance;
    ASSERT_TRUE(near) << "a cell the surface cannot cross was refined";
    for (ASDFCell* child : cell->_children)
      walk(child);
  };
  walk(field.asdf->_root);
  EXPECT_GT(refined, 10);
  EXPECT_EQ(leaves, 7 * refined + 1);
}

TEST(DistanceField, CollisionDistanceOnlyGrowsTheField)
{
  Field field(unitCube(), 0.01, 4);
  ASDFObject& f = *field.asdf;
  ASDFCell* root = f._root;
  f.setCollisionDistance(0.2); // margin 0.75 already covers 1.5 x 0.2
  EXPECT_EQ(f._root, root);
  EXPECT_EQ(f._collisionDistance, 0.5);
  f.setCollisionDistance(1.0);
  EXPECT_EQ(f._collisionDistance, 1.0);
  EXPECT_EQ(f._bboxMin, Eigen::Vector3d::Constant(-1.5));
  EXPECT_EQ(f._bboxMax, Eigen::Vector3d::Constant(2.5));
  EXPECT_NE(f.getCell(2.2, 0.5, 0.5), nullptr);
  EXPECT_GT(query(f, {2.2, 0.5, 0.5}), 1.0);
  f.setCollisionDistance(0.5);
  EXPECT_EQ(f._collisionDistance, 1.0);

  Field inward(unitCube(true), 0.01, 4);
  inward.asdf->setCollisionDistance(2.0);
  EXPECT_EQ(inward.asdf->_sign, -1);
  EXPECT_LT(query(*inward.asdf, {0.5, 0.5, 0.5}), 0.0);
  EXPECT_GT(query(*inward.asdf, {3.0, 0.5, 0.5}), 0.0);
}

TEST(DistanceField, SmallParticlesGetAFieldAsFineAsTheirCollisionDistance)
{
  // Made for the default error of 0.01, a sphere's field misses the surface
  // by a sixth of the radius of particles of radius 0.02 where they sit.
  // Told of such particles, it refines to a twentieth of their collision
  // distance, keeping its margin; larger particles leave it as it is.
  Field field(sphereSoup(Eigen::Vector3d::Zero(), 1.0, 4), 0.01, 7);
  ASDFObject& f = *field.asdf;
  auto worstError = [&f]() {
    std::mt19937 random(3);
    std::normal_distribution<double> direction;
    std::uniform_real_distribution<double> out(0.01, 0.04);
    double worst = 0.0;
    for (int k = 0; k < 4000; ++k) {
      const Eigen::Vector3d p = Eigen::Vector3d(direction(random), direction(random), direction(random))
                                    .normalized() * (1.0 + out(random));
      worst = std::max(worst, std::abs(query(f, p) - f.getDistance(p.x(), p.y(), p.z())));
    }
    return worst;
  };
  const double coarse = worstError();
  EXPECT_GT(coarse, 0.002);
  ASDFCell* root = f._root;
  f.setCollisionDistance(0.5);
  EXPECT_EQ(f._root, root); // 0.01 is a fiftieth of 0.5: fine enough
  const int depth = f._depth;
  f.setCollisionDistance(0.02);
  EXPECT_DOUBLE_EQ(f._errorThreshold, 0.001);
  EXPECT_EQ(f._collisionDistance, 0.5);
  EXPECT_GT(f._depth, depth);
  EXPECT_LT(worstError(), 0.5 * coarse);
}

TEST(DistanceField, SmallParticlesGetCellsNoLargerThanTheirCollisionDistance)
{
  // A floor 22 cm wide and 1 cm thick under grains of radius 2 mm, with the
  // usual Maximum Depth 5: cells of 5 cm hold the whole thickness of the
  // floor, and interpolating across it placed the top face a radius off,
  // grains sank into it and fell through. Told of the particles, the field
  // deepens until its cells are no larger than their collision distance.
  const double r = 0.002;
  Field field(boxSoup(Eigen::Vector3d(-0.11, -0.01, -0.11), Eigen::Vector3d(0.11, 0.0, 0.11)), 0.01, 5);
  ASDFObject& f = *field.asdf;
  f.setCollisionDistance(r);
  EXPECT_LE(f._rootSize / f._resolution, r);
  double worst = 0.0;
  for (double x = -0.09; x <= 0.01; x += 0.00137)
    for (double z = -0.09; z <= 0.01; z += 0.00173)
      for (double y = -0.001; y <= 0.006; y += 0.0001) {
        const double exact = y >= 0.0 ? y : std::max(y, -0.01 - y);
        worst = std::max(worst, std::abs(query(f, {x, y, z}) - exact));
      }
  EXPECT_LT(worst, ASDFObject::accuracyShare * r);

  // Large particles, or a Maximum Depth already fine enough, leave it as it is.
  Field coarse(boxSoup(Eigen::Vector3d(-0.11, -0.01, -0.11), Eigen::Vector3d(0.11, 0.0, 0.11)), 0.01, 5);
  ASDFCell* root = coarse.asdf->_root;
  coarse.asdf->setCollisionDistance(0.2);
  EXPECT_EQ(coarse.asdf->_root, root);
  EXPECT_EQ(coarse.asdf->_maxDepth, 5);
}

TEST(DistanceField, MovingFieldsAnswerInWorldSpace)
{
  const TriangleSoup sphere = sphereSoup(Eigen::Vector3d(0.2, 0, 0), 1.0, 2);
  Field moving(sphere, 0.005, 5), still(sphere, 0.005, 5);
  Eigen::Matrix4d toWorld = Eigen::Matrix4d::Identity();
  toWorld.topLeftCorner<3, 3>() = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
  toWorld.block<3, 1>(0, 3) = Eigen::Vector3d(10, 0, 0);
  Eigen::Matrix4d toObject = toWorld.inverse();
  moving.asdf->setTransfoMatrices(toWorld, toObject);
  moving.asdf->setMovingGeometry(true);

  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.6, 1.6);
  for (int n = 0; n < 500; ++n) {
    const Eigen::Vector3d local(u(rng) + 0.2, u(rng), u(rng));
    const Eigen::Vector3d world = (toWorld * local.homogeneous()).head<3>();
    Eigen::Vector3d gMoving, gStill;
    const double dMoving = query(*moving.asdf, world, &gMoving);
    const double dStill = query(*still.asdf, local, &gStill);
    ASSERT_NEAR(dMoving, dStill, 1e-12);
    if (dStill < 1e30) {
      ASSERT_TRUE(gMoving.isApprox(toWorld.topLeftCorner<3, 3>() * gStill, 1e-9));
    }
  }
  // Back to a static field: object space again.
  moving.asdf->setMovingGeometry(false);
  EXPECT_EQ(query(*moving.asdf, {0.2, 0, 0}), query(*still.asdf, {0.2, 0, 0}));
}

TEST(DistanceField, MovingFieldBeforeItsTransformsIsStatic)
{
  Field field(unitCube(), 0.01, 4);
  Field reference(unitCube(), 0.01, 4);
  field.asdf->setMovingGeometry(true);
  EXPECT_EQ(query(*field.asdf, {0.3, 0.4, 0.5}), query(*reference.asdf, {0.3, 0.4, 0.5}));
}

TEST(DistanceField, GradientOnlyBelowMaxDistanceAndAlwaysFinite)
{
  Field field(unitCube(), 0.01, 0);
  ASDFObject& f = *field.asdf;
  Eigen::Vector3d g(3, 4, 5);
  double d;
  f.trilinearInterpolation(0.5, 0.5, 0.5, d, -10.0, g);
  EXPECT_EQ(g, Eigen::Vector3d(3, 4, 5));
  const double atCentre = d;
  f.trilinearInterpolation(0.5, 0.5, 0.5, d, atCentre, g); // maxDistance equal: still untouched
  EXPECT_EQ(g, Eigen::Vector3d(3, 4, 5));

  // A flat cell has no gradient: the normal points away from the mesh centre.
  for (Corner* c : f._root->_corners)
    c->distance = -0.25;
  f.trilinearInterpolation(0.9, 0.5, 0.5, d, 1.0, g);
  EXPECT_EQ(d, -0.25);
  EXPECT_TRUE(g.allFinite());
  EXPECT_TRUE(g.isApprox(Eigen::Vector3d::UnitX()));
  f.trilinearInterpolation(0.5, 0.5, 0.5, d, 1.0, g); // at the centre itself
  EXPECT_TRUE(g.allFinite());
  EXPECT_NEAR(g.norm(), 1.0, 1e-12);
}

TEST(DistanceField, StaysCloseToTheExactDistanceNearASphere)
{
  // Leaves are refined until their centre is within the threshold; elsewhere
  // in a leaf, and across the polyhedron's edges where the distance bends,
  // trilinear interpolation errs more. With threshold 1e-3 and depth 7
  // (finest edge 0.027 here) the error within 0.2 of the surface stays below
  // 1e-2, ten thresholds (measured: about 5.5e-3).
  const TriangleSoup soup = sphereSoup(Eigen::Vector3d::Zero(), 1.0, 3);
  Field field(soup, 1e-3, 7);
  std::mt19937 rng(9);
  std::normal_distribution<double> gauss;
  std::uniform_real_distribution<double> shell(-0.2, 0.2);
  double worst = 0.0;
  for (int n = 0; n < 4000; ++n) {
    Eigen::Vector3d dir(gauss(rng), gauss(rng), gauss(rng));
    Eigen::Vector3d p = dir.normalized() * (1.0 + shell(rng));
    double exact = field.mesh->minimumDistance(p.x(), p.y(), p.z());
    worst = std::max(worst, std::abs(query(*field.asdf, p) - exact));
  }
  EXPECT_LT(worst, 1e-2);

  // The gradient is the interpolant's own: compare with central differences
  // taken inside the same leaf.
  ASDFObject const& f = *field.asdf;
  int compared = 0;
  for (int n = 0; n < 2000; ++n) {
    Eigen::Vector3d dir(gauss(rng), gauss(rng), gauss(rng));
    const Eigen::Vector3d p = dir.normalized() * (1.0 + shell(rng));
    Eigen::Vector3d g, numeric;
    query(f, p, &g);
    bool sameLeaf = true;
    for (int axis = 0; axis < 3; ++axis) {
      const double h = 1e-6;
      Eigen::Vector3d a = p, b = p;
      a[axis] -= h;
      b[axis] += h;
      sameLeaf = sameLeaf && f.getCell(a.x(), a.y(), a.z()) == f.getCell(p.x(), p.y(), p.z()) &&
                 f.getCell(b.x(), b.y(), b.z()) == f.getCell(p.x(), p.y(), p.z());
      numeric[axis] = (query(f, b) - query(f, a)) / (2 * h);
    }
    if (!sameLeaf)
      continue;
    ++compared;
    ASSERT_TRUE(g.isApprox(numeric.normalized(), 1e-5)) << g.transpose() << " vs " << numeric.normalized().transpose();
  }
  EXPECT_GT(compared, 1900);
}

TEST(DistanceField, ConcurrentQueriesMatchSerialOnes)
{
  Field field(torusSoup(1.5, 0.5, 32, 16), 1e-3, 6);
  std::mt19937 rng(4);
  std::uniform_real_distribution<double> u(-2.5, 2.5);
  std::vector<Eigen::Vector3d> points(20000);
  for (auto& p : points)
    p = Eigen::Vector3d(u(rng), u(rng) * 0.4, u(rng));
  std::vector<double> serial(points.size()), parallel(points.size());
  std::vector<Eigen::Vector3d> gSerial(points.size()), gParallel(points.size());
  for (size_t i = 0; i < points.size(); ++i)
    serial[i] = query(*field.asdf, points[i], &gSerial[i]);
#pragma omp parallel for schedule(dynamic, 64) num_threads(4)
  for (int64_t i = 0; i < int64_t(points.size()); ++i)
    parallel[i] = query(*field.asdf, points[i], &gParallel[i]);
  EXPECT_EQ(serial, parallel);
  EXPECT_EQ(gSerial, gParallel);
}

TEST(DistanceField, LongTrianglesAndFanCapsKeepInsideAndOutside)
{
  // A glass: tall thin wall triangles and fans whose corners are far from
  // most of their area. A point's nearest vertices need not belong to the
  // triangle nearest to it; the field must still tell inside from outside.
  const TriangleSoup glass = glassSoup(3.0, 2.6, 8.0, 0.5, 48);
  ASSERT_EQ(glass.triangles.size(), 384u);
  std::unique_ptr<Mesh> exact(makeMesh(glass, 0));
  EXPECT_LT(exact->minimumDistance(*std::make_unique<double>(2.8), *std::make_unique<double>(4.0),
                                   *std::make_unique<double>(0.0)),
            0.0); // inside the wall
  for (unsigned nearest : {1u, 2u}) {
    Field field(glass, 0.01, 5, nearest);
    int wrong = 0, checked = 0;
    for (double x = -4.0; x <= 4.0; x += 0.23)
      for (double y = -1.0; y <= 9.0; y += 0.23)
        for (double z = -4.0; z <= 4.0; z += 0.37) {
          double px = x, py = y, pz = z;
          const double truth = exact->minimumDistance(px, py, pz);
          if (std::abs(truth) < 0.1) // the field's own resolution decides there
            continue;
          ++checked;
          wrong += (query(*field.asdf, {x, y, z}) < 0) != (truth < 0);
        }
    EXPECT_EQ(wrong, 0) << "of " << checked << " points, with " << nearest << " nearest vertices";
  }
}
