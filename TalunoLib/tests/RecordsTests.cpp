#include "Cell.h"
#include "Particle.h"
#include "Spring.h"
#include "subParticle.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Records, FreshParticleStartsAtRestWithDefaults)
{
  Cell cell;
  const Particle p(1, 2, 3, 4, 5, 6, 42, &cell, 99, 2, nullptr);
  EXPECT_EQ(p.position, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(p.previousPosition, p.position);
  EXPECT_EQ(p.velocity, Eigen::Vector3d(4, 5, 6));
  EXPECT_EQ(p.id, 42u);
  EXPECT_EQ(p.nature, 2);
  EXPECT_EQ(p.ghostLink, -1);
  EXPECT_EQ(p.nextInCell, -1);
  EXPECT_EQ(p.invDensity, 0.0010000000474974513);
  EXPECT_EQ(p.pressure, 0.0);
  EXPECT_EQ(p.cell, &cell);
  EXPECT_EQ(p.cellKey, 99u);
  EXPECT_EQ(p.normal, Eigen::Vector3d::Zero());
  EXPECT_EQ(p.orientation.coeffs(), Eigen::Vector4d(0, 0, 0, 1)); // stored x, y, z, w
  EXPECT_EQ(p.angularVelocity, Eigen::Vector3d::Zero());
  EXPECT_EQ(p.emitter, nullptr);
}

TEST(Records, CopiedParticleIsIndistinguishable)
{
  Cell cell;
  Particle a(1, 2, 3, 4, 5, 6, 7, &cell, 8, 5, nullptr);
  a.nextInCell = 12;
  a.ghostLink = 3;
  a.pressure = -2.5;
  a.orientation = Eigen::Quaterniond(0.5, 0.5, 0.5, 0.5);
  a.angularVelocity = Eigen::Vector3d(1, -1, 2);
  Particle b(0, 0, 0, 0, 0, 0, 0, nullptr, 0, 0, nullptr);
  b = a;
  const Particle c(a);
  for (Particle const* copy : {static_cast<Particle const*>(&b), &c}) {
    EXPECT_EQ(copy->position, a.position);
    EXPECT_EQ(copy->nextInCell, 12);
    EXPECT_EQ(copy->ghostLink, 3);
    EXPECT_EQ(copy->pressure, -2.5);
    EXPECT_EQ(copy->cell, &cell);
    EXPECT_EQ(copy->cellKey, 8u);
    EXPECT_EQ(copy->orientation.coeffs(), a.orientation.coeffs());
    EXPECT_EQ(copy->angularVelocity, a.angularVelocity);
  }
}

TEST(Records, FreshCellHasNoListsAndNoNeighbours)
{
  const Cell cell;
  EXPECT_EQ(cell.firstParticle, -1);
  EXPECT_EQ(cell.firstGhostParticle, -1);
  ASSERT_EQ(cell.neighborFirstParticles.size(), 27u);
  ASSERT_EQ(cell.neighborFirstGhostParticles.size(), 27u);
  for (int k = 0; k < 27; ++k) {
    EXPECT_EQ(cell.neighborFirstParticles[k], -1);
    EXPECT_EQ(cell.neighborFirstGhostParticles[k], -1);
  }
  EXPECT_EQ(Cell::neighborIndex(0, 0, 0), Cell::selfIndex);
  EXPECT_EQ(Cell::neighborIndex(-1, -1, -1), 0);
  EXPECT_EQ(Cell::neighborIndex(1, 1, 1), 26);
  EXPECT_EQ(Cell::neighborIndex(0, 0, 1), 14); // z innermost
}

TEST(Records, SpringsStartIntact)
{
  const Spring s(1.25, 3, 4);
  EXPECT_EQ(s.restLength, 1.25);
  EXPECT_FALSE(s.broken);
  const DEMTangentialSpring t(5, 6);
  EXPECT_EQ(t.displacement, Eigen::Vector3d::Zero());
  EXPECT_EQ(t.id1, 5u);
  EXPECT_EQ(t.id2, 6u);
  EXPECT_FALSE(t.marked);
}

TEST(SubParticle, TetrahedronScalesWithRadiusAndHasConsistentInertia)
{
  subParticle cluster;
  cluster.init(tetrahedron, 0.5);
  ASSERT_EQ(cluster.positions.size(), 4u);
  EXPECT_DOUBLE_EQ(cluster.radius, 0.25);
  EXPECT_EQ(cluster.baseRadius, 0.5);
  EXPECT_EQ(cluster.subSphereMass, 0.25);
  EXPECT_EQ(cluster.positions[0], Eigen::Vector3d(0, 0.25, 0));
  EXPECT_EQ(cluster.positions[1].x(), double(-0.471405f) * 0.5);
  for (auto const& p : cluster.positions)
    EXPECT_NEAR(p.norm(), 0.25, 1e-4);
  EXPECT_TRUE(cluster.inertia.isApprox(cluster.inertia.transpose()));
  EXPECT_TRUE((cluster.inertia * cluster.inverseInertia).isApprox(Eigen::Matrix3d::Identity(), 1e-9));
  // A regular tetrahedron of unit total mass at radius r has isotropic inertia 2/3 r^2.
  EXPECT_NEAR(cluster.inertia(0, 0), 2.0 / 3.0 * 0.25 * 0.25, 1e-5);
  EXPECT_NEAR(cluster.inertia(1, 1), cluster.inertia(2, 2), 1e-5);
  EXPECT_NEAR(cluster.inertia(0, 1), 0.0, 1e-5);
}

TEST(SubParticle, UnknownShapeLeavesTemplateEmpty)
{
  subParticle cluster;
  cluster.init(static_cast<subParticleShape>(3), 1.0);
  EXPECT_TRUE(cluster.positions.empty());
  EXPECT_EQ(cluster.radius, 0.0);
}
