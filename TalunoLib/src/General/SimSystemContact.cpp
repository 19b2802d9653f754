// Granular contact between spheres: a damped normal spring for overlapping
// pairs, and a tangential force that is either shear damping capped by the
// Coulomb limit or, with static friction, a tangential spring anchored where
// the contact began to stick.
#include "SimSystem.h"

#include <algorithm>
#include <cmath>

bool SimSystem::contactEligible(char a, char b)
{
  if ((a & natureGranular) && (b & natureGranular))
    return true;
  return !sandSoftBodyInteraction &&
         (((a & natureGranular) && (b & natureSoftBody)) || ((a & natureSoftBody) && (b & natureGranular)));
}

void SimSystem::snapshotVelocities(bool angular)
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  _velocitySnapshot.resize(_particlesArray.size());
  if (angular)
    _angularVelocitySnapshot.resize(_particlesArray.size());
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    _velocitySnapshot[i] = _particlesArray[i].velocity;
    if (angular)
      _angularVelocitySnapshot[i] = _particlesArray[i].angularVelocity;
  }
}

void SimSystem::resolveInterparticleCollisions_NoExplicitStaticFriction()
{
  // Neighbours' velocities are read from a copy taken before the pass, as this
  // pass writes the velocities of its own particles.
  snapshotVelocities(false);
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double contact2 = 4.0 * particleRadius * particleRadius;
  const double tiny = double(1e-6f);

#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Particle& pi = _particlesArray[i];
    if (!(pi.nature & (natureSoftBody | natureGranular)))
      continue;
    Eigen::Vector3d force = Eigen::Vector3d::Zero();
    forEachNeighbor(pi.cell, [&](int64_t j) {
      Particle const& pj = _particlesArray[j];
      if (!contactEligible(pi.nature, pj.nature))
        return;
      const Eigen::Vector3d r = pi.position - pj.position;
      const double d2 = r.squaredNorm();
      if (!(d2 < contact2 && d2 > tiny))
        return;
      const double d = std::sqrt(d2);
      const Eigen::Vector3d normal = r / d;
      const Eigen::Vector3d vrel = _velocitySnapshot[i] - _velocitySnapshot[j];
      const double vn = vrel.dot(normal);
      const Eigen::Vector3d vt = vrel - vn * normal;
      const double fn = normalConstant * (d - 2.0 * particleRadius) + normalDamping * vn;
      Eigen::Vector3d ft = Eigen::Vector3d::Zero();
      const double vt2 = vt.squaredNorm();
      if (vt2 > 0) {
        const double vtLength = std::sqrt(vt2);
        ft = -std::min(shearDamping * vtLength, coulombConstant * std::abs(fn)) * vt / vtLength;
      }
      force += -fn * normal + ft;
    });
    pi.velocity += force * _dt;
  }
}

void SimSystem::resolveInterparticleCollisions_SpringBased()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double contact2 = 4.0 * particleRadius * particleRadius;
  const double tiny = double(1e-6f);

  // Mark records whose particles have parted.
  const int64_t records = static_cast<int64_t>(_demTangentialSprings.size());
#pragma omp parallel for schedule(static)
  for (int64_t k = 0; k < records; ++k) {
    DEMTangentialSpring& spring = _demTangentialSprings[k];
    Particle const& p1 = _particlesArray[_particlesArrayMap[spring.id1]];
    Particle const& p2 = _particlesArray[_particlesArrayMap[spring.id2]];
    if ((p1.position - p2.position).squaredNorm() > contact2)
      spring.marked = true;
  }

  _newDemTangentialSprings.clear();
  snapshotVelocities(false);

#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Particle& pi = _particlesArray[i];
    if (!(pi.nature & (natureSoftBody | natureGranular)))
      continue;
    Eigen::Vector3d force = Eigen::Vector3d::Zero();
    forEachNeighbor(pi.cell, [&](int64_t j) {
      Particle const& pj = _particlesArray[j];
      if (!contactEligible(pi.nature, pj.nature))
        return;
      const Eigen::Vector3d r = pi.position - pj.position;
      const double d2 = r.squaredNorm();
      if (!(d2 < contact2 && d2 > tiny))
        return;
      const double d = std::sqrt(d2);
      const Eigen::Vector3d normal = r / d;
      const Eigen::Vector3d vrel = _velocitySnapshot[i] - _velocitySnapshot[j];
      const double vn = vrel.dot(normal);
      const Eigen::Vector3d vt = vrel - vn * normal;
      const double fn = normalConstant * (d - 2.0 * particleRadius) + normalDamping * vn;
      const double vtLength = vt.norm();
      const uint64_t key = pairKey(pi.id, pj.id);
      auto found = _demTangentialSpringsMap.find(key);

      Eigen::Vector3d ft = Eigen::Vector3d::Zero();
      if (shearDamping * vtLength > coulombConstant * std::abs(fn)) {
        // Sliding: the stick restarts from here next time.
        if (found != _demTangentialSpringsMap.end())
          _demTangentialSprings[found->second].displacement = r;
        if (vtLength > 0)
          ft = -coulombConstant * std::abs(fn) * vt / vtLength;
      } else if (found == _demTangentialSpringsMap.end()) {
        // Sticking for the first time: anchor here, no tangential force yet.
        DEMTangentialSpring spring(pi.id, pj.id);
        spring.displacement = r;
#pragma omp critical
        _newDemTangentialSprings.push_back(spring);
      } else {
        // Sticking: the tangential spring pulls back towards the anchor.
        const Eigen::Vector3d delta = r - _demTangentialSprings[found->second].displacement;
        const Eigen::Vector3d deltaT = delta - delta.dot(normal) * normal;
        ft = -shearConstant * deltaT - shearDamping * vt;
      }
      force += -fn * normal + ft;
    });
    pi.velocity += force * _dt;
  }

  // Threads entered the critical section in any order: merge the new records
  // by their pair key, so that indices repeat from run to run.
  std::sort(_newDemTangentialSprings.begin(), _newDemTangentialSprings.end(),
            [](DEMTangentialSpring const& a, DEMTangentialSpring const& b) {
              return pairKey(a.id1, a.id2) < pairKey(b.id1, b.id2);
            });
  for (DEMTangentialSpring const& spring : _newDemTangentialSprings) {
    _demTangentialSpringsMap.emplace(pairKey(spring.id1, spring.id2),
                                     static_cast<uint32_t>(_demTangentialSprings.size()));
    _demTangentialSprings.push_back(spring);
  }
}
