#include "subParticle.h"

void subParticle::init(subParticleShape shape, double scaleFactor)
{
  if (shape != tetrahedron)
    return;
  // A regular tetrahedron of edge about 0.8165 whose corners lie about 0.5 from
  // the origin; the coordinates are single-precision literals.
  positions = {
      Eigen::Vector3d(0.0, double(0.5f), 0.0),
      Eigen::Vector3d(double(-0.471405f), double(-0.166656f), 0.0),
      Eigen::Vector3d(double(0.235703f), double(-0.166665f), double(0.408249f)),
      Eigen::Vector3d(double(0.235703f), double(-0.166665f), double(-0.408249f)),
  };
  radius = 0.5;
  subSphereMass = 0.25;
  baseRadius = 0.5;
  scale(scaleFactor);
}

void subParticle::scale(double f)
{
  for (Eigen::Vector3d& p : positions)
    p *= f;
  radius = baseRadius * f;

  const double m = subSphereMass;
  Eigen::Matrix3d I = Eigen::Matrix3d::Zero();
  for (Eigen::Vector3d const& p : positions) {
    const double x = p.x(), y = p.y(), z = p.z();
    I(0, 0) += m * (y * y + z * z);
    I(1, 1) += m * (x * x + z * z);
    I(2, 2) += m * (x * x + y * y);
    I(0, 1) -= m * x * y;
    I(0, 2) -= m * x * z;
    I(1, 2) -= m * y * z;
  }
  I(1, 0) = I(0, 1);
  I(2, 0) = I(0, 2);
  I(2, 1) = I(1, 2);
  inertia = I;

  // Closed-form 3x3 inverse: adjugate over determinant.
  Eigen::Matrix3d adj;
  adj(0, 0) = I(1, 1) * I(2, 2) - I(1, 2) * I(2, 1);
  adj(0, 1) = I(0, 2) * I(2, 1) - I(0, 1) * I(2, 2);
  adj(0, 2) = I(0, 1) * I(1, 2) - I(0, 2) * I(1, 1);
  adj(1, 0) = I(1, 2) * I(2, 0) - I(1, 0) * I(2, 2);
  adj(1, 1) = I(0, 0) * I(2, 2) - I(0, 2) * I(2, 0);
  adj(1, 2) = I(0, 2) * I(1, 0) - I(0, 0) * I(1, 2);
  adj(2, 0) = I(1, 0) * I(2, 1) - I(1, 1) * I(2, 0);
  adj(2, 1) = I(0, 1) * I(2, 0) - I(0, 0) * I(2, 1);
  adj(2, 2) = I(0, 0) * I(1, 1) - I(0, 1) * I(1, 0);
  const double det = I(0, 0) * adj(0, 0) + I(0, 1) * adj(1, 0) + I(0, 2) * adj(2, 0);
  // A degenerate cluster (scale 0) has no inverse inertia; leave it zero so
  // that torques produce no spin rather than infinities.
  inverseInertia = det != 0.0 ? Eigen::Matrix3d(adj / det) : Eigen::Matrix3d::Zero();
}
