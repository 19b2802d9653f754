#pragma once

// Scene objects for tests that run the whole system: meshes, collision
// objects and emitters built from boxes, owned by the fixture.
#include "CollisionObject.h"
#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "SimSystem.h"

#include <memory>
#include <vector>

struct SceneObjects
{
  /// A box-shaped collision object from min to max.
  CollisionObject* box(Eigen::Vector3d const& min, Eigen::Vector3d const& max, double friction = 0.0,
                       CollisionObject::behaviour behaviour = CollisionObject::staticGeometry, bool ghosts = false,
                       int depth = 6)
  {
    meshes.emplace_back(makeMesh(boxSoup(min, max), 1));
    colliders.push_back(std::make_unique<CollisionObject>(meshes.back().get(), 1e-3, depth, friction, false, 0.0,
                                                          0.0, ghosts, behaviour, -1, 0.0));
    return colliders.back().get();
  }

  /// A floor whose top face is the plane y = 0.
  CollisionObject* floor(double friction = 0.0, bool ghosts = false)
  {
    return box(Eigen::Vector3d(-20, -2, -20), Eigen::Vector3d(20, 0, 20), friction,
               CollisionObject::staticGeometry, ghosts, 5);
  }

  /// A box-shaped emitter from min to max.
  EmitterObject* emitter(Eigen::Vector3d const& min, Eigen::Vector3d const& max, char nature,
                         EmitterObject::emissionType type = EmitterObject::emitOnce,
                         Eigen::Vector3d const& velocity = Eigen::Vector3d::Zero(), double frictionMultiplier = 1.0)
  {
    meshes.emplace_back(makeMesh(boxSoup(min, max), 1));
    emitters.push_back(std::make_unique<EmitterObject>(meshes.back().get(), nature, type, EmitterObject::cubic, 0,
                                                       EmitterObject::staticGeometry, velocity.x(), velocity.y(),
                                                       velocity.z(), 1, 0, 0, 0, frictionMultiplier, 4294967295u));
    return emitters.back().get();
  }

  std::vector<std::unique_ptr<Mesh>> meshes;
  std::vector<std::unique_ptr<CollisionObject>> colliders;
  std::vector<std::unique_ptr<EmitterObject>> emitters;
};

/// Water as the water preset makes it, at particle radius `radius`, with the
/// interaction radius four radii and no springs.
inline SimSettings waterSettings(double radius)
{
  SimSettings s;
  s.springs = false;
  s.fluid = true;
  s.restDensity = 998;
  s.internalPressure = 400;
  s.viscosity = true;
  s.viscosityFactor = 0.25;
  s.particleRadius = radius;
  s.particlesInteractionRadius = 4 * radius;
  return s;
}

/// Signed distance from a point to the top face of a floor (plane y = 0).
inline double floorDistance(Particle const& p) { return p.position.y(); }
