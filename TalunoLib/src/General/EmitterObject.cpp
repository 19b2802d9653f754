#include "EmitterObject.h"

#include "Mesh.h"

#include <Eigen/Geometry>
#include <cmath>

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

} // namespace

double EmitterObject::fillLatticePoints(double radius) const
{
  if (!(radius > 0.0) || !std::isfinite(radius))
    return INFINITY;
  const double d = 2.0 * radius;
  const Eigen::Vector3d size = _bboxMax - _bboxMin;
  const double columns = (evenCountEstimate(size.x(), d) + 1.0) * (evenCountEstimate(size.z(), d) + 1.0);
  if (_fillType == crossed) {
    // Layers from the centre minus m radii up to the box's top, h apart.
    const double h = double(1.41421356f) * radius;
    const double m = evenCountEstimate(size.y(), h);
    return columns * (std::floor((size.y() / 2.0 + m * radius) / h) + 1.0);
  }
  return columns * (evenCountEstimate(size.y(), d) + 1.0);
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

  // Lattice points in visiting order.
  std::vector<Eigen::Vector3d> lattice;
  if (_fillType == cubic) {
    const int ny = evenCount(size.y(), d);
    lattice.reserve(size_t(nx + 1) * size_t(ny + 1) * size_t(nz + 1));
    for (int i = 0; i <= nx; ++i)
      for (int j = 0; j <= ny; ++j)
        for (int k = 0; k <= nz; ++k)
          lattice.emplace_back(c.x() - nx * r + i * d, c.y() - ny * r + j * d, c.z() - nz * r + k * d);
  } else if (_fillType == crossed) {
    // Layers in y, sqrt(2) r apart, alternately offset by r in x and z: each
    // point's nearest neighbours in the next layer are one diameter away.
    const double h = double(1.41421356f) * r;
    const int m = evenCount(size.y(), h);
    const double y0 = c.y() - m * r;
    for (int layer = 0;; ++layer) {
      const double y = y0 + layer * h;
      if (!(y <= _bboxMax.y()))
        break;
      const double x0 = layer % 2 == 0 ? c.x() - (nx - 1) * r : c.x() - nx * r;
      const double z0 = layer % 2 == 0 ? c.z() - (nz - 1) * r : c.z() - nz * r;
      for (int i = 0; i <= nx; ++i)
        for (int k = 0; k <= nz; ++k)
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
