// What the solver's guard looks at after each frame, beyond particles that
// are not finite or jumped: energy that nothing supplied, particles inside
// colliders, and a liquid squeezed beyond what a liquid may be. Each is a
// serial sum or a search over the particles once a frame: the result does not
// depend on the number of threads.
#include "CollisionObject.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <limits>

double SimSystem::internalEnergy(double invDensity) const
{
  // Work the Tait pressure stores in a unit mass compressed or stretched from
  // the rest density: the integral of p / rho^2 d rho, in metres (the
  // kernels' unit); divided by the unit length it is in scene units, as the
  // pressure force changes velocities in scene units.
  if (!(invDensity > 0.0) || !std::isfinite(invDensity))
    return 0.0;
  const double x = 1.0 / (invDensity * restDensity);
  if (clampNegativePressure && x < 1.0)
    return 0.0; // no pressure below the rest density, nothing stored
  const double x3 = x * x * x;
  const double u = _pressureStiffness / restDensity * (x3 * x3 / 6.0 + 1.0 / x - 7.0 / 6.0);
  return std::isfinite(u) ? std::max(u, 0.0) / _unitLength : 0.0;
}

SimSystem::Energy SimSystem::energy() const
{
  Energy e;
  for (Particle const& p : _particlesArray) {
    if (!(p.nature & natureAny))
      continue;
    ++e.particles;
    e.kinetic += 0.5 * p.velocity.squaredNorm();
    e.height += -gravity * (p.position.y() - _energyLevel);
    if (fluid && (p.nature & natureLiquid))
      e.internal += internalEnergy(p.invDensity);
  }
  return e;
}

void SimSystem::openEnergyAccount()
{
  // Heights are measured from the lowest particle, so that the allowance
  // below does not depend on where the scene sits.
  _energyLevel = std::numeric_limits<double>::infinity();
  for (Particle const& p : _particlesArray)
    if (p.nature & natureAny)
      _energyLevel = std::min(_energyLevel, p.position.y());
  if (!std::isfinite(_energyLevel))
    _energyLevel = 0.0;
  Energy const e = energy();
  _energyBudget = e.kinetic + e.height;
  _energyStored = e.internal;
  _energyGravity = gravity;
  _energyHeights = gravity != 0.0 ? e.height / -gravity : 0.0;
  _emittedEnergy = 0.0;
  _emittedCount = 0;
  _colliderWork = 0.0;
}

SimSystem::EnergyCheck SimSystem::settleEnergyAccount()
{
  // A change of gravity between frames changes every particle's height
  // energy at once: the budget follows it.
  _energyBudget += (_energyGravity - gravity) * _energyHeights;
  // Emission and moving colliders since the last frame; the level of the
  // newcomers' heights is the account's.
  _energyBudget += _emittedEnergy + gravity * _energyLevel * double(_emittedCount) + _colliderWork;
  _emittedEnergy = 0.0;
  _colliderWork = 0.0;
  _emittedCount = 0;
  EnergyCheck check;
  check.now = energy();
  // Energy stored in the liquid's compression or stretch may turn into
  // motion: the most ever stored (new particles store it from their first
  // frame on) is what it can give.
  _energyStored = std::max(_energyStored, check.now.internal);
  _energyGravity = gravity;
  _energyHeights = gravity != 0.0 ? check.now.height / -gravity : 0.0;
  check.budget = _energyBudget + _energyStored;
  // Explicit integration and the particles' own settling stir a little
  // energy up: half as much again as the run had to give, and a fall of two
  // particle radii for every particle, before the guard speaks.
  const double headroom = std::max(check.budget - check.now.height, 0.0);
  check.allowed = check.budget + 0.5 * headroom + double(check.now.particles) * std::abs(gravity) * 2.0 * particleRadius;
  check.gained = check.now.kinetic + check.now.height > check.allowed;
  return check;
}

std::vector<SimSystem::Leak> SimSystem::findLeaks(double depth) const
{
  std::vector<Leak> leaks;
  if (!objectsCollisions)
    return leaks;
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  for (auto const& [index, object] : _collisionObjects) {
    if (!object || !object->_active || !object->_asdf)
      continue;
    Leak leak;
    leak.object = index;
    // Parallel distance queries, then a serial count: deepest first found
    // in index order, whatever the threads.
    std::vector<double> distance(size_t(n), std::numeric_limits<double>::infinity());
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < n; ++i) {
      Particle const& p = _particlesArray[size_t(i)];
      if (!(p.nature & natureAny) || !p.position.allFinite())
        continue;
      double d;
      Eigen::Vector3d gradient;
      object->_asdf->trilinearInterpolation(p.position.x(), p.position.y(), p.position.z(), d, 0.0, gradient);
      distance[size_t(i)] = d;
    }
    for (int64_t i = 0; i < n; ++i) {
      const double d = distance[size_t(i)];
      if (!(d < -depth))
        continue;
      ++leak.count;
      if (d < leak.deepest) {
        leak.deepest = d;
        leak.where = _particlesArray[size_t(i)].position;
        leak.nature = _particlesArray[size_t(i)].nature;
      }
    }
    if (leak.count)
      leaks.push_back(leak);
  }
  return leaks;
}

SimSystem::Compression SimSystem::liquidCompression() const
{
  Compression c;
  if (!fluid)
    return c;
  double sum = 0.0;
  for (Particle const& p : _particlesArray) {
    if (!(p.nature & natureLiquid) || !(p.invDensity > 0.0))
      continue;
    ++c.liquid;
    const double ratio = 1.0 / (p.invDensity * restDensity);
    if (!(ratio > 1.0))
      continue;
    ++c.compressed;
    sum += ratio - 1.0;
    if (ratio > c.densest) {
      c.densest = ratio;
      c.where = p.position;
    }
  }
  if (c.compressed)
    c.mean = sum / double(c.compressed);
  return c;
}
