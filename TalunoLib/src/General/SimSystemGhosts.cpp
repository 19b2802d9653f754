// Ghost particles: liquid particles near ghost-enabled collision surfaces are
// mirrored across them, so that the wall takes part in the SPH passes.
#include "CollisionObject.h"
#include "Morton.h"
#include "SimSystem.h"

#include <algorithm>
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
  mirrored.ghostLink = static_cast<int32_t>(_nbGhostParticles);
  ghost.ghostLink = static_cast<int32_t>(mirrored.id);
  ghost.invDensity = mirrored.invDensity;
  ghost.pressure = mirrored.pressure;
  _ghostParticlesArrayMap.push_back(static_cast<int32_t>(g));
  ++_nbGhostParticles;
}

void SimSystem::updateGhostParticles()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double h = particlesInteractionRadius;
  std::vector<int64_t> deleted;
  // Each liquid particle is mirrored across the nearest ghost-enabled surface
  // within reach: with several such objects (a floor and walls), each mirrors
  // the particles it is nearest to; ties keep the object of lower index.
  std::vector<CollisionObject const*> surfaces;
  for (auto const& entry : _collisionObjects) {
    CollisionObject const* object = entry.second;
    if (object && object->_active && object->_ghostParticles)
      surfaces.push_back(object);
  }
  auto nearest = [&](Particle const& p, double& distance, Eigen::Vector3d& normal) {
    distance = h;
    normal = Eigen::Vector3d::Zero();
    for (CollisionObject const* object : surfaces) {
      double d;
      Eigen::Vector3d n;
      object->_asdf->trilinearInterpolation(p.position.x(), p.position.y(), p.position.z(), d, h, n);
      if (d < distance) {
        distance = d;
        normal = n;
      }
    }
  };
  // Where a particle's ghost goes: mirrored across that surface.
  auto mirror = [](Particle const& p, double distance, Eigen::Vector3d const& normal, Eigen::Vector3d& position,
                   Eigen::Vector3d& velocity) {
    position = p.position - 2.0 * distance * normal;
    velocity = p.velocity - 2.0 * p.velocity.dot(normal) * normal;
  };

  // Without any ghost-enabled object, ghosts are neither made nor removed.
  if (!surfaces.empty()) {
    // The field queries are independent, and ghosts that stay follow their
    // particles (each particle writes only its own ghost): that runs in
    // parallel. Making and removing ghosts changes the arrays: those
    // particles are noted, per thread in index order, and handled after, in
    // particle order.
#pragma omp parallel
    {
      const int threads = omp_get_num_threads(), t = omp_get_thread_num();
#pragma omp single
      _ghostChanges.resize(size_t(threads));
      std::vector<GhostChange>& mine = _ghostChanges[size_t(t)];
      mine.clear();
#pragma omp for schedule(static)
      for (int64_t i = 0; i < n; ++i) {
        Particle const& p = _particlesArray[size_t(i)];
        if (!(p.nature & natureLiquid))
          continue;
        double distance;
        Eigen::Vector3d normal;
        nearest(p, distance, normal);
        if (distance < h && p.ghostLink != -1) {
          Particle& ghost = _ghostParticlesArray[_ghostParticlesArrayMap[p.ghostLink]];
          mirror(p, distance, normal, ghost.position, ghost.velocity);
          ghost.pressure = p.pressure;
          ghost.invDensity = p.invDensity;
        } else if ((distance < h) != (p.ghostLink != -1)) {
          mine.push_back(GhostChange{i, distance, normal});
        }
      }
    }
    for (std::vector<GhostChange> const& range : _ghostChanges)
      for (GhostChange const& change : range) {
        Particle& p = _particlesArray[size_t(change.particle)];
        if (change.distance < h) {
          Eigen::Vector3d position, velocity;
          mirror(p, change.distance, change.normal, position, velocity);
          addGhostParticle(position.x(), position.y(), position.z(), velocity.x(), velocity.y(), velocity.z(),
                           nullptr, static_cast<int>(change.particle));
        } else {
          deleted.push_back(_ghostParticlesArrayMap[p.ghostLink]);
          _ghostParticlesArrayMap[p.ghostLink] = -1;
          p.ghostLink = -1;
        }
      }
  }

  for (Particle const& ghost : _ghostParticlesArray) {
    ghost.cell->firstGhostParticle = -1;
    touchCell(ghost.cellKey);
  }

  std::sort(deleted.begin(), deleted.end());
  if (!deleted.empty()) {
    // Close the gaps in one sweep: the same result as erasing from the
    // highest noted index down.
    size_t next = 0, kept = 0;
    for (size_t k = 0; k < _ghostParticlesArray.size(); ++k) {
      if (next < deleted.size() && deleted[next] == int64_t(k)) {
        ++next;
        continue;
      }
      if (kept != k)
        _ghostParticlesArray[kept] = _ghostParticlesArray[k];
      ++kept;
    }
    _ghostParticlesArray.resize(kept, _ghostParticlesArray.front());
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
