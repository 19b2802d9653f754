#pragma once

#include "TalunoObjects.h"

#include <Eigen/Core>
#include <cstdint>
#include <vector>

class Mesh;

/// A closed mesh filled with a lattice of candidate particle positions. The
/// simulation turns candidates into particles of the emitter's nature and
/// velocity, once, continuously or every few frames.
class EmitterObject : public TalunoObject
{
public:
  enum emissionType : int32_t
  {
    emitOnce = 0,
    continuousEmission = 1,
    intermittentEmission = 2
  };
  enum fillType : int32_t
  {
    cubic = 0,
    crossed = 1
  };
  enum behaviour : int32_t
  {
    staticGeometry = 0,
    movingGeometry = 1,
    deformingGeometry = 2
  };

  /// Stores the settings and the mesh's box enlarged by one unit; does not fill.
  EmitterObject(Mesh* mesh, char nature, emissionType emission, fillType fill, double thickness,
                behaviour geometryBehaviour, double vx, double vy, double vz, unsigned interval, double px, double py,
                double pz, double frictionMultiplier, unsigned id);

  /// Stores new settings; a pivot change shifts the lattice so that it keeps
  /// its place. The fill itself changes only at the next Fill.
  void updateEmitterObjectParms(char nature, emissionType emission, fillType fill, double thickness,
                                behaviour geometryBehaviour, double vx, double vy, double vz, unsigned interval,
                                double px, double py, double pz, double frictionMultiplier);

  /// Fills the inside of the mesh, within the thickness below its surface,
  /// with a lattice of spacing 2 * radius; replaces both position lists.
  void Fill(double& radius);
  /// Lattice points a Fill at this radius visits, counted without filling;
  /// the memory a fill needs grows with it. Infinite for a radius that is not
  /// a positive number.
  double fillLatticePoints(double radius) const;
  void setInitTransfoMatrix(Eigen::Matrix4d& m);
  /// Moves the candidates: each local position transformed by m, about the pivot.
  void applyTransfoMatrix(Eigen::Matrix4d& m);

  /// Thickness stored for "fill the whole volume".
  static constexpr double unlimitedThickness = double(3.4e38f);

  std::vector<Eigen::Vector3d> _positions; ///< world candidate positions
  emissionType _emissionType;
  fillType _fillType;
  char _nature;                  ///< nature bits of emitted particles
  bool _active = true;           ///< an inactive emitter emits nothing
  uint32_t _id;                  ///< index in the simulation; all ones until assigned
  behaviour _behaviour;
  Eigen::Vector3d _velocity;     ///< initial velocity of emitted particles
  uint32_t _interval;            ///< period in frames of intermittent emission
  Eigen::Matrix4d _initTransfoMatrix = Eigen::Matrix4d::Identity(); ///< transform at creation
  double _frictionMultiplier;    ///< scales collision objects' friction for this emitter's particles
  /// Largest offset of an emitted particle from its lattice point, as a
  /// fraction of the particle radius (0: on the lattice). A little breaks
  /// the symmetry of a lattice, so that a pour of grains does not stand in
  /// vertical towers.
  double _jitter = 0.0;
  bool _hasEmitted = false;      ///< set after the emitter's first emission pass
  Eigen::Vector3d _bboxMin;      ///< mesh box enlarged by 1 unit
  Eigen::Vector3d _bboxMax;
  double _thickness;             ///< filled depth below the surface
  Mesh* _mesh;                   ///< the closed surface (borrowed)
  std::vector<Eigen::Vector3d> _localPositions; ///< lattice relative to the pivot
  Eigen::Vector3d _pivot;        ///< pivot of the emitter's transform

private:
  /// The part of the lattice a fill visits: the mesh's box widened by d.
  void latticeWindow(double d, Eigen::Vector3d& low, Eigen::Vector3d& high) const;
  void storeParms(char nature, emissionType emission, fillType fill, double thickness, behaviour geometryBehaviour,
                  double vx, double vy, double vz, unsigned interval, double frictionMultiplier);
};
