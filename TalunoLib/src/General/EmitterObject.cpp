#include "EmitterObject.h"

#include "Mesh.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <utility>

EmitterObject::EmitterObject(Mesh* mesh, char nature, emissionType emission, fillType fill, double thickness,
                             behaviour geometryBehaviour, double vx, double vy, double vz, unsigned interval,
                             double px, double py, double pz, double frictionMultiplier, unsigned id)
    : TalunoObject(1), _id(id), _mesh(mesh), _pivot(px, py, pz)
{
  storeParms(nature, emission, fill, thickness, geometryBehaviour, vx, vy, vz, interval, frictionMultiplier);
  mesh->getBBox(_bboxMin, _bboxMax, 1.0);
}

void EmitterObject::storeParms(char nature, emissionType emission, fillType fill, double thickness,
                               behaviour geometryBehaviour, double vx, double vy, double vz, unsigned interval,
                               double frictionMultiplier)
{
  _nature = nature;
  _emissionType = emission;
  _fillType = fill;
  _thickness = thickness > 0.0 ? thickness : unlimitedThickness;
  _behaviour = geometryBehaviour;
  _velocity = Eigen::Vector3d(vx, vy, vz);
  _interval = interval;
  _frictionMultiplier = frictionMultiplier;
}

void EmitterObject::updateEmitterObjectParms(char nature, emissionType emission, fillType fill, double thickness,
                                             behaviour geometryBehaviour, double vx, double vy, double vz,
                                             unsigned interval, double px, double py, double pz,
                                             double frictionMultiplier)
{
  storeParms(nature, emission, fill, thickness, geometryBehaviour, vx, vy, vz, interval, frictionMultiplier);
  const Eigen::Vector3d pivot(px, py, pz);
  if (pivot != _pivot) {
    // The lattice keeps its place, expressed relative to the new pivot.
    const Eigen::Vector3d shift = _pivot - pivot;
    for (Eigen::Vector3d& p : _localPositions)
      p += shift;
    _pivot = pivot;
  }
}

namespace {

// Integer part of width / d, rounded up to an even number so that the
// lattice's centre is one of its points.
int evenCount(double width, double d)
{
  // Saturates instead of overflowing; such lattices are refused before a fill.
  const double q = width / d;
  const int n = q < 2147483646.0 ? static_cast<int>(q) : 2147483646;
  return n % 2 ? n + 1 : n;
}

// The count above, in floating point, for estimates.
double evenCountEstimate(double width, double d)
{
  const double n = std::floor(width / d);
  return std::fmod(n, 2.0) != 0.0 ? n + 1.0 : n;
}

// The indices i in [0, n] whose points start + i * step lie within [low,
// high], as doubles so that estimates of huge lattices do not overflow;
// first > last when there are none.
std::pair<double, double> indicesWithin(double start, double step, double n, double low, double high)
{
  const double first = std::max(0.0, std::ceil((low - start) / step));
  const double last = std::min(n, std::floor((high - start) / step));
  return {first, last};
}

double countOf(std::pair<double, double> range) { return std::max(0.0, range.second - range.first + 1.0); }

} // namespace

// The lattice spans the object's box, widened by a whole scene unit; only its
// points near the mesh can be inside it. Those within one spacing of the
// mesh's own box are visited, so that a small object at a fine radius costs
// what its own size asks, whatever the scene's unit.
void EmitterObject::latticeWindow(double d, Eigen::Vector3d& low, Eigen::Vector3d& high) const
{
  _mesh->getBBox(low, high, d);
}

double EmitterObject::fillLatticePoints(double radius) const
{
  if (!(radius > 0.0) || !std::isfinite(radius))
    return INFINITY;
  const double r = radius, d = 2.0 * r;
  const Eigen::Vector3d size = _bboxMax - _bboxMin;
  const Eigen::Vector3d c = (_bboxMin + _bboxMax) / 2.0;
  Eigen::Vector3d low, high;
  latticeWindow(d, low, high);
  const double nx = evenCountEstimate(size.x(), d), nz = evenCountEstimate(size.z(), d);
  // The crossed fill's odd layers start a radius further out: count the
  // wider of the two rows.
  const double shift = _fillType == crossed ? r : 0.0;
  const double columns = countOf(indicesWithin(c.x() - nx * r, d, nx, low.x() - shift, high.x())) *
                         countOf(indicesWithin(c.z() - nz * r, d, nz, low.z() - shift, high.z()));
  if (_fillType == crossed) {
    // Layers from the centre minus m radii up to the box's top, h apart.
    const double h = double(1.41421356f) * r;
    const double m = evenCountEstimate(size.y(), h);
    const double y0 = c.y() - m * r;
    return columns * countOf(indicesWithin(y0, h, std::floor((_bboxMax.y() - y0) / h), low.y(), high.y()));
  }
  const double ny = evenCountEstimate(size.y(), d);
  return columns * countOf(indicesWithin(c.y() - ny * r, d, ny, low.y(), high.y()));
}

void EmitterObject::Fill(double& radius)
{
  const double r = radius;
  if (!(r > 0.0) || !std::isfinite(r)) {
    // No lattice has a spacing of zero or less.
    _positions.clear();
    _localPositions.clear();
    return;
  }
  const double d = 2.0 * r;
  const Eigen::Vector3d size = _bboxMax - _bboxMin;
  const int nx = evenCount(size.x(), d);
  const int nz = evenCount(size.z(), d);
  const Eigen::Vector3d c = (_bboxMin + _bboxMax) / 2.0;
  _positions.clear();

  Eigen::Vector3d low, high;
  latticeWindow(d, low, high);
  // Visits the points start + i * d, i in [0, n], that lie in [a, b].
  auto span = [d](double start, int n, double a, double b) {
    const std::pair<double, double> range = indicesWithin(start, d, double(n), a, b);
    return std::pair<int, int>(int(range.first), int(range.second));
  };

  // Lattice points in visiting order.
  std::vector<Eigen::Vector3d> lattice;
  if (_fillType == cubic) {
    const int ny = evenCount(size.y(), d);
    const Eigen::Vector3d start(c.x() - nx * r, c.y() - ny * r, c.z() - nz * r);
    const auto [i0, i1] = span(start.x(), nx, low.x(), high.x());
    const auto [j0, j1] = span(start.y(), ny, low.y(), high.y());
    const auto [k0, k1] = span(start.z(), nz, low.z(), high.z());
    if (i0 <= i1 && j0 <= j1 && k0 <= k1)
      lattice.reserve(size_t(i1 - i0 + 1) * size_t(j1 - j0 + 1) * size_t(k1 - k0 + 1));
    for (int i = i0; i <= i1; ++i)
      for (int j = j0; j <= j1; ++j)
        for (int k = k0; k <= k1; ++k)
          lattice.emplace_back(start.x() + i * d, start.y() + j * d, start.z() + k * d);
  } else if (_fillType == crossed) {
    // Layers in y, sqrt(2) r apart, alternately offset by r in x and z: each
    // point's nearest neighbours in the next layer are one diameter away.
    const double h = double(1.41421356f) * r;
    const int m = evenCount(size.y(), h);
    const double y0 = c.y() - m * r;
    const int first = int(std::max(0.0, std::ceil((low.y() - y0) / h)));
    for (int layer = first;; ++layer) {
      const double y = y0 + layer * h;
      if (!(y <= _bboxMax.y()) || y > high.y())
        break;
      const double x0 = layer % 2 == 0 ? c.x() - (nx - 1) * r : c.x() - nx * r;
      const double z0 = layer % 2 == 0 ? c.z() - (nz - 1) * r : c.z() - nz * r;
      const auto [i0, i1] = span(x0, nx, low.x(), high.x());
      const auto [k0, k1] = span(z0, nz, low.z(), high.z());
      for (int i = i0; i <= i1; ++i)
        for (int k = k0; k <= k1; ++k)
          lattice.emplace_back(x0 + i * d, y, z0 + k * d);
    }
  }

  if (!lattice.empty()) {
    // The box's maximum corner is outside: its sign tells which side of the
    // surface is outside, whichever way the triangles face.
    double mx = _bboxMax.x(), my = _bboxMax.y(), mz = _bboxMax.z();
    const double sigma = _mesh->minimumDistance(mx, my, mz) >= 0 ? 1.0 : -1.0;

    // A point on the surface is outside. A lattice point meant to lie on a
    // face (a box a whole number of spacings wide) lands a rounding error
    // inside or outside it, depending on the scene's size: points closer to
    // the surface than a millionth of the spacing count as on it, so that
    // the same box fills alike at any scale.
    const double onSurface = 1e-6 * d;
    // Distance queries are independent: run them in parallel, keep the order.
    std::vector<char> keep(lattice.size());
    const int64_t n = static_cast<int64_t>(lattice.size());
#pragma omp parallel for schedule(dynamic, 256)
    for (int64_t i = 0; i < n; ++i) {
      double x = lattice[i].x(), y = lattice[i].y(), z = lattice[i].z();
      const double delta = sigma * _mesh->minimumDistance(x, y, z);
      keep[i] = delta < -onSurface && delta > -_thickness;
    }
    for (int64_t i = 0; i < n; ++i)
      if (keep[i])
        _positions.push_back(lattice[i]);
  }

  _localPositions.resize(_positions.size());
  for (size_t k = 0; k < _positions.size(); ++k)
    _localPositions[k] = _positions[k] - _pivot;
}

void EmitterObject::setInitTransfoMatrix(Eigen::Matrix4d& m) { _initTransfoMatrix = m; }

void EmitterObject::applyTransfoMatrix(Eigen::Matrix4d& m)
{
  const Eigen::Matrix<double, 3, 4> upper = m.topRows<3>();
  _positions.resize(_localPositions.size());
  for (size_t k = 0; k < _localPositions.size(); ++k)
    _positions[k] = upper * _localPositions[k].homogeneous() + _pivot;
}
