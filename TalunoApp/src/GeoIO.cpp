#include "GeoIO.h"
#include "GeoReader.h"

#include "GU/GU_Detail.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

using nlohmann::json;

namespace {

bool endsWith(std::string const& s, char const* suffix)
{
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Writes `content` through a temporary file renamed into place.
bool writeAtomically(std::string const& path, std::string const& content, std::string& problem)
{
  const std::string temporary = path + ".part" + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      problem = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    out.write(content.data(), std::streamsize(content.size()));
    out.close();
    if (!out) {
      problem = "cannot write " + path + ": " + std::strerror(errno);
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    problem = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

// Writes JSON text directly: frames hold millions of values, too many to
// build as a document first.
class JsonText
{
public:
  void raw(char const* text) { _out += text; }
  void string(std::string const& text) { _out += json(text).dump(); }
  void number(double value)
  {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    _out.append(buffer, end);
  }
  void number(float value)
  {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    _out.append(buffer, end);
  }
  void number(int64_t value) { _out += std::to_string(value); }
  std::string& text() { return _out; }

private:
  std::string _out;
};

void writeAttribute(JsonText& out, GA_Attribute const& a, GA_Size elements)
{
  const bool integer = a.getStorage() == GA_STORE_INT32;
  const int size = a.getTupleSize();
  out.raw("[[\"scope\",\"public\",\"type\",\"numeric\",\"name\",");
  out.string(a.getName());
  out.raw(",\"options\",");
  out.raw(a.getOptions().getOptionB("export_on_merge") ? "{\"export_on_merge\":{\"type\":\"bool\",\"value\":true}}"
                                                       : "{}");
  out.raw("],[\"size\",");
  out.number(int64_t(size));
  out.raw(integer ? ",\"storage\",\"int32\"" : ",\"storage\",\"fpreal32\"");
  out.raw(",\"defaults\",[\"size\",1,\"storage\",\"fpreal64\",\"values\",[");
  out.number(a.getDefaults().get(0));
  out.raw("]],\"values\",[\"size\",");
  out.number(int64_t(size));
  out.raw(integer ? ",\"storage\",\"int32\"" : ",\"storage\",\"fpreal32\"");
  out.raw(size == 1 ? ",\"arrays\",[[" : ",\"tuples\",[");
  for (GA_Offset e = 0; e < elements; ++e) {
    if (e)
      out.raw(",");
    if (size > 1)
      out.raw("[");
    for (int c = 0; c < size; ++c) {
      if (c)
        out.raw(",");
      integer ? out.number(int64_t(a.get(e, c))) : out.number(float(a.get(e, c)));
    }
    if (size > 1)
      out.raw("]");
  }
  out.raw(size == 1 ? "]]]]]" : "]]]]");
}

std::string geoText(GU_Detail const& gdp)
{
  const GA_Size n = gdp.getNumPoints();
  GA_Size vertices = 0;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q)
    vertices += gdp.getGEOPrimitive(q)->getVertexCount();

  JsonText out;
  out.raw("[\"fileversion\",\"18.5.0\",\"hasindex\",false,\"pointcount\",");
  out.number(int64_t(n));
  out.raw(",\"vertexcount\",");
  out.number(int64_t(vertices));
  out.raw(",\"primitivecount\",");
  out.number(int64_t(gdp.getNumPrimitives()));
  out.raw(",\"info\",{\"software\":\"Taluno\"},\"topology\",[\"pointref\",[\"indices\",[");
  bool first = true;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q)
    for (GA_Offset point : gdp.getGEOPrimitive(q)->points()) {
      if (!first)
        out.raw(",");
      first = false;
      out.number(int64_t(point));
    }
  out.raw("]]],\"attributes\",[\"pointattributes\",[");
  // Positions first, as the host writes them.
  out.raw("[[\"scope\",\"public\",\"type\",\"numeric\",\"name\",\"P\",\"options\",{}],[\"size\",3,\"storage\","
          "\"fpreal32\",\"defaults\",[\"size\",1,\"storage\",\"fpreal64\",\"values\",[0]],\"values\",[\"size\",3,"
          "\"storage\",\"fpreal32\",\"tuples\",[");
  for (GA_Offset p = 0; p < n; ++p) {
    if (p)
      out.raw(",");
    const UT_Vector3 v = gdp.getPos3(p);
    out.raw("[");
    out.number(v.x());
    out.raw(",");
    out.number(v.y());
    out.raw(",");
    out.number(v.z());
    out.raw("]");
  }
  out.raw("]]]]");
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_POINT)) {
    out.raw(",");
    writeAttribute(out, *a, n);
  }
  out.raw("],\"detailattributes\",[");
  first = true;
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_DETAIL)) {
    if (!first)
      out.raw(",");
    first = false;
    writeAttribute(out, *a, 1);
  }
  out.raw("]],\"primitives\",[");
  GA_Size vertex = 0;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q) {
    GEO_Primitive const* prim = gdp.getGEOPrimitive(q);
    if (q)
      out.raw(",");
    if (prim->getTypeId() == GA_PRIMSPHERE) {
      const double r = static_cast<GEO_PrimSphere const*>(prim)->radius;
      out.raw("[[\"type\",\"Sphere\"],[\"vertex\",");
      out.number(int64_t(vertex++));
      out.raw(",\"transform\",[");
      for (int k = 0; k < 9; ++k) {
        if (k)
          out.raw(",");
        out.number(k % 4 == 0 ? r : 0.0);
      }
      out.raw("]]]");
      continue;
    }
    out.raw(prim->getTypeId() == GA_PRIMPART ? "[[\"type\",\"Part\"],[\"vertex\",[" : "[[\"type\",\"Poly\"],[\"vertex\",[");
    for (GA_Size v = 0; v < prim->getVertexCount(); ++v) {
      if (v)
        out.raw(",");
      out.number(int64_t(vertex++));
    }
    out.raw(prim->getTypeId() == GA_PRIMPART ? "]]]" : "],\"closed\",true]]");
  }
  out.raw("],\"pointgroups\",[");
  first = true;
  for (GA_PointGroup const* g : gdp.pointGroups()) {
    if (g->isInternal())
      continue;
    if (!first)
      out.raw(",");
    first = false;
    out.raw("[[\"name\",");
    out.string(g->getName());
    out.raw("],[\"selection\",[\"unordered\",[\"i8\",[");
    for (GA_Offset p = 0; p < n; ++p)
      out.raw(p ? (g->contains(p) ? ",1" : ",0") : (g->contains(p) ? "1" : "0"));
    out.raw("]]]]]");
  }
  out.raw("]]");
  return std::move(out.text());
}

std::string plyBytes(GU_Detail const& gdp)
{
  const GA_Size n = gdp.getNumPoints();
  std::ostringstream header;
  header << "ply\nformat binary_little_endian 1.0\ncomment written by taluno\nelement vertex " << n << "\n"
         << "property float x\nproperty float y\nproperty float z\n";
  std::vector<GA_Attribute const*> attributes;
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_POINT)) {
    attributes.push_back(a);
    char const* axes[] = {"_x", "_y", "_z", "_w"};
    char const* colours[] = {"red", "green", "blue"};
    for (int c = 0; c < a->getTupleSize(); ++c) {
      std::string name = a->getName();
      if (name == "Cd" && c < 3)
        name = colours[c];
      else if (name == "N" && c < 3)
        name = std::string("n") + "xyz"[c];
      else if (a->getTupleSize() > 1)
        name += c < 4 ? axes[c] : "_" + std::to_string(c);
      header << "property " << (a->getStorage() == GA_STORE_INT32 ? "int" : "float") << " " << name << "\n";
    }
  }
  std::vector<GA_PointGroup const*> groups;
  for (GA_PointGroup const* g : gdp.pointGroups())
    if (!g->isInternal()) {
      groups.push_back(g);
      header << "property uchar " << g->getName() << "\n";
    }
  header << "end_header\n";
  std::string out = header.str();
  auto put = [&out](auto value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value); // x86-64 is little-endian
  };
  for (GA_Offset p = 0; p < n; ++p) {
    const UT_Vector3 v = gdp.getPos3(p);
    put(v.x());
    put(v.y());
    put(v.z());
    for (GA_Attribute const* a : attributes)
      for (int c = 0; c < a->getTupleSize(); ++c)
        a->getStorage() == GA_STORE_INT32 ? put(int32_t(a->get(p, c))) : put(float(a->get(p, c)));
    for (GA_PointGroup const* g : groups)
      put(uint8_t(g->contains(p) ? 1 : 0));
  }
  return out;
}

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

std::string vtpText(GU_Detail const& gdp)
{
  const GA_Size n = gdp.getNumPoints();
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\"?>\n<VTKFile type=\"PolyData\" version=\"1.0\" byte_order=\"LittleEndian\" "
         "header_type=\"UInt32\">\n<PolyData>\n<Piece NumberOfPoints=\""
      << n << "\" NumberOfVerts=\"" << n << "\" NumberOfLines=\"0\" NumberOfStrips=\"0\" NumberOfPolys=\"0\">\n<PointData>\n";
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_POINT)) {
    const bool integer = a->getStorage() == GA_STORE_INT32;
    xml << "<DataArray type=\"" << (integer ? "Int32" : "Float32") << "\" Name=\"" << a->getName()
        << "\" NumberOfComponents=\"" << a->getTupleSize() << "\" format=\"binary\">";
    if (integer) {
      std::vector<int32_t> values;
      for (GA_Offset p = 0; p < n; ++p)
        for (int c = 0; c < a->getTupleSize(); ++c)
          values.push_back(int32_t(a->get(p, c)));
      xml << vtkArray(values);
    } else {
      std::vector<float> values;
      for (GA_Offset p = 0; p < n; ++p)
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
    for (GA_Offset p = 0; p < n; ++p)
      members.push_back(g->contains(p) ? 1 : 0);
    xml << "<DataArray type=\"UInt8\" Name=\"" << g->getName() << "\" format=\"binary\">" << vtkArray(members)
        << "</DataArray>\n";
  }
  std::vector<float> positions;
  std::vector<int32_t> connectivity, offsets;
  for (GA_Offset p = 0; p < n; ++p) {
    const UT_Vector3 v = gdp.getPos3(p);
    positions.insert(positions.end(), {v.x(), v.y(), v.z()});
    connectivity.push_back(int32_t(p));
    offsets.push_back(int32_t(p + 1));
  }
  xml << "</PointData>\n<Points>\n<DataArray type=\"Float32\" NumberOfComponents=\"3\" format=\"binary\">"
      << vtkArray(positions) << "</DataArray>\n</Points>\n<Verts>\n"
      << "<DataArray type=\"Int32\" Name=\"connectivity\" format=\"binary\">" << vtkArray(connectivity)
      << "</DataArray>\n<DataArray type=\"Int32\" Name=\"offsets\" format=\"binary\">" << vtkArray(offsets)
      << "</DataArray>\n</Verts>\n</Piece>\n</PolyData>\n</VTKFile>\n";
  return xml.str();
}

} // namespace

bool isCacheFormat(std::string const& path)
{
  return endsWith(path, ".geo") || endsWith(path, ".ply") || endsWith(path, ".vtp");
}

bool writeCollection(std::string const& path, std::vector<std::pair<double, std::string>> const& frames,
                     std::string& problem)
{
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\"?>\n<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
         "<Collection>\n";
  for (auto const& [time, file] : frames)
    xml << "<DataSet timestep=\"" << time << "\" group=\"\" part=\"0\" file=\"" << file << "\"/>\n";
  xml << "</Collection>\n</VTKFile>\n";
  return writeAtomically(path, xml.str(), problem);
}

bool writeCache(GU_Detail const& gdp, std::string const& path, std::string& problem)
{
  if (endsWith(path, ".geo"))
    return writeAtomically(path, geoText(gdp), problem);
  if (endsWith(path, ".ply"))
    return writeAtomically(path, plyBytes(gdp), problem);
  if (endsWith(path, ".vtp"))
    return writeAtomically(path, vtpText(gdp), problem);
  problem = "unknown cache format for " + path + ": use .geo, .ply or .vtp";
  return false;
}

bool readGeo(std::string const& path, GU_Detail& gdp, std::string& problem)
{
  std::ifstream in(path);
  if (!in) {
    problem = "cannot read geometry file " + path + ": " + std::strerror(errno);
    return false;
  }
  json geo = json::parse(in, nullptr, false);
  if (geo.is_discarded() || !geo.is_array()) {
    problem = "geometry file " + path + " is not valid .geo JSON";
    return false;
  }
  try {
    // The file is a flat list of key, value pairs.
    auto field = [&geo](std::string const& key) -> json const& {
      for (size_t i = 0; i + 1 < geo.size(); i += 2)
        if (geo[i] == key)
          return geo[i + 1];
      throw std::runtime_error("no \"" + key + "\" entry");
    };
    auto pairs = [](json const& list, std::string const& key) -> json const& {
      for (size_t i = 0; i + 1 < list.size(); i += 2)
        if (list[i] == key)
          return list[i + 1];
      throw std::runtime_error("no \"" + key + "\" entry");
    };
    const int64_t n = field("pointcount").get<int64_t>();
    json const& pointAttributes = pairs(field("attributes"), "pointattributes");
    for (json const& attribute : pointAttributes) {
      if (pairs(attribute[0], "name") != "P")
        continue;
      json const& tuples = pairs(pairs(attribute[1], "values"), "tuples");
      if (int64_t(tuples.size()) != n)
        throw std::runtime_error("point count and positions disagree");
      for (json const& t : tuples)
        gdp.setPos3(gdp.appendPointOffset(), UT_Vector3(t[0].get<float>(), t[1].get<float>(), t[2].get<float>()));
    }
    json const& indices = pairs(field("topology"), "pointref")[1];
    for (json const& prim : field("primitives")) {
      if (pairs(prim[0], "type") != "Poly")
        continue;
      GEO_Primitive* poly = gdp.insertPrimitive(GA_PRIMPOLY);
      for (json const& v : pairs(prim[1], "vertex")) {
        const int64_t point = indices.at(v.get<size_t>()).get<int64_t>();
        if (point < 0 || point >= n)
          throw std::runtime_error("a vertex refers to a point that does not exist");
        poly->appendVertex(point);
      }
    }
  } catch (std::exception const& e) {
    problem = "geometry file " + path + " is malformed: " + e.what();
    gdp.clearAndDestroy();
    return false;
  }
  return true;
}
