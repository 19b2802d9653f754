// The end of every sub-step: particles move by their velocities, are pushed
// back out of collision objects (with friction, stickiness and the motion of
// moving objects), get their velocities re-derived from their displacement,
// and rigid clusters turn.
#include "CollisionObject.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace {

constexpr double epsilon = double(1e-6f);

// Velocity of a moving object's surface at point c.
Eigen::Vector3d surfaceVelocity(CollisionObject const& object, Eigen::Vector3d const& c)
{
  return object._linearVelocity + object._angularVelocity.cross(c - object._center);
}

// Friction factor to velocity scale: k = 1 - f, and whether the particle sticks.
void frictionScale(double f, double& k, bool& stuck)
{
  if (f < 1.0) {
    k = 1.0 - f;
    stuck = k < epsilon;
  } else {
    k = 0.0;
    stuck = true;
  }
}

} // namespace

bool SimSystem::sphereResponse(Particle& p, CollisionObject const& object, double d, Eigen::Vector3d const& n) const
{
  const double rc = _collisionDistance;
  const double ds = (object._stickDist + 1.0) * rc;
  const double penetration = rc - d;
  const bool moving = object._behaviour == CollisionObject::movingGeometry;
  Eigen::Vector3d v = p.velocity;
  Eigen::Vector3d objectVelocity = Eigen::Vector3d::Zero();
  if (moving) {
    objectVelocity = surfaceVelocity(object, p.position - n * d);
    v -= objectVelocity;
  }
  const double vn = v.dot(n);
  const double fm = frictionMultiplierOf(p);
  double f;
  if (vn <= -epsilon && d <= rc)
    f = fm * object._friction * penetration / particleRadius; // approaching
  else if (vn > -epsilon && object._sticky && d <= ds && vn < object._stickiness)
    f = fm * object._friction * (ds - d) / ds; // in the stickiness band
  else
    return false;

  double k;
  bool stuck;
  frictionScale(f, k, stuck);
  const Eigen::Vector3d vt = v - vn * n;
  if (stuck)
    p.position -= vt * _dt; // undo this sub-step's tangential motion
  p.velocity = k * vt;
  // A rough collider stops a turning grain's spin as it stops its sliding.
  if (spheresTurn() && (p.nature & natureGranular))
    p.angularVelocity *= k;
  if (moving)
    p.velocity += objectVelocity;
  p.position += n * penetration; // back to the collision distance
  return true;
}

bool SimSystem::clusterResponse(Particle& p, CollisionObject const& object, double dq) const
{
  const double rc = _collisionDistance;
  const double ds = (object._stickDist + 1.0) * rc;
  const double rs = _subParticle.radius;
  const bool moving = object._behaviour == CollisionObject::movingGeometry;
  const Eigen::Matrix3d rotation = rotationOf(p.orientation);
  const double fm = frictionMultiplierOf(p);
  Eigen::Vector3d normalForce = Eigen::Vector3d::Zero(), frictionForce = Eigen::Vector3d::Zero();
  Eigen::Vector3d torque = Eigen::Vector3d::Zero();
  bool collided = false;

  for (Eigen::Vector3d const& offset : _subParticle.positions) {
    const Eigen::Vector3d arm = rotation * offset;
    const Eigen::Vector3d at = p.position + arm;
    double dk;
    Eigen::Vector3d nk = Eigen::Vector3d::Zero();
    object._asdf->trilinearInterpolation(at.x(), at.y(), at.z(), dk, dq, nk);
    if (!(dk < rs))
      continue;
    const double penetration = dk - rs;
    Eigen::Vector3d v = p.velocity + p.angularVelocity.cross(arm);
    Eigen::Vector3d objectVelocity = Eigen::Vector3d::Zero();
    if (moving) {
      objectVelocity = surfaceVelocity(object, at - nk * dk);
      v -= objectVelocity;
    }
    const double vn = v.dot(nk);
    if (vn <= -epsilon) {
      // Damped normal spring and Coulomb-limited friction at the sub-sphere.
      const Eigen::Vector3d vt = v - vn * nk;
      const double s = penetration * normalConstant + vn * normalDamping;
      const Eigen::Vector3d fn = -s * nk;
      Eigen::Vector3d ft = Eigen::Vector3d::Zero();
      const double vt2 = vt.squaredNorm();
      if (vt2 > 0) {
        const double vtLength = std::sqrt(vt2);
        ft = -std::min(std::abs(s), fm * object._friction * vtLength) * vt / vtLength;
      }
      torque += arm.cross(fn + ft);
      normalForce += fn;
      frictionForce += ft;
      collided = true;
    } else if (object._sticky && dk <= ds && vn < object._stickiness) {
      // In the stickiness band: as for a sphere, the tangential velocity is
      // scaled by the friction factor and the sub-sphere is put back at its
      // radius from the surface.
      double k;
      bool stuck;
      frictionScale(fm * object._friction * (ds - dk) / ds, k, stuck);
      const Eigen::Vector3d vt = v - vn * nk;
      if (stuck)
        p.position -= vt * _dt;
      p.velocity = k * vt;
      if (moving)
        p.velocity += objectVelocity;
      p.position += (rs - dk) * nk;
      collided = true;
    }
  }

  p.velocity += (normalForce + frictionForce) * _dt;
  const Eigen::Matrix3d inertia = rotation * _subParticle.inertia * rotation.transpose();
  const Eigen::Matrix3d inverse = rotation * _subParticle.inverseInertia * rotation.transpose();
  const Eigen::Vector3d momentum = inertia * p.angularVelocity;
  p.angularVelocity += _dt * (inverse * (torque - p.angularVelocity.cross(momentum)));
  return collided;
}

void SimSystem::resolveCollisionsAndAdvance()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  holdEmittedStreams();
  if (_measuringSteps)
    measureAcceleration();
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Particle& p = _particlesArray[i];
    if (p.nature & natureAny)
      p.position += p.velocity * _dt;
  }

  if (!objectsCollisions) {
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < n; ++i) {
      Particle& p = _particlesArray[i];
      if (p.nature & natureAny)
        p.velocity = (p.position - p.previousPosition) / _dt;
    }
    return;
  }

  const bool clusters = interParticleCollisions && enableRotations && interParticlesCollMode == 1;
  // Kinetic energy that moving objects give the particles they push: the
  // guard allows the run's energy to grow by it.
  bool anyMoving = false;
  for (auto const& entry : _collisionObjects)
    anyMoving = anyMoving || (entry.second && entry.second->_behaviour == CollisionObject::movingGeometry);
  // With collider loads measured (a compile-time flag, so that the plain
  // pass stays as lean as it was), each response's change of the
  // particle's momentum goes to its object's slot; slots follow the held
  // objects.
  auto collide = [&](int64_t i, Eigen::Vector3d* loads, auto measure) {
    constexpr bool measuring = decltype(measure)::value;
    Particle& p = _particlesArray[i];
    if (!(p.nature & natureAny))
      return 0.0;
    bool collided = false;
    bool pushed = false;
    const double before = anyMoving ? p.velocity.squaredNorm() : 0.0;
    size_t slot = 0;
    for (auto const& entry : _collisionObjects) {
      CollisionObject const* object = entry.second;
      if (!object)
        continue;
      Eigen::Vector3d* load = nullptr;
      if constexpr (measuring)
        load = loads + slot++;
      if (!object->_active)
        continue;
      const double rc = _collisionDistance;
      const double ds = (object->_stickDist + 1.0) * rc;
      const double dq = object->_sticky ? ds : rc;
      double d;
      Eigen::Vector3d normal = Eigen::Vector3d::Zero();
      object->_asdf->trilinearInterpolation(p.position.x(), p.position.y(), p.position.z(), d, dq, normal);
      if (d >= dq)
        continue;
      Eigen::Vector3d incoming;
      if constexpr (measuring)
        incoming = p.velocity;
      const bool responded = clusters ? clusterResponse(p, *object, dq) : sphereResponse(p, *object, d, normal);
      collided = responded || collided;
      pushed = pushed || (responded && object->_behaviour == CollisionObject::movingGeometry);
      if constexpr (measuring)
        if (responded)
          *load += particleMassKg(p.nature) * (p.velocity - incoming);
    }
    if (!collided)
      p.velocity = (p.position - p.previousPosition) / _dt;
    else if (pushed)
      return std::max(0.0, 0.5 * (p.velocity.squaredNorm() - before));
    return 0.0;
  };
  double work = 0.0;
  if (measureColliderLoads) {
    // Fixed blocks of particles, summed in block order: the same loads for
    // any number of threads.
    std::vector<int64_t> const slots = loadSlots();
    const size_t count = std::max<size_t>(slots.size(), 1);
    const int64_t blocks = loadBlocks(n, count), size = loadBlockSize();
#pragma omp parallel for schedule(static) reduction(+ : work)
    for (int64_t b = 0; b < blocks; ++b)
      for (int64_t i = b * size; i < std::min(n, (b + 1) * size); ++i)
        work += collide(i, _loadBlocks.data() + size_t(b) * count, std::true_type());
    addBlockLoads(slots);
    _loadTime += _dt;
  } else {
#pragma omp parallel for schedule(static) reduction(+ : work)
    for (int64_t i = 0; i < n; ++i)
      work += collide(i, nullptr, std::false_type());
  }
  _colliderWork += work;

  // Turning spheres carry their orientation too, for the rotation
  // attributes a renderer reads.
  if (clusters || (interParticleCollisions && spheresTurn()))
    integrateOrientations();
}

void SimSystem::integrateOrientations()
{
  const double h = _dt / 2.0;
  for (Particle& p : _particlesArray) {
    Eigen::Vector3d const& w = p.angularVelocity;
    if (!(p.nature & natureAny) || !(w.squaredNorm() > epsilon))
      continue;
    Eigen::Quaterniond& q = p.orientation;
    const double x = q.x(), y = q.y(), z = q.z(), qw = q.w();
    // q + h (0, w) q, renormalised.
    q.x() = x + h * (w.x() * qw + w.y() * z - w.z() * y);
    q.y() = y + h * (w.y() * qw + w.z() * x - w.x() * z);
    q.z() = z + h * (w.z() * qw + w.x() * y - w.y() * x);
    q.w() = qw - h * (w.x() * x + w.y() * y + w.z() * z);
    q.coeffs() /= q.coeffs().norm();
  }
}
