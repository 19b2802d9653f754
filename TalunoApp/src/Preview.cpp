#include "Preview.h"

#include "OutputFiles.h"

#include "GA/GA_ElementGroup.h"
#include "GU/GU_Detail.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

namespace {

double dot(double const* a, double const* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void normalize(double* v)
{
  const double length = std::sqrt(dot(v, v));
  if (length > 0)
    for (int c = 0; c < 3; ++c)
      v[c] /= length;
}

void cross(double const* a, double const* b, double* out)
{
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

// A material's colour, for particles without "Cd": soft bodies pink, liquid
// blue, grains sand.
void materialColour(int nature, float* colour)
{
  const float softBody[3] = {0.95f, 0.45f, 0.6f}, liquid[3] = {0.3f, 0.6f, 1.0f}, granular[3] = {0.85f, 0.7f, 0.45f};
  float const* c = nature & 2 ? liquid : nature & 4 ? granular : nature & 1 ? softBody : liquid;
  std::copy(c, c + 3, colour);
}

} // namespace

bool PreviewCamera::write(GU_Detail const& particles, std::vector<Mesh> const& meshes, std::string const& path,
                          std::string& problem)
{
  const GA_Size n = particles.getNumPoints();
  GA_Attribute const* pscale = particles.findPointAttribute("pscale");
  GA_Attribute const* material = particles.findPointAttribute("material");
  GA_Attribute const* cd = particles.findPointAttribute("Cd");
  GA_PointGroup const* ghosts = particles.findPointGroup("TalunoGhostParticles");
  std::vector<GA_PointGroup const*> hidden;
  for (std::string const& name : _hiddenGroups)
    if (GA_PointGroup const* g = particles.findPointGroup(name))
      hidden.push_back(g);
  auto radiusOf = [&](GA_Offset p) { return pscale ? double(pscale->get(p, 0)) : 0.5; };

  if (!_framed) {
    double target[3], eye[3];
    double fov = _view.fov;
    if (_view.set) {
      std::copy(_view.target, _view.target + 3, target);
      std::copy(_view.position, _view.position + 3, eye);
    } else {
      // Everything the first picture shows: the particles and the meshes.
      double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
      auto include = [&](UT_Vector3 const& v, double r) {
        for (int a = 0; a < 3; ++a)
          if (std::isfinite(v[a])) {
            lo[a] = std::min(lo[a], double(v[a]) - r);
            hi[a] = std::max(hi[a], double(v[a]) + r);
          }
      };
      for (GA_Offset p = 0; p < n; ++p)
        include(particles.getPos3(p), radiusOf(p));
      for (Mesh const& m : meshes)
        for (GA_Offset p = 0; p < m.geometry->getNumPoints(); ++p)
          include(m.geometry->getPos3(p), 0.0);
      if (lo[0] > hi[0])
        for (int a = 0; a < 3; ++a)
          lo[a] = -1, hi[a] = 1;
      double radius = 0.0;
      for (int a = 0; a < 3; ++a) {
        target[a] = (lo[a] + hi[a]) / 2;
        radius += (hi[a] - lo[a]) * (hi[a] - lo[a]) / 4;
      }
      // As large as the scene, whatever its unit; a lone point of no size
      // is shown in a sphere of one unit.
      radius = std::sqrt(radius);
      if (!(radius > 0.0))
        radius = 1.0;
      // From the front, above and to the right, far enough for the whole
      // bounding sphere and a margin.
      double direction[3] = {0.45, 0.8, 1.0};
      normalize(direction);
      const double distance = 1.05 * radius / std::sin(fov * 3.14159265358979 / 360.0);
      for (int a = 0; a < 3; ++a)
        eye[a] = target[a] + direction[a] * distance;
    }
    std::copy(eye, eye + 3, _eye);
    for (int a = 0; a < 3; ++a)
      _forward[a] = target[a] - eye[a];
    normalize(_forward);
    const double worldUp[3] = {0, 1, 0};
    cross(_forward, worldUp, _right);
    if (dot(_right, _right) < 1e-12)
      _right[0] = 1, _right[1] = 0, _right[2] = 0; // looking straight down or up
    normalize(_right);
    cross(_right, _forward, _up);
    _focal = (height / 2.0) / std::tan(fov * 3.14159265358979 / 360.0);
    _framed = true;
  }

  // Camera coordinates: x right, y up, z depth along the view.
  auto view = [&](UT_Vector3 const& v, double* out) {
    const double d[3] = {v.x() - _eye[0], v.y() - _eye[1], v.z() - _eye[2]};
    out[0] = dot(d, _right);
    out[1] = dot(d, _up);
    out[2] = dot(d, _forward);
  };
  std::vector<unsigned char> image(size_t(width) * height * 3);
  std::vector<float> depth(size_t(width) * height, std::numeric_limits<float>::infinity());
  for (int y = 0; y < height; ++y) // a soft vertical gradient as the background
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c)
        image[(size_t(y) * width + x) * 3 + c] = static_cast<unsigned char>(30 + 25 * y / height + 8 * c);
  // Two layers: the opaque one (particles, solid meshes) and the nearest
  // see-through mesh, composed at the end.
  std::vector<float> glassDepth(size_t(width) * height, std::numeric_limits<float>::infinity());
  std::vector<float> glass(size_t(width) * height * 3);
  auto plot = [&](int x, int y, float z, float const* colour, float light, bool seeThrough) {
    const size_t at = size_t(y) * width + x;
    float& d = seeThrough ? glassDepth[at] : depth[at];
    if (!(z < d))
      return;
    d = z;
    for (int c = 0; c < 3; ++c) {
      const float value = std::clamp(colour[c] * light, 0.0f, 1.0f);
      if (seeThrough)
        glass[at * 3 + c] = value;
      else
        image[at * 3 + c] = static_cast<unsigned char>(value * 255.0f);
    }
  };
  const double light[3] = {-0.35, 0.8, -0.5}; // in camera coordinates: from the upper left, behind the viewer

  // Meshes: flat-shaded triangles, both sides lit.
  for (Mesh const& m : meshes) {
    GU_Detail const& g = *m.geometry;
    for (GA_Offset q = 0; q < g.getNumPrimitives(); ++q) {
      GEO_Primitive const* prim = g.getGEOPrimitive(q);
      if (prim->getTypeId() != GA_PRIMPOLY || prim->getVertexCount() < 3)
        continue;
      for (GA_Size k = 1; k + 1 < prim->getVertexCount(); ++k) {
        double a[3], b[3], c[3];
        view(g.getPos3(prim->getPointOffset(0)), a);
        view(g.getPos3(prim->getPointOffset(k)), b);
        view(g.getPos3(prim->getPointOffset(k + 1)), c);
        if (a[2] < 0.05 || b[2] < 0.05 || c[2] < 0.05)
          continue; // behind or at the camera
        double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]}, nrm[3];
        cross(e1, e2, nrm);
        normalize(nrm);
        const float shade = float(0.3 + 0.7 * std::abs(dot(nrm, light) / std::sqrt(dot(light, light))));
        const double sx[3] = {width / 2.0 + a[0] / a[2] * _focal, width / 2.0 + b[0] / b[2] * _focal,
                              width / 2.0 + c[0] / c[2] * _focal};
        const double sy[3] = {height / 2.0 - a[1] / a[2] * _focal, height / 2.0 - b[1] / b[2] * _focal,
                              height / 2.0 - c[1] / c[2] * _focal};
        const double area = (sx[1] - sx[0]) * (sy[2] - sy[0]) - (sx[2] - sx[0]) * (sy[1] - sy[0]);
        if (std::abs(area) < 1e-12)
          continue;
        const int x0 = std::max(0, int(std::floor(std::min({sx[0], sx[1], sx[2]}))));
        const int x1 = std::min(width - 1, int(std::ceil(std::max({sx[0], sx[1], sx[2]}))));
        const int y0 = std::max(0, int(std::floor(std::min({sy[0], sy[1], sy[2]}))));
        const int y1 = std::min(height - 1, int(std::ceil(std::max({sy[0], sy[1], sy[2]}))));
        for (int y = y0; y <= y1; ++y)
          for (int x = x0; x <= x1; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double w0 = ((sx[1] - px) * (sy[2] - py) - (sx[2] - px) * (sy[1] - py)) / area;
            const double w1 = ((sx[2] - px) * (sy[0] - py) - (sx[0] - px) * (sy[2] - py)) / area;
            const double w2 = 1.0 - w0 - w1;
            if (w0 < 0 || w1 < 0 || w2 < 0)
              continue;
            plot(x, y, float(w0 * a[2] + w1 * b[2] + w2 * c[2]), m.colour, shade, m.seeThrough);
          }
      }
    }
  }

  // Particles: spheres of their radius, shaded by their normal.
  for (GA_Offset p = 0; p < n; ++p) {
    if ((ghosts && ghosts->contains(p)) ||
        std::any_of(hidden.begin(), hidden.end(), [p](GA_PointGroup const* g) { return g->contains(p); }))
      continue;
    double v[3];
    view(particles.getPos3(p), v);
    if (!(v[2] > 0.05) || !std::isfinite(v[0]) || !std::isfinite(v[1]))
      continue;
    const double r = radiusOf(p);
    const double cx = width / 2.0 + v[0] / v[2] * _focal, cy = height / 2.0 - v[1] / v[2] * _focal;
    const double rp = std::max(0.7, r / v[2] * _focal);
    float colour[3];
    if (cd)
      for (int c = 0; c < 3; ++c)
        colour[c] = float(cd->get(p, c));
    else
      materialColour(material ? int(material->get(p, 0)) : 2, colour);
    const int x0 = std::max(0, int(cx - rp)), x1 = std::min(width - 1, int(cx + rp));
    const int y0 = std::max(0, int(cy - rp)), y1 = std::min(height - 1, int(cy + rp));
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const double dx = (x + 0.5 - cx) / rp, dy = (y + 0.5 - cy) / rp, r2 = dx * dx + dy * dy;
        if (r2 > 1.0)
          continue;
        const double nz = std::sqrt(1.0 - r2);
        const double normal[3] = {dx, -dy, -nz};
        const float shade = float(std::clamp(0.25 + 0.75 * dot(normal, light) / std::sqrt(dot(light, light)), 0.1, 1.0));
        plot(x, y, float(v[2] - nz * r), colour, shade, false);
      }
  }

  // Glass over the layer below: opaque over the background, a light tint
  // over the particles and solid meshes it is in front of.
  const float tint = 0.3f;
  for (size_t at = 0; at < depth.size(); ++at) {
    if (!(glassDepth[at] < depth[at]))
      continue;
    const bool over = std::isfinite(depth[at]);
    for (int c = 0; c < 3; ++c) {
      const float below = image[at * 3 + c] / 255.0f;
      const float mixed = over ? (1 - tint) * below + tint * glass[at * 3 + c] : glass[at * 3 + c];
      image[at * 3 + c] = static_cast<unsigned char>(std::clamp(mixed, 0.0f, 1.0f) * 255.0f);
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

std::string PreviewCamera::saveView() const
{
  if (!_framed)
    return {};
  std::vector<double> v(_eye, _eye + 3);
  v.insert(v.end(), _forward, _forward + 3);
  v.insert(v.end(), _right, _right + 3);
  v.insert(v.end(), _up, _up + 3);
  v.push_back(_focal);
  return std::string(reinterpret_cast<char const*>(v.data()), v.size() * sizeof(double));
}

bool PreviewCamera::loadView(std::string const& bytes)
{
  if (bytes.size() != 13 * sizeof(double))
    return false;
  double v[13];
  std::memcpy(v, bytes.data(), sizeof v);
  if (!std::all_of(v, v + 13, [](double x) { return std::isfinite(x); }))
    return false;
  std::copy(v, v + 3, _eye);
  std::copy(v + 3, v + 6, _forward);
  std::copy(v + 6, v + 9, _right);
  std::copy(v + 9, v + 12, _up);
  _focal = v[12];
  _framed = true;
  return true;
}
