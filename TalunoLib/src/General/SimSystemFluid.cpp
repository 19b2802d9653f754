// SPH liquid: particle mass, reference surface normal, density and force passes.
#include "SimSystem.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

void SimSystem::updateParticleMass(bool fromKernelSum)
{
  const double d = 2.0 * particleRadius;
  const double h2 = particlesInteractionRadius2;
  if (fromKernelSum) {
    // The mass at which a particle inside a cubic lattice of spacing d has
    // exactly the rest density.
    const int n = static_cast<int>(std::floor(particlesInteractionRadius / d));
    double sum = 0.0;
    for (int i = -n; i <= n; ++i)
      for (int j = -n; j <= n; ++j)
        for (int k = -n; k <= n; ++k) {
          const double r2 = (i * d) * (i * d) + (j * d) * (j * d) + (k * d) * (k * d);
          sum += kernelSumTerm(r2, h2, _unitLength2);
        }
    _particleMass = restDensity / (sum * _poly6Coef);
  } else {
    const double ds = d * _unitLength;
    _particleMass = ds * ds * ds * restDensity;
  }
  if (surfaceTension)
    updateMaxSurfaceTensionNormal();
}

void SimSystem::updateMaxSurfaceTensionNormal()
{
  // Reference normal: the colour gradient of a particle on the corner of a
  // cubic block, the largest normal that occurs in practice.
  const double d = 2.0 * particleRadius;
  const double h2 = particlesInteractionRadius2;
  const int n = static_cast<int>(std::floor(particlesInteractionRadius / d));
  Eigen::Vector3d reference = Eigen::Vector3d::Zero();
  if (n >= 0) {
    double cornerSum = 0.0;
    for (int i = 0; i <= n; ++i)
      for (int j = 0; j <= n; ++j)
        for (int k = 0; k <= n; ++k) {
          const Eigen::Vector3d q(i * d, j * d, k * d);
          cornerSum += kernelSumTerm(q.squaredNorm(), h2, _unitLength2);
        }
    // Halfway between the corner density and the rest density.
    const double cornerDensity = (_particleMass * _poly6Coef * cornerSum + restDensity) * 0.5;
    for (int i = 0; i <= n; ++i)
      for (int j = 0; j <= n; ++j)
        for (int k = 0; k <= n; ++k) {
          const Eigen::Vector3d q(i * d, j * d, k * d);
          const double q2 = q.squaredNorm();
          if (q2 < h2) {
            const double a = h2 - q2;
            reference += -q * (1.0 / cornerDensity) * _colorGradCoef * (a * a);
          }
        }
  }
  const double length2 = reference.squaredNorm();
  if (length2 > 0.0) {
    _normalScale2 = 1.0 / length2;
    _normalScale = 1.0 / std::sqrt(length2);
  } else {
    // With h < 2R no lattice neighbour reaches a particle and the reference
    // normal vanishes. Zero scales keep normals at zero and the surface
    // tension threshold never met, instead of infinities and NaN normals.
    _normalScale2 = 0.0;
    _normalScale = 0.0;
  }
}

void SimSystem::buildGhostLists()
{
  std::vector<Particle> const& others = _ghostParticlesArray;
  NeighborLists& lists = _sphGhosts;
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double h2 = particlesInteractionRadius2;
  // Positions and list links side by side, a fraction of a particle record:
  // the walk touches far fewer cache lines.
  const int64_t m = static_cast<int64_t>(others.size());
  std::vector<WalkEntry>& compact = _walkView;
  compact.resize(others.size());
#pragma omp parallel for schedule(static)
  for (int64_t j = 0; j < m; ++j)
    compact[size_t(j)] = WalkEntry{others[j].position, others[j].nextInCell};

  // Each thread lists a contiguous range of particles into a buffer of its
  // own. The lists do not depend on how the ranges are cut, so they are the
  // same for any number of threads.
  lists.begin.resize(size_t(n));
#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
#pragma omp single
    {
      lists.buffers.resize(size_t(threads));
      lists.firsts.resize(size_t(threads) + 1);
      for (int k = 0; k <= threads; ++k)
        lists.firsts[size_t(k)] = n * k / threads;
    }
    std::vector<int32_t>& buffer = lists.buffers[size_t(t)];
    buffer.clear();
    for (int64_t i = lists.firsts[size_t(t)]; i < lists.firsts[size_t(t) + 1]; ++i) {
      lists.begin[size_t(i)] = int64_t(buffer.size());
      Particle const& pi = _particlesArray[i];
      if (!(pi.nature & natureAny))
        continue;
      for (int64_t head : pi.cell->neighborFirstGhostParticles)
        for (int64_t j = head; j != -1; j = compact[j].next)
          if ((pi.position - compact[j].position).squaredNorm() < h2)
            buffer.push_back(int32_t(j));
    }
  }
}

void SimSystem::applyFluidSPH()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double h = particlesInteractionRadius;
  const double h2 = particlesInteractionRadius2;
  const double s = _unitLength;
  const double s2 = _unitLength2;
  const double densityScale = _particleMass * _poly6Coef;
  const bool withGhosts = !_ghostParticlesArray.empty();

  // What the passes read of each neighbour, side by side (one cache line
  // instead of a whole particle record): position, velocity at the start of
  // the force pass (which writes velocities), and the density pass's results.
  // Positions do not change during the passes: every pass reads the pair
  // lists (candidates within reach of a skin, in index order) and the ghosts
  // within reach, listed once per sub-step in walk order. Candidates out of
  // reach add nothing to any sum.
  const double dv = gravity * _dt;
  const bool withGravity = _gravityPass == GravityPass::fluidView;
  _fluidView.resize(size_t(n));
  _fluidNatures.resize(size_t(n));
  sweepAndUpdatePairLists(_sphPairs, h, "fluid", [&](int64_t i) {
    Particle& p = _particlesArray[size_t(i)];
    if (withGravity)
      applyGravity(p, dv);
    _fluidView[size_t(i)] = FluidEntry{p.position, p.velocity, p.pressure, p.invDensity};
    _fluidNatures[size_t(i)] = p.nature;
  });
  if (withGhosts)
    buildGhostLists();
  auto forEachNear = [this](int64_t i, auto&& visit) { _sphPairs.forEach(i, visit); };
  auto forEachNearGhost = [this](int64_t i, auto&& visit) {
    for (auto [g, last] = _sphGhosts.of(i); g != last; ++g)
      visit(int64_t(*g));
  };

  // Solids (soft-body and granular particles) among the liquid change the
  // passes: they take the liquid's pressure and drag through the coupling
  // pass instead of a density of their own.
  int present = 0;
#pragma omp parallel for schedule(static) reduction(| : present)
  for (int64_t i = 0; i < n; ++i)
    present |= _fluidNatures[size_t(i)];
  const bool liquidPresent = present & natureLiquid;
  const bool mixed = liquidPresent && (present & (natureSoftBody | natureGranular));

  // Density and Tait pressure (exponent 7); the densest liquid particle
  // tells automatic sub-steps how stiff the liquid is now. Every neighbour
  // counts, whatever its nature: a solid takes its lattice cell of the
  // liquid's space. Among liquid, solids take no density of their own.
  double densest = 0.0;
#pragma omp parallel for schedule(static) reduction(max : densest)
  for (int64_t i = 0; i < n; ++i) {
    Particle& pi = _particlesArray[i];
    if (!(pi.nature & natureAny) || (mixed && !(pi.nature & natureLiquid)))
      continue;
    double sum = 0.0;
    forEachNear(i, [&](int64_t j) {
      sum += kernelSumTerm((pi.position - _fluidView[size_t(j)].position).squaredNorm(), h2, s2);
    });
    if (withGhosts)
      forEachNearGhost(i, [&](int64_t g) {
        sum += kernelSumTerm((pi.position - _ghostParticlesArray[g].position).squaredNorm(), h2, s2);
      });
    const double rho = densityScale * sum;
    const double rho7 = rho * rho * rho * rho * rho * rho * rho;
    pi.pressure = _pressureStiffness * (rho7 * _invRestDensity7 - 1.0);
    if (clampNegativePressure && pi.pressure < 0.0)
      pi.pressure = 0.0;
    pi.invDensity = 1.0 / rho;
    _fluidView[size_t(i)].pressure = pi.pressure;
    _fluidView[size_t(i)].invDensity = pi.invDensity;
    if (pi.nature & natureLiquid)
      densest = std::max(densest, rho);
  }
  _lastCompression = std::isfinite(densest) ? std::max(1.0, densest / restDensity) : 1.0;
  // The walls answer with the pressure the liquid has now: a ghost that
  // lagged a sub-step behind its particle would push back late, like a
  // delayed spring, and feed the particles' noise.
  if (withGhosts)
    refreshGhostPressures();
  if (mixed)
    coupleSolidsToLiquid();

  // Forces, reading neighbours' velocities from the view: other iterations
  // of this pass change them.
  const double grainMass = mixed ? grainMassRatio() : 0.0;
  double fastestDrag = 0.0;
#pragma omp parallel for schedule(static) reduction(max : fastestDrag)
  for (int64_t i = 0; i < n; ++i) {
    Particle& pi = _particlesArray[i];
    if (!(pi.nature & natureAny))
      continue;
    const bool liquid = pi.nature & natureLiquid;
    Eigen::Vector3d const& vi = _fluidView[size_t(i)].velocity;
    Eigen::Vector3d force = Eigen::Vector3d::Zero();
    Eigen::Vector3d colorGradient = Eigen::Vector3d::Zero();
    Eigen::Vector3d drag = Eigen::Vector3d::Zero(); // an acceleration, with its relaxation rate
    double dragRate = 0.0;

    // Pressure term of a pair as a multiple of r; a neighbour at the same
    // place has no direction. One division per pair, and the scalar factors
    // multiplied before the vector.
    const double pressureCoef = -0.5 * _spikyGradCoef;
    auto pressureFactor = [&](double dist, double q, double pressureSum) {
      return pressurePairFactor(pressureCoef, dist, q, pressureSum);
    };
    const double viscosityCoef = _viscLaplacianCoef * viscosityFactor;
    const double invDensityI = pi.invDensity;
    Eigen::Vector3d const xi = pi.position;

    // Every pair with a liquid side. Between liquid and solids (mixed) the
    // pair acts on both alike, on the solid's side scaled by its mass, so
    // that momentum is kept; a soft body also takes the liquid's viscosity,
    // a grain its drag (coupling pass). Without solids a non-liquid particle
    // has no liquid near it, and the pass is the liquid's alone.
    const double own = mixed && !liquid ? solidShare(pi.nature) : 1.0;
    forEachNear(i, [&](int64_t j) {
      const char natureJ = _fluidNatures[size_t(j)];
      const bool liquidJ = natureJ & natureLiquid;
      if (!(liquid || liquidJ))
        return;
      FluidEntry const& pj = _fluidView[size_t(j)];
      const Eigen::Vector3d r = xi - pj.position;
      const double r2 = r.squaredNorm();
      if (!(r2 < h2))
        return;
      const double a = h2 - r2;
      const double share = liquidJ ? own : 1.0;
      if (mixed && liquid && (natureJ & natureAny) == natureGranular && _dragView[size_t(j)].liquid > 0.0) {
        // The grain's drag pulls back on the liquid around it, on each
        // particle by its share of the liquid the grain sees.
        DragEntry const& dj = _dragView[size_t(j)];
        const double b = s2 * a;
        const double part = grainMass * densityScale * b * b * b * invDensityI / dj.liquid;
        drag -= dj.acceleration * part;
        dragRate += dj.rate * part;
      }
      if (surfaceTension)
        colorGradient += r * (share * _colorGradCoef * pj.invDensity * (a * a));
      if (i == j)
        return;
      const double dist = std::sqrt(r2);
      const double q = (h - dist) * s;
      const double weight = share * q * invDensityI * pj.invDensity;
      const bool viscous =
          viscosity && ((liquid && liquidJ) || (mixed && ((liquid ? natureJ : pi.nature) & natureSoftBody)));
      if (viscous)
        force += (r * pressureFactor(dist, q, pi.pressure + pj.pressure) + (pj.velocity - vi) * viscosityCoef) * weight;
      else
        force += r * (pressureFactor(dist, q, pi.pressure + pj.pressure) * weight);
    });

    // Walls mirrored by ghosts push back; they add no viscosity or tension.
    if (withGhosts && liquid)
      forEachNearGhost(i, [&](int64_t g) {
        Particle const& pg = _ghostParticlesArray[g];
        const Eigen::Vector3d r = pi.position - pg.position;
        const double r2 = r.squaredNorm();
        if (!(r2 < h2))
          return;
        const double dist = std::sqrt(r2);
        const double q = (h - dist) * s;
        force += r * (pressureFactor(dist, q, pi.pressure + pg.pressure) * q * pi.invDensity * pg.invDensity);
      });

    if (surfaceTension && liquid) {
      pi.normal = colorGradient * _normalScale;
      const double length2 = colorGradient.squaredNorm();
      if (length2 * _normalScale2 > surfaceTensionThreshold2) {
        // Colour-field surface tension along the normal, poly6 Laplacian.
        const Eigen::Vector3d unit = colorGradient / std::sqrt(length2);
        forEachNear(i, [&](int64_t j) {
          if (!(_fluidNatures[size_t(j)] & natureLiquid))
            return;
          FluidEntry const& pj = _fluidView[size_t(j)];
          const double r2 = (pi.position - pj.position).squaredNorm();
          if (!(r2 < h2))
            return;
          force += unit * _surfaceTensionCoef * pi.invDensity * pj.invDensity * (h2 - r2) * (3.0 * h2 - 7.0 * r2);
        });
      }
    }

    force *= _particleMass;
    if (mixed) {
      if ((pi.nature & natureAny) == natureGranular) {
        drag = _dragView[size_t(i)].acceleration;
        dragRate = _dragView[size_t(i)].rate;
      }
      force += drag;
      fastestDrag = std::max(fastestDrag, dragRate);
    }
    pi.velocity += force * _dt;
  }
  _lastDragRate = fastestDrag;
}
