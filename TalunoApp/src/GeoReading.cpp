// Reading the .geo and .bgeo files this program writes, for the file node.
#include "BinaryJson.h"
#include "GeoReader.h"

#include "GU/GU_Detail.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

using nlohmann::json;

namespace JsonBinary = BinaryJson;

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

