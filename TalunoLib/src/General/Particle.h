#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cstdint>

class Cell;
class EmitterObject;

/// Nature bits of a particle; a particle moves when (nature & 7) != 0.
enum ParticleNatureBits : char
{
  natureSoftBody = 1,
  natureLiquid = 2,
  natureGranular = 4,
  natureAny = 7
};

/// One simulated particle or one ghost particle. A plain record: the passes of
/// SimSystem read and write its fields directly, and the sort of the particle
/// array copies it freely.
class Particle
{
public:
  Particle(double x, double y, double z, double vx, double vy, double vz, uint32_t id, Cell* cell,
           uint64_t key, char nature, EmitterObject const* emitter)
      : position(x, y, z), previousPosition(x, y, z), velocity(vx, vy, vz), id(id), nature(nature),
        cell(cell), cellKey(key), emitter(emitter)
  {
  }

  Eigen::Vector3d position;         ///< current position (scene units)
  Eigen::Vector3d previousPosition; ///< position at the start of the current sub-step
  Eigen::Vector3d velocity;         ///< velocity (scene units per second)
  uint32_t id;                      ///< creation sequence number; survives re-sorting
  char nature;                      ///< bit set: 1 soft body, 2 liquid, 4 granular
  /// The creating emitter's friction multiplier, as its place in the system's
  /// table of multipliers (SimSystem::frictionMultiplierOf); 0 is 1.0, the
  /// value without an emitter. Two bytes in what would otherwise be padding.
  uint16_t frictionSlot = 0;
  int32_t ghostLink = -1;           ///< id of the ghost (or, on a ghost, of its particle); -1 none
  int32_t nextInCell = -1;          ///< array index of the next particle of the cell list, -1 at the end
  double invDensity = double(0.001f); ///< 1 / SPH density
  double pressure = 0.0;            ///< SPH pressure
  Cell* cell;                       ///< grid cell whose list holds this particle (not owned)
  uint64_t cellKey;                 ///< Morton key of that cell; the sort key of the array
  Eigen::Vector3d normal = Eigen::Vector3d::Zero(); ///< liquid surface normal (surface tension on)
  Eigen::Quaterniond orientation = Eigen::Quaterniond::Identity(); ///< cluster orientation (x, y, z, w)
  Eigen::Vector3d angularVelocity = Eigen::Vector3d::Zero();       ///< radians per second
  /// Emitter that created the particle (not owned); null for ghosts. Emitters
  /// are replaced by their operators while particles live on, so the pointer
  /// identifies the creator but is never followed after creation.
  EmitterObject const* emitter;
};
