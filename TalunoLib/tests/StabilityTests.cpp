// The sub-step limits the solver's advice and automatic sub-steps rest on.
#include "GridChecks.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(SubStepLimits, ViscousLimitMatchesTheRateTheViscosityPassApplies)
{
  // A particle moving inside a resting lattice: the viscosity pass pulls its
  // velocity back at the rate the estimate assumes (pressures are zero there,
  // so nothing else acts).
  SimSettings settings;
  settings.gravity = 0.0;
  settings.springs = false;
  settings.fluid = true;
  settings.viscosity = true;
  settings.viscosityFactor = 0.5;
  for (double radius : {0.5, 0.1}) {
    settings.particleRadius = radius;
    settings.particlesInteractionRadius = 4 * radius;
    SimSystem system(settings);
    system.setUnitLength(0.01);
    gridchecks::placeBlock(system, 9, 2 * radius, Eigen::Vector3d::Zero(), char(natureLiquid));
    system.updateCellsNeighbors();
    const uint32_t centre = 4 * 81 + 4 * 9 + 4;
    Particle& p = system._particlesArray[system._particlesArrayMap[centre]];
    p.velocity = Eigen::Vector3d(1e-3, 0, 0);
    system._dt = 1e-6;
    system.applyFluidSPH();
    const double rate = (1e-3 - p.velocity.x()) / (1e-3 * system._dt);
    EXPECT_NEAR(1.0 / system.subStepLimits(0.0).viscosity, rate, 1e-6 * rate) << "radius " << radius;
  }
  // Viscosity scales as 1 / radius^2 here: a fine liquid needs short sub-steps.
}

TEST(SubStepLimits, OnlyTheForcesInUseLimit)
{
  SimSettings settings;
  settings.springs = false;
  SimSystem idle(settings);
  EXPECT_TRUE(std::isinf(idle.stableSubStep(0.0)));
  EXPECT_DOUBLE_EQ(idle.stableSubStep(10.0), 0.5 * 0.5 / 10.0); // half a radius per sub-step

  settings.interParticleCollisions = true;
  SimSystem grains(settings);
  SimSystem::SubStepLimits const soft = grains.subStepLimits(0.0);
  settings.normalConstant *= 4;
  SimSystem stiffer(settings);
  EXPECT_LT(stiffer.subStepLimits(0.0).contact, 0.6 * soft.contact); // about half for four times the stiffness
  EXPECT_TRUE(std::isinf(soft.sound));
  EXPECT_TRUE(std::isinf(soft.springs));

  settings.fluid = true;
  settings.internalPressure = 400;
  SimSystem water(settings);
  // Sound speed sqrt(400 / 0.01) = 200 units/s across a quarter of the
  // interaction radius.
  EXPECT_NEAR(water.subStepLimits(0.0).sound, 0.25 * 2.0 / 200.0, 1e-12);
}
