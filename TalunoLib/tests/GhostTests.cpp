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
// ghost list, mirrors a particle that links back to it, and is mapped.
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
    if (mirrored.ghostLink != int32_t(ghost.id))
      return ::testing::AssertionFailure() << "particle " << mirrored.id << " does not link back";
  }
  return ::testing::AssertionSuccess();
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

  // Moved, the ghost follows; moved beyond h, it goes and its id is retired.
  byId(system, 0).position.y() = 0.25 * h;
  system.updateGhostParticles();
  EXPECT_NEAR(system._ghostParticlesArray[system._ghostParticlesArrayMap[0]].position.y(), -0.25 * h, 1e-9);
  byId(system, 0).position.y() = 1.5 * h;
  system.updateGhostParticles();
  EXPECT_EQ(system._ghostParticlesArray.size(), 1u);
  EXPECT_EQ(system._ghostParticlesArrayMap[0], -1);
  EXPECT_EQ(byId(system, 0).ghostLink, -1);
  EXPECT_TRUE(ghostsConsistent(system));
  // Back near the floor: a new ghost with a new id.
  byId(system, 0).position.y() = 0.5;
  system.updateGhostParticles();
  EXPECT_EQ(byId(system, 0).ghostLink, 2);
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
  // Switched off, the object neither moves nor deletes the ghost.
  floor->_ghostParticles = false;
  byId(system, 0).position.y() = 10.0;
  system.updateGhostParticles();
  EXPECT_EQ(system._ghostParticlesArray.size(), 1u);
  floor->_ghostParticles = true;
  floor->_active = false;
  system.updateGhostParticles();
  EXPECT_EQ(system._ghostParticlesArray.size(), 1u);
}

TEST(GhostParticles, EachParticleIsMirroredAcrossTheNearestGhostObject)
{
  SimSystem system(ghostSettings());
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.0, true));
  system.addCollisionObject(scene.box(Eigen::Vector3d(-20, -2, -20), Eigen::Vector3d(0, 20, 20), 0.0,
                                      CollisionObject::staticGeometry, true, 5)); // wall x <= 0
  system.placeParticle(Eigen::Vector3d(5, 0.5, 0), Eigen::Vector3d::Zero(), natureLiquid);   // near the floor only
  system.placeParticle(Eigen::Vector3d(0.5, 10, 0), Eigen::Vector3d::Zero(), natureLiquid);  // near the wall only
  system.placeParticle(Eigen::Vector3d(0.5, 0.6, 0), Eigen::Vector3d::Zero(), natureLiquid); // near both
  system.updateGhostParticles();
  auto ghostOf = [&](uint32_t id) -> Particle const& {
    return system._ghostParticlesArray[system._ghostParticlesArrayMap[byId(system, id).ghostLink]];
  };
  ASSERT_EQ(system._ghostParticlesArray.size(), 3u);
  EXPECT_NEAR(ghostOf(0).position.y(), -0.5, 1e-6); // across the floor
  EXPECT_NEAR(ghostOf(1).position.x(), -0.5, 1e-6); // across the wall
  EXPECT_NEAR(ghostOf(2).position.x(), -0.5, 1e-6); // across the nearer wall
  EXPECT_NEAR(ghostOf(2).position.y(), 0.6, 1e-6);
  EXPECT_TRUE(ghostsConsistent(system));

  // Nearer the floor now: the same ghost moves across the floor, no new id.
  const int32_t link = byId(system, 2).ghostLink;
  byId(system, 2).position = Eigen::Vector3d(0.8, 0.3, 0);
  system.updateGhostParticles();
  EXPECT_EQ(byId(system, 2).ghostLink, link);
  EXPECT_NEAR(ghostOf(2).position.y(), -0.3, 1e-6);
  EXPECT_EQ(system._ghostParticlesArrayMap.size(), 3u);
  EXPECT_TRUE(ghostsConsistent(system));
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
