#pragma once

// Independent checks of the grid's invariants, shared by the grid and
// determinism tests.
#include "Morton.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

namespace gridchecks {

/// Places a side^3 block of particles on a lattice of `spacing` starting at `origin`.
inline void placeBlock(SimSystem& system, int side, double spacing, Eigen::Vector3d const& origin, char nature)
{
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j)
      for (int k = 0; k < side; ++k)
        system.placeParticle(origin + spacing * Eigen::Vector3d(i, j, k), Eigen::Vector3d::Zero(), nature);
}

/// Places n particles uniformly at random in the box [0, extent)^3.
inline void placeRandom(SimSystem& system, int n, double extent, unsigned seed, char nature)
{
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, extent);
  for (int i = 0; i < n; ++i)
    system.placeParticle(Eigen::Vector3d(u(rng), u(rng), u(rng)), Eigen::Vector3d::Zero(), nature);
}

/// Every particle sits in exactly one list, the list of the cell under its own
/// key; every listed cell is non-empty; the id map points at the right index.
inline ::testing::AssertionResult listsAreConsistent(SimSystem const& system)
{
  const auto& particles = system._particlesArray;
  std::vector<int> seen(particles.size(), 0);
  for (auto const& [key, cell] : system._cells) {
    if (cell->firstParticle == -1 && cell->firstGhostParticle == -1)
      return ::testing::AssertionFailure() << "empty cell " << key << " kept";
    for (int64_t i = cell->firstParticle; i != -1; i = particles[i].nextInCell) {
      if (i < 0 || i >= int64_t(particles.size()))
        return ::testing::AssertionFailure() << "index " << i << " out of range in cell " << key;
      if (seen[i]++)
        return ::testing::AssertionFailure() << "particle " << i << " listed twice";
      if (particles[i].cell != cell || particles[i].cellKey != key)
        return ::testing::AssertionFailure() << "particle " << i << " listed in a cell that is not its own";
      if (particles[i].cellKey != system.cellKeyOf(particles[i].position))
        return ::testing::AssertionFailure() << "particle " << i << " has a stale key";
    }
  }
  for (size_t i = 0; i < particles.size(); ++i) {
    if (!seen[i])
      return ::testing::AssertionFailure() << "particle " << i << " is in no list";
    if (system._particlesArrayMap[particles[i].id] != int32_t(i))
      return ::testing::AssertionFailure() << "id map of " << particles[i].id << " is wrong";
  }
  return ::testing::AssertionSuccess();
}

/// Indices reached by walking the 27 neighbour snapshots of particle i's cell.
inline std::set<int64_t> walkNeighbors(SimSystem const& system, size_t i)
{
  std::set<int64_t> found;
  const Cell* cell = system._particlesArray[i].cell;
  const size_t limit = system._particlesArray.size();
  for (int64_t head : cell->neighborFirstParticles) {
    size_t steps = 0;
    for (int64_t j = head; j != -1 && steps <= limit; j = system._particlesArray[j].nextInCell, ++steps)
      found.insert(j);
  }
  return found;
}

/// The snapshots reach exactly the particles whose cell coordinates differ from
/// particle i's by at most one on each axis, computed by brute force.
inline ::testing::AssertionResult neighborsMatchBruteForce(SimSystem const& system)
{
  const auto& particles = system._particlesArray;
  for (size_t i = 0; i < particles.size(); ++i) {
    std::set<int64_t> expected;
    const Eigen::Vector3d& a = particles[i].position;
    for (size_t j = 0; j < particles.size(); ++j) {
      const Eigen::Vector3d& b = particles[j].position;
      bool near = true;
      for (int axis = 0; axis < 3; ++axis)
        near = near && std::abs(int64_t(system.cellCoordinate(a[axis])) - system.cellCoordinate(b[axis])) <= 1;
      if (near)
        expected.insert(int64_t(j));
    }
    if (walkNeighbors(system, i) != expected)
      return ::testing::AssertionFailure() << "neighbourhood of particle " << i << " differs from brute force";

    // Entry 9 (dx + 1) + 3 (dy + 1) + (dz + 1) holds the head of the cell at offset (dx, dy, dz).
    const Cell* cell = particles[i].cell;
    const uint32_t u[3] = {uint32_t(system.cellCoordinate(a.x()) + SimSystem::_minDomain),
                           uint32_t(system.cellCoordinate(a.y()) + SimSystem::_minDomain),
                           uint32_t(system.cellCoordinate(a.z()) + SimSystem::_minDomain)};
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dz = -1; dz <= 1; ++dz) {
          const auto found = system._cells.find(magnet::math::mortonKey(u[0] + dx, u[1] + dy, u[2] + dz));
          const int64_t head = found == system._cells.end() ? -1 : found->second->firstParticle;
          if (cell->neighborFirstParticles[Cell::neighborIndex(dx, dy, dz)] != head)
            return ::testing::AssertionFailure() << "snapshot entry (" << dx << ", " << dy << ", " << dz
                                                 << ") of particle " << i << "'s cell is wrong";
        }
  }
  return ::testing::AssertionSuccess();
}

/// Every cell's two snapshots hold the current heads of its 27 neighbours,
/// found through the ordered cell map, as a refresh of every cell leaves them.
inline ::testing::AssertionResult snapshotsMatchCurrentHeads(SimSystem const& system)
{
  for (auto const& [key, cell] : system._cells) {
    const uint32_t u[3] = {magnet::math::undilate(key), magnet::math::undilate(key >> 1),
                           magnet::math::undilate(key >> 2)};
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy)
        for (int dz = -1; dz <= 1; ++dz) {
          const auto found = system._cells.find(magnet::math::mortonKey(u[0] + dx, u[1] + dy, u[2] + dz));
          const int k = Cell::neighborIndex(dx, dy, dz);
          const int64_t head = found == system._cells.end() ? -1 : found->second->firstParticle;
          const int64_t ghost = found == system._cells.end() ? -1 : found->second->firstGhostParticle;
          if (cell->neighborFirstParticles[k] != head || cell->neighborFirstGhostParticles[k] != ghost)
            return ::testing::AssertionFailure() << "entry " << k << " of cell " << key << " holds "
                                                 << cell->neighborFirstParticles[k] << "/"
                                                 << cell->neighborFirstGhostParticles[k] << ", not " << head
                                                 << "/" << ghost;
        }
  }
  return ::testing::AssertionSuccess();
}

} // namespace gridchecks
