#include "GridChecks.h"
#include "SceneFixtures.h"

#include <gtest/gtest.h>

namespace {

SimSettings ghostSettings()
{
  SimSettings s;
  s.gravity = 0.0;
  s.springs = false;
  s.fluid = true;
  return s;
}

Particle& byId(SimSystem& system, uint32_t id) { return system._particlesArray[system._particlesArrayMap[id]]; }

// Ghosts, lists and map agree: each ghost is listed once in its cell's
// ghost list, is mapped, and mirrors a particle that links to its first
// ghost (a particle near several walls has several).
::testing::AssertionResult ghostsConsistent(SimSystem const& system)
{
  std::vector<int> seen(system._ghostParticlesArray.size(), 0);
  for (auto const& [key, cell] : system._cells)
    for (int64_t g = cell->firstGhostParticle; g != -1; g = system._ghostParticlesArray[g].nextInCell)
      if (seen[g]++ || system._ghostParticlesArray[g].cell != cell)
        return ::testing::AssertionFailure() << "ghost " << g << " listed wrongly";
  for (size_t g = 0; g < seen.size(); ++g) {
    Particle const& ghost = system._ghostParticlesArray[g];
    if (!seen[g])
      return ::testing::AssertionFailure() << "ghost " << g << " in no list";
    if (system._ghostParticlesArrayMap[ghost.id] != int32_t(g))
      return ::testing::AssertionFailure() << "ghost " << ghost.id << " mapped wrongly";
    Particle const& mirrored = system._particlesArray[system._particlesArrayMap[ghost.ghostLink]];
    if (mirrored.ghostLink == -1 || mirrored.ghostLink > int32_t(ghost.id) ||
        system._ghostParticlesArray[system._ghostParticlesArrayMap[mirrored.ghostLink]].ghostLink !=
            int32_t(mirrored.id))
      return ::testing::AssertionFailure() << "particle " << mirrored.id << " does not link to its first ghost";
  }
  return ::testing::AssertionSuccess();
}

// The ghosts of particle `id`, in the order they were made.
std::vector<Particle> ghostsOf(SimSystem const& system, uint32_t id)
{
  std::vector<Particle> found;
  for (Particle const& ghost : system._ghostParticlesArray)
    if (ghost.ghostLink == int32_t(id))
      found.push_back(ghost);
  return found;
}

} // namespace

TEST(GhostParticles, MirrorLiquidAcrossTheFloor)
{
  SimSystem system(ghostSettings());
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.0, true));
  const double h = system.particlesInteractionRadius;
  system.placeParticle(Eigen::Vector3d(0, 0.3 * h, 0), Eigen::Vector3d(1, -2, 3), natureLiquid);
  system.placeParticle(Eigen::Vector3d(3, 0.5, 0), Eigen::Vector3d::Zero(), natureSoftBody);
  system.placeParticle(Eigen::Vector3d(6, 0.5, 0), Eigen::Vector3d::Zero(), natureGranular);
  system.placeParticle(Eigen::Vector3d(9, 0.5, 0), Eigen::Vector3d::Zero(), natureLiquid);
  byId(system, 0).pressure = 12.5;
  byId(system, 0).invDensity = 0.002;
  system.updateGhostParticles();

  ASSERT_EQ(system._ghostParticlesArray.size(), 2u); // only the liquid particles
  Particle const& ghost = system._ghostParticlesArray[system._ghostParticlesArrayMap[byId(system, 0).ghostLink]];
  EXPECT_NEAR(ghost.position.y(), 0.3 * h - 0.6 * h, 1e-9);
  EXPECT_NEAR(ghost.velocity.y(), 2.0, 1e-9);
  EXPECT_NEAR(ghost.velocity.x(), 1.0, 1e-9);
  EXPECT_EQ(ghost.pressure, 12.5);
  EXPECT_EQ(ghost.invDensity, 0.002);
  EXPECT_EQ(ghost.nature, natureLiquid);
  EXPECT_EQ(ghost.emitter, nullptr);
  EXPECT_EQ(ghost.ghostLink, 0);
  EXPECT_EQ(byId(system, 1).ghostLink, -1);
  EXPECT_EQ(byId(system, 2).ghostLink, -1);
  EXPECT_TRUE(ghostsConsistent(system));
  EXPECT_EQ(system._nbGhostParticles, 2u);

  // Moved, the ghost follows; moved beyond h, it goes; back near the floor,
  // it has one again.
  byId(system, 0).position.y() = 0.25 * h;
  system.updateGhostParticles();
  ASSERT_EQ(ghostsOf(system, 0).size(), 1u);
  EXPECT_NEAR(ghostsOf(system, 0)[0].position.y(), -0.25 * h, 1e-9);
  byId(system, 0).position.y() = 1.5 * h;
  system.updateGhostParticles();
  EXPECT_EQ(system._ghostParticlesArray.size(), 1u);
  EXPECT_EQ(byId(system, 0).ghostLink, -1);
  EXPECT_TRUE(ghostsConsistent(system));
  byId(system, 0).position.y() = 0.5;
  system.updateGhostParticles();
  EXPECT_NE(byId(system, 0).ghostLink, -1);
  EXPECT_EQ(system._nbGhostParticles, 2u);
  EXPECT_EQ(system._ghostParticlesArrayMap.size(), 2u);
  EXPECT_TRUE(ghostsConsistent(system));
}

TEST(GhostParticles, OnlyActiveGhostEnabledObjectsCount)
{
  SimSystem system(ghostSettings());
  SceneObjects scene;
  CollisionObject* floor = scene.floor(0.0, false);
  system.addCollisionObject(floor);
  system.placeParticle(Eigen::Vector3d(0, 0.5, 0), Eigen::Vector3d::Zero(), natureLiquid);
  system.updateGhostParticles();
  EXPECT_TRUE(system._ghostParticlesArray.empty());

  floor->_ghostParticles = true;
  system.updateGhostParticles();
  ASSERT_EQ(system._ghostParticlesArray.size(), 1u);
  // Switched off or inactive, the object mirrors nothing: its ghosts go.
  floor->_ghostParticles = false;
  system.updateGhostParticles();
  EXPECT_TRUE(system._ghostParticlesArray.empty());
  EXPECT_EQ(byId(system, 0).ghostLink, -1);
  floor->_ghostParticles = true;
  floor->_active = false;
  system.updateGhostParticles();
  EXPECT_TRUE(system._ghostParticlesArray.empty());
}

TEST(GhostParticles, LiquidIsMirroredAcrossEveryWallWithinReachAndAcrossSquareCorners)
{
  SimSystem system(ghostSettings());
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.0, true));
  system.addCollisionObject(scene.box(Eigen::Vector3d(-20, -2, -20), Eigen::Vector3d(0, 20, 20), 0.0,
                                      CollisionObject::staticGeometry, true, 5)); // wall x <= 0
  system.addCollisionObject(scene.box(Eigen::Vector3d(-20, -2, -20), Eigen::Vector3d(20, 20, 0), 0.0,
                                      CollisionObject::staticGeometry, true, 5)); // wall z <= 0
  // A second floor flush with the first: the same wall, seen twice.
  system.addCollisionObject(scene.box(Eigen::Vector3d(-20, -3, -20), Eigen::Vector3d(20, 0, 20), 0.0,
                                      CollisionObject::staticGeometry, true, 5));
  system.placeParticle(Eigen::Vector3d(5, 0.5, 5), Eigen::Vector3d::Zero(), natureLiquid);   // the floor only
  system.placeParticle(Eigen::Vector3d(0.5, 10, 5), Eigen::Vector3d::Zero(), natureLiquid);  // one wall only
  system.placeParticle(Eigen::Vector3d(0.5, 0.6, 5), Eigen::Vector3d(1, 2, 3), natureLiquid); // an edge
  system.placeParticle(Eigen::Vector3d(0.5, 0.6, 0.7), Eigen::Vector3d::Zero(), natureLiquid); // a corner
  system.updateGhostParticles();
  EXPECT_TRUE(ghostsConsistent(system));

  ASSERT_EQ(ghostsOf(system, 0).size(), 1u);
  EXPECT_NEAR(ghostsOf(system, 0)[0].position.y(), -0.5, 1e-6);
  ASSERT_EQ(ghostsOf(system, 1).size(), 1u);
  EXPECT_NEAR(ghostsOf(system, 1)[0].position.x(), -0.5, 1e-6);

  // At the edge of floor and wall: across each, and across both.
  std::vector<Particle> edge = ghostsOf(system, 2);
  ASSERT_EQ(edge.size(), 3u);
  auto has = [](std::vector<Particle> const& ghosts, Eigen::Vector3d const& at, Eigen::Vector3d const& v) {
    for (Particle const& g : ghosts)
      if ((g.position - at).norm() < 1e-6 && (g.velocity - v).norm() < 1e-6)
        return true;
    return false;
  };
  EXPECT_TRUE(has(edge, {-0.5, 0.6, 5}, {-1, 2, 3}));
  EXPECT_TRUE(has(edge, {0.5, -0.6, 5}, {1, -2, 3}));
  EXPECT_TRUE(has(edge, {-0.5, -0.6, 5}, {-1, -2, 3}));

  // In the corner of three walls: the seven images of a box's corner.
  std::vector<Particle> corner = ghostsOf(system, 3);
  ASSERT_EQ(corner.size(), 7u);
  for (double x : {0.5, -0.5})
    for (double y : {0.6, -0.6})
      for (double z : {0.7, -0.7})
        if (x < 0 || y < 0 || z < 0) {
          EXPECT_TRUE(has(corner, {x, y, z}, Eigen::Vector3d::Zero())) << x << " " << y << " " << z;
        }
  EXPECT_EQ(system._ghostParticlesArray.size(), 12u);
}

TEST(GhostParticles, AGhostBelowItsParticleCarriesTheLiquidBetweenThem)
{
  // With gravity, a ghost below the floor has the pressure of the liquid at
  // its depth, as the liquid at rest holds it; a ghost beside a wall, the
  // particle's own.
  SimSettings settings = ghostSettings();
  settings.gravity = -9.80665;
  SimSystem system(settings);
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.0, true));
  system.addCollisionObject(scene.box(Eigen::Vector3d(-20, -2, -20), Eigen::Vector3d(0, 20, 20), 0.0,
                                      CollisionObject::staticGeometry, true, 5));
  system.placeParticle(Eigen::Vector3d(5, 0.5, 5), Eigen::Vector3d::Zero(), natureLiquid);
  system.placeParticle(Eigen::Vector3d(0.5, 10, 5), Eigen::Vector3d::Zero(), natureLiquid);
  byId(system, 0).pressure = 100.0;
  byId(system, 1).pressure = 100.0;
  system.updateGhostParticles();
  const double gradient = system.restingPressureGradient();
  ASSERT_GT(gradient, 0.0);
  ASSERT_EQ(ghostsOf(system, 0).size(), 1u);
  EXPECT_NEAR(ghostsOf(system, 0)[0].pressure, 100.0 + gradient * 1.0, 1e-6 * gradient);
  ASSERT_EQ(ghostsOf(system, 1).size(), 1u);
  EXPECT_EQ(ghostsOf(system, 1)[0].pressure, 100.0);
}

TEST(GhostParticles, NoneWithoutFluid)
{
  SimSettings settings = ghostSettings();
  settings.fluid = false;
  SimSystem system(settings);
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.0, true));
  system.placeParticle(Eigen::Vector3d(0, 0.5, 0), Eigen::Vector3d::Zero(), natureLiquid);
  system.initialize(1);
  system.simulStep(2, 0.04, 3);
  EXPECT_TRUE(system._ghostParticlesArray.empty());
}
