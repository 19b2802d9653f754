#pragma once

#include <string>

class GU_Detail;

/// Writes a detail as a cache file chosen by the extension of `path`: the
/// host's JSON geometry (.geo) or binary little-endian PLY (.ply). The file
/// is written under a temporary name and renamed when complete, so a failed
/// or interrupted write never leaves a truncated file. On failure says why.
bool writeCache(GU_Detail const& gdp, std::string const& path, std::string& problem);

/// Whether the extension of `path` names a cache format this program writes.
bool isCacheFormat(std::string const& path);
