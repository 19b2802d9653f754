#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <vector>

/// Shapes a rigid sub-particle cluster can take.
enum subParticleShape : int32_t
{
  tetrahedron = 0
};

/// The rigid cluster of small spheres that stands for every particle in
/// sub-particle contact mode. One template, in the particle's body frame, is
/// shared by all particles and turned by each particle's orientation.
class subParticle
{
public:
  subParticle() = default;

  /// Loads the template of the shape at unit size and scales it by `scale`.
  /// An unknown shape leaves the object unchanged.
  void init(subParticleShape shape, double scale);

  /// Scales the sub-sphere centres and radius by f and recomputes the inertia.
  void scale(double f);

  std::vector<Eigen::Vector3d> positions; ///< sub-sphere centres in the body frame (scene units)
  Eigen::Matrix3d inertia = Eigen::Matrix3d::Zero();        ///< inertia tensor in the body frame
  Eigen::Matrix3d inverseInertia = Eigen::Matrix3d::Zero(); ///< its inverse
  double radius = 0.0;     ///< sub-sphere radius after scaling (scene units)
  double subSphereMass = 0.0; ///< mass of one sub-sphere; the cluster weighs 1
  double baseRadius = 0.0; ///< sub-sphere radius before scaling
};
