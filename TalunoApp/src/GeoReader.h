#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

class GU_Detail;

/// Reads a mesh file into a detail: OBJ, PLY, or a .geo or .bgeo file this
/// program wrote.
/// On failure says why (with the path) and returns false.
bool readGeometryFile(std::string const& path, GU_Detail& gdp, std::string& problem);
/// Reads an ASCII or binary little-endian PLY mesh (vertices and faces).
bool readPly(std::string const& path, GU_Detail& gdp, std::string& problem);
/// Reads a .geo file (the host's JSON geometry) written by this program, as
/// text or in the host's binary JSON (.bgeo).
bool readGeo(std::string const& path, GU_Detail& gdp, std::string& problem);
/// Decodes the host's binary JSON into a document; on failure says why.
bool decodeBinaryJson(std::string const& bytes, nlohmann::json& document, std::string& problem);
