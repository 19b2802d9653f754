// The host's geometry as a cache: .geo (JSON text) and .bgeo (the host's
// binary JSON), one tree written through either encoder.
#include "BinaryJson.h"
#include "CacheFormat.h"

#include "GU/GU_Detail.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstring>
#include <string>
#include <unordered_map>

using nlohmann::json;

namespace {

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
  using Token = BinaryJson::Token;
  static constexpr auto Int8 = BinaryJson::Int8, Int16 = BinaryJson::Int16, Int32 = BinaryJson::Int32,
                        Int64 = BinaryJson::Int64, Real32 = BinaryJson::Real32, Real64 = BinaryJson::Real64,
                        False = BinaryJson::False, True = BinaryJson::True,
                        TokenDefinition = BinaryJson::TokenDefinition, TokenReference = BinaryJson::TokenReference,
                        Uniform = BinaryJson::Uniform, ArrayBegin = BinaryJson::ArrayBegin,
                        ArrayEnd = BinaryJson::ArrayEnd, MapBegin = BinaryJson::MapBegin, MapEnd = BinaryJson::MapEnd,
                        Magic = BinaryJson::Magic;
  static constexpr uint32_t magicNumber = BinaryJson::magicNumber;

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

} // namespace

std::string encodeGeo(GU_Detail const& gdp, CacheOptions const&) { return geoBytes<JsonText>(gdp); }
std::string encodeBgeo(GU_Detail const& gdp, CacheOptions const&) { return geoBytes<JsonBinary>(gdp); }
