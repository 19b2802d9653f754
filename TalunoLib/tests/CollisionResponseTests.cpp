#include "GridChecks.h"
#include "SceneFixtures.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>

namespace {

SimSettings quietSettings()
{
  SimSettings s;
  s.gravity = 0.0;
  s.springs = false;
  return s;
}

// One advance-and-collide pass for particles whose velocities are set.
void collide(SimSystem& system, double dt = 0.01)
{
  system._dt = dt;
  for (Particle& p : system._particlesArray)
    p.previousPosition = p.position;
  system.resolveCollisionsAndAdvance();
}

Particle& byId(SimSystem& system, uint32_t id) { return system._particlesArray[system._particlesArrayMap[id]]; }

} // namespace

TEST(CollisionResponse, WithoutObjectCollisionsVelocitiesFollowDisplacement)
{
  SimSettings settings = quietSettings();
  settings.objectsCollisions = false;
  settings.interParticleCollisions = true;
  settings.interParticlesCollMode = 1;
  settings.enableRotations = true;
  SimSystem system(settings);
  SceneObjects scene;
  system.addCollisionObject(scene.floor());
  system.placeParticle(Eigen::Vector3d(0, 0.2, 0), Eigen::Vector3d(1, -3, 0), natureGranular);
  byId(system, 0).angularVelocity = Eigen::Vector3d(0, 5, 0);
  collide(system);
  Particle const& p = byId(system, 0);
  EXPECT_EQ(p.velocity, (p.position - p.previousPosition) / 0.01);
  EXPECT_LT(p.position.y(), 0.2); // no object pushed it
  EXPECT_EQ(p.orientation.coeffs(), Eigen::Quaterniond::Identity().coeffs());
}

TEST(CollisionResponse, RestingOnAFrictionlessFloor)
{
  SimSystem system(quietSettings());
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.0));
  system.placeParticle(Eigen::Vector3d(0, 0.5, 0), Eigen::Vector3d(1, -1, 0), natureGranular);
  collide(system);
  Particle const& p = byId(system, 0);
  EXPECT_NEAR(p.position.y(), 0.5, 1e-12); // back at the collision distance
  EXPECT_NEAR(p.velocity.x(), 1.0, 1e-12); // horizontal motion kept
  EXPECT_NEAR(p.velocity.y(), 0.0, 1e-12); // no restitution
  EXPECT_NEAR(p.position.x(), 0.01, 1e-12);
}

TEST(CollisionResponse, HighFrictionSticksAndUndoesTangentialMotion)
{
  SimSystem system(quietSettings());
  SceneObjects scene;
  system.addCollisionObject(scene.floor(100.0));
  system.placeParticle(Eigen::Vector3d(0, 0.5, 0), Eigen::Vector3d(2, -1, 0), natureGranular);
  collide(system);
  Particle const& p = byId(system, 0);
  EXPECT_NEAR(p.position.x(), 0.0, 1e-12);
  EXPECT_NEAR(p.position.y(), 0.5, 1e-12);
  EXPECT_EQ(p.velocity, Eigen::Vector3d::Zero());

  // The emitter's friction multiplier scales the surface friction: a small
  // one lets the particle slide.
  SimSystem sliding(quietSettings());
  sliding.addCollisionObject(scene.floor(1.0));
  EmitterObject* emitter =
      scene.emitter(Eigen::Vector3d(-0.4, 0.2, -0.4), Eigen::Vector3d(0.4, 1.0, 0.4), natureGranular,
                    EmitterObject::emitOnce, Eigen::Vector3d(2, -1, 0), 0.01);
  sliding.addEmitterObject(emitter);
  sliding.initialize(1);
  ASSERT_EQ(sliding._particlesArray.size(), 1u);
  byId(sliding, 0).position.y() = 0.5;
  collide(sliding);
  EXPECT_GT(byId(sliding, 0).velocity.x(), 1.9);
}

TEST(CollisionResponse, ParticlesLeavingTheSurfaceAreLeftAlone)
{
  SimSystem system(quietSettings());
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.5));
  system.placeParticle(Eigen::Vector3d(0, 0.3, 0), Eigen::Vector3d(1, 2, 0), natureGranular);
  collide(system);
  Particle const& p = byId(system, 0);
  EXPECT_NEAR(p.position.y(), 0.32, 1e-12);
  EXPECT_EQ(p.velocity, (p.position - p.previousPosition) / 0.01);
}

TEST(CollisionResponse, MovingPlatformsCarryRestingParticles)
{
  SimSystem system(quietSettings());
  SceneObjects scene;
  CollisionObject* platform = scene.box(Eigen::Vector3d(-5, -1, -5), Eigen::Vector3d(5, 0, 5), 100.0,
                                        CollisionObject::movingGeometry);
  Eigen::Matrix4d identity = Eigen::Matrix4d::Identity();
  platform->setTransfoMatrix(identity);
  platform->setVelocities(1.0, 1.0, 0, 0, 0, 0, 0);
  platform->setVelocities(2.0, 3.0, 0, 0, 0, 90, 0); // v = (2, 0, 0), w = (0, pi/2, 0)
  system.addCollisionObject(platform);
  system.placeParticle(Eigen::Vector3d(2, 0.5, 1), Eigen::Vector3d(0, -10, 0), natureGranular); // pressed in: sticks
  collide(system);
  Particle const& p = byId(system, 0);
  // Surface velocity at the contact point (2, 0, 1), below the advanced
  // particle, about the platform's centre (0, -0.5, 0).
  const Eigen::Vector3d expected = platform->_linearVelocity +
                                   platform->_angularVelocity.cross(Eigen::Vector3d(2, 0, 1) - platform->_center);
  EXPECT_TRUE(p.velocity.isApprox(expected, 1e-9)) << p.velocity.transpose() << " vs " << expected.transpose();
  EXPECT_NEAR(p.position.y(), 0.5, 1e-9);
}

TEST(CollisionResponse, ObjectsActInIndexOrder)
{
  SimSystem system(quietSettings());
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.0));                                                 // index 0
  system.addCollisionObject(scene.box(Eigen::Vector3d(-2, -2, -2), Eigen::Vector3d(0, 5, 2))); // wall x <= 0, index 1
  system.placeParticle(Eigen::Vector3d(0.45, 0.45, 0), Eigen::Vector3d(-1, -1, 0), natureGranular);
  collide(system);
  Particle const& p = byId(system, 0);
  EXPECT_NEAR(p.position.x(), 0.5, 1e-9);
  EXPECT_NEAR(p.position.y(), 0.5, 1e-9);
  EXPECT_NEAR(p.velocity.norm(), 0.0, 1e-9);

  // An inactive object is skipped.
  scene.colliders[1]->_active = false;
  system.placeParticle(Eigen::Vector3d(0.2, 3, 0), Eigen::Vector3d(-1, 0, 0), natureGranular);
  collide(system);
  EXPECT_LT(byId(system, 1).position.x(), 0.2);
}

TEST(CollisionResponse, ClustersTurnOnlyAboveTheTolerance)
{
  SimSettings settings = quietSettings();
  settings.interParticleCollisions = true;
  settings.interParticlesCollMode = 1;
  settings.enableRotations = true;
  SimSystem system(settings);
  system.placeParticle(Eigen::Vector3d(0, 10, 0), Eigen::Vector3d::Zero(), natureGranular);
  system.placeParticle(Eigen::Vector3d(5, 10, 0), Eigen::Vector3d::Zero(), natureGranular);
  byId(system, 0).angularVelocity = Eigen::Vector3d(0, 0.0009, 0); // |w|^2 below 1e-6
  byId(system, 1).angularVelocity = Eigen::Vector3d(0, 2.0, 0);
  collide(system, 0.1);
  EXPECT_EQ(byId(system, 0).orientation.coeffs(), Eigen::Quaterniond::Identity().coeffs());
  const Eigen::Quaterniond turned = byId(system, 1).orientation;
  EXPECT_NEAR(turned.norm(), 1.0, 1e-15);
  EXPECT_NEAR(2 * std::atan2(turned.y(), turned.w()), 0.2, 1e-2); // about w dt
}

TEST(CollisionResponse, ClustersBounceOffAndSpinOnContact)
{
  SimSettings settings = quietSettings();
  settings.interParticleCollisions = true;
  settings.interParticlesCollMode = 1;
  settings.enableRotations = true;
  SimSystem system(settings);
  SceneObjects scene;
  system.addCollisionObject(scene.floor(0.5));
  system.placeParticle(Eigen::Vector3d(0, 0.3, 0), Eigen::Vector3d(1, -1, 0), natureGranular);
  byId(system, 0).orientation = Eigen::Quaterniond(Eigen::AngleAxisd(0.4, Eigen::Vector3d::UnitZ()));
  collide(system);
  Particle const& p = byId(system, 0);
  EXPECT_GT(p.velocity.y(), -1.0); // pushed up by the lowest sub-sphere
  EXPECT_GT(p.angularVelocity.norm(), 0.0);
  EXPECT_TRUE(p.velocity.allFinite());
}
