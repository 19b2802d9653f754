#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshShapes.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

namespace {

struct CubeEmitter
{
  explicit CubeEmitter(EmitterObject::fillType fill, double thickness = 0.0, bool inwardFacing = false,
                       Eigen::Vector3d const& pivot = Eigen::Vector3d::Zero())
  {
    TriangleSoup soup = boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Constant(10.0));
    if (inwardFacing)
      for (auto& t : soup.triangles)
        std::swap(t[1], t[2]);
    mesh.reset(makeMesh(soup, 1));
    emitter = std::make_unique<EmitterObject>(mesh.get(), 4, EmitterObject::continuousEmission, fill, thickness,
                                              EmitterObject::staticGeometry, 1, 2, 3, 5, pivot.x(), pivot.y(),
                                              pivot.z(), 0.5, 4294967295u);
    double radius = 0.5;
    emitter->Fill(radius);
  }
  std::unique_ptr<Mesh> mesh;
  std::unique_ptr<EmitterObject> emitter;
};

bool isInteger(double v) { return v == std::floor(v); }

} // namespace

TEST(EmitterFill, CubicLatticeKeepsPointsStrictlyInside)
{
  CubeEmitter cube(EmitterObject::cubic);
  EmitterObject const& e = *cube.emitter;
  EXPECT_EQ(e._bboxMin, Eigen::Vector3d::Constant(-1.0));
  EXPECT_EQ(e._bboxMax, Eigen::Vector3d::Constant(11.0));
  EXPECT_EQ(e._thickness, 3.3999999521443642e38); // thickness 0 fills the whole volume
  // Lattice from -1 to 11 in steps of 1; the faces at 0 and 10 are dropped.
  ASSERT_EQ(e._positions.size(), 9u * 9u * 9u);
  for (auto const& p : e._positions)
    for (int axis = 0; axis < 3; ++axis) {
      ASSERT_TRUE(isInteger(p[axis]));
      ASSERT_GE(p[axis], 1.0);
      ASSERT_LE(p[axis], 9.0);
    }
  // Visiting order: x outermost, z innermost.
  EXPECT_EQ(e._positions[0], Eigen::Vector3d(1, 1, 1));
  EXPECT_EQ(e._positions[1], Eigen::Vector3d(1, 1, 2));
  EXPECT_EQ(e._positions[9], Eigen::Vector3d(1, 2, 1));
  EXPECT_EQ(e._localPositions, e._positions); // pivot at the origin
}

TEST(EmitterFill, ABoxFillsAlikeAtAnyScale)
{
  // A box a whole number of spacings wide puts lattice points on its faces.
  // At sizes that binary fractions do not hold exactly they land a rounding
  // error inside or outside: they must be left out at every scale, as they
  // are where the arithmetic is exact.
  for (double scale : {1.0, 0.05, 0.1, 0.3, 7.0, 10.0})
    for (Eigen::Vector3d const& corner : {Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(-3, 4, -3)}) {
      std::unique_ptr<Mesh> mesh(makeMesh(boxSoup(corner * scale, (corner + Eigen::Vector3d(6, 10, 6)) * scale), 1));
      EmitterObject emitter(mesh.get(), 4, EmitterObject::emitOnce, EmitterObject::cubic, 0.0,
                            EmitterObject::staticGeometry, 0, 0, 0, 1, 0, 0, 0, 1.0, 4294967295u);
      double radius = 0.25 * scale;
      emitter.Fill(radius);
      EXPECT_EQ(emitter._positions.size(), 11u * 19u * 11u) << "at scale " << scale << " from " << corner.y();
    }
}

TEST(EmitterFill, ThicknessLeavesAHollowShell)
{
  // Lattice points lie at whole depths 1, 2, ... below the faces.
  EXPECT_EQ(CubeEmitter(EmitterObject::cubic, 1.5).emitter->_positions.size(), 729u - 343u);
  EXPECT_EQ(CubeEmitter(EmitterObject::cubic, 2.5).emitter->_positions.size(), 729u - 125u);
  EXPECT_EQ(CubeEmitter(EmitterObject::cubic, 1.0).emitter->_positions.size(), 0u); // depth 1 is not less than 1
  EXPECT_EQ(CubeEmitter(EmitterObject::cubic, -2.0).emitter->_positions.size(), 729u);
  const CubeEmitter shell(EmitterObject::cubic, 1.5);
  for (auto const& p : shell.emitter->_positions) {
    const double depth = std::min({p.x(), p.y(), p.z(), 10 - p.x(), 10 - p.y(), 10 - p.z()});
    ASSERT_EQ(depth, 1.0);
  }
}

TEST(EmitterFill, CrossedLayersStackOneDiameterApart)
{
  CubeEmitter cube(EmitterObject::crossed);
  auto const& points = cube.emitter->_positions;
  ASSERT_FALSE(points.empty());
  const double h = 1.4142135381698608 * 0.5;
  // Layers from y0 = 5 - 16 * 0.5 = -3, h apart; even layers offset by 0.5 in x and z.
  std::set<int> layers;
  for (auto const& p : points) {
    const double layer = (p.y() + 3.0) / h;
    const int l = int(std::lround(layer));
    ASSERT_NEAR(layer, l, 1e-9);
    layers.insert(l);
    const double offset = l % 2 == 0 ? 0.5 : 0.0;
    ASSERT_TRUE(isInteger(p.x() - offset)) << p.transpose();
    ASSERT_TRUE(isInteger(p.z() - offset)) << p.transpose();
    ASSERT_GT(std::min({p.x(), p.y(), p.z()}), 0.0);
    ASSERT_LT(std::max({p.x(), p.y(), p.z()}), 10.0);
  }
  EXPECT_EQ(layers.size(), 14u); // y = -3 + l h inside (0, 10): l = 5 ... 18
  EXPECT_EQ(*layers.begin(), 5);
  double closest = 1e9;
  for (size_t i = 0; i < points.size(); ++i)
    for (size_t j = i + 1; j < points.size(); ++j)
      closest = std::min(closest, (points[i] - points[j]).norm());
  EXPECT_NEAR(closest, 1.0, 1e-7);
}

TEST(EmitterFill, FacingOfTheMeshDoesNotMatter)
{
  for (auto fill : {EmitterObject::cubic, EmitterObject::crossed}) {
    CubeEmitter outward(fill, 2.5), inward(fill, 2.5, true);
    EXPECT_EQ(outward.emitter->_positions, inward.emitter->_positions);
    EXPECT_FALSE(outward.emitter->_positions.empty());
  }
  // Unknown fill types fill nothing.
  CubeEmitter cube(static_cast<EmitterObject::fillType>(2));
  EXPECT_TRUE(cube.emitter->_positions.empty());
  EXPECT_TRUE(cube.emitter->_localPositions.empty());
}

TEST(EmitterFill, EmptyMeshFillsNothing)
{
  TriangleSoup none;
  none.points = {{0, 0, 0}};
  std::unique_ptr<Mesh> mesh(makeMesh(none, 1));
  EmitterObject emitter(mesh.get(), 2, EmitterObject::emitOnce, EmitterObject::cubic, 0,
                        EmitterObject::staticGeometry, 0, 0, 0, 1, 0, 0, 0, 1, 4294967295u);
  double radius = 0.5;
  emitter.Fill(radius);
  EXPECT_TRUE(emitter._positions.empty());
}

TEST(EmitterTransform, PivotShiftsKeepTheLatticeInPlace)
{
  const Eigen::Vector3d pivot(5, 5, 5);
  CubeEmitter cube(EmitterObject::cubic, 0.0, false, pivot);
  EmitterObject& e = *cube.emitter;
  const auto filled = e._positions;
  EXPECT_EQ(e._localPositions[0], filled[0] - pivot);

  // A new pivot re-expresses the lattice; the world positions wait for the
  // next transform.
  e.updateEmitterObjectParms(2, EmitterObject::emitOnce, EmitterObject::crossed, 1.0, EmitterObject::movingGeometry,
                             0, -1, 0, 3, 1, 2, 3, 0.25);
  EXPECT_EQ(e._pivot, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(e._positions, filled);
  EXPECT_EQ(e._localPositions[0], filled[0] - Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(e._nature, 2);
  EXPECT_EQ(e._fillType, EmitterObject::crossed); // takes effect at the next Fill
  EXPECT_EQ(e._frictionMultiplier, 0.25);
  EXPECT_EQ(e._velocity, Eigen::Vector3d(0, -1, 0));

  Eigen::Matrix4d identity = Eigen::Matrix4d::Identity();
  e.applyTransfoMatrix(identity);
  EXPECT_EQ(e._positions, filled);

  // A quarter turn about y acts about the pivot.
  Eigen::Matrix4d turn = Eigen::Matrix4d::Identity();
  turn.topLeftCorner<3, 3>() = Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitY()).toRotationMatrix();
  e.applyTransfoMatrix(turn);
  const Eigen::Vector3d local = filled[0] - e._pivot;
  const Eigen::Vector3d expected = e._pivot + Eigen::Vector3d(local.z(), local.y(), -local.x());
  EXPECT_TRUE(e._positions[0].isApprox(expected, 1e-12));

  e.setInitTransfoMatrix(turn);
  EXPECT_EQ(e._initTransfoMatrix, turn);
}

TEST(EmitterFill, LatticeEstimateCountsTheVisitedPointsWithoutFilling)
{
  // The 10-unit cube's box, enlarged by one spacing, spans 12 units: 13
  // lattice points a side at spacing 1. The crossed fill's layers start at
  // -3, 20 of them up to 11: the 17 from -1 up are visited, rows of at most
  // 13 x 13.
  CubeEmitter cubic(EmitterObject::cubic), crossed(EmitterObject::crossed);
  EXPECT_EQ(cubic.emitter->fillLatticePoints(0.5), 13.0 * 13.0 * 13.0);
  EXPECT_EQ(crossed.emitter->fillLatticePoints(0.5), 13.0 * 13.0 * 17.0);
  EXPECT_LE(double(crossed.emitter->_positions.size()), crossed.emitter->fillLatticePoints(0.5));
  EXPECT_LE(double(cubic.emitter->_positions.size()), cubic.emitter->fillLatticePoints(0.5));
  // Far too fine a lattice is counted, not built; no lattice has no spacing.
  // Only the points within a spacing of the cube's own box are visited.
  EXPECT_NEAR(cubic.emitter->fillLatticePoints(1e-6) / 1.25e20, 1.0, 1e-3);
  for (double bad : {0.0, -0.5, double(NAN)})
    EXPECT_TRUE(std::isinf(cubic.emitter->fillLatticePoints(bad))) << bad;
  double zero = 0.0;
  cubic.emitter->Fill(zero);
  EXPECT_TRUE(cubic.emitter->_positions.empty());
}

TEST(EmitterFill, ASmallObjectCostsWhatItsOwnSizeAsks)
{
  // A 10 cm box at a 2 mm radius in a scene in metres: the object's box is
  // widened by a whole unit, ten times its size, but only the lattice near
  // the object is visited, in both fills.
  std::unique_ptr<Mesh> mesh(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Constant(0.1)), 1));
  for (auto fill : {EmitterObject::cubic, EmitterObject::crossed}) {
    EmitterObject emitter(mesh.get(), 4, EmitterObject::emitOnce, fill, 0.0, EmitterObject::staticGeometry, 0, 0,
                          0, 1, 0, 0, 0, 1.0, 4294967295u);
    const double visited = emitter.fillLatticePoints(0.002);
    EXPECT_LT(visited, 2.0 * std::pow(0.1 / 0.004 + 3.0, 3.0) * (fill == EmitterObject::crossed ? 1.5 : 1.0));
    double radius = 0.002;
    emitter.Fill(radius);
    EXPECT_LE(double(emitter._positions.size()), visited);
    if (fill == EmitterObject::cubic)
      EXPECT_EQ(emitter._positions.size(), 25u * 25u * 25u); // 2, 6, ... 98 mm on each axis
    else
      EXPECT_GT(emitter._positions.size(), 25u * 25u * 25u); // layers closer than a diameter
  }
}
