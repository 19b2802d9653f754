#pragma once

#include "CollisionObject.h"
#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshShapes.h"

#include <memory>
#include <vector>

/// Owns static collision objects and emit-once emitters made from
/// axis-aligned boxes, with their meshes, for programs that build scenes in
/// code (the demonstration, the benchmarks) rather than through the host.
class BoxObjects
{
public:
  /// A static box collider; `ghosts` makes it mirror liquid with ghost particles.
  CollisionObject* collider(Eigen::Vector3d const& min, Eigen::Vector3d const& max, double friction,
                            bool ghosts = false, int maxDepth = 5)
  {
    _meshes.emplace_back(makeMesh(boxSoup(min, max), 1));
    _colliders.push_back(std::make_unique<CollisionObject>(_meshes.back().get(), 1e-3, maxDepth, friction, false,
                                                           0.0, 0.0, ghosts, CollisionObject::staticGeometry, -1,
                                                           0.0));
    return _colliders.back().get();
  }

  /// A static box that fills once with particles of `nature` at rest.
  EmitterObject* emitter(Eigen::Vector3d const& min, Eigen::Vector3d const& max, char nature,
                         EmitterObject::fillType fill = EmitterObject::cubic)
  {
    _meshes.emplace_back(makeMesh(boxSoup(min, max), 1));
    _emitters.push_back(std::make_unique<EmitterObject>(_meshes.back().get(), nature, EmitterObject::emitOnce, fill,
                                                        0, EmitterObject::staticGeometry, 0, 0, 0, 1, 0, 0, 0, 1.0,
                                                        4294967295u));
    return _emitters.back().get();
  }

private:
  // Declared after the meshes they refer to, the objects are destroyed first.
  std::vector<std::unique_ptr<Mesh>> _meshes;
  std::vector<std::unique_ptr<CollisionObject>> _colliders;
  std::vector<std::unique_ptr<EmitterObject>> _emitters;
};
