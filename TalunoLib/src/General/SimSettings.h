#pragma once

#include "subParticle.h"

/// The 36 construction settings of a SimSystem, in constructor order, with the
/// solver operator's defaults. A convenience for programs that build a system
/// without the host (tests, benchmarks, the standalone tools).
struct SimSettings
{
  double gravity = -9.80665;                 ///< acceleration along +y (scene units / s^2)
  double particlesInteractionRadius = 2.0;   ///< SPH support radius h (scene units)
  bool springs = true;                       ///< soft-body springs on
  bool fluid = false;                        ///< SPH and ghost particles on
  double restDensity = 998.0;                ///< SPH rest density
  double internalPressure = 1.5;             ///< Tait pressure constant
  bool automaticSpringRestLength = true;     ///< springs rest at their length when made
  double springsNeighborSearchRadius = 1.5;  ///< radius within which springs are made (scene units)
  double springRestLength = 1.0;             ///< fixed rest length (scene units)
  double springConstant = 100.0;             ///< spring stiffness
  double springDamping = 1.0;                ///< spring damping
  bool plasticDeformation = false;           ///< rest lengths yield
  double yieldRatio = 0.1;                   ///< relative stretch before yielding
  double plasticityConstant = 0.3;           ///< rate of plastic flow
  bool springsCanBreak = true;               ///< springs break when too long or too loaded
  double springsBreakLengthThreshold = 1.3;  ///< break length (scene units)
  double springsBreakForceThreshold = 10.0;  ///< break force
  bool springsCanReconnect = false;          ///< broken springs may form again
  bool objectsCollisions = true;             ///< collide with collision objects
  double particleRadius = 0.5;               ///< particle radius R (scene units)
  bool viscosity = false;                    ///< SPH viscosity on
  double viscosityFactor = 0.5;              ///< SPH viscosity coefficient
  bool surfaceTension = false;               ///< SPH surface tension on
  double surfaceTensionThreshold = 0.85;     ///< relative normal length that triggers surface tension
  double surfaceTensionScale = 1.0;          ///< surface tension coefficient
  bool interParticleCollisions = false;      ///< granular contact on
  int interParticlesCollMode = 0;            ///< 0 spheres, otherwise sub-particle clusters
  subParticleShape interParticlesCollShape = tetrahedron; ///< cluster shape
  bool enableRotations = false;              ///< clusters spin
  bool randInitRotations = false;            ///< random initial orientations
  double normalConstant = 1000.0;            ///< contact normal stiffness
  double normalDamping = 10.0;               ///< contact normal damping
  double shearConstant = 10.0;               ///< tangential spring stiffness
  double shearDamping = 10.0;                ///< contact shear damping
  double coulombConstant = 0.5;              ///< Coulomb friction coefficient
  bool enforceStaticFriction = false;        ///< tangential springs for static friction
};
