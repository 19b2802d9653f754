#include "ASDFObject.h"
#include "CollisionObject.h"
#include "IsoSurface.h"
#include "Mesh.h"
#include "MeshShapes.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// A root-only field over the unit cube whose corner distances a test sets.
struct RootCell
{
  RootCell() : mesh(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Ones()), 0)), field(mesh.get(), 0.01, 0)
  {
  }
  void setAll(double d)
  {
    for (Corner* c : field._root->_corners)
      c->distance = d;
  }
  Corner* corner(int k) { return field._root->_corners[k]; }
  std::vector<TriangleIS> extract()
  {
    IsoSurface surface(&field);
    return surface._triangles;
  }
  std::unique_ptr<Mesh> mesh;
  ASDFObject field;
};

Eigen::Vector3d at(Corner const* c) { return Eigen::Vector3d(c->x, c->y, c->z); }

} // namespace

TEST(IsoSurface, TablesAreTheStandardOnes)
{
  // The edge table marks exactly the edges whose corners differ, and every
  // case's triangles use exactly those edges, at most five triangles.
  EXPECT_EQ(IsoSurface::edgeTable[0], 0);
  EXPECT_EQ(IsoSurface::edgeTable[1], 0x109);
  EXPECT_EQ(IsoSurface::edgeTable[254], 0x109);
  EXPECT_EQ(IsoSurface::edgeTable[0xa5], 0xfff); // corners 0, 2, 5, 7: every edge cut
  const int firstRow[4] = {0, 8, 3, -1};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(IsoSurface::triTable[1][i], firstRow[i]);
  for (int index = 0; index < 256; ++index) {
    int used = 0, count = 0;
    for (int t = 0; t < 16 && IsoSurface::triTable[index][t] != -1; ++t, ++count)
      used |= 1 << IsoSurface::triTable[index][t];
    EXPECT_EQ(count % 3, 0) << index;
    EXPECT_LE(count, 15) << index;
    EXPECT_EQ(IsoSurface::triTable[index][15], -1) << index;
    EXPECT_EQ(used, IsoSurface::edgeTable[index]) << index;
    EXPECT_EQ(IsoSurface::edgeTable[index], IsoSurface::edgeTable[255 - index]) << index;
  }
}

TEST(IsoSurface, CellCasesFromTheCornerSigns)
{
  RootCell cell;
  cell.setAll(0.3);
  EXPECT_TRUE(cell.extract().empty());
  cell.setAll(-0.3);
  EXPECT_TRUE(cell.extract().empty());

  // Only corner 0 inside: one triangle on the three edges from corner 0, at
  // the zero crossings (a quarter of the way with distances -1 and 3).
  cell.setAll(3.0);
  cell.corner(0)->distance = -1.0;
  auto triangles = cell.extract();
  ASSERT_EQ(triangles.size(), 1u);
  const Eigen::Vector3d c0 = at(cell.corner(0));
  for (int k : {1, 2, 4}) {
    const Eigen::Vector3d expected = c0 + 0.25 * (at(cell.corner(k)) - c0);
    bool found = false;
    for (auto const& p : triangles[0].p)
      found = found || p.isApprox(expected, 1e-12);
    EXPECT_TRUE(found) << "no point on the edge to corner " << k;
  }

  // A corner within 1e-5 of the level holds every point on its edges.
  cell.corner(0)->distance = -5e-6;
  triangles = cell.extract();
  ASSERT_EQ(triangles.size(), 1u);
  for (auto const& p : triangles[0].p)
    EXPECT_EQ(p, c0);
  EXPECT_EQ(IsoSurface::VertexInterp(0.0f, cell.corner(1), cell.corner(0)), c0);
  cell.corner(1)->distance = cell.corner(0)->distance + 5e-6; // nearly equal ends: the first one
  EXPECT_EQ(IsoSurface::VertexInterp(0.5f, cell.corner(1), cell.corner(0)), at(cell.corner(1)));
}

TEST(IsoSurface, RootOnlyFieldsYieldAtMostFiveTriangles)
{
  RootCell cell;
  for (int index = 0; index < 256; ++index) {
    for (int k = 0; k < 8; ++k)
      cell.corner(k)->distance = (index >> k) & 1 ? -1.0 : 1.0;
    EXPECT_LE(cell.extract().size(), 5u) << index;
  }
}

TEST(IsoSurface, CollisionObjectHandsOutItsSurface)
{
  std::unique_ptr<Mesh> mesh(makeMesh(sphereSoup(Eigen::Vector3d::Zero(), 1.0, 2), 1));
  CollisionObject object(mesh.get(), 0.005, 5, 0.5, false, 0, 0, false, CollisionObject::staticGeometry, -1, 0.0);
  std::vector<TriangleIS> triangles(3); // replaced, not appended to
  object.getIsoSurfaceTriangles(triangles);
  ASSERT_GT(triangles.size(), 100u);
  for (auto const& t : triangles)
    for (auto const& p : t.p)
      ASSERT_NEAR(p.norm(), 1.0, 0.05); // on the sphere
}
