// Readers of mesh files from outside: OBJ (through tinyobjloader), ASCII and
// binary PLY, and the .geo files this program writes (GeoIO.cpp).
#include "GeoReader.h"

#include "GU/GU_Detail.h"

#include <tiny_obj_loader.h>

#include <algorithm>
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

bool readPlyBytes(std::string const& bytes, std::string const& path, GU_Detail& gdp, std::string& problem)
{
  std::istringstream in(bytes);
  auto fail = [&](std::string const& why) {
    problem = "mesh file " + path + " is not a PLY mesh this program reads: " + why;
    gdp.clearAndDestroy();
    return false;
  };
  std::string line;
  if (!std::getline(in, line) || line.rfind("ply", 0) != 0)
    return fail("it does not start with \"ply\"");
  // Header: the vertex element's float properties (x, y, z among them) and
  // the face element's vertex index list.
  bool binary = false;
  int64_t vertexCount = 0, faceCount = 0;
  std::vector<std::string> vertexTypes, vertexNames;
  std::string listCountType, listIndexType, element;
  while (std::getline(in, line)) {
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
      int64_t count = 0;
      words >> element >> count;
      (element == "vertex" ? vertexCount : element == "face" ? faceCount : count) = count;
    } else if (word == "property") {
      std::string type;
      words >> type;
      if (type == "list" && element == "face") {
        words >> listCountType >> listIndexType;
      } else if (element == "vertex") {
        std::string name;
        words >> name;
        vertexTypes.push_back(type);
        vertexNames.push_back(name);
      }
    } else if (word == "end_header") {
      break;
    }
  }
  auto sizeOf = [](std::string const& t) -> int {
    if (t == "char" || t == "uchar" || t == "int8" || t == "uint8") return 1;
    if (t == "short" || t == "ushort" || t == "int16" || t == "uint16") return 2;
    if (t == "int" || t == "uint" || t == "float" || t == "int32" || t == "uint32" || t == "float32") return 4;
    if (t == "double" || t == "float64") return 8;
    return 0;
  };
  auto readValue = [&](std::string const& t) -> double {
    if (!binary) {
      double v = 0;
      in >> v;
      return v;
    }
    unsigned char bytes[8] = {};
    in.read(reinterpret_cast<char*>(bytes), sizeOf(t));
    if (t == "float" || t == "float32") { float v; std::memcpy(&v, bytes, 4); return v; }
    if (t == "double" || t == "float64") { double v; std::memcpy(&v, bytes, 8); return v; }
    if (t == "int" || t == "int32") { int32_t v; std::memcpy(&v, bytes, 4); return v; }
    if (t == "uint" || t == "uint32") { uint32_t v; std::memcpy(&v, bytes, 4); return v; }
    if (t == "short" || t == "int16") { int16_t v; std::memcpy(&v, bytes, 2); return v; }
    if (t == "ushort" || t == "uint16") { uint16_t v; std::memcpy(&v, bytes, 2); return v; }
    if (t == "char" || t == "int8") return double(int8_t(bytes[0]));
    return double(bytes[0]);
  };
  for (std::string const& t : vertexTypes)
    if (sizeOf(t) == 0)
      return fail("property type " + t + " is not supported");
  const auto xyz = [&](char const* name) { return std::find(vertexNames.begin(), vertexNames.end(), name) - vertexNames.begin(); };
  const size_t ix = size_t(xyz("x")), iy = size_t(xyz("y")), iz = size_t(xyz("z"));
  if (ix >= vertexNames.size() || iy >= vertexNames.size() || iz >= vertexNames.size())
    return fail("its vertices have no x, y and z");
  if (faceCount > 0 && (sizeOf(listCountType) == 0 || sizeOf(listIndexType) == 0))
    return fail("its faces have no vertex index list");
  std::vector<double> values(vertexNames.size());
  for (int64_t v = 0; v < vertexCount; ++v) {
    for (size_t k = 0; k < values.size(); ++k)
      values[k] = readValue(vertexTypes[k]);
    if (!in)
      return fail("it ends before its " + std::to_string(vertexCount) + " vertices");
    for (size_t k : {ix, iy, iz})
      if (std::abs(values[k]) > double(std::numeric_limits<float>::max()))
        return fail("vertex " + std::to_string(v) + " has a coordinate beyond single precision");
    gdp.setPos3(gdp.appendPointOffset(), UT_Vector3(float(values[ix]), float(values[iy]), float(values[iz])));
  }
  for (int64_t f = 0; f < faceCount; ++f) {
    // Counts and indices are range-checked as read, before becoming integers.
    const double corners = readValue(listCountType);
    if (!in || !(corners >= 0 && corners <= 1024))
      return fail("face " + std::to_string(f) + " is malformed");
    std::vector<GA_Offset> points(static_cast<size_t>(corners), 0);
    for (auto& point : points) {
      const double index = readValue(listIndexType);
      if (!(index >= 0 && index < double(vertexCount)))
        return fail("face " + std::to_string(f) + " refers to a vertex that does not exist");
      point = GA_Offset(index);
    }
    if (!in)
      return fail("it ends before its " + std::to_string(faceCount) + " faces");
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

