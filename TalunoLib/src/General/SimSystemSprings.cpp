// Soft-body spring network: creation, restoration and plastic flow of
// springs between nearby particles, breaking by stretch and by force, and the
// spring-dashpot forces.
#include "SimSystem.h"

#include <cmath>

bool SimSystem::sandSoftBodyInteraction = false;

bool SimSystem::springEligible(char a, char b)
{
  if ((a & natureSoftBody) && (b & natureSoftBody))
    return true;
  return sandSoftBodyInteraction &&
         (((a & natureSoftBody) && (b & natureGranular)) || ((a & natureGranular) && (b & natureSoftBody)));
}

void SimSystem::adjustSprings(bool createNew)
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  for (int64_t i = 0; i < n; ++i) {
    Particle const& pi = _particlesArray[i];
    if (!(pi.nature & (natureSoftBody | natureGranular)))
      continue;
    forEachNeighbor(pi.cell, [&](int64_t j) {
      Particle const& pj = _particlesArray[j];
      if (!(pi.id < pj.id) || !springEligible(pi.nature, pj.nature))
        return;
      const double d2 = (pi.position - pj.position).squaredNorm();
      if (!(d2 < springsNeighborSearchRadius2))
        return;
      const double restLength = automaticSpringRestLength ? std::sqrt(d2) : springRestLength;
      const uint64_t key = pairKey(pi.id, pj.id);
      auto found = _springsMap.find(key);
      uint32_t k;
      if (found != _springsMap.end()) {
        k = found->second;
        if (springsCanReconnect && _springs[k].broken) {
          _springs[k].restLength = restLength;
          _springs[k].broken = false;
        }
      } else {
        if (!springsCanReconnect && !createNew)
          return;
        k = static_cast<uint32_t>(_springs.size());
        _springs.emplace_back(restLength, pi.id, pj.id);
        _springsMap.emplace(key, k);
      }
      if (plasticDeformation) {
        // Beyond the yield deviation, part of the excess becomes permanent.
        const double length = std::sqrt(d2);
        const double rest = _springs[k].restLength;
        if (std::abs(length - rest) > yieldRatio * rest)
          _springs[k].restLength = rest + plasticityConstant * (length - rest);
      }
    });
  }
}

void SimSystem::breakVeryLongSprings()
{
  const int64_t n = static_cast<int64_t>(_springs.size());
#pragma omp parallel for schedule(static)
  for (int64_t k = 0; k < n; ++k) {
    Spring& spring = _springs[k];
    Particle const& p1 = _particlesArray[_particlesArrayMap[spring.id1]];
    Particle const& p2 = _particlesArray[_particlesArrayMap[spring.id2]];
    const double limit2 = springsBreakLengthThreshold2 * spring.restLength * spring.restLength;
    if ((p1.position - p2.position).squaredNorm() > limit2)
      spring.broken = true;
  }
}

void SimSystem::applySpringForces()
{
  const double deadBand = double(1e-6f);
  for (Spring& spring : _springs) {
    if (spring.broken)
      continue;
    Particle& p1 = _particlesArray[_particlesArrayMap[spring.id1]];
    Particle& p2 = _particlesArray[_particlesArrayMap[spring.id2]];
    const Eigen::Vector3d d = p1.position - p2.position;
    const double length2 = d.squaredNorm();
    const double rest = spring.restLength;
    if (std::abs(length2 - rest * rest) <= deadBand)
      continue;
    const double length = std::sqrt(length2);
    // Coincident particles give the spring no direction to push along.
    if (!(length > 0.0))
      continue;
    // Damping along the unnormalised direction: it grows with the length.
    const double f = springConstant * (length - rest) + springDamping * (p1.velocity - p2.velocity).dot(d);
    if (springsCanBreak && f > springsBreakForceThreshold) {
      spring.broken = true; // only tension breaks a spring
      continue;
    }
    const Eigen::Vector3d dv = d / length * f * _dt;
    if (p1.nature)
      p1.velocity -= dv;
    if (p2.nature)
      p2.velocity += dv;
  }
}
