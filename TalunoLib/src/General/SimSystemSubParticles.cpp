// Contact between rigid clusters of sub-spheres: every particle is the same
// small-sphere template turned by its orientation, so neighbouring clusters
// interlock and their contacts exert torques.
#include "SimSystem.h"

#include <algorithm>
#include <cmath>

Eigen::Matrix3d SimSystem::rotationOf(Eigen::Quaterniond const& q)
{
  const double x = q.x(), y = q.y(), z = q.z(), w = q.w();
  Eigen::Matrix3d r;
  r << 1 - 2 * y * y - 2 * z * z, 2 * (x * y - w * z), 2 * (x * z + w * y), //
      2 * (x * y + w * z), 1 - 2 * x * x - 2 * z * z, 2 * (y * z - w * x),  //
      2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * x * x - 2 * y * y;
  return r;
}

void SimSystem::resolveInterparticleCollisions_SubParticles()
{
  // Neighbours' velocities and angular velocities are read from copies taken
  // before the pass, as this pass writes those of its own particles.
  snapshotVelocities();
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double contact2 = 4.0 * particleRadius * particleRadius;
  const double tiny = squaredLengthTolerance();
  const double subContact = 2.0 * _subParticle.radius;
  const double subContact2 = subContact * subContact;
  const double R = particleRadius;
  std::vector<Eigen::Vector3d> const& body = _subParticle.positions;

#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Particle& pi = _particlesArray[i];
    if (!(pi.nature & (natureSoftBody | natureGranular)))
      continue;
    const Eigen::Matrix3d ri = rotationOf(pi.orientation);
    const Eigen::Vector3d wi = _angularVelocitySnapshot[i];
    Eigen::Vector3d force = Eigen::Vector3d::Zero();
    Eigen::Vector3d torque = Eigen::Vector3d::Zero();

    _contactPairs.forEach(i, [&](int64_t j) {
      Particle const& pj = _particlesArray[j];
      if (!contactEligible(pi.nature, pj.nature))
        return;
      const double centres2 = (pi.position - pj.position).squaredNorm();
      if (!(centres2 < contact2 && centres2 > tiny))
        return;
      const Eigen::Matrix3d rj = rotationOf(pj.orientation);
      const Eigen::Vector3d wj = _angularVelocitySnapshot[j];
      for (Eigen::Vector3d const& bk : body) {
        const Eigen::Vector3d pk = pi.position + ri * bk;
        for (Eigen::Vector3d const& bl : body) {
          const Eigen::Vector3d pl = pj.position + rj * bl;
          const Eigen::Vector3d r = pk - pl;
          const double d2 = r.squaredNorm();
          if (!(d2 < subContact2 && d2 > tiny))
            continue;
          const double d = std::sqrt(d2);
          const Eigen::Vector3d normal = r / d;
          // Contact point halfway between the sub-sphere centres.
          const Eigen::Vector3d c = pk - r / 2;
          const Eigen::Vector3d ai = c - pi.position, aj = c - pj.position;
          const Eigen::Vector3d ui = _velocitySnapshot[i] + wi.cross(ai);
          const Eigen::Vector3d uj = _velocitySnapshot[j] + wj.cross(aj);
          const Eigen::Vector3d vrel = ui - uj;
          const double vn = vrel.dot(normal);
          const Eigen::Vector3d vt = vrel - vn * normal;
          // The overlap is measured against R, twice the sub-sphere radius.
          const double fn = normalConstant * (d - R) + normalDamping * vn;
          Eigen::Vector3d ft = Eigen::Vector3d::Zero();
          const double vt2 = vt.squaredNorm();
          if (vt2 > 0) {
            const double vtLength = std::sqrt(vt2);
            ft = -std::min(shearDamping * vtLength, coulombConstant * std::abs(fn)) * vt / vtLength;
          }
          const Eigen::Vector3d contactForce = -fn * normal + ft;
          if (enableRotations)
            torque += ai.cross(contactForce);
          force += contactForce;
        }
      }
    });

    pi.velocity += force * _dt;
    if (enableRotations) {
      // Euler's equations with the gyroscopic term, one explicit step.
      const Eigen::Matrix3d inertia = ri * _subParticle.inertia * ri.transpose();
      const Eigen::Matrix3d inverse = ri * _subParticle.inverseInertia * ri.transpose();
      pi.angularVelocity += _dt * (inverse * (torque - wi.cross(inertia * wi)));
    }
  }
}
