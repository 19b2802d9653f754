// Wavefront OBJ: the points as vertices and the polygons as faces, for any
// program; attributes other than positions have no place in it.
#include "CacheFormat.h"

#include "GU/GU_Detail.h"

#include <charconv>
#include <string>

std::string encodeObj(GU_Detail const& gdp, CacheOptions const& options)
{
  const KeptPoints kept = keptPoints(gdp, options);
  std::string out = "# written by taluno\n";
  char number[32];
  auto put = [&](float value) {
    auto [end, error] = std::to_chars(number, number + sizeof number, value);
    out.append(number, error == std::errc() ? end : number);
  };
  for (long p : kept.points) {
    const UT_Vector3 v = gdp.getPos3(p);
    out += "v ";
    put(v.x());
    out += ' ';
    put(v.y());
    out += ' ';
    put(v.z());
    out += '\n';
  }
  for (std::vector<long> const& face : polygonFaces(gdp, kept)) {
    out += 'f';
    for (long index : face)
      out += ' ' + std::to_string(index + 1); // OBJ counts from 1
    out += '\n';
  }
  return out;
}
