// What the solver's guard measures after each frame: the run's energy
// against what it was given, particles left inside colliders, and how far a
// liquid is squeezed.
#include "GridChecks.h"
#include "SceneFixtures.h"

#include <gtest/gtest.h>

TEST(Guard, TheEnergyAccountHoldsAFallAndCatchesEnergyFromNowhere)
{
  SimSettings settings;
  settings.springs = false;
  SceneObjects objects;
  SimSystem system(settings);
  system.addCollisionObject(objects.floor());
  gridchecks::placeBlock(system, 3, 1.0, Eigen::Vector3d(0, 4, 0), char(natureGranular));
  system.initialize(1);
  system.openEnergyAccount();
  // Falling and landing turns height into motion and loses it: never more.
  for (unsigned f = 2; f <= 40; ++f) {
    system.simulStep(f, 1.0 / 24.0, 4);
    SimSystem::EnergyCheck const check = system.settleEnergyAccount();
    ASSERT_FALSE(check.gained) << "frame " << f;
    EXPECT_LE(check.now.kinetic + check.now.height, check.budget * (1 + 1e-9) + 1e-9);
  }
  // An emitter's particles bring their energy with them.
  EmitterObject* spout = objects.emitter({-0.5, 8, -0.5}, {0.5, 9, 0.5}, natureGranular,
                                         EmitterObject::continuousEmission, {0, -20, 0});
  system.addEmitterObject(spout);
  for (unsigned f = 41; f <= 50; ++f) {
    system.simulStep(f, 1.0 / 24.0, 8);
    ASSERT_FALSE(system.settleEnergyAccount().gained) << "frame " << f;
  }
  spout->_active = false;
  // Motion no force gave: caught.
  for (Particle& p : system._particlesArray)
    p.velocity.x() += 30.0;
  system.simulStep(51, 1.0 / 24.0, 4);
  EXPECT_TRUE(system.settleEnergyAccount().gained);
}

TEST(Guard, ParticlesLeftDeeperThanARadiusInsideAColliderAreFound)
{
  // The collision response pushes out particles that approach a surface;
  // one resting inside (where a deforming collider grew over it, say) stays.
  SimSettings settings;
  settings.springs = false;
  settings.gravity = 0.0;
  settings.particleRadius = 0.1;
  settings.particlesInteractionRadius = 0.4;
  SceneObjects objects;
  SimSystem system(settings);
  system.addCollisionObject(objects.floor());
  system.addCollisionObject(objects.box({0, -5, -5}, {2, 5, 5}));
  for (double x : {-1.0, 1.95, 1.5, 1.7})
    system.placeParticle(Eigen::Vector3d(x, 2, 0), Eigen::Vector3d::Zero(), natureGranular);
  system.initialize(1);
  system.simulStep(2, 1.0 / 24.0, 1);
  std::vector<SimSystem::Leak> const leaks = system.findLeaks(system.particleRadius);
  ASSERT_EQ(leaks.size(), 1u);
  EXPECT_EQ(leaks[0].object, 1u);
  EXPECT_EQ(leaks[0].count, 2) << "0.5 and 0.3 deep; 0.05 is within a radius";
  EXPECT_NEAR(leaks[0].deepest, -0.5, 0.02);
  EXPECT_NEAR(leaks[0].where.x(), 1.5, 1e-12);
  EXPECT_EQ(leaks[0].nature, natureGranular);
}

TEST(Guard, CompressionIsTheMeanOverTheSqueezedParticles)
{
  SimSettings settings;
  settings.springs = false;
  settings.gravity = 0.0;
  settings.fluid = true;
  SimSystem system(settings);
  // A lattice squeezed to 90 % of its spacing: about 1 / 0.9^3 of the rest
  // density inside, less at its faces, which do not count.
  gridchecks::placeBlock(system, 9, 0.9, Eigen::Vector3d::Zero(), char(natureLiquid));
  system.initialize(1);
  system._dt = 1e-6;
  system.applyFluidSPH();
  SimSystem::Compression const c = system.liquidCompression();
  EXPECT_EQ(c.liquid, 729);
  EXPECT_GT(c.compressed, 100);
  EXPECT_LT(c.compressed, 729);
  EXPECT_NEAR(c.densest, 1.0 / (0.9 * 0.9 * 0.9), 0.02);
  EXPECT_GT(c.mean, 0.15);
  EXPECT_LT(c.mean, c.densest - 1.0);
}
