// Readers of mesh files from outside: OBJ (through tinyobjloader), ASCII and
// binary PLY, and the .geo files this program writes (GeoIO.cpp).
#include "GeoReader.h"

#include "GU/GU_Detail.h"

#include <tiny_obj_loader.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

bool readFile(std::string const& path, std::string& bytes, std::string& problem, char const* what)
{
  auto refuse = [&](std::string const& why) {
    problem = std::string("cannot read ") + what + " " + path + ": " + why;
    return false;
  };
  // Opened without blocking (a FIFO would wait for a writer forever), then
  // only a regular file is read, and no more than its size: a device such as
  // /dev/zero never ends.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return refuse(errno == ELOOP ? "its symbolic links form a loop" : std::strerror(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return refuse(std::strerror(error));
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return refuse(S_ISDIR(info.st_mode)    ? "it is a folder, not a file"
                  : S_ISFIFO(info.st_mode) ? "it is a pipe (FIFO), not a regular file"
                  : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "it is a device, not a regular file"
                                                                    : "it is not a regular file");
  }
  try {
    bytes.resize(size_t(info.st_size));
  } catch (std::bad_alloc const&) {
    ::close(fd);
    return refuse("it is " + std::to_string(info.st_size) + " bytes, more than the memory free for it");
  }
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return refuse(std::strerror(error));
    }
    if (n == 0)
      break; // shorter than it said: it changed while being read
    got += size_t(n);
  }
  bytes.resize(got);
  ::close(fd);
  return true;
}

namespace {

bool readByExtension(std::string const& path, GU_Detail& gdp, std::string& problem)
{
  std::string bytes;
  if (!readFile(path, bytes, problem, "geometry file"))
    return false;
  auto endsWith = [&path](std::string const& suffix) {
    return path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (endsWith(".geo") || endsWith(".bgeo"))
    return readGeoBytes(bytes, path, gdp, problem);
  if (endsWith(".ply"))
    return readPlyBytes(bytes, path, gdp, problem);
  return readObjText(bytes, path, gdp, problem);
}

} // namespace

bool readGeometryFile(std::string const& path, GU_Detail& gdp, std::string& problem)
{
  if (readByExtension(path, gdp, problem))
    return true;
  gdp.clearAndDestroy();
  return false;
}

bool readObjText(std::string const& text, std::string const& path, GU_Detail& gdp, std::string& problem)
{
  // The OBJ parser reads "nan" and "inf" as 0: coordinates are checked first.
  {
    std::istringstream lines(text);
    std::string line;
    int64_t vertex = 0;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string word;
      if (!(words >> word) || word != "v")
        continue;
      for (int c = 0; c < 3 && words >> word; ++c) {
        double value = 0.0;
        auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        if (error == std::errc() && end == word.data() + word.size() && !std::isfinite(value)) {
          problem = "mesh file " + path + ": vertex " + std::to_string(vertex) + " has the coordinate \"" + word +
                    "\", not a finite number";
          return false;
        }
      }
      ++vertex;
    }
  }
  tinyobj::ObjReader reader;
  tinyobj::ObjReaderConfig config;
  config.triangulate = true;
  if (!reader.ParseFromString(text, "", config)) {
    problem = "cannot read mesh file " + path + ": " + (reader.Error().empty() ? "unknown error" : reader.Error());
    return false;
  }
  auto const& positions = reader.GetAttrib().vertices;
  for (size_t i = 0; i + 2 < positions.size(); i += 3)
    gdp.setPos3(gdp.appendPointOffset(), UT_Vector3(positions[i], positions[i + 1], positions[i + 2]));
  for (auto const& shape : reader.GetShapes()) {
    size_t at = 0;
    for (unsigned char count : shape.mesh.num_face_vertices) {
      GEO_Primitive* poly = gdp.insertPrimitive(GA_PRIMPOLY);
      // OBJ faces are counter-clockwise; host polygons list corners reversed.
      for (int v = int(count) - 1; v >= 0; --v) {
        const int index = shape.mesh.indices[at + size_t(v)].vertex_index;
        if (index < 0 || index >= gdp.getNumPoints()) {
          problem = "mesh file " + path + " refers to a vertex that does not exist";
          return false;
        }
        poly->appendVertex(index);
      }
      at += count;
    }
  }
  return true;
}

namespace {

// One element of a PLY header: its properties in order, each a scalar type
// or a list (count type and item type).
struct PlyProperty
{
  std::string name;
  std::string type;      ///< scalar type; empty for a list
  std::string countType; ///< list: type of the item count
  std::string itemType;  ///< list: type of the items
};
struct PlyElement
{
  std::string name;
  int64_t count = 0;
  std::vector<PlyProperty> properties;
};

int plySize(std::string const& t)
{
  if (t == "char" || t == "uchar" || t == "int8" || t == "uint8") return 1;
  if (t == "short" || t == "ushort" || t == "int16" || t == "uint16") return 2;
  if (t == "int" || t == "uint" || t == "float" || t == "int32" || t == "uint32" || t == "float32") return 4;
  if (t == "double" || t == "float64") return 8;
  return 0;
}

} // namespace

bool readPlyBytes(std::string const& bytes, std::string const& path, GU_Detail& gdp, std::string& problem)
{
  auto fail = [&](std::string const& why) {
    problem = "mesh file " + path + " is not a PLY mesh this program reads: " + why;
    gdp.clearAndDestroy();
    return false;
  };
  // Header: every element and its properties, in the order the data follows.
  const size_t headerEnd = bytes.find("end_header");
  if (bytes.rfind("ply", 0) != 0)
    return fail("it does not start with \"ply\"");
  if (headerEnd == std::string::npos)
    return fail("its header has no end_header line");
  std::istringstream header(bytes.substr(0, headerEnd));
  size_t at = bytes.find('\n', headerEnd);
  at = at == std::string::npos ? bytes.size() : at + 1;
  bool binary = false;
  std::vector<PlyElement> elements;
  std::string line;
  std::getline(header, line); // "ply"
  while (std::getline(header, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "format") {
      std::string format;
      words >> format;
      if (format == "binary_little_endian")
        binary = true;
      else if (format != "ascii")
        return fail("format " + format + " is not supported");
    } else if (word == "element") {
      PlyElement element;
      std::string count;
      words >> element.name >> count;
      // Read as text first: "-5" or "12abc" is no element count.
      if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos || count.size() > 12)
        return fail("element " + element.name + " has the count \"" + count + "\", not a whole number from 0");
      element.count = std::stoll(count);
      elements.push_back(element);
    } else if (word == "property") {
      if (elements.empty())
        return fail("a property comes before any element");
      PlyProperty property;
      words >> property.type;
      if (property.type == "list") {
        words >> property.countType >> property.itemType >> property.name;
        property.type.clear();
        if (plySize(property.countType) == 0 || plySize(property.itemType) == 0)
          return fail("list property " + property.name + " has a type this reader does not know");
      } else {
        words >> property.name;
        if (plySize(property.type) == 0)
          return fail("property type " + property.type + " is not supported");
      }
      elements.back().properties.push_back(property);
    }
  }

  std::istringstream ascii(binary ? std::string() : bytes.substr(at));
  bool ended = false;
  // One value of a property, range-checked before anything converts it;
  // sets `ended` when the data runs out.
  auto readValue = [&](std::string const& t) -> double {
    if (!binary) {
      std::string word;
      if (!(ascii >> word)) {
        ended = true;
        return 0.0;
      }
      double v = 0.0;
      auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), v);
      if (error != std::errc() || end != word.data() + word.size())
        return NAN; // "nan", "inf" or no number at all: refused by the callers
      return v;
    }
    const int size = plySize(t);
    if (at + size_t(size) > bytes.size()) {
      ended = true;
      return 0.0;
    }
    unsigned char b[8] = {};
    std::memcpy(b, bytes.data() + at, size_t(size));
    at += size_t(size);
    if (t == "float" || t == "float32") { float v; std::memcpy(&v, b, 4); return v; }
    if (t == "double" || t == "float64") { double v; std::memcpy(&v, b, 8); return v; }
    if (t == "int" || t == "int32") { int32_t v; std::memcpy(&v, b, 4); return v; }
    if (t == "uint" || t == "uint32") { uint32_t v; std::memcpy(&v, b, 4); return v; }
    if (t == "short" || t == "int16") { int16_t v; std::memcpy(&v, b, 2); return v; }
    if (t == "ushort" || t == "uint16") { uint16_t v; std::memcpy(&v, b, 2); return v; }
    if (t == "char" || t == "int8") return double(int8_t(b[0]));
    return double(b[0]);
  };

  PlyElement const* vertices = nullptr;
  for (PlyElement const& e : elements)
    if (e.name == "vertex")
      vertices = &e;
  if (!vertices)
    return fail("it has no vertex element");
  auto indexOf = [&](char const* name) {
    for (size_t k = 0; k < vertices->properties.size(); ++k)
      if (vertices->properties[k].name == name && !vertices->properties[k].type.empty())
        return k;
    return vertices->properties.size();
  };
  const size_t ix = indexOf("x"), iy = indexOf("y"), iz = indexOf("z");
  if (ix == vertices->properties.size() || iy == vertices->properties.size() || iz == vertices->properties.size())
    return fail("its vertices have no x, y and z");
  // Faces may come before the vertices: their corners are kept until the
  // points exist.
  std::vector<std::vector<double>> faces;
  for (PlyElement const& element : elements) {
    const bool isVertex = &element == vertices;
    const bool isFace = element.name == "face";
    for (int64_t item = 0; item < element.count; ++item) {
      double position[3] = {0, 0, 0};
      std::vector<double> corners;
      bool haveCorners = false;
      for (size_t k = 0; k < element.properties.size(); ++k) {
        PlyProperty const& property = element.properties[k];
        if (!property.type.empty()) {
          const double value = readValue(property.type);
          if (isVertex && (k == ix || k == iy || k == iz)) {
            if (!std::isfinite(value) || std::abs(value) > double(std::numeric_limits<float>::max()))
              return fail("vertex " + std::to_string(item) + " has a coordinate that is not a finite "
                          "single-precision number");
            position[k == ix ? 0 : k == iy ? 1 : 2] = value;
          }
          continue;
        }
        const double count = readValue(property.countType);
        if (ended)
          break;
        if (!(count >= 0 && count <= 1024))
          return fail(element.name + " " + std::to_string(item) + " has a list of " + std::to_string(count) +
                      " items");
        // The first index list of a face ("vertex_indices" or
        // "vertex_index") holds its corners; other lists are skipped.
        const bool cornerList = isFace && !haveCorners &&
                                (property.name == "vertex_indices" || property.name == "vertex_index");
        for (int64_t c = 0; c < int64_t(count); ++c) {
          const double index = readValue(property.itemType);
          if (cornerList)
            corners.push_back(index);
        }
        haveCorners = haveCorners || cornerList;
      }
      if (ended)
        return fail("it ends before its " + std::to_string(element.count) + " " + element.name + " elements");
      if (isVertex)
        gdp.setPos3(gdp.appendPointOffset(),
                    UT_Vector3(float(position[0]), float(position[1]), float(position[2])));
      if (isFace && haveCorners)
        faces.push_back(std::move(corners));
    }
  }
  for (size_t f = 0; f < faces.size(); ++f) {
    std::vector<GA_Offset> points;
    for (double index : faces[f]) {
      if (!(index >= 0 && index < double(vertices->count)))
        return fail("face " + std::to_string(f) + " refers to a vertex that does not exist");
      points.push_back(GA_Offset(index));
    }
    // Counter-clockwise faces, split into triangle fans as the OBJ reader
    // does; host polygons list corners reversed.
    for (size_t k = 1; k + 1 < points.size(); ++k) {
      GEO_Primitive* triangle = gdp.insertPrimitive(GA_PRIMPOLY);
      triangle->appendVertex(points[k + 1]);
      triangle->appendVertex(points[k]);
      triangle->appendVertex(points[0]);
    }
  }
  return true;
}
