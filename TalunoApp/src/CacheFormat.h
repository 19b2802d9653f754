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

/// Whether a point is one of the ghost particles the solver shows.
bool isGhostPoint(GU_Detail const& gdp, long point);
