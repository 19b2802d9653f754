#pragma once

#include <string>

class GU_Detail;

/// How particles become a liquid's surface: each particle is a sphere of
/// `radiusScale` times its radius, so that neighbours merge into one body;
/// the union of the spheres is a narrow-band level set on voxels of
/// `voxelSize`; the band is then eroded by `erode` radii, back to the
/// liquid's own extent, and smoothed by `smoothing` passes of mean-curvature
/// flow, which round the lattice's ripples. The union's face bulges between
/// one and two radii out from the outer particles, where the liquid's face
/// is one radius out: eroding by half a radius, on voxels of one radius,
/// keeps a block's volume within 1 % (the tests measure it). Voxels of one
/// radius, half the particle spacing, resolve what the particles resolve; a
/// million particles surface in well under a minute (the benchmarks say).
struct SurfaceSettings
{
  double voxelSize = 0.0;   ///< scene units; 0: the particle radius
  double radiusScale = 2.0; ///< spheres this many radii wide
  double erode = 0.5;       ///< radii taken off the union's surface
  int smoothing = 2;        ///< mean-curvature passes
};

/// The surface of the points of `particles` in group `group` (all points
/// when empty), each of radius "pscale" (or `fallbackRadius`), as a closed
/// triangle mesh in `surface`, its triangles facing outward. Replaces what
/// `surface` held. False with the reason when there is nothing to surface.
bool surfaceParticles(GU_Detail const& particles, std::string const& group, double fallbackRadius,
                      SurfaceSettings const& settings, GU_Detail& surface, std::string& problem);

/// The detail as an OpenVDB file holding one narrow-band level set named
/// "surface": its polygons turned into a signed distance field, or, for
/// points only, their spheres (radius "pscale", or 1). Voxels are a quarter
/// of the mean polygon edge, or half the mean point radius.
std::string levelSetFileBytes(GU_Detail const& gdp);
