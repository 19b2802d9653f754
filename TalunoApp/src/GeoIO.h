#pragma once

#include "CacheFormat.h"

#include <string>
#include <utility>
#include <vector>

class GU_Detail;

/// The cache formats' extensions, as messages list them: ".geo, .bgeo, .ply or .vtp".
std::string cacheFormatNames();

/// Writes a detail as a cache file chosen by the extension of `path`: the
/// host's JSON geometry (.geo), the same tree in the host's binary JSON
/// (.bgeo), binary little-endian PLY (.ply) or VTK XML
/// PolyData (.vtp, points with a vertex cell each, every attribute and point
/// group as a named array). The file
/// is written under a temporary name and renamed when complete, so a failed
/// or interrupted write never leaves a truncated file. On failure says why.
bool writeCache(GU_Detail const& gdp, std::string const& path, std::string& problem,
                CacheOptions const& options = {});

/// Whether the extension of `path` names a cache format this program writes.
bool isCacheFormat(std::string const& path);

/// Writes a VTK collection (.pvd) listing frame files with their times, so
/// that ParaView opens them as one time series; atomically, like the caches.
bool writeCollection(std::string const& path, std::vector<std::pair<double, std::string>> const& frames,
                     std::string& problem);
