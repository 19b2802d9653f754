#include "CollisionObject.h"

#include "Mesh.h"

#include <Eigen/LU>

CollisionObject::CollisionObject(Mesh* mesh, double errorThreshold, int maxDepth, double friction, bool sticky,
                                 double stickiness, double stickDist, bool ghostParticles,
                                 behaviour geometryBehaviour, int id, double time)
    : TalunoObject(0), _friction(friction), _sticky(sticky), _stickiness(stickiness), _stickDist(stickDist),
      _ghostParticles(ghostParticles), _id(id), _behaviour(geometryBehaviour), _mesh(mesh), _lastTime(time)
{
  _asdf = new ASDFObject(mesh, errorThreshold, maxDepth);
  if (geometryBehaviour == movingGeometry)
    _asdf->setMovingGeometry(true);
  if (mesh)
    _center = mesh->_center;
}

CollisionObject::~CollisionObject() { delete _asdf; }

void CollisionObject::updateCollisionObjectParms(double friction, bool sticky, double stickiness, double stickDist,
                                                 bool ghostParticles, behaviour geometryBehaviour)
{
  _friction = friction;
  _sticky = sticky;
  _stickiness = stickiness;
  _stickDist = stickDist;
  _ghostParticles = ghostParticles;
  _behaviour = geometryBehaviour;
  _asdf->setMovingGeometry(geometryBehaviour == movingGeometry);
}

void CollisionObject::setTransfoMatrix(Eigen::Matrix4d& transform)
{
  if (!_asdf)
    return;
  Eigen::Matrix4d inverse = transform.inverse();
  _asdf->setTransfoMatrices(transform, inverse);
  if (_behaviour == movingGeometry) {
    const Eigen::Vector3d centre = _mesh ? _mesh->_center : Eigen::Vector3d::Zero();
    _center = transform.topLeftCorner<3, 3>() * centre + transform.block<3, 1>(0, 3);
  }
}

void CollisionObject::setVelocities(double time, double tx, double ty, double tz, double rx, double ry, double rz)
{
  const double dt = time - _lastTime;
  _lastTime = time;
  const Eigen::Vector3d translation(tx, ty, tz);
  const Eigen::Vector3d rotation = Eigen::Vector3d(rx, ry, rz) * degreesToRadians;
  if (dt > 0) {
    _linearVelocity = (translation - _previousTranslation) / dt;
    _angularVelocity = (rotation - _previousRotation) / dt;
  }
  _previousTranslation = translation;
  _previousRotation = rotation;
}

void CollisionObject::getIsoSurfaceTriangles(std::vector<TriangleIS>& triangles) const
{
  if (!_asdf || !_asdf->_root) {
    triangles.clear();
    return;
  }
  IsoSurface surface(_asdf);
  triangles = std::move(surface._triangles);
}
