// The cache formats by extension, and the files written through them.
#include "CacheFormat.h"
#include "GeoIO.h"
#include "OutputFiles.h"

#include "GA/GA_ElementGroup.h"
#include "GU/GU_Detail.h"

#include <cstring>
#include <sstream>

std::vector<CacheFormat> const& cacheFormatList()
{
  static const std::vector<CacheFormat> formats = {
      {".geo", encodeGeo},
      {".bgeo", encodeBgeo},
      {".ply", encodePly},
      {".vtp", encodeVtp},
      {".obj", encodeObj},
      {".vdb", encodeVdb},
  };
  return formats;
}

CacheFormat const* cacheFormatFor(std::string const& path)
{
  for (CacheFormat const& format : cacheFormatList()) {
    const size_t n = std::strlen(format.extension);
    if (path.size() > n && path.compare(path.size() - n, n, format.extension) == 0)
      return &format;
  }
  return nullptr;
}

bool isGhostPoint(GU_Detail const& gdp, long point)
{
  GA_PointGroup const* ghosts = gdp.findPointGroup("TalunoGhostParticles");
  return ghosts && ghosts->contains(GA_Offset(point));
}

KeptPoints keptPoints(GU_Detail const& gdp, CacheOptions const& options)
{
  KeptPoints kept;
  kept.index.assign(size_t(gdp.getNumPoints()), -1);
  for (GA_Offset p = 0; p < gdp.getNumPoints(); ++p)
    if (options.ghosts || !isGhostPoint(gdp, p)) {
      kept.index[size_t(p)] = long(kept.points.size());
      kept.points.push_back(p);
    }
  return kept;
}

std::vector<std::vector<long>> polygonFaces(GU_Detail const& gdp, KeptPoints const& kept)
{
  std::vector<std::vector<long>> faces;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q) {
    GEO_Primitive const* prim = gdp.getGEOPrimitive(q);
    if (prim->getTypeId() != GA_PRIMPOLY || prim->getVertexCount() < 3)
      continue;
    std::vector<long> face;
    for (GA_Size v = prim->getVertexCount() - 1; v >= 0; --v) {
      const long index = kept.index[size_t(prim->getPointOffset(v))];
      if (index < 0)
        break;
      face.push_back(index);
    }
    if (face.size() == size_t(prim->getVertexCount()))
      faces.push_back(std::move(face));
  }
  return faces;
}

bool isCacheFormat(std::string const& path) { return cacheFormatFor(path) != nullptr; }

std::string cacheFormatNames()
{
  std::string names;
  std::vector<CacheFormat> const& formats = cacheFormatList();
  for (size_t i = 0; i < formats.size(); ++i)
    names += std::string(i == 0 ? "" : i + 1 == formats.size() ? " or " : ", ") + formats[i].extension;
  return names;
}

bool writeCache(GU_Detail const& gdp, std::string const& path, std::string& problem, CacheOptions const& options)
{
  CacheFormat const* format = cacheFormatFor(path);
  if (!format) {
    problem = "unknown cache format for " + path + ": use " + cacheFormatNames();
    return false;
  }
  return writeAtomically(path, format->encode(gdp, options), problem);
}

bool writeCollection(std::string const& path, std::vector<std::pair<double, std::string>> const& frames,
                     std::string& problem)
{
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\"?>\n<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
         "<Collection>\n";
  // File names are attribute values: &, <, > and quotes must be escaped.
  auto escaped = [](std::string const& text) {
    std::string out;
    for (char c : text)
      switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
      }
    return out;
  };
  for (auto const& [time, file] : frames)
    xml << "<DataSet timestep=\"" << time << "\" group=\"\" part=\"0\" file=\"" << escaped(file) << "\"/>\n";
  xml << "</Collection>\n</VTKFile>\n";
  return writeAtomically(path, xml.str(), problem);
}
