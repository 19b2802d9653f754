#pragma once

#include <string>

class GU_Detail;

/// Reads a mesh file into a detail: OBJ, PLY, or a .geo file this program wrote.
/// On failure says why (with the path) and returns false.
bool readGeometryFile(std::string const& path, GU_Detail& gdp, std::string& problem);
/// Reads an ASCII or binary little-endian PLY mesh (vertices and faces).
bool readPly(std::string const& path, GU_Detail& gdp, std::string& problem);
/// Reads a .geo file (the host's JSON geometry) written by this program.
bool readGeo(std::string const& path, GU_Detail& gdp, std::string& problem);
