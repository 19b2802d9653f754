#include "Preview.h"

#include "OutputFiles.h"

#include "GU/GU_Detail.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

constexpr int width = 640;
constexpr int height = 480;

} // namespace

bool PreviewCamera::write(GU_Detail const& gdp, std::string const& path, std::string& problem)
{
  const GA_Size n = gdp.getNumPoints();
  if (!_framed && n > 0) {
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (GA_Offset p = 0; p < n; ++p)
      for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(lo[a], gdp.getPos3(p)[a]);
        hi[a] = std::max(hi[a], gdp.getPos3(p)[a]);
      }
    for (int a = 0; a < 3; ++a)
      _centre[a] = (lo[a] + hi[a]) / 2;
    _extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 1.0f}) * 0.75f;
    _framed = true;
  }

  // A camera looking down at 30 degrees from the front (+z), orthographic.
  const float pitch = 0.5236f, cp = std::cos(pitch), sp = std::sin(pitch);
  const float scale = 0.9f * std::min(width, height) / (2.0f * _extent);
  std::vector<unsigned char> image(size_t(width) * height * 3);
  for (int y = 0; y < height; ++y) // a soft vertical gradient as the background
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c)
        image[(size_t(y) * width + x) * 3 + c] = static_cast<unsigned char>(30 + 25 * y / height + 8 * c);

  struct Disc
  {
    float x, y, depth;
    float colour[3];
  };
  std::vector<Disc> discs;
  discs.reserve(size_t(n));
  GA_Attribute const* cd = gdp.findPointAttribute("Cd");
  for (GA_Offset p = 0; p < n; ++p) {
    const UT_Vector3 v = gdp.getPos3(p);
    const float x = v.x() - _centre[0], y = v.y() - _centre[1], z = v.z() - _centre[2];
    Disc d;
    d.x = width / 2.0f + x * scale;
    d.y = height / 2.0f - (y * cp - z * sp) * scale;
    d.depth = y * sp + z * cp; // larger is nearer the camera
    for (int c = 0; c < 3; ++c)
      d.colour[c] = cd ? float(cd->get(p, c)) : (c == 0 ? 0.45f : c == 1 ? 0.7f : 1.0f);
    discs.push_back(d);
  }
  std::sort(discs.begin(), discs.end(), [](Disc const& a, Disc const& b) { return a.depth < b.depth; });
  const float radius = std::max(2.0f, 0.5f * scale * 0.9f);
  for (Disc const& d : discs) {
    const int x0 = std::max(0, int(d.x - radius)), x1 = std::min(width - 1, int(d.x + radius));
    const int y0 = std::max(0, int(d.y - radius)), y1 = std::min(height - 1, int(d.y + radius));
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const float dx = (x - d.x) / radius, dy = (y - d.y) / radius, r2 = dx * dx + dy * dy;
        if (r2 > 1.0f)
          continue;
        // Lit from the upper left: a sphere's shading on a disc.
        const float nz = std::sqrt(1.0f - r2);
        const float light = std::clamp(0.25f + 0.75f * (-0.4f * dx - 0.5f * dy + 0.77f * nz), 0.0f, 1.0f);
        for (int c = 0; c < 3; ++c)
          image[(size_t(y) * width + x) * 3 + c] =
              static_cast<unsigned char>(std::clamp(d.colour[c] * light * 255.0f, 0.0f, 255.0f));
      }
  }

  // Encoded in memory, then written like a cache: through a new temporary
  // file renamed into place.
  std::string encoded;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    problem = "cannot encode preview " + path;
    return false;
  }
  png_set_write_fn(
      png, &encoded,
      [](png_structp p, png_bytep data, png_size_t length) {
        static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char const*>(data), length);
      },
      [](png_structp) {});
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y)
    png_write_row(png, &image[size_t(y) * width * 3]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return writeAtomically(path, encoded, problem, "preview");
}
