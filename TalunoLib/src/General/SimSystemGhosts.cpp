// Ghost particles: liquid particles near ghost-enabled collision surfaces are
// mirrored across them, so that the wall takes part in the SPH passes.
#include "CollisionObject.h"
#include "Morton.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

void SimSystem::addGhostParticle(double x, double y, double z, double vx, double vy, double vz, Cell* cell, int index)
{
  const uint64_t key = cellKeyOf(x, y, z);
  _ghostParticlesArray.emplace_back(x, y, z, vx, vy, vz, 0, cell, key, char(natureLiquid), nullptr);
  const int64_t g = static_cast<int64_t>(_ghostParticlesArray.size()) - 1;
  linkToCell(key, g, true);
  Particle& ghost = _ghostParticlesArray[g];
  Particle& mirrored = _particlesArray[index];
  ghost.id = _nbGhostParticles;
  // A particle links to its first ghost; each ghost to its particle.
  if (mirrored.ghostLink == -1)
    mirrored.ghostLink = static_cast<int32_t>(_nbGhostParticles);
  ghost.ghostLink = static_cast<int32_t>(mirrored.id);
  ghost.invDensity = mirrored.invDensity;
  ghost.pressure = mirrored.pressure;
  _ghostParticlesArrayMap.push_back(static_cast<int32_t>(g));
  ++_nbGhostParticles;
}

namespace {

/// Surfaces whose outward normals are closer than this (cosine) are one
/// wall seen twice (two objects meeting flush): only the nearer mirrors.
constexpr double sameWall = 0.9;
/// Two walls whose normals are within this (cosine) of square to each other
/// form a corner, and the liquid is mirrored across both at once as well.
constexpr double squareCorner = 0.3;

} // namespace

void SimSystem::updateGhostParticles()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double h = particlesInteractionRadius;
  // Each liquid particle is mirrored across every ghost-enabled wall within
  // reach, and in a square corner also across the walls together: a
  // particle in a tank's corner then sees liquid on every side, as in the
  // bulk, where one mirror leaves it short of neighbours and it slides
  // along the corner. The ghosts are made anew after every sub-step.
  std::vector<CollisionObject const*> surfaces;
  std::vector<int64_t> surfaceIndex;
  for (auto const& entry : _collisionObjects) {
    CollisionObject const* object = entry.second;
    if (object && object->_active && object->_ghostParticles) {
      surfaces.push_back(object);
      surfaceIndex.push_back(entry.first);
    }
  }

  if (surfaces.empty() && _ghostParticlesArray.empty())
    return;
  for (Particle const& ghost : _ghostParticlesArray) {
    ghost.cell->firstGhostParticle = -1;
    touchCell(ghost.cellKey);
  }
  _ghostParticlesArray.clear();
  _ghostParticlesArrayMap.clear();
  _nbGhostParticles = 0;
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i)
    _particlesArray[size_t(i)].ghostLink = -1;

  // The field queries are independent: each thread notes the ghosts of a
  // range of particles, in index order, and they are made after, in
  // particle order, whatever the number of threads.
#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
#pragma omp single
    {
      _ghostChanges.resize(size_t(threads));
      _ghostWallChanges.resize(size_t(threads));
    }
    std::vector<GhostChange>& mine = _ghostChanges[size_t(t)];
    std::vector<GhostWalls>& mineWalls = _ghostWallChanges[size_t(t)];
    mine.clear();
    mineWalls.clear();
    if (!surfaces.empty()) {
#pragma omp for schedule(static)
      for (int64_t i = 0; i < n; ++i) {
        Particle const& p = _particlesArray[size_t(i)];
        if (!(p.nature & natureLiquid))
          continue;
        // The walls within reach, nearest first, each wall once.
        struct Wall
        {
          double distance;
          Eigen::Vector3d normal;
          int64_t object;
        } walls[3];
        int count = 0;
        for (size_t w = 0; w < surfaces.size(); ++w) {
          CollisionObject const* object = surfaces[w];
          double d;
          Eigen::Vector3d normal;
          object->_asdf->trilinearInterpolation(p.position.x(), p.position.y(), p.position.z(), d, h, normal);
          if (!(d < h))
            continue;
          int same = -1;
          for (int k = 0; k < count; ++k)
            if (walls[k].normal.dot(normal) > sameWall)
              same = k;
          if (same >= 0) {
            if (d < walls[same].distance)
              walls[same] = Wall{d, normal, surfaceIndex[w]};
          } else if (count < 3) {
            walls[count++] = Wall{d, normal, surfaceIndex[w]};
          } else {
            // A fourth direction: keep the three nearest.
            int farthest = 0;
            for (int k = 1; k < 3; ++k)
              if (walls[k].distance > walls[farthest].distance)
                farthest = k;
            if (d < walls[farthest].distance)
              walls[farthest] = Wall{d, normal, surfaceIndex[w]};
          }
        }
        for (int a = 1; a < count; ++a)
          for (int b = a; b > 0 && walls[b].distance < walls[b - 1].distance; --b)
            std::swap(walls[b], walls[b - 1]);
        // Every set of walls that are square to each other: one wall, two,
        // or the three of a box's corner. Mirrors compose: across the first,
        // then the image across the next.
        for (int set = 1; set < (1 << count); ++set) {
          bool square = true;
          for (int a = 0; a < count; ++a)
            for (int b = a + 1; b < count; ++b)
              if ((set >> a & 1) && (set >> b & 1) && std::abs(walls[a].normal.dot(walls[b].normal)) > squareCorner)
                square = false;
          if (!square)
            continue;
          Eigen::Vector3d position = p.position, velocity = p.velocity;
          GhostWalls across;
          for (int a = 0; a < count; ++a)
            if (set >> a & 1) {
              if (measureColliderLoads) {
                across.object[across.count] = walls[a].object;
                across.normal[across.count++] = walls[a].normal;
              }
              // The image's distance to this wall's plane, through the
              // particle's own distance.
              const double d = walls[a].distance + (position - p.position).dot(walls[a].normal);
              position -= 2.0 * d * walls[a].normal;
              velocity -= 2.0 * velocity.dot(walls[a].normal) * walls[a].normal;
            }
          mine.push_back(GhostChange{i, position, velocity});
          if (measureColliderLoads)
            mineWalls.push_back(across);
        }
      }
    }
  }
  _ghostWalls.clear();
  for (size_t t = 0; t < _ghostChanges.size(); ++t) {
    for (GhostChange const& ghost : _ghostChanges[t])
      addGhostParticle(ghost.position.x(), ghost.position.y(), ghost.position.z(), ghost.velocity.x(),
                       ghost.velocity.y(), ghost.velocity.z(), nullptr, static_cast<int>(ghost.particle));
    if (measureColliderLoads)
      _ghostWalls.insert(_ghostWalls.end(), _ghostWallChanges[t].begin(), _ghostWallChanges[t].end());
  }
  refreshGhostPressures();

  for (Particle const& ghost : _ghostParticlesArray) {
    ghost.cell->firstGhostParticle = -1;
    touchCell(ghost.cellKey);
  }

  const int64_t ghosts = static_cast<int64_t>(_ghostParticlesArray.size());
  for (int64_t k = 0; k < ghosts; ++k) {
    Particle& ghost = _ghostParticlesArray[k];
    ghost.nextInCell = static_cast<int32_t>(ghost.cell->firstGhostParticle);
    ghost.cell->firstGhostParticle = k;
    touchCell(ghost.cellKey);
  }

  // Refresh the ghost heads around every cell that holds a ghost, once each.
  std::unordered_set<uint64_t> refreshed;
  for (int64_t k = 0; k < ghosts; ++k) {
    Particle const& ghost = _ghostParticlesArray[k];
    if (!refreshed.insert(ghost.cellKey).second)
      continue;
    Cell* cell = ghost.cell;
    const uint32_t ux = magnet::math::undilate(ghost.cellKey), uy = magnet::math::undilate(ghost.cellKey >> 1),
                   uz = magnet::math::undilate(ghost.cellKey >> 2);
    int e = 0;
    for (uint32_t x = ux - 1; x != ux + 2; ++x)
      for (uint32_t y = uy - 1; y != uy + 2; ++y)
        for (uint32_t z = uz - 1; z != uz + 2; ++z, ++e) {
          Cell const* found = _cellIndex.find(magnet::math::mortonKey(x, y, z));
          cell->neighborFirstGhostParticles.set(size_t(e), found ? found->firstGhostParticle : -1);
        }
    // Written outside the neighbour refresh: the next one takes this cell's
    // snapshots whole.
    cell->stale = true;
  }

  for (int64_t k = 0; k < ghosts; ++k)
    _ghostParticlesArrayMap[_ghostParticlesArray[k].id] = static_cast<int32_t>(k);
}

void SimSystem::refreshGhostPressures()
{
  // A ghost below its particle stands for liquid deeper than it: its
  // pressure is the particle's plus the weight of the liquid between them,
  // as the liquid at rest holds it, so that a floor bears the liquid on it
  // by pressure, not by the particles' collisions with it.
  const double weight = gravity != 0.0 ? restingPressureGradient() * (gravity < 0.0 ? 1.0 : -1.0) : 0.0;
  const int64_t ghosts = static_cast<int64_t>(_ghostParticlesArray.size());
#pragma omp parallel for schedule(static)
  for (int64_t k = 0; k < ghosts; ++k) {
    Particle& ghost = _ghostParticlesArray[size_t(k)];
    // A ghost that mirrors no particle (one placed by hand) keeps its own.
    if (ghost.ghostLink < 0 || size_t(ghost.ghostLink) >= _particlesArrayMap.size() ||
        _particlesArrayMap[size_t(ghost.ghostLink)] < 0)
      continue;
    Particle const& p = _particlesArray[size_t(_particlesArrayMap[size_t(ghost.ghostLink)])];
    ghost.invDensity = p.invDensity;
    ghost.pressure = p.pressure + weight * (p.position.y() - ghost.position.y());
    if (clampNegativePressure && ghost.pressure < 0.0)
      ghost.pressure = 0.0;
  }
}
