#pragma once

#include <Eigen/Core>
#include <vector>

class ASDFObject;
class ASDFCell;
class Corner;

/// One triangle of an iso-surface; its points belong to it alone.
class TriangleIS
{
public:
  Eigen::Vector3d p[3]; ///< corners, object space
};

/// The zero level set of a distance field's leaf corners, by marching cubes,
/// cell by cell: an unshared triangle list, with cracks possible where cells
/// of different sizes meet. Meant for display.
class IsoSurface
{
public:
  /// Polygonises every leaf of the field's root (which must exist).
  explicit IsoSurface(ASDFObject* field);

  void recursivePolygonise(ASDFCell* cell);
  /// Appends the cell's triangles; returns how many.
  int PolygoniseCell(ASDFCell* cell, float isoLevel);
  /// Where the iso-level crosses the edge from p1 to p2.
  static Eigen::Vector3d VertexInterp(float isoLevel, Corner const* p1, Corner const* p2);

  /// Standard edge table: bit e is set when standard edge e is cut.
  static const int edgeTable[256];
  /// Standard triangle table: edge triples, -1 terminated.
  static const int triTable[256][16];
  /// Cell corner of each standard marching-cubes corner.
  static constexpr int cellCorner[8] = {0, 1, 3, 2, 4, 5, 7, 6};
  /// Cell corners joined by each standard edge.
  static constexpr int edgeCorners[12][2] = {{0, 1}, {1, 3}, {3, 2}, {2, 0}, {4, 5}, {5, 7},
                                             {7, 6}, {6, 4}, {0, 4}, {1, 5}, {3, 7}, {2, 6}};

  std::vector<TriangleIS> _triangles; ///< in production order
};
