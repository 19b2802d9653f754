#pragma once

#include <string>
#include <vector>

class GU_Detail;

/// What a cache writer is asked beside the geometry.
struct CacheOptions
{
  /// Keep the points of the group "TalunoGhostParticles" in formats meant
  /// for other programs (.ply, .vtp, .obj); the host's own formats always
  /// keep them, in their group.
  bool ghosts = false;
};

/// One cache format: the extension that chooses it and its encoder, which
/// turns a detail into the file's bytes. Adding a format is one file with
/// an encoder and one entry in cacheFormatList() (CacheFormats.cpp).
struct CacheFormat
{
  char const* extension; ///< with its dot: ".geo"
  std::string (*encode)(GU_Detail const& gdp, CacheOptions const& options);
};

/// Every format, in the order messages list them.
std::vector<CacheFormat> const& cacheFormatList();
/// The format a path's extension chooses, or null.
CacheFormat const* cacheFormatFor(std::string const& path);

// The encoders, each in a file of its own.
std::string encodeGeo(GU_Detail const& gdp, CacheOptions const& options);  // GeoFormat.cpp
std::string encodeBgeo(GU_Detail const& gdp, CacheOptions const& options); // GeoFormat.cpp
std::string encodePly(GU_Detail const& gdp, CacheOptions const& options);  // PlyFormat.cpp
std::string encodeVtp(GU_Detail const& gdp, CacheOptions const& options);  // VtpFormat.cpp
std::string encodeObj(GU_Detail const& gdp, CacheOptions const& options);  // ObjFormat.cpp
std::string encodeVdb(GU_Detail const& gdp, CacheOptions const& options);  // VdbFormat.cpp

/// Whether a point is one of the ghost particles the solver shows.
bool isGhostPoint(GU_Detail const& gdp, long point);

/// The points a format for other programs writes, in order (ghosts left
/// out unless asked for), and for each point of the detail its index among
/// them (-1 when left out).
struct KeptPoints
{
  std::vector<long> points;
  std::vector<long> index;
};
KeptPoints keptPoints(GU_Detail const& gdp, CacheOptions const& options);

/// The detail's polygons as lists of kept point indices, corners in the
/// counter-clockwise order other programs expect (the host lists them
/// reversed). Polygons touching a left-out point are left out.
std::vector<std::vector<long>> polygonFaces(GU_Detail const& gdp, KeptPoints const& kept);
