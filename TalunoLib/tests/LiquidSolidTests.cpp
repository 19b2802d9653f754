// A liquid among grains and soft bodies: the space each takes, momentum kept
// pair by pair, buoyancy and the drag of the liquid on a settling grain.
#include "GridChecks.h"
#include "SceneFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

SimSettings liquidSettings(double radius)
{
  SimSettings s = waterSettings(radius);
  s.gravity = 0.0;
  return s;
}

Particle& byId(SimSystem& system, uint32_t id) { return system._particlesArray[system._particlesArrayMap[id]]; }

// A liquid particle at the centre of a 5^3 lattice of `nature` particles.
double centreDensity(char nature)
{
  SimSystem system(liquidSettings(0.5));
  for (int i = -2; i <= 2; ++i)
    for (int j = -2; j <= 2; ++j)
      for (int k = -2; k <= 2; ++k)
        system.placeParticle(Eigen::Vector3d(i, j, k), Eigen::Vector3d::Zero(),
                             i == 0 && j == 0 && k == 0 ? char(natureLiquid) : nature);
  system.initialize(1);
  system._dt = 1e-6;
  system.applyFluidSPH();
  return 1.0 / byId(system, 62).invDensity;
}

// Speed at which a grain of density rhoGrain (kg/m^3) settles (or rises)
// through a still liquid, by Di Felice's drag on a lone sphere of the volume
// of the grain's cell (porosity 1, Dallavalle's coefficient):
// |1 - rho / rhoGrain| g = 3/4 Cd (rho / rhoGrain) v^2 / d in scene units, Re in metres.
double terminalSpeed(double g, double radius, double unit, double rho, double rhoGrain, double mu)
{
  const double d = std::cbrt(6.0 / M_PI) * 2 * radius;
  double low = 0.0, high = 1e3;
  for (int i = 0; i < 200; ++i) {
    const double v = 0.5 * (low + high);
    const double re = rho * d * unit * v * unit / mu;
    const double cd = std::pow(0.63 + 4.8 / std::sqrt(re), 2.0);
    const double drag = 0.75 * cd * (rho / rhoGrain) * v * v / d;
    (drag > g * std::abs(1.0 - rho / rhoGrain) ? high : low) = v;
  }
  return 0.5 * (low + high);
}

} // namespace

TEST(LiquidAndSolids, ASolidTakesItsCellOfTheLiquidsDensity)
{
  // A liquid particle among grains or soft bodies has the density it would
  // have among liquid: they take their share of space as liquid does.
  const double liquid = centreDensity(natureLiquid);
  EXPECT_NEAR(liquid, 998.0, 1e-9);
  EXPECT_EQ(centreDensity(natureSoftBody), liquid);
  EXPECT_EQ(centreDensity(natureGranular), liquid);
}

TEST(LiquidAndSolids, PressureViscosityAndDragKeepMomentum)
{
  // A random cluster of liquid, grains and soft bodies with random
  // velocities: every pair acts on both sides alike, by mass, and a grain's
  // drag pulls the liquid back by as much.
  SimSystem system(liquidSettings(0.1));
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const char natures[] = {natureLiquid, natureLiquid, natureGranular, natureSoftBody};
  for (int i = 0; i < 120; ++i)
    system.placeParticle(Eigen::Vector3d(u(rng), u(rng), u(rng)), Eigen::Vector3d(u(rng), u(rng), u(rng)) * 4.0,
                         natures[i % 4]);
  system.initialize(1);
  auto mass = [&](char nature) {
    return nature & natureLiquid ? system._particleMass : system._particleMass / system.solidShare(nature);
  };
  auto momentum = [&]() {
    Eigen::Vector3d total = Eigen::Vector3d::Zero();
    for (Particle const& p : system._particlesArray)
      total += mass(p.nature) * p.velocity;
    return total;
  };
  const Eigen::Vector3d before = momentum();
  std::vector<Eigen::Vector3d> velocities;
  for (Particle const& p : system._particlesArray)
    velocities.push_back(p.velocity);
  system._dt = 1e-4;
  system.applyFluidSPH();
  double moved = 0.0, draggedGrains = 0.0;
  for (size_t i = 0; i < velocities.size(); ++i) {
    Particle const& p = system._particlesArray[i];
    moved += mass(p.nature) * (p.velocity - velocities[i]).norm();
    if (p.nature == natureGranular)
      draggedGrains += (p.velocity - velocities[i]).norm();
  }
  ASSERT_GT(moved, 0.0);
  ASSERT_GT(draggedGrains, 0.0);
  EXPECT_LT((momentum() - before).norm(), 1e-10 * moved);
  EXPECT_GT(system._lastDragRate, 0.0);
}

TEST(LiquidAndSolids, BuoyancyHoldsANeutralGrainLiftsALightOneAndDragSetsAHeavyOnesSettling)
{
  // A column of liquid at rest in a tank; its centre particle becomes a
  // grain of the given density, and the grain's vertical speed is taken
  // over the next half second.
  auto settle = [](double grainDensity) {
    SimSettings settings = liquidSettings(0.1);
    settings.gravity = -9.80665;
    settings.viscosityFactor = 0.05;
    SceneObjects objects;
    SimSystem system(settings);
    system.clampNegativePressure = true;
    system.hydrostaticStart = true;
    system.grainDensity = grainDensity;
    system.addCollisionObject(objects.box({-3, -1, -3}, {3, 0, 3}, 0.0, CollisionObject::staticGeometry, true));
    // The walls a radius beyond the fill's outer particles: the liquid fills
    // the tank at its rest spacing and starts settled, at rest.
    system.addCollisionObject(objects.box({-3, -1, -3}, {-0.5, 4, 3}, 0.0, CollisionObject::staticGeometry, true));
    system.addCollisionObject(objects.box({0.5, -1, -3}, {3, 4, 3}, 0.0, CollisionObject::staticGeometry, true));
    system.addCollisionObject(objects.box({-3, -1, -3}, {3, 4, -0.5}, 0.0, CollisionObject::staticGeometry, true));
    system.addCollisionObject(objects.box({-3, -1, 0.5}, {3, 4, 3}, 0.0, CollisionObject::staticGeometry, true));
    system.addEmitterObject(objects.emitter({-0.6, 0.0, -0.6}, {0.6, 3.0, 0.6}, natureLiquid));
    system.initialize(1);
    unsigned frame = 2;
    for (; frame < 2 + 24; ++frame)
      EXPECT_FALSE(system.simulStepAdaptive(frame, 1.0 / 24.0, 4, 4000).capped);
    // The particle nearest the column's middle.
    int64_t middle = 0;
    for (size_t i = 0; i < system._particlesArray.size(); ++i)
      if ((system._particlesArray[i].position - Eigen::Vector3d(0, 1.3, 0)).squaredNorm() <
          (system._particlesArray[middle].position - Eigen::Vector3d(0, 1.3, 0)).squaredNorm())
        middle = int64_t(i);
    const uint32_t id = system._particlesArray[middle].id;
    system._particlesArray[middle].nature = natureGranular;
    const double start = system._particlesArray[middle].position.y();
    double speed = 0.0;
    for (int k = 0; k < 12; ++k, ++frame) {
      const double before = byId(system, id).position.y();
      system.simulStepAdaptive(frame, 1.0 / 24.0, 4, 4000);
      if (k >= 6) // past the start, in the column's bulk
        speed += (byId(system, id).position.y() - before) * 24.0 / 6.0;
    }
    return std::make_pair(speed, byId(system, id).position.y() - start);
  };
  // The neutral grain moves with the liquid around it: the others' speeds
  // are taken relative to it, the liquid's own motion at that place.
  const double settling = terminalSpeed(9.80665, 0.1, 0.01, 998.0, 20000.0, 0.05);
  const auto [neutral, neutralDrop] = settle(998.0);
  EXPECT_LT(std::abs(neutral), 0.05 * settling) << "moved " << neutralDrop;
  const auto [heavy, heavyDrop] = settle(20000.0);
  EXPECT_NEAR(neutral - heavy, settling, 0.3 * settling) << "sank " << -heavyDrop;
  const double rising = terminalSpeed(9.80665, 0.1, 0.01, 998.0, 300.0, 0.05);
  const auto [light, lightRise] = settle(300.0);
  EXPECT_NEAR(light - neutral, rising, 0.3 * rising) << "rose " << lightRise;
}

TEST(LiquidAndSolids, DragFasterThanTheSubStepRelaxesWithoutOvershooting)
{
  // A grain shot through still liquid, with a sub-step many times longer
  // than the drag's relaxation time: it slows towards the liquid, never past
  // it, no liquid particle is thrown faster than the grain came, and the
  // liquid gains what the grain lost.
  SimSettings settings = liquidSettings(0.1);
  settings.viscosityFactor = 50.0;
  SimSystem system(settings);
  system.clampNegativePressure = true; // no pressure in or around the block: drag alone acts
  gridchecks::placeBlock(system, 5, 0.2, Eigen::Vector3d::Zero(), char(natureLiquid));
  Particle& centre = byId(system, 62);
  centre.nature = natureGranular;
  centre.velocity = Eigen::Vector3d(5, 0, 0);
  system.initialize(1);
  system._dt = 0.05;
  system.applyFluidSPH();
  ASSERT_GT(system._lastDragRate * system._dt, 10.0) << "a drag far faster than the sub-step";
  Particle const& grain = byId(system, 62);
  EXPECT_GT(grain.velocity.x(), -1e-9);
  EXPECT_LT(grain.velocity.x(), 5.0);
  double liquidMomentum = 0.0;
  for (Particle const& p : system._particlesArray)
    if (p.nature & natureLiquid) {
      EXPECT_GT(p.velocity.x(), -1e-9);
      EXPECT_LT(p.velocity.x(), 5.0);
      liquidMomentum += p.velocity.x();
    }
  EXPECT_NEAR(liquidMomentum, system.grainMassRatio() * (5.0 - grain.velocity.x()), 1e-9);
}
