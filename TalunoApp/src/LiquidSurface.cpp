// Liquid surfaces through OpenVDB: particles rasterized into a level set,
// eroded and smoothed, then polygonized; and level sets written as .vdb.
#include "LiquidSurface.h"

#include "GA/GA_ElementGroup.h"
#include "GU/GU_Detail.h"

#include <openvdb/openvdb.h>
#include <openvdb/tools/LevelSetFilter.h>
#include <openvdb/tools/MeshToVolume.h>
#include <openvdb/tools/ParticlesToLevelSet.h>
#include <openvdb/tools/VolumeToMesh.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

void initializeOpenVdb()
{
  static std::once_flag once;
  std::call_once(once, [] { openvdb::initialize(); });
}

// The particle list ParticlesToLevelSet reads.
struct Spheres
{
  using PosType = openvdb::Vec3R;
  std::vector<openvdb::Vec3R> positions;
  std::vector<openvdb::Real> radii;
  size_t size() const { return positions.size(); }
  void getPos(size_t n, openvdb::Vec3R& xyz) const { xyz = positions[n]; }
  void getPosRad(size_t n, openvdb::Vec3R& xyz, openvdb::Real& radius) const
  {
    xyz = positions[n];
    radius = radii[n];
  }
};

constexpr float halfWidth = 3.0f; // voxels on each side of the surface

// The level set's zero surface as triangles; OpenVDB's quads are split.
// Host polygons list their corners reversed (clockwise seen from outside).
void appendMesh(openvdb::FloatGrid const& grid, GU_Detail& out)
{
  std::vector<openvdb::Vec3s> points;
  std::vector<openvdb::Vec3I> triangles;
  std::vector<openvdb::Vec4I> quads;
  openvdb::tools::volumeToMesh(grid, points, triangles, quads, 0.0, 0.0);
  const GA_Offset first = out.getNumPoints();
  for (openvdb::Vec3s const& p : points)
    out.setPos3(out.appendPointOffset(), UT_Vector3(p.x(), p.y(), p.z()));
  // volumeToMesh winds its faces clockwise seen from outside a level set:
  // the host's order already.
  auto triangle = [&](unsigned a, unsigned b, unsigned c) {
    GEO_Primitive* poly = out.insertPrimitive(GA_PRIMPOLY);
    poly->appendVertex(first + GA_Offset(a));
    poly->appendVertex(first + GA_Offset(b));
    poly->appendVertex(first + GA_Offset(c));
  };
  for (openvdb::Vec3I const& t : triangles)
    triangle(t[0], t[1], t[2]);
  for (openvdb::Vec4I const& q : quads) {
    triangle(q[0], q[1], q[2]);
    triangle(q[0], q[2], q[3]);
  }
}

Spheres spheresOf(GU_Detail const& gdp, std::string const& group, double fallbackRadius)
{
  Spheres spheres;
  GA_PointGroup const* members = group.empty() ? nullptr : gdp.findPointGroup(group);
  GA_Attribute const* pscale = gdp.findPointAttribute("pscale");
  for (GA_Offset p = 0; p < gdp.getNumPoints(); ++p) {
    if (!group.empty() && (!members || !members->contains(p)))
      continue;
    const UT_Vector3 v = gdp.getPos3(p);
    if (!std::isfinite(v.x()) || !std::isfinite(v.y()) || !std::isfinite(v.z()))
      continue;
    spheres.positions.emplace_back(v.x(), v.y(), v.z());
    spheres.radii.push_back(pscale ? double(pscale->get(p, 0)) : fallbackRadius);
  }
  return spheres;
}

} // namespace

bool surfaceParticles(GU_Detail const& particles, std::string const& group, double fallbackRadius,
                      SurfaceSettings const& settings, GU_Detail& surface, std::string& problem)
{
  initializeOpenVdb();
  surface.clearAndDestroy();
  Spheres spheres = spheresOf(particles, group, fallbackRadius);
  if (spheres.size() == 0)
    return true; // no liquid yet: an empty surface
  double meanRadius = 0.0;
  for (double r : spheres.radii)
    meanRadius += r;
  meanRadius /= double(spheres.size());
  if (!(meanRadius > 0.0)) {
    problem = "the particles have no radius (pscale) to build a surface from";
    return false;
  }
  const double voxel = settings.voxelSize > 0.0 ? settings.voxelSize : meanRadius;
  for (double& r : spheres.radii)
    r *= settings.radiusScale;
  // Three voxels each side hold the erosion and the smoothing's stencils;
  // a wider band costs time in every pass for no change in the surface.
  auto grid = openvdb::createLevelSet<openvdb::FloatGrid>(voxel, halfWidth);
  openvdb::tools::ParticlesToLevelSet<openvdb::FloatGrid> raster(*grid);
  raster.setRmin(0.5); // spheres below half a voxel would be dropped; ours are larger
  raster.rasterizeSpheres(spheres);
  raster.finalize(true);
  openvdb::tools::LevelSetFilter<openvdb::FloatGrid> filter(*grid);
  // Back from the dilated spheres to the liquid's own extent.
  filter.offset(float(settings.erode * meanRadius));
  for (int pass = 0; pass < settings.smoothing; ++pass)
    filter.meanCurvature();
  appendMesh(*grid, surface);
  return true;
}

std::string levelSetFileBytes(GU_Detail const& gdp)
{
  initializeOpenVdb();
  openvdb::FloatGrid::Ptr grid;
  bool polygons = false;
  double edges = 0.0;
  size_t edgeCount = 0;
  std::vector<openvdb::Vec3s> points;
  std::vector<openvdb::Vec3I> triangles;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q) {
    GEO_Primitive const* prim = gdp.getGEOPrimitive(q);
    if (prim->getTypeId() != GA_PRIMPOLY || prim->getVertexCount() < 3)
      continue;
    polygons = true;
    // Corners back to counter-clockwise, then fans.
    const GA_Size n = prim->getVertexCount();
    for (GA_Size k = 1; k + 1 < n; ++k)
      triangles.emplace_back(unsigned(prim->getPointOffset(n - 1)), unsigned(prim->getPointOffset(n - 1 - k)),
                             unsigned(prim->getPointOffset(n - 2 - k)));
    for (GA_Size k = 0; k < n; ++k) {
      const UT_Vector3 a = gdp.getPos3(prim->getPointOffset(k)), b = gdp.getPos3(prim->getPointOffset((k + 1) % n));
      edges += std::sqrt(double((a.x() - b.x()) * (a.x() - b.x()) + (a.y() - b.y()) * (a.y() - b.y()) +
                                (a.z() - b.z()) * (a.z() - b.z())));
      ++edgeCount;
    }
  }
  if (polygons) {
    for (GA_Offset p = 0; p < gdp.getNumPoints(); ++p) {
      const UT_Vector3 v = gdp.getPos3(p);
      points.emplace_back(v.x(), v.y(), v.z());
    }
    const double voxel = std::max(edges / double(edgeCount) / 4.0, 1e-3);
    auto transform = openvdb::math::Transform::createLinearTransform(voxel);
    grid = openvdb::tools::meshToLevelSet<openvdb::FloatGrid>(*transform, points, triangles, halfWidth);
  } else {
    Spheres spheres = spheresOf(gdp, "", 1.0);
    double mean = 0.0;
    for (double r : spheres.radii)
      mean += r;
    mean = spheres.size() ? mean / double(spheres.size()) : 1.0;
    grid = openvdb::createLevelSet<openvdb::FloatGrid>(std::max(mean / 2.0, 1e-3), halfWidth);
    if (spheres.size() > 0) {
      openvdb::tools::ParticlesToLevelSet<openvdb::FloatGrid> raster(*grid);
      raster.setRmin(0.5);
      raster.rasterizeSpheres(spheres);
      raster.finalize(true);
    }
  }
  grid->setName("surface");
  grid->setGridClass(openvdb::GRID_LEVEL_SET);
  // OpenVDB writes files by name: a private temporary, read back whole so
  // that the cache is written into place like every other format.
  char path[] = "/tmp/taluno-vdb-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0)
    throw std::runtime_error("cannot make a temporary file for a .vdb");
  close(fd);
  openvdb::io::File file(path);
  file.write({grid});
  file.close();
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path);
  return bytes;
}
