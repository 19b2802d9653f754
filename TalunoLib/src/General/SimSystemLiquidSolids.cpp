// Liquid among solids. To the liquid, a soft-body or granular particle takes
// its lattice cell of space as a liquid particle does: it counts in a liquid
// particle's density, so the liquid cannot crowd into it, pools on a bed
// packed as the emitters pack it and soaks only into the gaps of a loose one.
// Each solid takes, where it is, the pressure and density the liquid has
// around it; pressure then acts on the pair from both sides, as between two
// liquid particles, on the solid's side scaled by its mass (its cell at its
// own density), so that momentum is kept and a submerged solid is buoyed as
// the liquid it displaces would be held up. A soft body takes the liquid's
// viscosity as another liquid particle would; a grain, the drag of the
// liquid flowing past it, as a sphere of its cell's volume among the pores
// that spheres of its radius leave, and the drag pulls the liquid back in
// turn. This is the unresolved coupling of particle-laden flows (the liquid
// is not resolved around each grain), as in SPH-DEM codes (Robinson,
// Ramaioli & Luding 2014).
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

/// Liquid volume around a solid below which it is taken to be dry.
constexpr double dryVolume = 1e-6;
/// The densest pack of grains the drag allows for (porosity 0.3): the
/// voidage function diverges as the pores close.
constexpr double leastPorosity = 0.3;

} // namespace

double SimSystem::solidFraction(char nature)
{
  return (nature & natureAny) == natureGranular ? M_PI / 6.0 : 1.0;
}

double SimSystem::solidShare(char nature) const
{
  const double density = (nature & natureAny) == natureGranular ? grainDensity : softBodyDensity;
  const double cell = 2.0 * particleRadius * _unitLength;
  return _particleMass / (std::max(density, 1e-9) * cell * cell * cell);
}

double SimSystem::grainMassRatio() const { return 1.0 / solidShare(natureGranular); }

double SimSystem::grainDragRate(double slip, double porosity) const
{
  // F = 1/2 Cd rho (pi d^2 / 4) eps^(2 - chi) |w| w, Cd = (0.63 + 4.8 / sqrt(Re))^2,
  // Re = rho d eps |w| / mu, chi = 3.7 - 0.65 exp(-(1.5 - log10 Re)^2 / 2),
  // on a grain of mass rhoGrain pi d^3 / 6; as a rate, F / (m |w|). Cd |w|
  // is written so that it stays finite as the slip vanishes (Stokes drag).
  // d: the sphere of the volume of the grain's cell, (6 / pi)^(1/3) 2R.
  const double d = std::cbrt(6.0 / M_PI) * 2.0 * particleRadius * _unitLength;
  const double mu = viscosity ? std::max(viscosityFactor, 0.0) : 0.0;
  const double rho = restDensity;
  if (!(d > 0.0) || !(rho > 0.0) || !(grainDensity > 0.0))
    return 0.0;
  const double viscous = mu > 0.0 ? 4.8 * std::sqrt(mu / (rho * d * porosity)) : 0.0;
  const double cdSlip = std::pow(0.63 * std::sqrt(std::max(slip, 0.0)) + viscous, 2.0);
  const double re = mu > 0.0 ? rho * d * porosity * slip / mu : std::numeric_limits<double>::infinity();
  const double logRe = std::log10(std::max(re, 1e-12));
  const double chi = 3.7 - 0.65 * std::exp(-(1.5 - logRe) * (1.5 - logRe) / 2.0);
  const double rate = 0.75 * cdSlip * (rho / grainDensity) * std::pow(porosity, 2.0 - chi) / d;
  return std::isfinite(rate) ? rate : 0.0;
}

void SimSystem::coupleSolidsToLiquid()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double h2 = particlesInteractionRadius2;
  const double s2 = _unitLength2;
  const double densityScale = _particleMass * _poly6Coef;
  const double restVolume = 1.0 / restDensity;
  _dragView.assign(size_t(n), DragEntry{});
  const double grainMass = grainMassRatio();

  // Reads the liquid particles' results of the density pass, writes only
  // the solid particle of each iteration (its record, view and drag entry).
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    Particle& pi = _particlesArray[size_t(i)];
    if (!(pi.nature & natureAny) || (pi.nature & natureLiquid))
      continue;
    // Shepard averages over the liquid around: V_j W_ij weights, V = m / rho.
    double volume = 0.0, volume2 = 0.0, mass = 0.0, pressure = 0.0, solid = 0.0;
    Eigen::Vector3d flow = Eigen::Vector3d::Zero();
    _sphPairs.forEach(i, [&](int64_t j) {
      FluidEntry const& e = _fluidView[size_t(j)];
      const double w = densityScale * kernelSumTerm((pi.position - e.position).squaredNorm(), h2, s2);
      if (w == 0.0)
        return;
      const char nature = _fluidNatures[size_t(j)];
      if (nature & natureLiquid) {
        const double v = w * e.invDensity;
        volume += v;
        volume2 += v * v;
        mass += w;
        pressure += v * e.pressure;
        flow += v * e.velocity;
      } else if (nature & natureAny) {
        solid += solidFraction(nature) * w * restVolume;
      }
    });
    FluidEntry& own = _fluidView[size_t(i)];
    if (!(volume > dryVolume)) {
      pi.pressure = 0.0;
      pi.invDensity = restVolume;
      own.pressure = pi.pressure;
      own.invDensity = pi.invDensity;
      continue;
    }
    pi.pressure = pressure / volume;
    pi.invDensity = volume / mass;
    own.pressure = pi.pressure;
    own.invDensity = pi.invDensity;
    if ((pi.nature & natureAny) != natureGranular)
      continue;
    // Drag, in the pore space the grains leave, on the part of the grain
    // that is wet; the slip in metres per second for the drag law.
    const double porosity = std::clamp(1.0 - solid, leastPorosity, 1.0);
    const double wet = std::min(1.0, volume / porosity);
    const Eigen::Vector3d slip = flow / volume - own.velocity;
    const double rate = wet * grainDragRate(slip.norm() * _unitLength, porosity);
    // The grain (mass M) and the liquid that takes its pull back (mass L,
    // in liquid particles: 1 / sum of the squared shares) relax towards each
    // other at k (1 + M / L), integrated exactly over the sub-step so that a
    // drag faster than the sub-step never overshoots; momentum is kept.
    const double liquidMass = volume * volume / volume2;
    const double together = rate * (1.0 + grainMass / liquidMass);
    const double change = _dt > 0.0 ? -std::expm1(-together * _dt) * liquidMass / (liquidMass + grainMass) / _dt : 0.0;
    _dragView[size_t(i)] = DragEntry{slip * change, together, volume};
  }
}
