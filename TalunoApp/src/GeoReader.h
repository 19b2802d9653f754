#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

class GU_Detail;

/// Reads a mesh file into a detail: OBJ, PLY, or a .geo or .bgeo file this
/// program wrote. On failure says why (with the path), leaves the detail
/// empty and returns false.
bool readGeometryFile(std::string const& path, GU_Detail& gdp, std::string& problem);
/// Reads a whole regular file (a folder, device or pipe is refused, and no
/// more than the file's size is read); on failure says why, naming it as
/// `what` with its path.
bool readFile(std::string const& path, std::string& bytes, std::string& problem, char const* what = "file");

// The readers of each format, on a file's bytes; `path` names it in messages.
// On failure each says why; what `gdp` then holds is to be discarded.

/// An OBJ mesh, its faces triangulated.
bool readObjText(std::string const& text, std::string const& path, GU_Detail& gdp, std::string& problem);
/// An ASCII or binary little-endian PLY mesh (vertices and faces).
bool readPlyBytes(std::string const& bytes, std::string const& path, GU_Detail& gdp, std::string& problem);
/// A .geo file (the host's JSON geometry) written by this program, as text
/// or in the host's binary JSON (.bgeo).
bool readGeoBytes(std::string const& bytes, std::string const& path, GU_Detail& gdp, std::string& problem);
/// Decodes the host's binary JSON into a document; on failure says why.
bool decodeBinaryJson(std::string const& bytes, nlohmann::json& document, std::string& problem);
