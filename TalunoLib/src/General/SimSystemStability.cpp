// How long a sub-step the forces in use allow. Every force is integrated
// explicitly (velocity first, then position), which is stable only while the
// sub-step is short against the force's stiffness; and particles must not
// cross a good part of their reach in one sub-step. The estimates below are
// taken on a particle inside a cubic lattice of spacing 2 x particleRadius,
// the packing emitters make, with a safety margin measured on the liquid,
// granular and soft-body scenes of the validation suite.
#include "CollisionObject.h"
#include "EmitterObject.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

/// Fraction of the interaction radius a sound wave may cross in one sub-step.
/// At 0.3 a tank of water left alone slowly builds up particle noise that
/// the liquid's damping cannot keep down; at 0.25 it stays still.
constexpr double acousticCourant = 0.25;
/// Fraction of the particle radius a particle may travel in one sub-step.
constexpr double travelCourant = 0.5;
/// Viscous relaxation per sub-step: the velocity update Δv = k dt (v̄ - v)
/// diverges beyond k dt of about 1.5 on the lattice.
constexpr double viscousCourant = 1.0;
/// Fraction of the stability limit of a damped oscillator that is used.
constexpr double oscillatorMargin = 0.5;
/// Fraction of the particle radius that the largest acceleration may move a
/// particle from rest in one sub-step: dt <= sqrt(2 f R / a), the force
/// criterion of SPH codes (Monaghan 1992) on the particle's own size.
constexpr double accelerationTravel = 0.05;
/// Reach, in lattice spacings, beyond which lattice sums are replaced by
/// their continuum integrals: the sums cost the cube of the reach, and past
/// a few dozen spacings the integral is within a few percent of them.
constexpr double latticeSumReach = 24.0;

/// Longest stable step of x'' = -w2 x - g x' integrated with the velocity
/// first: the step must satisfy w2 dt^2 + 2 g dt <= 4.
double oscillatorLimit(double w2, double g)
{
  if (w2 <= 0.0)
    return g > 0.0 ? 2.0 / g : std::numeric_limits<double>::infinity();
  return (-g + std::sqrt(g * g + 4.0 * w2)) / w2;
}

} // namespace

SimSystem::SubStepLimits SimSystem::subStepLimits(StepState const& state, char natures) const
{
  const double inf = std::numeric_limits<double>::infinity();
  SubStepLimits limits{inf, inf, inf, inf, inf, inf};
  const double d = 2.0 * particleRadius;
  if (!(d > 0.0) || !std::isfinite(d))
    return limits; // no lattice to estimate on; the settings check refuses such radii
  const double speed = state.speed;
  if (speed > 0.0)
    limits.travel = travelCourant * particleRadius / speed;
  if (state.acceleration > 0.0)
    limits.acceleration = std::sqrt(2.0 * accelerationTravel * particleRadius / state.acceleration);

  if (fluid && (natures & natureLiquid)) {
    // Sound speed in scene units per second: the pressure force acts in
    // metres (through the unit length) but changes velocities in scene
    // units per second, so c^2 = internalPressure / unit length. The Tait
    // pressure stiffens as the liquid is compressed: dp/drho grows as
    // (rho / rho0)^6, so the sound speed as its cube.
    const double compression = std::max(state.compression, 1.0);
    const double sound = std::sqrt(std::max(internalPressure, 0.0) / _unitLength) * compression * compression *
                         compression;
    if (sound + speed > 0.0)
      limits.sound = acousticCourant * particlesInteractionRadius / (sound + speed);
    if (viscosity && viscosityFactor > 0.0) {
      // The viscosity force pulls a particle's velocity towards its
      // neighbours' at the rate k = m L mu sum(q) / rho0^2.
      const double h = particlesInteractionRadius;
      double sumQ = 0.0;
      if (h / d <= latticeSumReach) {
        const int n = static_cast<int>(std::floor(h / d));
        for (int i = -n; i <= n; ++i)
          for (int j = -n; j <= n; ++j)
            for (int k = -n; k <= n; ++k) {
              const double r = d * std::sqrt(double(i * i + j * j + k * k));
              if (r > 0.0 && r < h)
                sumQ += (h - r) * _unitLength;
            }
      } else {
        // Integral of (h - r) over the ball, one lattice point per d^3.
        sumQ = M_PI * h * h * h * h / (3.0 * d * d * d) * _unitLength;
      }
      const double rate = _particleMass * _viscLaplacianCoef * viscosityFactor * sumQ / (restDensity * restDensity);
      if (rate > 0.0)
        limits.viscosity = viscousCourant / rate;
    }
  }

  if (springs && springConstant > 0.0 && (natures & natureSoftBody)) {
    // Lattice neighbours within the search radius, each spring's stiffness
    // and damping projected on one axis; the fastest mode, neighbours moving
    // against each other, doubles them.
    const double reach = std::sqrt(springsNeighborSearchRadius2);
    double stiffness = 0.0, damping = 0.0;
    if (reach / d <= latticeSumReach) {
      const int n = static_cast<int>(std::ceil(reach / d));
      for (int i = -n; i <= n; ++i)
        for (int j = -n; j <= n; ++j)
          for (int k = -n; k <= n; ++k) {
            const double r2 = d * d * double(i * i + j * j + k * k);
            if (r2 <= 0.0 || !(r2 < springsNeighborSearchRadius2))
              continue;
            const double along = d * d * double(i * i) / r2;
            stiffness += along;
            damping += along * std::sqrt(r2);
          }
    } else {
      // A third of each neighbour lies along one axis on average: a third
      // of the ball's lattice count, and of the integral of r over it.
      const double cells = reach / d;
      stiffness = 4.0 * M_PI / 9.0 * cells * cells * cells;
      damping = M_PI / 3.0 * reach * cells * cells * cells;
    }
    limits.springs = oscillatorMargin * oscillatorLimit(2.0 * springConstant * stiffness,
                                                        2.0 * std::max(springDamping, 0.0) * damping);
  }

  if (interParticleCollisions && (natures & natureGranular)) {
    // A grain among its lattice neighbours: two contacts along each axis,
    // doubled for neighbours moving against each other; a tangential spring
    // adds its stiffness, shear damping its rate. The tangential force never
    // exceeds the Coulomb limit, so a sub-step too long for the shear damping
    // does not blow up; but it makes the force chatter, and a heap that
    // should stand flows (measured on gravel heaps): it limits too.
    double stiffness = 4.0 * std::max(normalConstant, 0.0);
    if (interParticlesCollMode == 0 && enforceStaticFriction)
      stiffness += 4.0 * std::max(shearConstant, 0.0);
    const double damping = 4.0 * std::max({normalDamping, shearDamping, 0.0});
    // Clusters touch through several pairs of sub-spheres at once, off their
    // centres, and turn about them: measured on a collapsing column of
    // clusters, they need about twice the sub-steps of spheres.
    const double cluster = interParticlesCollMode != 0 ? 5.0 : 1.0;
    limits.contact = oscillatorMargin * oscillatorLimit(cluster * stiffness, cluster * damping);
  }
  return limits;
}

double SimSystem::SubStepLimits::shortest(char const** which) const
{
  std::pair<double, char const*> const all[] = {{travel, "travel"},   {sound, "sound"},
                                                {viscosity, "viscosity"}, {springs, "springs"},
                                                {contact, "contact"}, {acceleration, "acceleration"}};
  auto least = all[0];
  for (auto const& limit : all)
    if (limit.first < least.first)
      least = limit;
  if (which)
    *which = least.second;
  return least.first;
}

double SimSystem::stableSubStep(double speed, char natures) const
{
  return subStepLimits(speed, natures).shortest();
}

char SimSystem::naturesPresent() const
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  int present = 0;
#pragma omp parallel for schedule(static) reduction(| : present)
  for (int64_t i = 0; i < n; ++i)
    present |= _particlesArray[i].nature;
  return static_cast<char>(present & natureAny);
}

double SimSystem::fastestSpeed() const
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  double fastest2 = 0.0;
#pragma omp parallel for schedule(static) reduction(max : fastest2)
  for (int64_t i = 0; i < n; ++i) {
    Particle const& p = _particlesArray[i];
    if (p.nature & natureAny)
      fastest2 = std::max(fastest2, p.velocity.squaredNorm());
  }
  return std::sqrt(fastest2);
}

double SimSystem::fastestObjectSpeed() const
{
  double fastest = 0.0;
  for (auto const& [index, object] : _collisionObjects) {
    if (!object || !object->_active || object->_behaviour != CollisionObject::movingGeometry || !object->_asdf)
      continue;
    // The surface point farthest from the centre moves fastest: bound its
    // distance by the farthest corner of the field's box.
    double reach = 0.0;
    for (int corner = 0; corner < 8; ++corner)
      reach = std::max(reach, (object->_asdf->worldCorner(corner) - object->_center).norm());
    fastest = std::max(fastest, object->_linearVelocity.norm() + object->_angularVelocity.norm() * reach);
  }
  for (auto const& [index, emitter] : _emitterObjects)
    if (emitter && emitter->_active)
      fastest = std::max(fastest, emitter->_velocity.norm());
  return std::isfinite(fastest) ? fastest : 0.0;
}
