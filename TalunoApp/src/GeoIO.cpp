#include "GeoIO.h"
#include "GeoReader.h"
#include "OutputFiles.h"

#include "GU/GU_Detail.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>
#include <unistd.h>

using nlohmann::json;

namespace {

bool endsWith(std::string const& s, char const* suffix)
{
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The .geo tree is written straight to its encoding, as text (.geo) or as the
// host's binary JSON (.bgeo): frames hold millions of values, too many to
// build as a document first. Both encoders take the same calls, so both
// formats carry the same tree.

// JSON text.
class JsonText
{
public:
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  void beginMap() { open('{'); }
  void endMap() { close('}'); }
  void key(char const* name)
  {
    string(name);
    _out += ':';
    _first = true;
  }
  void string(std::string const& text)
  {
    separate();
    _out += json(text).dump();
  }
  void integer(int64_t value)
  {
    separate();
    _out += std::to_string(value);
  }
  void real(float value) { number(value); }
  void real(double value) { number(value); }
  void boolean(bool value)
  {
    separate();
    _out += value ? "true" : "false";
  }
  // Arrays of one numeric type; in text they are ordinary arrays.
  void beginUniform(char, size_t) { beginArray(); }
  void endUniform() { endArray(); }
  void uniformInt8(int8_t value) { integer(value); }
  void uniformInt32(int32_t value) { integer(value); }
  void uniformReal32(float value) { number(value); }

  std::string& bytes() { return _out; }

private:
  void separate()
  {
    if (!_first)
      _out += ',';
    _first = false;
  }
  void open(char bracket)
  {
    separate();
    _out += bracket;
    _first = true;
  }
  void close(char bracket)
  {
    _out += bracket;
    _first = false;
  }
  template <typename T> void number(T value)
  {
    separate();
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    _out.append(buffer, end);
  }

  std::string _out;
  bool _first = true;
};

// The host's binary JSON: one token byte per value, little-endian numbers,
// strings defined once as numbered tokens and referred to by number after,
// and arrays of one numeric type stored as a type byte, a length and the raw
// values.
class JsonBinary
{
public:
  enum Token : char
  {
    Null = 0x00,
    Bool = 0x10,
    Int8 = 0x11,
    Int16 = 0x12,
    Int32 = 0x13,
    Int64 = 0x14,
    Real16 = 0x18,
    Real32 = 0x19,
    Real64 = 0x1a,
    UInt8 = 0x21,
    UInt16 = 0x22,
    String = 0x27,
    False = 0x30,
    True = 0x31,
    TokenDefinition = 0x2b,
    TokenReference = 0x26,
    TokenUndefinition = 0x2d,
    Uniform = 0x40,
    ArrayBegin = 0x5b,
    ArrayEnd = 0x5d,
    MapBegin = 0x7b,
    MapEnd = 0x7d,
    Magic = 0x7f,
  };
  static constexpr uint32_t magicNumber = 0x624a534e;

  JsonBinary()
  {
    _out += char(Magic);
    put(magicNumber);
  }
  void beginArray() { _out += char(ArrayBegin); }
  void endArray() { _out += char(ArrayEnd); }
  void beginMap() { _out += char(MapBegin); }
  void endMap() { _out += char(MapEnd); }
  void key(char const* name) { string(name); }
  void string(std::string const& text)
  {
    auto [entry, added] = _tokens.emplace(text, _tokens.size());
    if (added) {
      _out += char(TokenDefinition);
      length(entry->second);
      length(text.size());
      _out += text;
    }
    _out += char(TokenReference);
    length(entry->second);
  }
  void integer(int64_t value)
  {
    if (value == int8_t(value)) {
      _out += char(Int8);
      put(int8_t(value));
    } else if (value == int16_t(value)) {
      _out += char(Int16);
      put(int16_t(value));
    } else if (value == int32_t(value)) {
      _out += char(Int32);
      put(int32_t(value));
    } else {
      _out += char(Int64);
      put(value);
    }
  }
  void real(float value)
  {
    _out += char(Real32);
    put(value);
  }
  void real(double value)
  {
    _out += char(Real64);
    put(value);
  }
  void boolean(bool value) { _out += char(value ? True : False); }
  void beginUniform(char type, size_t count)
  {
    _out += char(Uniform);
    _out += type;
    length(count);
  }
  void endUniform() {}
  void uniformInt8(int8_t value) { put(value); }
  void uniformInt32(int32_t value) { put(value); }
  void uniformReal32(float value) { put(value); }

  std::string& bytes() { return _out; }

private:
  template <typename T> void put(T value)
  {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    _out.append(bytes, sizeof value); // x86-64 is little-endian, as the format's magic number records
  }
  // Lengths below 0xf1 take one byte; longer ones a marker byte giving the
  // width of the count that follows.
  void length(uint64_t n)
  {
    if (n < 0xf1) {
      put(uint8_t(n));
    } else if (n <= 0xffff) {
      put(uint8_t(0xf2));
      put(uint16_t(n));
    } else if (n <= 0xffffffffu) {
      put(uint8_t(0xf4));
      put(uint32_t(n));
    } else {
      put(uint8_t(0xf8));
      put(n);
    }
  }

  std::string _out;
  std::unordered_map<std::string, size_t> _tokens;
};

// A list of key, value pairs as the .geo format writes them: an array whose
// even entries are keys.
template <typename Out> void writeStorage(Out& out, int size, bool integer)
{
  out.string("size");
  out.integer(size);
  out.string("storage");
  out.string(integer ? "int32" : "fpreal32");
}

// An attribute's default: one double-precision value, written by `value`.
template <typename Out, typename Value> void writeDefault(Out& out, Value&& value)
{
  out.string("defaults");
  out.beginArray();
  out.string("size");
  out.integer(1);
  out.string("storage");
  out.string("fpreal64");
  out.string("values");
  out.beginArray();
  value();
  out.endArray();
  out.endArray();
}

// What the host is told an attribute holds, so that it transforms it with
// the geometry: positions move, vectors and normals turn, quaternions
// compose, colours stay. Empty for plain numbers.
char const* typeInfo(std::string const& name, int size)
{
  if (size == 3) {
    if (name == "P")
      return "point";
    if (name == "v" || name == "av")
      return "vector";
    if (name == "N")
      return "normal";
    if (name == "Cd")
      return "color";
  }
  if (size == 4 && name == "rot")
    return "quaternion";
  return "";
}

template <typename Out> void writeTypeInfo(Out& out, char const* type)
{
  if (!*type)
    return;
  out.key("type");
  out.beginMap();
  out.key("type");
  out.string("string");
  out.key("value");
  out.string(type);
  out.endMap();
}

template <typename Out> void writeAttribute(Out& out, GA_Attribute const& a, GA_Size elements)
{
  const bool integer = a.getStorage() == GA_STORE_INT32;
  const int size = a.getTupleSize();
  out.beginArray();
  out.beginArray();
  for (char const* s : {"scope", "public", "type", "numeric", "name"})
    out.string(s);
  out.string(a.getName());
  out.string("options");
  out.beginMap();
  writeTypeInfo(out, typeInfo(a.getName(), size));
  if (a.getOptions().getOptionB("export_on_merge")) {
    out.key("export_on_merge");
    out.beginMap();
    out.key("type");
    out.string("bool");
    out.key("value");
    out.boolean(true);
    out.endMap();
  }
  out.endMap();
  out.endArray();
  out.beginArray();
  writeStorage(out, size, integer);
  writeDefault(out, [&] { out.real(double(a.getDefaults().get(0))); });
  out.string("values");
  out.beginArray();
  writeStorage(out, size, integer);
  const char type = integer ? JsonBinary::Int32 : JsonBinary::Real32;
  auto value = [&](GA_Offset e, int c) {
    integer ? out.uniformInt32(int32_t(a.get(e, c))) : out.uniformReal32(float(a.get(e, c)));
  };
  if (size == 1) {
    // One array of scalars.
    out.string("arrays");
    out.beginArray();
    out.beginUniform(type, size_t(elements));
    for (GA_Offset e = 0; e < elements; ++e)
      value(e, 0);
    out.endUniform();
    out.endArray();
  } else {
    // One small array per element.
    out.string("tuples");
    out.beginArray();
    for (GA_Offset e = 0; e < elements; ++e) {
      out.beginUniform(type, size_t(size));
      for (int c = 0; c < size; ++c)
        value(e, c);
      out.endUniform();
    }
    out.endArray();
  }
  out.endArray();
  out.endArray();
  out.endArray();
}

template <typename Out> void writeGeo(Out& out, GU_Detail const& gdp)
{
  const GA_Size n = gdp.getNumPoints();
  GA_Size vertices = 0;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q)
    vertices += gdp.getGEOPrimitive(q)->getVertexCount();

  out.beginArray();
  out.string("fileversion");
  out.string("18.5.0");
  out.string("hasindex");
  out.boolean(false);
  out.string("pointcount");
  out.integer(n);
  out.string("vertexcount");
  out.integer(vertices);
  out.string("primitivecount");
  out.integer(gdp.getNumPrimitives());
  out.string("info");
  out.beginMap();
  out.key("software");
  out.string("Taluno");
  out.endMap();

  out.string("topology");
  out.beginArray();
  out.string("pointref");
  out.beginArray();
  out.string("indices");
  out.beginUniform(JsonBinary::Int32, size_t(vertices));
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q)
    for (GA_Offset point : gdp.getGEOPrimitive(q)->points())
      out.uniformInt32(int32_t(point));
  out.endUniform();
  out.endArray();
  out.endArray();

  out.string("attributes");
  out.beginArray();
  out.string("pointattributes");
  out.beginArray();
  // Positions first, as the host writes them.
  out.beginArray();
  out.beginArray();
  for (char const* s : {"scope", "public", "type", "numeric", "name", "P", "options"})
    out.string(s);
  out.beginMap();
  writeTypeInfo(out, typeInfo("P", 3));
  out.endMap();
  out.endArray();
  out.beginArray();
  writeStorage(out, 3, false);
  writeDefault(out, [&] { out.integer(0); });
  out.string("values");
  out.beginArray();
  writeStorage(out, 3, false);
  out.string("tuples");
  out.beginArray();
  for (GA_Offset p = 0; p < n; ++p) {
    const UT_Vector3 v = gdp.getPos3(p);
    out.beginUniform(JsonBinary::Real32, 3);
    out.uniformReal32(v.x());
    out.uniformReal32(v.y());
    out.uniformReal32(v.z());
    out.endUniform();
  }
  out.endArray();
  out.endArray();
  out.endArray();
  out.endArray();
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_POINT))
    writeAttribute(out, *a, n);
  out.endArray();
  // Detail attributes go under the key the host reads them from.
  out.string("globalattributes");
  out.beginArray();
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_DETAIL))
    writeAttribute(out, *a, 1);
  out.endArray();
  out.endArray();

  out.string("primitives");
  out.beginArray();
  GA_Size vertex = 0;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q) {
    GEO_Primitive const* prim = gdp.getGEOPrimitive(q);
    out.beginArray();
    out.beginArray();
    out.string("type");
    out.string(prim->getTypeId() == GA_PRIMSPHERE ? "Sphere" : prim->getTypeId() == GA_PRIMPART ? "Part" : "Poly");
    out.endArray();
    out.beginArray();
    out.string("vertex");
    if (prim->getTypeId() == GA_PRIMSPHERE) {
      const double r = static_cast<GEO_PrimSphere const*>(prim)->radius;
      out.integer(vertex++);
      out.string("transform");
      out.beginArray();
      for (int k = 0; k < 9; ++k)
        out.real(k % 4 == 0 ? r : 0.0);
      out.endArray();
    } else {
      out.beginUniform(JsonBinary::Int32, size_t(prim->getVertexCount()));
      for (GA_Size v = 0; v < prim->getVertexCount(); ++v)
        out.uniformInt32(int32_t(vertex++));
      out.endUniform();
      if (prim->getTypeId() != GA_PRIMPART) {
        out.string("closed");
        out.boolean(true);
      }
    }
    out.endArray();
    out.endArray();
  }
  out.endArray();

  out.string("pointgroups");
  out.beginArray();
  for (GA_PointGroup const* g : gdp.pointGroups()) {
    if (g->isInternal())
      continue;
    out.beginArray();
    out.beginArray();
    out.string("name");
    out.string(g->getName());
    out.endArray();
    out.beginArray();
    out.string("selection");
    out.beginArray();
    out.string("unordered");
    out.beginArray();
    out.string("i8");
    out.beginUniform(JsonBinary::Int8, size_t(n));
    for (GA_Offset p = 0; p < n; ++p)
      out.uniformInt8(g->contains(p) ? 1 : 0);
    out.endUniform();
    out.endArray();
    out.endArray();
    out.endArray();
    out.endArray();
  }
  out.endArray();
  out.endArray();
}

template <typename Out> std::string geoBytes(GU_Detail const& gdp)
{
  Out out;
  writeGeo(out, gdp);
  return std::move(out.bytes());
}

// The host's colour attribute: three floats from 0 to 1.
bool isColour(GA_Attribute const& a)
{
  return std::string(a.getName()) == "Cd" && a.getTupleSize() == 3 && a.getStorage() != GA_STORE_INT32;
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
    if (isColour(*a)) {
      // As bytes under the names every PLY reader takes for colour.
      header << "property uchar red\nproperty uchar green\nproperty uchar blue\n";
      continue;
    }
    for (int c = 0; c < a->getTupleSize(); ++c) {
      std::string name = a->getName();
      if (name == "N" && c < 3)
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
    for (GA_Attribute const* a : attributes) {
      if (isColour(*a)) {
        for (int c = 0; c < 3; ++c)
          put(uint8_t(std::lround(std::clamp(double(a->get(p, c)), 0.0, 1.0) * 255.0)));
        continue;
      }
      for (int c = 0; c < a->getTupleSize(); ++c)
        a->getStorage() == GA_STORE_INT32 ? put(int32_t(a->get(p, c))) : put(float(a->get(p, c)));
    }
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
  return endsWith(path, ".geo") || endsWith(path, ".bgeo") || endsWith(path, ".ply") || endsWith(path, ".vtp");
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

bool writeCache(GU_Detail const& gdp, std::string const& path, std::string& problem)
{
  if (endsWith(path, ".geo"))
    return writeAtomically(path, geoBytes<JsonText>(gdp), problem);
  if (endsWith(path, ".bgeo"))
    return writeAtomically(path, geoBytes<JsonBinary>(gdp), problem);
  if (endsWith(path, ".ply"))
    return writeAtomically(path, plyBytes(gdp), problem);
  if (endsWith(path, ".vtp"))
    return writeAtomically(path, vtpText(gdp), problem);
  problem = "unknown cache format for " + path + ": use " + std::string(cacheFormats);
  return false;
}

namespace {

// Reads the host's binary JSON into a document. Every length and token is
// checked against the bytes that remain, so a damaged file is refused, never
// read past its end.
class BinaryJsonReader
{
public:
  explicit BinaryJsonReader(std::string const& bytes)
      : _at(bytes.data()), _end(bytes.data() + bytes.size()), _budget(bytes.size() + 4096)
  {
  }

  json document()
  {
    if (byte() != JsonBinary::Magic || get<uint32_t>() != JsonBinary::magicNumber)
      fail("it does not start with the binary JSON magic number");
    json value = this->value(token(), 0);
    if (_at != _end)
      fail("bytes follow the end of the document");
    return value;
  }

private:
  [[noreturn]] void fail(std::string const& why) const { throw std::runtime_error(why); }

  uint8_t byte()
  {
    if (_at == _end)
      fail("it ends early");
    return uint8_t(*_at++);
  }
  template <typename T> T get()
  {
    if (size_t(_end - _at) < sizeof(T))
      fail("it ends early");
    T value;
    std::memcpy(&value, _at, sizeof value);
    _at += sizeof value;
    return value;
  }
  uint64_t length()
  {
    const uint8_t n = byte();
    if (n < 0xf1)
      return n;
    switch (n) {
    case 0xf2: return get<uint16_t>();
    case 0xf4: return get<uint32_t>();
    case 0xf8: return get<uint64_t>();
    }
    fail("a length has an unknown encoding");
  }
  std::string text()
  {
    const uint64_t n = length();
    if (uint64_t(_end - _at) < n)
      fail("a string runs past the end");
    std::string s(_at, size_t(n));
    _at += n;
    return s;
  }
  // The next value's token, after any token definitions before it.
  uint8_t token()
  {
    for (;;) {
      const uint8_t t = byte();
      if (t == JsonBinary::TokenDefinition) {
        const uint64_t id = length();
        _tokens[id] = text();
      } else if (t == JsonBinary::TokenUndefinition) {
        _tokens.erase(length());
      } else {
        return t;
      }
    }
  }
  // Every value read takes at least a byte of the file, but for packed
  // booleans (32 to four bytes): a file may hold no more values than bytes,
  // so what a file of N bytes expands to stays within a few dozen times N.
  void spend(uint64_t values)
  {
    if (values > _budget)
      fail("it holds more values than bytes, which a file this program writes never does");
    _budget -= values;
  }
  json scalar(uint8_t t)
  {
    switch (t) {
    case JsonBinary::Null: return nullptr;
    case JsonBinary::Bool: return byte() != 0;
    case JsonBinary::Int8: return get<int8_t>();
    case JsonBinary::Int16: return get<int16_t>();
    case JsonBinary::Int32: return get<int32_t>();
    case JsonBinary::Int64: return get<int64_t>();
    case JsonBinary::UInt8: return get<uint8_t>();
    case JsonBinary::UInt16: return get<uint16_t>();
    case JsonBinary::Real16: return halfToFloat(get<uint16_t>());
    case JsonBinary::Real32: return get<float>();
    case JsonBinary::Real64: return get<double>();
    case JsonBinary::String: return text();
    case JsonBinary::False: return false;
    case JsonBinary::True: return true;
    case JsonBinary::TokenReference: {
      auto found = _tokens.find(length());
      if (found == _tokens.end())
        fail("it refers to a string token it never defined");
      return found->second;
    }
    }
    fail("it holds an unknown token byte " + std::to_string(t));
  }
  json value(uint8_t t, int depth)
  {
    if (depth > 256)
      fail("it nests deeper than 256 levels");
    if (t == JsonBinary::ArrayBegin) {
      spend(1);
      json array = json::array();
      for (uint8_t next = token(); next != JsonBinary::ArrayEnd; next = token())
        array.push_back(value(next, depth + 1));
      return array;
    }
    if (t == JsonBinary::MapBegin) {
      spend(1);
      json map = json::object();
      for (uint8_t next = token(); next != JsonBinary::MapEnd; next = token()) {
        json key = scalar(next);
        if (!key.is_string())
          fail("a map key is not a string");
        map[key.get<std::string>()] = value(token(), depth + 1);
      }
      return map;
    }
    if (t == JsonBinary::Uniform)
      return uniform();
    spend(1);
    return scalar(t);
  }
  json uniform()
  {
    const uint8_t type = byte();
    const uint64_t n = length();
    spend(n + 1);
    json array = json::array();
    if (type == JsonBinary::Bool) { // packed 32 to a word
      if (n / 32 + 1 > uint64_t(_end - _at) / 4 + 1)
        fail("an array runs past the end");
      uint32_t bits = 0;
      for (uint64_t i = 0; i < n; ++i) {
        if (i % 32 == 0)
          bits = get<uint32_t>();
        array.push_back(bool(bits >> (i % 32) & 1));
      }
      return array;
    }
    static const std::map<uint8_t, int> widths = {
        {JsonBinary::Int8, 1},  {JsonBinary::Int16, 2},  {JsonBinary::Int32, 4},  {JsonBinary::Int64, 8},
        {JsonBinary::UInt8, 1}, {JsonBinary::UInt16, 2}, {JsonBinary::Real16, 2}, {JsonBinary::Real32, 4},
        {JsonBinary::Real64, 8}};
    auto width = widths.find(type);
    if (width == widths.end())
      fail("an array has an unknown element type " + std::to_string(type));
    if (n > uint64_t(_end - _at) / uint64_t(width->second))
      fail("an array runs past the end");
    for (uint64_t i = 0; i < n; ++i)
      array.push_back(scalar(type));
    return array;
  }
  static float halfToFloat(uint16_t h)
  {
    const int exponent = h >> 10 & 31;
    const float magnitude = exponent == 0    ? std::ldexp(float(h & 1023), -24)
                            : exponent == 31 ? ((h & 1023) ? NAN : INFINITY)
                                             : std::ldexp(float((h & 1023) | 1024), exponent - 25);
    return h & 0x8000 ? -magnitude : magnitude;
  }

  char const* _at;
  char const* _end;
  uint64_t _budget; ///< values the rest of the file may still hold
  std::map<uint64_t, std::string> _tokens;
};

} // namespace

bool decodeBinaryJson(std::string const& bytes, json& document, std::string& problem)
{
  try {
    document = BinaryJsonReader(bytes).document();
    return true;
  } catch (std::exception const& e) {
    problem = e.what();
    return false;
  }
}

bool readGeoBytes(std::string const& bytes, std::string const& path, GU_Detail& gdp, std::string& problem)
{
  json geo;
  if (!bytes.empty() && uint8_t(bytes[0]) == JsonBinary::Magic) {
    std::string why;
    if (!decodeBinaryJson(bytes, geo, why)) {
      problem = "geometry file " + path + " is not valid binary .geo: " + why;
      return false;
    }
  } else {
    geo = json::parse(bytes, nullptr, false);
  }
  if (geo.is_discarded() || !geo.is_array()) {
    problem = "geometry file " + path + " is not valid .geo JSON";
    return false;
  }
  try {
    // The file is a flat list of key, value pairs. Every access is checked:
    // a damaged file throws, and is refused below.
    auto pairs = [](json const& list, std::string const& key) -> json const& {
      if (list.is_array())
        for (size_t i = 0; i + 1 < list.size(); i += 2)
          if (list.at(i) == key)
            return list.at(i + 1);
      throw std::runtime_error("no \"" + key + "\" entry");
    };
    // Numbers are checked before conversion: a float where a whole number
    // belongs, or a coordinate beyond single precision, is refused.
    auto whole = [](json const& v) -> int64_t {
      if (!v.is_number_integer())
        throw std::runtime_error("a count or index is not a whole number");
      return v.get<int64_t>();
    };
    auto coordinate = [](json const& v) -> float {
      const double d = v.get<double>();
      if (!(std::abs(d) <= double(std::numeric_limits<float>::max())))
        throw std::runtime_error("a coordinate is not a finite single-precision number");
      return float(d);
    };
    const int64_t n = whole(pairs(geo, "pointcount"));
    json const& pointAttributes = pairs(pairs(geo, "attributes"), "pointattributes");
    for (json const& attribute : pointAttributes) {
      if (pairs(attribute.at(0), "name") != "P")
        continue;
      json const& tuples = pairs(pairs(attribute.at(1), "values"), "tuples");
      if (!tuples.is_array() || int64_t(tuples.size()) != n)
        throw std::runtime_error("point count and positions disagree");
      for (json const& t : tuples)
        gdp.setPos3(gdp.appendPointOffset(), UT_Vector3(coordinate(t.at(0)), coordinate(t.at(1)), coordinate(t.at(2))));
      break;
    }
    if (gdp.getNumPoints() != n)
      throw std::runtime_error("its points have no positions");
    json const& indices = pairs(pairs(geo, "topology"), "pointref").at(1);
    for (json const& prim : pairs(geo, "primitives")) {
      if (pairs(prim.at(0), "type") != "Poly")
        continue;
      GEO_Primitive* poly = gdp.insertPrimitive(GA_PRIMPOLY);
      for (json const& v : pairs(prim.at(1), "vertex")) {
        const int64_t vertex = whole(v);
        if (vertex < 0 || vertex >= int64_t(indices.size()))
          throw std::runtime_error("a primitive refers to a vertex that does not exist");
        const int64_t point = whole(indices.at(size_t(vertex)));
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
