#include "GridChecks.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

SimSettings fluidSettings()
{
  SimSettings s;
  s.gravity = 0.0;
  s.springs = false;
  s.fluid = true;
  return s;
}

void place(SimSystem& system, std::vector<Eigen::Vector3d> const& points, char nature = natureLiquid)
{
  for (auto const& p : points)
    system.placeParticle(p, Eigen::Vector3d::Zero(), nature);
  system.updateCellsNeighbors();
}

Particle& byId(SimSystem& system, uint32_t id) { return system._particlesArray[system._particlesArrayMap[id]]; }

} // namespace

TEST(SphFluid, LoneParticleDensityAndPressure)
{
  SimSystem system(fluidSettings());
  system.setUnitLength(0.01);
  EXPECT_NEAR(system._particleMass, 0.00098834, 5e-9);
  place(system, {{0, 0, 0}, {2, 0, 0}}); // exactly h apart: no interaction
  system._dt = 0.01;
  system.applyFluidSPH();
  for (uint32_t id : {0u, 1u}) {
    Particle const& p = byId(system, id);
    const double rho = 1.0 / p.invDensity;
    EXPECT_NEAR(rho, system._particleMass * system._poly6Coef * std::pow(1e-4 * 4.0, 3), 1e-9);
    EXPECT_NEAR(rho, 193.55, 0.01);
    EXPECT_NEAR(p.pressure, -213.85, 0.01);
    EXPECT_EQ(p.velocity, Eigen::Vector3d::Zero()); // alone: no force
  }
}

TEST(SphFluid, LatticeInteriorSitsAtRestDensity)
{
  SimSystem system(fluidSettings());
  gridchecks::placeBlock(system, 7, 1.0, Eigen::Vector3d::Zero(), char(natureLiquid));
  system.updateCellsNeighbors();
  system._dt = 0.01;
  system.applyFluidSPH();
  Particle const& centre = byId(system, 3 * 49 + 3 * 7 + 3);
  EXPECT_NEAR(1.0 / centre.invDensity, 998.0, 1e-9);
  EXPECT_NEAR(centre.pressure, 0.0, 1e-9);
  EXPECT_NEAR(centre.velocity.norm(), 0.0, 1e-12); // symmetric neighbourhood
  Particle const& corner = byId(system, 0);
  EXPECT_LT(1.0 / corner.invDensity, 998.0);
  EXPECT_LT(corner.pressure, 0.0);
  EXPECT_GT(corner.velocity.x(), 0.0); // negative pressure pulls the corner inwards
}

TEST(SphFluid, ViscosityDrawsLiquidVelocitiesTogether)
{
  SimSettings settings = fluidSettings();
  settings.viscosity = true;
  settings.viscosityFactor = 0.5;
  SimSystem system(settings);
  place(system, {{0, 0, 0}, {1, 0, 0}});
  byId(system, 1).velocity = Eigen::Vector3d(0, 2, 0);
  system._dt = 0.001;
  system.applyFluidSPH();
  EXPECT_GT(byId(system, 0).velocity.y(), 0.0);
  EXPECT_LT(byId(system, 1).velocity.y(), 2.0);
  // Equal and opposite: the pair's momentum along y is kept.
  EXPECT_NEAR(byId(system, 0).velocity.y() + byId(system, 1).velocity.y(), 2.0, 1e-12);
}

TEST(SphFluid, SurfaceNormalsAndTension)
{
  SimSettings settings = fluidSettings();
  settings.surfaceTension = true;
  settings.surfaceTensionThreshold = 0.1;
  SimSystem system(settings);
  EXPECT_GT(system._normalScale, 0.0);
  gridchecks::placeBlock(system, 5, 1.0, Eigen::Vector3d::Zero(), char(natureLiquid));
  system.updateCellsNeighbors();
  system._dt = 0.01;
  system.applyFluidSPH();
  // A face particle's normal is the colour gradient: it points into the
  // liquid. An interior particle has none.
  Particle const& face = byId(system, 2 * 25 + 2 * 5 + 0); // z = 0 face centre
  EXPECT_GT(face.normal.z(), 0.0);
  EXPECT_NEAR(face.normal.x(), 0.0, 1e-12);
  Particle const& centre = byId(system, 2 * 25 + 2 * 5 + 2);
  EXPECT_NEAR(centre.normal.norm(), 0.0, 1e-12);
  // The corner normal is about the reference normal: relative length near 1.
  EXPECT_NEAR(byId(system, 0).normal.norm(), 1.0, 0.5);

  SimSystem off(fluidSettings());
  place(off, {{0, 0, 0}, {1, 0, 0}});
  off._dt = 0.01;
  off.applyFluidSPH();
  EXPECT_EQ(off._normalScale, 1.0);
  EXPECT_EQ(byId(off, 0).normal, Eigen::Vector3d::Zero());
}

TEST(SphFluid, DegenerateCasesStayFinite)
{
  // Interaction radius below a diameter: no reference normal.
  SimSettings settings = fluidSettings();
  settings.surfaceTension = true;
  settings.particlesInteractionRadius = 0.9;
  settings.surfaceTensionThreshold = 0.0;
  SimSystem narrow(settings);
  place(narrow, {{0, 0, 0}, {0.5, 0, 0}, {0.5, 0, 0}}); // two coincide
  narrow._dt = 0.01;
  narrow.applyFluidSPH();
  for (Particle const& p : narrow._particlesArray) {
    EXPECT_TRUE(p.velocity.allFinite());
    EXPECT_TRUE(p.normal.allFinite());
  }

  // A ghost exactly on a particle adds density but no pressure direction.
  SimSystem system(fluidSettings());
  place(system, {{0, 0, 0}});
  const uint64_t key = system.cellKeyOf(0, 0, 0);
  system._ghostParticlesArray.emplace_back(0, 0, 0, 0, 0, 0, 0, nullptr, key, 2, nullptr);
  system._ghostParticlesArray[0].pressure = 50.0;
  system._ghostParticlesArray[0].invDensity = 1e-3;
  system._ghostParticlesArrayMap.push_back(0);
  system.linkToCell(key, 0, true);
  system.updateCellsNeighbors();
  system._dt = 0.01;
  system.applyFluidSPH();
  Particle const& p = byId(system, 0);
  EXPECT_NEAR(1.0 / p.invDensity, 2 * 193.55, 0.02); // itself and its ghost
  EXPECT_TRUE(p.velocity.allFinite());
  EXPECT_EQ(p.velocity, Eigen::Vector3d::Zero());
}
