#pragma once

#include "ASDFCell.h"

#include <Eigen/Core>
#include <cstdint>

class Mesh;

/// Adaptive signed distance field of a mesh: an octree of cubic cells whose
/// corners sample the exact distance, refined where trilinear interpolation
/// misses it. Positive outside, negative inside. Read-only after it is built,
/// so any number of threads may query it at once.
class ASDFObject
{
public:
  /// Builds the whole field for a collision distance of 0.5.
  ASDFObject(Mesh* mesh, double errorThreshold, int maxDepth);
  ~ASDFObject();

  ASDFObject(ASDFObject const&) = delete;
  ASDFObject& operator=(ASDFObject const&) = delete;

  void createASDFObjectData(double collisionDistance);
  /// Computes the cell's missing corners, refines it while needed; returns the
  /// deepest level reached below it.
  int Adapt(ASDFCell* cell, int depth, int childIndex);
  /// Signed distance to the mesh in object space, with the field's sign convention.
  double getDistance(double x, double y, double z);
  /// The leaf containing an object-space point, or null outside the field's box.
  ASDFCell* getCell(double x, double y, double z) const;
  /// Trilinear interpolation of the corner distances inside a given cell.
  void trilinearInterpolation(ASDFCell* cell, double x, double y, double z, double& distance) const;
  /// The query of the simulation: distance at a point (world space for moving
  /// geometry) and, when it is below maxDistance, the unit outward gradient.
  void trilinearInterpolation(double x, double y, double z, double& distance, double maxDistance,
                              Eigen::Vector3d& gradient) const;
  /// Rebuilds a wider field when particles must be kept farther out, and a
  /// finer one when its error threshold is more than accuracyShare of the
  /// distance or its deepest cells larger than the distance (small particles
  /// sit closer to the surface than the error of a field made for large
  /// ones); never shrinks or coarsens.
  void setCollisionDistance(double distance);
  /// The most a field may miss the mesh by, as a share of the collision
  /// distance of the particles that use it.
  static constexpr double accuracyShare = 0.05;
  /// The deepest a field may refine: its root cube over 65,536 per axis.
  static constexpr int deepestLevel = 16;
  /// The cells a field deepened for small particles may spend along the
  /// mesh's edges, at about eight per finest cell of edge (some 45 MB).
  static constexpr double deepeningBudget = 131072.0;
  void setTransfoMatrices(Eigen::Matrix4d& objectToWorld, Eigen::Matrix4d& worldToObject);
  void setMovingGeometry(bool moving) { _movingGeometry = moving; }

  /// Corner k (0 to 7, bit 0 x, bit 1 y, bit 2 z at the maximum) of the
  /// field's box, in world space; with `meshOnly`, of the mesh's own box,
  /// without the field's margin.
  Eigen::Vector3d worldCorner(int k, bool meshOnly = false) const;
  /// Distance reported where the field has no cell.
  static constexpr double farDistance = double(3.4e38f);

  ASDFCell* _root = nullptr;
  Eigen::Matrix4d _objectToWorld = Eigen::Matrix4d::Identity();
  double _errorThreshold;
  int32_t _maxDepth;
  Eigen::Vector3d _bboxMin = Eigen::Vector3d::Zero(); ///< mesh box widened by 1.5 collision distances
  Eigen::Vector3d _bboxMax = Eigen::Vector3d::Zero();
  Eigen::Vector3d _origin = Eigen::Vector3d::Zero();  ///< minimum corner of the root cube
  double _rootSize = 0.0;                              ///< edge of the root cube
  double _collisionDistance = 0.5;
  Mesh* _mesh;                                         ///< borrowed
  int32_t _sign = 1;                                   ///< applied to every mesh distance
  int32_t _depth = 0;                                  ///< deepest level reached (root 0)
  int32_t _depthMinusOne = -1;
  int32_t _resolution = 1;                             ///< 2^_depth leaves per edge at the finest level
  /// Identity until the first setTransfoMatrices, so that a moving field is
  /// never queried through an unset matrix.
  Eigen::Matrix4d _worldToObject = Eigen::Matrix4d::Identity();
  bool _movingGeometry = false;

private:
  static double interpolate(ASDFCell const* cell, Eigen::Vector3d const& p);
  /// Per axis, the bilinear value on the cell's upper face minus the lower one
  /// at p: the gradient times the cell's edge.
  static Eigen::Vector3d faceDifferences(ASDFCell const* cell, Eigen::Vector3d const& p);
};
