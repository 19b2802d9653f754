// VTK XML PolyData (.vtp): points with a vertex cell each, or the polygons
// of a mesh; every attribute and point group as a named array.
#include "CacheFormat.h"

#include "GU/GU_Detail.h"

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string base64(std::string const& bytes)
{
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
    out += table[v >> 18];
    out += table[(v >> 12) & 63];
    out += table[(v >> 6) & 63];
    out += table[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size())
      v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += table[v >> 18];
    out += table[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// A VTK binary data array: base64 of a 32-bit byte count followed by the
// little-endian values.
template <typename T> std::string vtkArray(std::vector<T> const& values)
{
  const uint32_t size = uint32_t(values.size() * sizeof(T));
  std::string bytes(reinterpret_cast<char const*>(&size), sizeof size);
  bytes.append(reinterpret_cast<char const*>(values.data()), size);
  return base64(bytes);
}

std::string vtpText(GU_Detail const& gdp, CacheOptions const& options)
{
  const KeptPoints kept = keptPoints(gdp, options);
  const std::vector<std::vector<long>> faces = polygonFaces(gdp, kept);
  const size_t n = kept.points.size();
  // A mesh's polygons, or else one vertex cell per point.
  const bool polys = !faces.empty();
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\"?>\n<VTKFile type=\"PolyData\" version=\"1.0\" byte_order=\"LittleEndian\" "
         "header_type=\"UInt32\">\n<PolyData>\n<Piece NumberOfPoints=\""
      << n << "\" NumberOfVerts=\"" << (polys ? 0 : n) << "\" NumberOfLines=\"0\" NumberOfStrips=\"0\" NumberOfPolys=\""
      << (polys ? faces.size() : 0) << "\">\n<PointData>\n";
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_POINT)) {
    const bool integer = a->getStorage() == GA_STORE_INT32;
    xml << "<DataArray type=\"" << (integer ? "Int32" : "Float32") << "\" Name=\"" << a->getName()
        << "\" NumberOfComponents=\"" << a->getTupleSize() << "\" format=\"binary\">";
    if (integer) {
      std::vector<int32_t> values;
      for (long p : kept.points)
        for (int c = 0; c < a->getTupleSize(); ++c)
          values.push_back(int32_t(a->get(p, c)));
      xml << vtkArray(values);
    } else {
      std::vector<float> values;
      for (long p : kept.points)
        for (int c = 0; c < a->getTupleSize(); ++c)
          values.push_back(float(a->get(p, c)));
      xml << vtkArray(values);
    }
    xml << "</DataArray>\n";
  }
  for (GA_PointGroup const* g : gdp.pointGroups()) {
    if (g->isInternal())
      continue;
    std::vector<uint8_t> members;
    for (long p : kept.points)
      members.push_back(g->contains(p) ? 1 : 0);
    xml << "<DataArray type=\"UInt8\" Name=\"" << g->getName() << "\" format=\"binary\">" << vtkArray(members)
        << "</DataArray>\n";
  }
  std::vector<float> positions;
  std::vector<int32_t> connectivity, offsets;
  for (long p : kept.points) {
    const UT_Vector3 v = gdp.getPos3(p);
    positions.insert(positions.end(), {v.x(), v.y(), v.z()});
  }
  if (polys) {
    for (std::vector<long> const& face : faces) {
      for (long index : face)
        connectivity.push_back(int32_t(index));
      offsets.push_back(int32_t(connectivity.size()));
    }
  } else {
    for (size_t p = 0; p < n; ++p) {
      connectivity.push_back(int32_t(p));
      offsets.push_back(int32_t(p + 1));
    }
  }
  char const* cells = polys ? "Polys" : "Verts";
  xml << "</PointData>\n<Points>\n<DataArray type=\"Float32\" NumberOfComponents=\"3\" format=\"binary\">"
      << vtkArray(positions) << "</DataArray>\n</Points>\n<" << cells << ">\n"
      << "<DataArray type=\"Int32\" Name=\"connectivity\" format=\"binary\">" << vtkArray(connectivity)
      << "</DataArray>\n<DataArray type=\"Int32\" Name=\"offsets\" format=\"binary\">" << vtkArray(offsets)
      << "</DataArray>\n</" << cells << ">\n</Piece>\n</PolyData>\n</VTKFile>\n";
  return xml.str();
}

} // namespace

std::string encodeVtp(GU_Detail const& gdp, CacheOptions const& options) { return vtpText(gdp, options); }
