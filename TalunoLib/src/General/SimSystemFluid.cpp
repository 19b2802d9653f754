// SPH liquid: particle mass, reference surface normal, density and force passes.
#include "SimSystem.h"

#include <cmath>

namespace {

/// Poly6 kernel sum term (s^2 (h^2 - r^2))^3 for squared distances below h^2.
inline double kernelSumTerm(double r2, double h2, double s2)
{
  if (!(r2 < h2))
    return 0.0;
  const double a = s2 * (h2 - r2);
  return a * a * a;
}

} // namespace

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

// Not simulated yet: the phase keeps its place in the sub-step and does nothing.
void SimSystem::applyFluidSPH() {}
