#include "GridChecks.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

SimSettings contactSettings(bool staticFriction = false)
{
  SimSettings s;
  s.gravity = 0.0;
  s.springs = false;
  s.interParticleCollisions = true;
  s.enforceStaticFriction = staticFriction;
  return s;
}

void place(SimSystem& system, std::vector<Eigen::Vector3d> const& points, char nature = natureGranular)
{
  for (auto const& p : points)
    system.placeParticle(p, Eigen::Vector3d::Zero(), nature);
  system.updateCellsNeighbors();
}

Particle& byId(SimSystem& system, uint32_t id) { return system._particlesArray[system._particlesArrayMap[id]]; }

// Moves particles by their velocities and refreshes the grid: a stand-in for
// the advance, so that contact tests can run a collision over time.
void advance(SimSystem& system)
{
  for (Particle& p : system._particlesArray)
    p.position += p.velocity * system._dt;
  system.updateCellsParticles();
  system.updateCellsNeighbors();
}

} // namespace

TEST(SphereContact, NormalSpringStartsInsideTwoRadii)
{
  for (bool staticFriction : {false, true}) {
    SimSystem system(contactSettings(staticFriction));
    const double eps = 0.01;
    place(system, {{0, 0, 0}, {1.0, 0, 0}, {0, 5, 0}, {1.0 - eps, 5, 0}}); // 2R = 1
    system._dt = 0.1;
    system.applyForces();
    EXPECT_EQ(byId(system, 0).velocity, Eigen::Vector3d::Zero());
    EXPECT_EQ(byId(system, 1).velocity, Eigen::Vector3d::Zero());
    EXPECT_NEAR(byId(system, 2).velocity.x(), -1000.0 * eps * 0.1, 1e-9);
    EXPECT_NEAR(byId(system, 3).velocity.x(), 1000.0 * eps * 0.1, 1e-9);
    EXPECT_EQ(byId(system, 2).velocity.y(), 0.0);
  }
}

TEST(SphereContact, FineRadiiPushAsCoarseOnesDo)
{
  // At radius 0.005 a pair closer than a tenth of a diameter is still a
  // contact that pushes by its overlap, in both contact modes (a fixed
  // tolerance of 1e-6 on squared lengths took it for coincident, and at
  // radius 0.0005 took every pair so).
  for (bool staticFriction : {false, true}) {
    SimSettings settings = contactSettings(staticFriction);
    settings.particleRadius = 0.005;
    SimSystem system(settings);
    const double gap = 0.0009, overlap = 0.01 - gap;
    place(system, {{0, 0, 0}, {gap, 0, 0}});
    system._dt = 0.1;
    if (staticFriction)
      system.resolveInterparticleCollisions_SpringBased();
    else
      system.resolveInterparticleCollisions_NoExplicitStaticFriction();
    EXPECT_NEAR(byId(system, 0).velocity.x(), -1000.0 * overlap * 0.1, 1e-9) << staticFriction;
    EXPECT_NEAR(byId(system, 1).velocity.x(), 1000.0 * overlap * 0.1, 1e-9) << staticFriction;
  }
}

TEST(SphereContact, NaturesThatMeet)
{
  auto pushed = [](char a, char b) {
    SimSystem system(contactSettings());
    place(system, {{0, 0, 0}}, a);
    place(system, {{0.9, 0, 0}}, b);
    system._dt = 0.1;
    system.resolveInterparticleCollisions_NoExplicitStaticFriction();
    return byId(system, 0).velocity.x() != 0.0;
  };
  EXPECT_TRUE(pushed(natureGranular, natureGranular));
  EXPECT_FALSE(pushed(natureSoftBody, natureSoftBody));
  EXPECT_TRUE(pushed(natureSoftBody, natureGranular));
  EXPECT_TRUE(pushed(natureGranular, natureSoftBody));
  EXPECT_FALSE(pushed(natureLiquid, natureGranular));
  EXPECT_FALSE(pushed(natureGranular, natureLiquid));
  SimSystem::sandSoftBodyInteraction = true;
  EXPECT_FALSE(pushed(natureSoftBody, natureGranular));
  EXPECT_TRUE(pushed(natureGranular, natureGranular));
  SimSystem::sandSoftBodyInteraction = false;
  // Coincident particles push nothing.
  EXPECT_FALSE([] {
    SimSystem system(contactSettings());
    place(system, {{0, 0, 0}, {0, 0, 0}});
    system._dt = 0.1;
    system.resolveInterparticleCollisions_NoExplicitStaticFriction();
    return byId(system, 0).velocity.norm() != 0.0 || !byId(system, 0).velocity.allFinite();
  }());
}

TEST(SphereContact, StickingContactsAnchorAndSlidingOnesReset)
{
  SimSettings settings = contactSettings(true);
  settings.normalDamping = 0.0;
  settings.shearDamping = 10.0;
  settings.coulombConstant = 0.5;
  settings.shearConstant = 100.0;
  SimSystem system(settings);
  place(system, {{0, 0, 0}, {0.9, 0, 0}}); // overlap 0.1: |Fn| = 100, Coulomb limit 50
  system._dt = 0.01;

  // Slow tangential motion (10 x 1 <= 50): sticks, creates both records, no tangential force yet.
  byId(system, 1).velocity = Eigen::Vector3d(0, 1, 0);
  system.resolveInterparticleCollisions_SpringBased();
  ASSERT_EQ(system._demTangentialSprings.size(), 2u);
  const uint32_t own = system._demTangentialSpringsMap.at(SimSystem::pairKey(0, 1));
  EXPECT_EQ(system._demTangentialSprings[own].displacement, Eigen::Vector3d(-0.9, 0, 0));
  EXPECT_EQ(system._demTangentialSprings[own].id1, 0u);
  EXPECT_EQ(byId(system, 0).velocity.y(), 0.0);

  // The pair shifts along y: besides the normal push, the tangential spring
  // pulls particle 0 back towards its anchor by -ks times the in-plane shift.
  byId(system, 1).position.y() = 0.05;
  byId(system, 0).velocity.setZero();
  byId(system, 1).velocity.setZero();
  system.resolveInterparticleCollisions_SpringBased();
  Eigen::Vector3d r = byId(system, 0).position - byId(system, 1).position;
  Eigen::Vector3d normal = r.normalized();
  const double fn = 1000.0 * (r.norm() - 1.0);
  const Eigen::Vector3d shift = r - Eigen::Vector3d(-0.9, 0, 0);
  const Eigen::Vector3d inPlane = shift - shift.dot(normal) * normal;
  const Eigen::Vector3d expected = (-fn * normal - 100.0 * inPlane) * 0.01;
  EXPECT_TRUE(byId(system, 0).velocity.isApprox(expected, 1e-12));
  EXPECT_LT((-100.0 * inPlane).y(), 5.0); // a restoring pull of about 5 along +y
  EXPECT_GT((-100.0 * inPlane).y(), 4.9);
  EXPECT_EQ(system._demTangentialSprings.size(), 2u);

  // Fast tangential motion slides: the anchor moves to the current relative
  // position and the tangential force is capped at mu |Fn|.
  byId(system, 0).velocity.setZero();
  byId(system, 1).velocity = Eigen::Vector3d(0, 0, 20); // 10 x 20 > 0.5 |Fn|
  system.resolveInterparticleCollisions_SpringBased();
  EXPECT_EQ(system._demTangentialSprings[own].displacement, r);
  EXPECT_NEAR(byId(system, 0).velocity.z(), 0.5 * std::abs(fn) * 0.01, 1e-12);

  // Without static friction no record is ever made.
  SimSystem plain(contactSettings(false));
  place(plain, {{0, 0, 0}, {0.9, 0, 0}});
  plain._dt = 0.01;
  plain.applyForces();
  EXPECT_TRUE(plain._demTangentialSprings.empty());
  // Parted pairs lose their records; touching again, the contact starts from
  // a fresh anchor, not from the one it had before.
  byId(system, 1).position = Eigen::Vector3d(3, 0, 0);
  system.resolveInterparticleCollisions_SpringBased();
  EXPECT_TRUE(system._demTangentialSprings.empty());
  EXPECT_TRUE(system._demTangentialSpringsMap.empty());
  byId(system, 1).position = Eigen::Vector3d(0, 0.9, 0);
  byId(system, 0).velocity.setZero();
  byId(system, 1).velocity.setZero();
  system.resolveInterparticleCollisions_SpringBased();
  ASSERT_EQ(system._demTangentialSprings.size(), 2u);
  EXPECT_EQ(system._demTangentialSprings[system._demTangentialSpringsMap.at(SimSystem::pairKey(0, 1))].displacement,
            Eigen::Vector3d(0, -0.9, 0));
  EXPECT_EQ(byId(system, 0).velocity.x(), 0.0); // no pull towards the old anchor
}

TEST(SphereContact, LimitedStaticFrictionHoldsNoMoreThanCoulomb)
{
  // A pair overlapping by 0.1 (|Fn| = 100, Coulomb limit 50) whose anchor was
  // set, then shifted sideways by 1 at rest: the spring alone asks about
  // 100 x 1, twice the limit.
  auto shifted = [](bool limited) {
    SimSettings settings = contactSettings(true);
    settings.normalDamping = 0.0;
    settings.shearDamping = 10.0;
    settings.coulombConstant = 0.5;
    settings.shearConstant = 100.0;
    auto system = std::make_unique<SimSystem>(settings);
    system->limitStaticFriction = limited;
    place(*system, {{0, 0, 0}, {0.9, 0, 0}});
    system->_dt = 0.01;
    system->resolveInterparticleCollisions_SpringBased(); // anchors, no tangential force
    byId(*system, 1).position = Eigen::Vector3d(0.9, 1.0, 0) * (0.9 / std::hypot(0.9, 1.0));
    byId(*system, 0).velocity.setZero();
    byId(*system, 1).velocity.setZero();
    system->resolveInterparticleCollisions_SpringBased();
    return system;
  };
  auto tangential = [](SimSystem& system) {
    const Eigen::Vector3d r = byId(system, 0).position - byId(system, 1).position;
    const Eigen::Vector3d n = r.normalized();
    const Eigen::Vector3d dv = byId(system, 0).velocity / system._dt;
    return (dv - dv.dot(n) * n).norm();
  };
  // Off: the spring's whole pull, past the limit.
  auto open = shifted(false);
  EXPECT_GT(tangential(*open), 60.0);
  // On: exactly the limit, and the anchor drawn along so that the spring
  // keeps the limit's stretch (50 / 100 = 0.5) and no more.
  auto held = shifted(true);
  EXPECT_NEAR(tangential(*held), 50.0, 1e-9);
  const Eigen::Vector3d r = byId(*held, 0).position - byId(*held, 1).position;
  const Eigen::Vector3d n = r.normalized();
  const Eigen::Vector3d stretch =
      r - held->_demTangentialSprings[held->_demTangentialSpringsMap.at(SimSystem::pairKey(0, 1))].displacement;
  EXPECT_NEAR((stretch - stretch.dot(n) * n).norm(), 0.5, 1e-9);
  // Below the limit nothing changes: a small shift pulls as it did.
  SimSettings settings = contactSettings(true);
  settings.normalDamping = 0.0;
  settings.coulombConstant = 0.5;
  settings.shearConstant = 100.0;
  for (bool limited : {false, true}) {
    SimSystem system(settings);
    system.limitStaticFriction = limited;
    place(system, {{0, 0, 0}, {0.9, 0, 0}});
    system._dt = 0.01;
    system.resolveInterparticleCollisions_SpringBased();
    byId(system, 1).position.y() = 0.05;
    byId(system, 0).velocity.setZero();
    byId(system, 1).velocity.setZero();
    system.resolveInterparticleCollisions_SpringBased();
    EXPECT_NEAR(tangential(system), 5.0, 0.1) << limited;
  }
}

TEST(SphereContact, HeadOnRestitutionOfALinearSpringDashpot)
{
  // Relative normal motion obeys x'' = -2 kn x - 2 gn x' (unit masses, each
  // side pushed by kn x + gn x'): a damped oscillator with w0 = sqrt(2 kn) and
  // zeta = gn / sqrt(2 kn). The contact ends where it began, so the
  // restitution is e = exp(-pi zeta / sqrt(1 - zeta^2)).
  SimSettings settings = contactSettings();
  const double kn = settings.normalConstant, gn = settings.normalDamping;
  const double zeta = gn / std::sqrt(2 * kn);
  const double expected = std::exp(-M_PI * zeta / std::sqrt(1 - zeta * zeta));
  SimSystem system(settings);
  place(system, {{0, 0, 0}, {1.1, 0, 0}});
  byId(system, 0).velocity = Eigen::Vector3d(0.5, 0, 0);
  byId(system, 1).velocity = Eigen::Vector3d(-0.5, 0, 0);
  system._dt = 1e-4;
  for (int step = 0; step < 20000; ++step) {
    system.resolveInterparticleCollisions_NoExplicitStaticFriction();
    advance(system);
  }
  const double separation = byId(system, 1).velocity.x() - byId(system, 0).velocity.x();
  EXPECT_NEAR(separation / 1.0, expected, 0.01 * expected); // within 1 %
  EXPECT_NEAR(byId(system, 0).velocity.x(), -byId(system, 1).velocity.x(), 1e-12); // momentum kept
}

TEST(SphereContact, TurningSpheresKeepMomentumAndAngularMomentum)
{
  // Grain 1 slides along y past grain 0 (radius 0.5, overlap 0.1). With
  // spheres that turn, the friction slows the slide and spins both grains
  // the same way, as meshing gears; the pair's linear and angular momentum
  // (about the origin, I = 0.4 R^2 per unit mass) stay what they were.
  for (bool staticFriction : {false, true}) {
    SimSettings settings = contactSettings(staticFriction);
    settings.shearDamping = 10.0;
    SimSystem system(settings);
    system.rollingSpheres = true;
    system.rollingFriction = 0.1;
    place(system, {{0, 0, 0}, {0.9, 0, 0}});
    system._dt = 0.01;
    byId(system, 1).velocity = Eigen::Vector3d(0, 3, 0);
    byId(system, 0).angularVelocity = Eigen::Vector3d(0, 0, 0.5);
    auto momentum = [&] {
      Eigen::Vector3d linear = Eigen::Vector3d::Zero(), angular = Eigen::Vector3d::Zero();
      for (Particle const& p : system._particlesArray) {
        linear += p.velocity;
        angular += p.position.cross(p.velocity) + 0.4 * 0.25 * p.angularVelocity;
      }
      return std::make_pair(linear, angular);
    };
    const auto before = momentum();
    for (int pass = 0; pass < 3; ++pass) {
      if (staticFriction)
        system.resolveInterparticleCollisions_SpringBased();
      else
        system.resolveInterparticleCollisions_NoExplicitStaticFriction();
    }
    const auto after = momentum();
    EXPECT_TRUE(after.first.isApprox(before.first, 1e-12)) << staticFriction;
    EXPECT_NEAR((after.second - before.second).norm(), 0.0, 1e-12) << staticFriction;
    EXPECT_LT(byId(system, 1).velocity.y(), 3.0) << staticFriction;
    EXPECT_GT(byId(system, 1).angularVelocity.z(), 0.0) << staticFriction;
    EXPECT_GT(byId(system, 0).angularVelocity.z(), 0.5) << staticFriction;
  }
  // Off, the same slide leaves every spin as it was.
  SimSettings settings = contactSettings();
  settings.shearDamping = 10.0;
  SimSystem still(settings);
  place(still, {{0, 0, 0}, {0.9, 0, 0}});
  still._dt = 0.01;
  byId(still, 1).velocity = Eigen::Vector3d(0, 3, 0);
  byId(still, 0).angularVelocity = Eigen::Vector3d(0, 0, 0.5);
  still.resolveInterparticleCollisions_NoExplicitStaticFriction();
  EXPECT_EQ(byId(still, 0).angularVelocity, Eigen::Vector3d(0, 0, 0.5));
  EXPECT_EQ(byId(still, 1).angularVelocity, Eigen::Vector3d::Zero());
}

TEST(SphereContact, GrainsRollWithoutSlipOrSpringAndRollingFrictionStopsThem)
{
  // Grain 1 rolls round grain 0 without slipping: its surface at the contact
  // point, the middle of the overlap, moves with its spin exactly against
  // its slide (w = v / a about z, a = 0.45 the arm to that point). No
  // friction acts, and in the spring mode the anchor follows the rolling,
  // so that the tangential spring never stretches however far it rolls.
  SimSettings settings = contactSettings(true);
  settings.shearDamping = 10.0;
  settings.shearConstant = 100.0;
  settings.normalDamping = 0.0;
  SimSystem system(settings);
  system.rollingSpheres = true;
  system.rollingFriction = 0.0;
  place(system, {{0, 0, 0}, {0.9, 0, 0}});
  system._dt = 0.001;
  const double v = 0.5, arm = 0.45;
  for (int step = 0; step < 100; ++step) {
    Particle& p = byId(system, 1);
    const Eigen::Vector3d n = p.position.normalized();
    p.velocity = v * Eigen::Vector3d::UnitZ().cross(n); // round grain 0, in the xy plane
    p.angularVelocity = Eigen::Vector3d(0, 0, v / arm);
    byId(system, 0).velocity.setZero();
    byId(system, 0).angularVelocity.setZero();
    system.resolveInterparticleCollisions_SpringBased();
    const Eigen::Vector3d dv = byId(system, 1).velocity - v * Eigen::Vector3d::UnitZ().cross(n);
    ASSERT_LT((dv - dv.dot(n) * n).norm(), 1e-5) << "step " << step; // 5e-3 if the spring stretched
    ASSERT_NEAR(byId(system, 1).angularVelocity.z(), v / arm, 1e-5) << "step " << step;
    p.position += v * system._dt * Eigen::Vector3d::UnitZ().cross(n);
    p.position *= 0.9 / p.position.norm();
    system.updateCellsParticles();
    system.updateCellsNeighbors();
  }
  EXPECT_GT(byId(system, 1).position.y(), 0.04); // it did roll round

  // Two grains pressed together and spinning against each other's rolling:
  // rolling friction slows the relative spin to rest and never reverses it.
  SimSettings plain = contactSettings();
  plain.shearDamping = 0.0;
  SimSystem spinning(plain);
  spinning.rollingSpheres = true;
  spinning.rollingFriction = 0.1;
  place(spinning, {{0, 0, 0}, {0.9, 0, 0}});
  spinning._dt = 0.001;
  byId(spinning, 0).angularVelocity = Eigen::Vector3d(0, 0, 2);
  double previous = 2.0;
  for (int step = 0; step < 3000; ++step) {
    byId(spinning, 0).position.setZero();
    byId(spinning, 1).position = Eigen::Vector3d(0.9, 0, 0);
    byId(spinning, 0).velocity.setZero();
    byId(spinning, 1).velocity.setZero();
    spinning.resolveInterparticleCollisions_NoExplicitStaticFriction();
    const double relative = byId(spinning, 0).angularVelocity.z() - byId(spinning, 1).angularVelocity.z();
    ASSERT_LE(relative, previous) << "step " << step;
    ASSERT_GE(relative, 0.0) << "step " << step;
    previous = relative;
  }
  EXPECT_LT(previous, 1e-3);
  // The sum of the spins is kept: the pair's torques are equal and opposite.
  EXPECT_NEAR(byId(spinning, 0).angularVelocity.z() + byId(spinning, 1).angularVelocity.z(), 2.0, 1e-9);
}

TEST(SubParticleContact, ThresholdsDependOnOrientation)
{
  SimSettings settings = contactSettings();
  settings.interParticlesCollMode = 1;
  auto touches = [&](Eigen::Vector3d const& axis, double distance) {
    SimSystem system(settings);
    place(system, {{0, 0, 0}, distance * axis});
    system._dt = 0.01;
    system.applyForces();
    return byId(system, 0).velocity.norm() > 0.0;
  };
  const double R = settings.particleRadius;
  for (auto [axis, threshold] : {std::pair<Eigen::Vector3d, double>{Eigen::Vector3d::UnitY(), 1.5486},
                                 std::pair<Eigen::Vector3d, double>{Eigen::Vector3d::UnitZ(), 1.8165},
                                 std::pair<Eigen::Vector3d, double>{Eigen::Vector3d::UnitX(), 1.6200}}) {
    EXPECT_TRUE(touches(axis, (threshold - 0.002) * R)) << axis.transpose();
    EXPECT_FALSE(touches(axis, (threshold + 0.002) * R)) << axis.transpose();
  }
  EXPECT_FALSE(touches(Eigen::Vector3d::UnitY(), 1.6 * R)); // spheres would already overlap
}

TEST(SubParticleContact, TorquesSpinClustersOnlyWithRotations)
{
  for (bool rotations : {false, true}) {
    SimSettings settings = contactSettings();
    settings.interParticlesCollMode = 1;
    settings.enableRotations = rotations;
    SimSystem system(settings);
    // Off-centre contact: particle 1 is offset in z and approaches along x.
    place(system, {{0, 0, 0}, {0.75, 0.0, 0.2}});
    byId(system, 1).velocity = Eigen::Vector3d(-1, 0, 0);
    system._dt = 0.01;
    system.resolveInterparticleCollisions_SubParticles();
    EXPECT_GT(byId(system, 0).velocity.norm(), 0.0);
    if (rotations) {
      EXPECT_GT(byId(system, 0).angularVelocity.norm(), 0.0);
    } else {
      EXPECT_EQ(byId(system, 0).angularVelocity, Eigen::Vector3d::Zero());
      EXPECT_EQ(byId(system, 1).angularVelocity, Eigen::Vector3d::Zero());
    }
  }
  // An empty template applies no force.
  SimSettings settings = contactSettings();
  settings.interParticlesCollMode = 1;
  SimSystem system(settings);
  system._subParticle.positions.clear();
  place(system, {{0, 0, 0}, {0.5, 0, 0}});
  system._dt = 0.01;
  system.resolveInterparticleCollisions_SubParticles();
  EXPECT_EQ(byId(system, 0).velocity, Eigen::Vector3d::Zero());
}

TEST(SubParticleContact, RotationMatrixOfUnitQuaternions)
{
  const Eigen::Quaterniond q = Eigen::Quaterniond(0.3, -0.5, 0.2, 0.7).normalized();
  EXPECT_TRUE(SimSystem::rotationOf(q).isApprox(q.toRotationMatrix(), 1e-14));
  EXPECT_EQ(SimSystem::rotationOf(Eigen::Quaterniond::Identity()), Eigen::Matrix3d::Identity());
}
