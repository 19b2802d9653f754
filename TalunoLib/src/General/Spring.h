#pragma once

#include <Eigen/Core>
#include <cstdint>

/// A soft-body link between two particles, named by their ids.
class Spring
{
public:
  Spring(double restLength, uint32_t id1, uint32_t id2) : restLength(restLength), id1(id1), id2(id2) {}

  double restLength;   ///< length at which the spring exerts no force (scene units)
  uint32_t id1;        ///< id of the first particle
  uint32_t id2;        ///< id of the second particle
  bool broken = false; ///< set when the spring breaks; broken springs are removed later
};

/// The shear spring of one granular contact, owned by particle id1. The pair is
/// ordered: (i, j) and (j, i) are two records.
class DEMTangentialSpring
{
public:
  DEMTangentialSpring(uint32_t id1, uint32_t id2) : id1(id1), id2(id2) {}

  /// Relative position (id1 minus id2) when the contact last began to stick.
  Eigen::Vector3d displacement = Eigen::Vector3d::Zero();
  /// With turning spheres: the torque per unit mass of the contact's rolling
  /// spring on the owner, wound up by the pair's relative rolling since the
  /// record was made and held to the rolling friction's limit.
  Eigen::Vector3d rolling = Eigen::Vector3d::Zero();
  uint32_t id1;        ///< the particle that owns the record
  uint32_t id2;        ///< the other particle
  bool marked = false; ///< set when the pair is found farther apart than a particle diameter
};
