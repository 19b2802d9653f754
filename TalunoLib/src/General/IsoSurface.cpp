#include "IsoSurface.h"

#include "ASDFObject.h"

#include <array>
#include <cmath>

const int IsoSurface::triTable[256][16] =
#include "MarchingCubesTriTable.inc"
    ;

namespace {

// Standard corners joined by the standard edges.
constexpr int standardEdges[12][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6},
                                      {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};

// An edge is cut exactly when its two corners lie on different sides, which is
// what the standard edge table records.
constexpr std::array<int, 256> makeEdgeTable()
{
  std::array<int, 256> table{};
  for (int index = 0; index < 256; ++index)
    for (int e = 0; e < 12; ++e)
      if (((index >> standardEdges[e][0]) & 1) != ((index >> standardEdges[e][1]) & 1))
        table[index] |= 1 << e;
  return table;
}

constexpr std::array<int, 256> edgeTableValues = makeEdgeTable();

} // namespace

const int IsoSurface::edgeTable[256] = {
#define ROW(i) edgeTableValues[i], edgeTableValues[i + 1], edgeTableValues[i + 2], edgeTableValues[i + 3]
#define ROW16(i) ROW(i), ROW(i + 4), ROW(i + 8), ROW(i + 12)
    ROW16(0),   ROW16(16),  ROW16(32),  ROW16(48),  ROW16(64),  ROW16(80),  ROW16(96),  ROW16(112),
    ROW16(128), ROW16(144), ROW16(160), ROW16(176), ROW16(192), ROW16(208), ROW16(224), ROW16(240),
#undef ROW16
#undef ROW
};

IsoSurface::IsoSurface(ASDFObject* field) { recursivePolygonise(field->_root); }

void IsoSurface::recursivePolygonise(ASDFCell* cell)
{
  if (cell->isLeaf()) {
    PolygoniseCell(cell, 0.0f);
    return;
  }
  for (ASDFCell* child : cell->_children)
    recursivePolygonise(child);
}

int IsoSurface::PolygoniseCell(ASDFCell* cell, float isoLevel)
{
  const double level = isoLevel;
  int index = 0;
  for (int i = 0; i < 8; ++i)
    if (level > cell->_corners[cellCorner[i]]->distance)
      index |= 1 << i;
  if (edgeTable[index] == 0)
    return 0;

  Eigen::Vector3d points[12];
  for (int e = 0; e < 12; ++e)
    if (edgeTable[index] & (1 << e))
      points[e] = VertexInterp(isoLevel, cell->_corners[edgeCorners[e][0]], cell->_corners[edgeCorners[e][1]]);

  int count = 0;
  for (int t = 0; triTable[index][t] != -1; t += 3, ++count) {
    TriangleIS triangle;
    for (int v = 0; v < 3; ++v)
      triangle.p[v] = points[triTable[index][t + v]];
    _triangles.push_back(triangle);
  }
  return count;
}

Eigen::Vector3d IsoSurface::VertexInterp(float isoLevel, Corner const* p1, Corner const* p2)
{
  const double level = isoLevel;
  const double tolerance = 1e-5;
  const Eigen::Vector3d a(p1->x, p1->y, p1->z), b(p2->x, p2->y, p2->z);
  if (std::abs(level - p1->distance) < tolerance)
    return a;
  if (std::abs(p1->distance - p2->distance) < tolerance)
    return a;
  if (std::abs(level - p2->distance) < tolerance)
    return b;
  const double mu = (level - p1->distance) / (p2->distance - p1->distance);
  return a + mu * (b - a);
}
