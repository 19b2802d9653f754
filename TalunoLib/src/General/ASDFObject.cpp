#include "ASDFObject.h"

#include "Mesh.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

ASDFObject::ASDFObject(Mesh* mesh, double errorThreshold, int maxDepth)
    : _errorThreshold(errorThreshold), _maxDepth(maxDepth), _mesh(mesh)
{
  createASDFObjectData(0.5);
}

ASDFObject::~ASDFObject() { delete _root; }

void ASDFObject::createASDFObjectData(double collisionDistance)
{
  if (!_mesh)
    return;
  _mesh->getBBox(_bboxMin, _bboxMax, 1.5 * collisionDistance);
  const Eigen::Vector3d extent = _bboxMax - _bboxMin;
  _rootSize = extent.maxCoeff();
  const Eigen::Vector3d centre = (_bboxMin + _bboxMax) / 2.0;
  _origin = centre - Eigen::Vector3d::Constant(_rootSize / 2.0);
  delete _root;
  _root = new ASDFCell(centre.x(), centre.y(), centre.z(), _rootSize);
  _depth = Adapt(_root, 0, -1);
  _depthMinusOne = _depth - 1;
  _resolution = 1 << _depth;
}

double ASDFObject::getDistance(double x, double y, double z) { return _mesh->minimumDistance(x, y, z) * _sign; }

namespace {

// Corners each child evaluates: those its parent's subdivision created for it
// and no earlier sibling evaluated.
constexpr int newCorners[8][8] = {
    {1, 2, 3, 4, 5, 6, 7, -1}, {3, 5, 7, -1}, {3, 6, 7, -1}, {7, -1}, {5, 6, 7, -1}, {7, -1}, {7, -1}, {-1},
};

} // namespace

int ASDFObject::Adapt(ASDFCell* cell, int depth, int childIndex)
{
  auto evaluate = [this](Corner* c) { c->distance = getDistance(c->x, c->y, c->z); };
  if (childIndex < 0) {
    for (Corner* c : cell->_corners)
      evaluate(c);
  } else {
    for (int const* k = newCorners[childIndex]; *k != -1; ++k)
      evaluate(cell->_corners[*k]);
  }

  if (depth == 0 && cell->_corners[0]->distance < 0) {
    // Corner 0 lies outside the mesh: the mesh's normals point inwards, so
    // every distance taken from it is negated from now on.
    _sign = -1;
    for (Corner* c : cell->_corners)
      c->distance = -c->distance;
  }

  Corner const* const* c = cell->_corners;
  const double mx = (c[0]->x + c[4]->x) / 2.0, my = (c[0]->y + c[2]->y) / 2.0, mz = (c[0]->z + c[1]->z) / 2.0;
  const double exact = getDistance(mx, my, mz);
  double approx;
  trilinearInterpolation(cell, mx, my, mz, approx);

  // The surface may cross the cell when some corner is closer to it than the
  // half-diagonal.
  const double dx = c[0]->x - mx, dy = c[0]->y - my, dz = c[0]->z - mz;
  const double halfDiagonal2 = dx * dx + dy * dy + dz * dz;
  bool near = false;
  for (int k = 0; k < 8; ++k)
    near = near || halfDiagonal2 > c[k]->distance * c[k]->distance;

  if (!(std::abs(exact - approx) > _errorThreshold && near && depth < _maxDepth))
    return depth;

  cell->SubDivide();
  int reached = depth;
  for (int k = 0; k < 8; ++k)
    reached = std::max(reached, Adapt(cell->_children[k], depth + 1, k));
  return reached;
}

ASDFCell* ASDFObject::getCell(double x, double y, double z) const
{
  if (!_root)
    return nullptr;
  if (!(x > _bboxMin.x() && x < _bboxMax.x() && y > _bboxMin.y() && y < _bboxMax.y() && z > _bboxMin.z() &&
        z < _bboxMax.z()))
    return nullptr;
  // Lattice coordinates at the finest level; rounding at the upper edge of the
  // root cube must not step past the last leaf.
  auto lattice = [this](double v, double o) {
    const int i = static_cast<int>(std::floor((v - o) / _rootSize * _resolution));
    return std::min(std::max(i, 0), _resolution - 1);
  };
  const int i = lattice(x, _origin.x()), j = lattice(y, _origin.y()), k = lattice(z, _origin.z());
  ASDFCell* cell = _root;
  for (int level = _depthMinusOne; !cell->isLeaf() && level >= 0; --level) {
    const int child = 4 * ((i >> level) & 1) + 2 * ((j >> level) & 1) + ((k >> level) & 1);
    cell = cell->_children[child];
  }
  return cell;
}

namespace {

// Bilinear value on a cell face at in-face coordinates (u, v), with a at
// (u0, v0), b at (u1, v0), c at (u0, v1) and d at (u1, v1), evaluated in the
// order of the field's interpolation formula.
inline double bilinear(double a, double b, double c, double d, double u, double u0, double u1, double v, double v0,
                       double v1)
{
  return (a * (u1 - u) * (v1 - v) + b * (u - u0) * (v1 - v) + c * (u1 - u) * (v - v0) + d * (u - u0) * (v - v0)) /
         ((u1 - u0) * (v1 - v0));
}

struct CellBox
{
  explicit CellBox(ASDFCell const* cell)
  {
    Corner const* const* c = cell->_corners;
    x0 = c[0]->x, x1 = c[4]->x, y0 = c[0]->y, y1 = c[2]->y, z0 = c[0]->z, z1 = c[1]->z;
    for (int k = 0; k < 8; ++k)
      d[k] = c[k]->distance;
  }
  double x0, x1, y0, y1, z0, z1;
  double d[8];
};

} // namespace

double ASDFObject::interpolate(ASDFCell const* cell, Eigen::Vector3d const& p)
{
  // Bilinear values on the two x faces at (y, z), then a linear blend in x.
  const CellBox b(cell);
  const double f0 = bilinear(b.d[0], b.d[1], b.d[2], b.d[3], p.z(), b.z0, b.z1, p.y(), b.y0, b.y1);
  const double f1 = bilinear(b.d[4], b.d[5], b.d[6], b.d[7], p.z(), b.z0, b.z1, p.y(), b.y0, b.y1);
  return f0 + (f1 - f0) * (p.x() - b.x0) / (b.x1 - b.x0);
}

Eigen::Vector3d ASDFObject::faceDifferences(ASDFCell const* cell, Eigen::Vector3d const& p)
{
  const CellBox b(cell);
  const double x = p.x(), y = p.y(), z = p.z();
  const double xLow = bilinear(b.d[0], b.d[1], b.d[2], b.d[3], z, b.z0, b.z1, y, b.y0, b.y1);
  const double xHigh = bilinear(b.d[4], b.d[5], b.d[6], b.d[7], z, b.z0, b.z1, y, b.y0, b.y1);
  const double yLow = bilinear(b.d[0], b.d[1], b.d[4], b.d[5], z, b.z0, b.z1, x, b.x0, b.x1);
  const double yHigh = bilinear(b.d[2], b.d[3], b.d[6], b.d[7], z, b.z0, b.z1, x, b.x0, b.x1);
  const double zLow = bilinear(b.d[0], b.d[2], b.d[4], b.d[6], y, b.y0, b.y1, x, b.x0, b.x1);
  const double zHigh = bilinear(b.d[1], b.d[3], b.d[5], b.d[7], y, b.y0, b.y1, x, b.x0, b.x1);
  return Eigen::Vector3d(xHigh - xLow, yHigh - yLow, zHigh - zLow);
}

void ASDFObject::trilinearInterpolation(ASDFCell* cell, double x, double y, double z, double& distance) const
{
  if (!cell) {
    distance = farDistance;
    return;
  }
  distance = interpolate(cell, Eigen::Vector3d(x, y, z));
}

void ASDFObject::trilinearInterpolation(double x, double y, double z, double& distance, double maxDistance,
                                        Eigen::Vector3d& gradient) const
{
  Eigen::Vector3d p(x, y, z);
  if (_movingGeometry)
    p = (_worldToObject * p.homogeneous()).head<3>();
  ASDFCell const* cell = getCell(p.x(), p.y(), p.z());
  if (!cell) {
    distance = farDistance;
    return;
  }
  distance = interpolate(cell, p);
  if (!(maxDistance > distance))
    return;
  Eigen::Vector3d g = faceDifferences(cell, p);
  if (_movingGeometry)
    g = _objectToWorld.topLeftCorner<3, 3>() * g;
  const double length2 = g.squaredNorm();
  if (length2 > 0.0 && std::isfinite(length2)) {
    gradient = g * (1.0 / std::sqrt(length2));
    return;
  }
  // Flat cell (all corner differences zero): no direction to read from the
  // field. Point away from the mesh's centre, which for a closed object is
  // outward, rather than hand out an infinite or NaN normal.
  Eigen::Vector3d away = p - (_mesh ? _mesh->_center : Eigen::Vector3d::Zero());
  if (_movingGeometry)
    away = _objectToWorld.topLeftCorner<3, 3>() * away;
  const double awayLength2 = away.squaredNorm();
  gradient = awayLength2 > 0.0 && std::isfinite(awayLength2) ? Eigen::Vector3d(away / std::sqrt(awayLength2))
                                                             : Eigen::Vector3d::UnitY();
}

void ASDFObject::setCollisionDistance(double distance)
{
  if (!_mesh)
    return;
  const Eigen::Vector3d fieldExtent = _bboxMax - _bboxMin;
  const Eigen::Vector3d meshExtent = _mesh->_bboxMax - _mesh->_bboxMin;
  const double margin = (fieldExtent - meshExtent).minCoeff() / 2.0;
  const bool wider = 1.5 * distance > margin;
  const bool finer = _errorThreshold > accuracyShare * distance;
  // Cells as deep as a collision distance at the finest: a cell much larger
  // than the particles blurs whatever lies within it, a floor thinner than
  // the cell or the edge of a wall, by more than the particles' size.
  // Edges and thin parts refine down to the finest level: beyond a budget
  // of cells along the mesh's edges the field stops short of it, as a
  // particle radius far below the scene's detail would cost more than the
  // simulation it serves.
  double edgeLength = 0.0;
  for (auto const& [key, edge] : _mesh->_edges)
    edgeLength += (edge.vertexA->position - edge.vertexB->position).norm();
  const double finest = std::max(distance, 8.0 * edgeLength / deepeningBudget);
  const double rootSize = (meshExtent + Eigen::Vector3d::Constant(2.0 * (wider ? 1.5 * distance : margin))).maxCoeff();
  const int resolving = finest > 0.0 ? int(std::ceil(std::log2(rootSize / finest))) : 0;
  const bool deeper = resolving > _maxDepth && _maxDepth < deepestLevel;
  if (!wider && !finer && !deeper)
    return;
  if (finer)
    _errorThreshold = accuracyShare * distance;
  if (deeper)
    _maxDepth = std::min(resolving, deepestLevel);
  if (wider)
    _collisionDistance = distance;
  delete _root;
  _root = nullptr;
  createASDFObjectData(wider ? distance : margin / 1.5);
}

void ASDFObject::setTransfoMatrices(Eigen::Matrix4d& objectToWorld, Eigen::Matrix4d& worldToObject)
{
  _objectToWorld = objectToWorld;
  _worldToObject = worldToObject;
}

Eigen::Vector3d ASDFObject::worldCorner(int k, bool meshOnly) const
{
  Eigen::Vector3d low = _bboxMin, high = _bboxMax;
  if (meshOnly)
    _mesh->getBBox(low, high, 0.0);
  const Eigen::Vector3d local((k & 1) ? high.x() : low.x(), (k & 2) ? high.y() : low.y(),
                              (k & 4) ? high.z() : low.z());
  return (_objectToWorld * local.homogeneous()).head<3>();
}
