#pragma once

#include "ASDFObject.h"
#include "IsoSurface.h"
#include "TalunoObjects.h"

#include <Eigen/Core>
#include <cstdint>
#include <vector>

class Mesh;

/// What the simulation sees of a collision mesh: its distance field, contact
/// parameters and, for moving geometry, its rigid transform and velocities.
class CollisionObject : public TalunoObject
{
public:
  enum behaviour : int32_t
  {
    staticGeometry = 0,
    movingGeometry = 1,
    deformingGeometry = 2
  };

  /// Builds the distance field of the mesh (the expensive step).
  CollisionObject(Mesh* mesh, double errorThreshold, int maxDepth, double friction, bool sticky, double stickiness,
                  double stickDist, bool ghostParticles, behaviour geometryBehaviour, int id, double time);
  ~CollisionObject();

  CollisionObject(CollisionObject const&) = delete;
  CollisionObject& operator=(CollisionObject const&) = delete;

  void updateCollisionObjectParms(double friction, bool sticky, double stickiness, double stickDist,
                                  bool ghostParticles, behaviour geometryBehaviour);
  /// Sets the object-to-world transform (and its inverse) of the field; moves
  /// the centre of moving geometry.
  void setTransfoMatrix(Eigen::Matrix4d& transform);
  /// Velocities as backward differences since the previous call; rotations in degrees.
  void setVelocities(double time, double tx, double ty, double tz, double rx, double ry, double rz);
  /// Replaces the list's contents with the field's zero iso-surface.
  void getIsoSurfaceTriangles(std::vector<TriangleIS>& triangles) const;

  /// Radians per degree, in single precision.
  static constexpr double degreesToRadians = double(0.0174532924f);

  ASDFObject* _asdf = nullptr; ///< owned
  double _friction;
  bool _sticky;
  double _stickiness;
  double _stickDist;           ///< stick distance ratio
  bool _active = true;         ///< an inactive object is ignored by the simulation
  bool _ghostParticles;        ///< the object samples ghost particles
  int32_t _id;                 ///< the simulation's index; -1 until assigned
  behaviour _behaviour;
  Eigen::Vector3d _center = Eigen::Vector3d::Zero();           ///< mesh centre, world space
  Eigen::Vector3d _linearVelocity = Eigen::Vector3d::Zero();   ///< scene units per time unit
  Eigen::Vector3d _angularVelocity = Eigen::Vector3d::Zero();  ///< Euler angle rates, radians per time unit
  Mesh* _mesh;                 ///< borrowed
  Eigen::Vector3d _previousTranslation = Eigen::Vector3d::Zero();
  Eigen::Vector3d _previousRotation = Eigen::Vector3d::Zero(); ///< radians
  double _lastTime;
};
