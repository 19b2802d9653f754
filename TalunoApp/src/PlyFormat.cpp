// Binary little-endian PLY: points with every attribute as a named property
// (colour as red, green, blue bytes), and the faces of polygon meshes.
#include "CacheFormat.h"

#include "GU/GU_Detail.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The host's colour attribute: three floats from 0 to 1.
bool isColour(GA_Attribute const& a)
{
  return std::string(a.getName()) == "Cd" && a.getTupleSize() == 3 && a.getStorage() != GA_STORE_INT32;
}

std::string plyBytes(GU_Detail const& gdp, CacheOptions const& options)
{
  const KeptPoints kept = keptPoints(gdp, options);
  // A face's corner count is a byte: larger polygons go as triangle fans.
  std::vector<std::vector<long>> faces;
  for (std::vector<long>& face : polygonFaces(gdp, kept)) {
    if (face.size() <= 255) {
      faces.push_back(std::move(face));
      continue;
    }
    for (size_t k = 1; k + 1 < face.size(); ++k)
      faces.push_back({face[0], face[k], face[k + 1]});
  }
  std::ostringstream header;
  header << "ply\nformat binary_little_endian 1.0\ncomment written by taluno\nelement vertex " << kept.points.size()
         << "\n"
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
  if (!faces.empty())
    header << "element face " << faces.size() << "\nproperty list uchar int vertex_indices\n";
  header << "end_header\n";
  std::string out = header.str();
  auto put = [&out](auto value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value); // x86-64 is little-endian
  };
  for (long p : kept.points) {
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
  // Faces: a corner count, then the corners, counter-clockwise.
  for (std::vector<long> const& face : faces) {
    put(uint8_t(face.size()));
    for (long index : face)
      put(int32_t(index));
  }
  return out;
}


} // namespace

std::string encodePly(GU_Detail const& gdp, CacheOptions const& options) { return plyBytes(gdp, options); }
