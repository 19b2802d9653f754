#include "GeoIO.h"
#include "GeoReader.h"

#include "GU/GU_Detail.h"

#include <nlohmann/json.hpp>

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

json attributeJson(GA_Attribute const& a, GA_Size elements)
{
  const bool integer = a.getStorage() == GA_STORE_INT32;
  json options = json::object();
  if (a.getOptions().getOptionB("export_on_merge"))
    options["export_on_merge"] = {{"type", "bool"}, {"value", true}};
  json tuples = json::array();
  for (GA_Offset e = 0; e < elements; ++e) {
    json tuple = json::array();
    for (int c = 0; c < a.getTupleSize(); ++c)
      integer ? tuple.push_back(int64_t(a.get(e, c))) : tuple.push_back(float(a.get(e, c)));
    tuples.push_back(a.getTupleSize() == 1 ? tuple[0] : tuple);
  }
  json values = {"size", a.getTupleSize(), "storage", integer ? "int32" : "fpreal32"};
  if (a.getTupleSize() == 1) {
    values.push_back("arrays");
    values.push_back(json::array({tuples}));
  } else {
    values.push_back("tuples");
    values.push_back(tuples);
  }
  return json::array({json::array({"scope", "public", "type", "numeric", "name", a.getName(), "options", options}),
                      json::array({"size", a.getTupleSize(), "storage", integer ? "int32" : "fpreal32", "defaults",
                                   json::array({"size", 1, "storage", "fpreal64", "values",
                                                json::array({a.getDefaults().get(0)})}),
                                   "values", values})});
}

std::string geoText(GU_Detail const& gdp)
{
  const GA_Size n = gdp.getNumPoints();
  json positions = json::array();
  for (GA_Offset p = 0; p < n; ++p) {
    const UT_Vector3 v = gdp.getPos3(p);
    positions.push_back(json::array({v.x(), v.y(), v.z()}));
  }
  json pointAttributes = json::array(
      {json::array({json::array({"scope", "public", "type", "numeric", "name", "P", "options", json::object()}),
                    json::array({"size", 3, "storage", "fpreal32", "defaults",
                                 json::array({"size", 1, "storage", "fpreal64", "values", json::array({0})}),
                                 "values", json::array({"size", 3, "storage", "fpreal32", "tuples", positions})})})});
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_POINT))
    pointAttributes.push_back(attributeJson(*a, n));
  json detailAttributes = json::array();
  for (GA_Attribute const* a : gdp.attributes(GA_ATTRIB_DETAIL))
    detailAttributes.push_back(attributeJson(*a, 1));

  json indices = json::array();
  json primitives = json::array();
  GA_Size vertices = 0;
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q) {
    GEO_Primitive const* prim = gdp.getGEOPrimitive(q);
    json refs = json::array();
    for (GA_Offset point : prim->points()) {
      indices.push_back(point);
      refs.push_back(vertices++);
    }
    if (prim->getTypeId() == GA_PRIMPART)
      primitives.push_back(json::array({json::array({"type", "Part"}), json::array({"vertex", refs})}));
    else if (prim->getTypeId() == GA_PRIMSPHERE)
      primitives.push_back(json::array(
          {json::array({"type", "Sphere"}),
           json::array({"vertex", refs[0], "transform",
                        json::array({static_cast<GEO_PrimSphere const*>(prim)->radius, 0, 0, 0,
                                     static_cast<GEO_PrimSphere const*>(prim)->radius, 0, 0, 0,
                                     static_cast<GEO_PrimSphere const*>(prim)->radius})})}));
    else
      primitives.push_back(json::array({json::array({"type", "Poly"}), json::array({"vertex", refs, "closed", true})}));
  }
  json groups = json::array();
  for (GA_PointGroup const* g : gdp.pointGroups()) {
    if (g->isInternal())
      continue;
    json members = json::array();
    for (GA_Offset p = 0; p < n; ++p)
      members.push_back(g->contains(p) ? 1 : 0);
    groups.push_back(json::array({json::array({"name", g->getName()}),
                                  json::array({"selection", json::array({"unordered", json::array({"i8", members})})})}));
  }
  json geo = json::array({"fileversion", "18.5.0", "hasindex", false, "pointcount", n, "vertexcount", vertices,
                          "primitivecount", gdp.getNumPrimitives(), "info", {{"software", "Taluno"}}, "topology",
                          json::array({"pointref", json::array({"indices", indices})}), "attributes",
                          json::array({"pointattributes", pointAttributes, "detailattributes", detailAttributes}),
                          "primitives", primitives, "pointgroups", groups});
  return geo.dump();
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

} // namespace

bool isCacheFormat(std::string const& path) { return endsWith(path, ".geo") || endsWith(path, ".ply"); }

bool writeCache(GU_Detail const& gdp, std::string const& path, std::string& problem)
{
  if (endsWith(path, ".geo"))
    return writeAtomically(path, geoText(gdp), problem);
  if (endsWith(path, ".ply"))
    return writeAtomically(path, plyBytes(gdp), problem);
  problem = "unknown cache format for " + path + ": use .geo or .ply";
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
