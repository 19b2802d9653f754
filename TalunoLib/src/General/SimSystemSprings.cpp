// Soft-body spring network: creation, restoration and plastic flow of
// springs between nearby particles, breaking by stretch and by force, and the
// spring-dashpot forces.
#include "SimSystem.h"

#include <algorithm>
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

void SimSystem::joinNewcomers()
{
  // Serial and in id order, so that the springs are made in the same order
  // for any thread count.
  for (uint32_t id = _springsBuiltFor; id < _nbParticles; ++id) {
    const int64_t i = id < _particlesArrayMap.size() ? _particlesArrayMap[id] : -1;
    if (i < 0)
      continue;
    Particle const& pi = _particlesArray[size_t(i)];
    if (!(pi.nature & (natureSoftBody | natureGranular)) || !pi.cell)
      continue;
    forEachNeighbor(pi.cell, [&](int64_t j) {
      Particle const& pj = _particlesArray[j];
      if (pj.id == pi.id || !springEligible(pi.nature, pj.nature))
        return;
      const double d2 = (pi.position - pj.position).squaredNorm();
      if (!(d2 < springsNeighborSearchRadius2))
        return;
      const uint32_t low = std::min(pi.id, pj.id), high = std::max(pi.id, pj.id);
      const uint64_t key = pairKey(low, high);
      if (_springsMap.count(key))
        return;
      _springsMap.emplace(key, static_cast<uint32_t>(_springs.size()));
      _springs.emplace_back(automaticSpringRestLength ? std::sqrt(d2) : springRestLength, low, high);
    });
  }
  _springsBuiltFor = _nbParticles;
}

void SimSystem::gatherSpringView(double dv, bool withGravity)
{
  // Indexed by id: springs were made in id order, so the two ends of
  // consecutive springs lie close together in this array, where the
  // cell-sorted particle array scatters them over all of memory.
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  _springView.resize(_particlesArrayMap.size());
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Particle& p = _particlesArray[size_t(i)];
    if (withGravity)
      applyGravity(p, dv);
    _springView[p.id] = SpringEntry{p.position, p.velocity, p.nature};
  }
}

void SimSystem::scatterSpringVelocities()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Particle& p = _particlesArray[size_t(i)];
    p.velocity = _springView[p.id].velocity;
  }
}

void SimSystem::breakVeryLongSprings()
{
  gatherSpringView(0.0, false);
  const int64_t n = static_cast<int64_t>(_springs.size());
#pragma omp parallel for schedule(static)
  for (int64_t k = 0; k < n; ++k) {
    Spring& spring = _springs[k];
    if (springTooLong(spring, _springView[spring.id1].position - _springView[spring.id2].position))
      spring.broken = true;
  }
}

void SimSystem::applySpringForces()
{
  gatherSpringView(0.0, false);
  springPass(false);
  scatterSpringVelocities();
}

void SimSystem::springPass(bool breakLong)
{
  // One spring after the other: each sees the velocities the springs before
  // it left, so this pass is serial. Breaking by length looks at positions
  // only, which no spring changes, so deciding it as each spring comes up
  // breaks the same springs as a sweep before the pass would.
  const double deadBand = squaredLengthTolerance();
  for (Spring& spring : _springs) {
    if (spring.broken)
      continue;
    SpringEntry& p1 = _springView[spring.id1];
    SpringEntry& p2 = _springView[spring.id2];
    const Eigen::Vector3d d = p1.position - p2.position;
    if (breakLong && springTooLong(spring, d)) {
      spring.broken = true;
      continue;
    }
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
