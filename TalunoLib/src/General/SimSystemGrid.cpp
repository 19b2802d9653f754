// The sparse uniform grid: Morton-keyed cells holding the heads of particle
// lists threaded through Particle::nextInCell, with 27-entry neighbour
// snapshots so that neighbour walks need no map look-up.
#include "Morton.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <iostream>

using magnet::math::dilate;
using magnet::math::undilate;

int32_t SimSystem::cellCoordinate(double v) const
{
  const double c = std::floor(v / _cellSize);
  // Converting NaN or an out-of-range double to an integer is undefined, and
  // coordinates outside the range would alias other cells' keys. Clamping is
  // monotone and shrinks distances, so particles that are neighbours stay in
  // neighbouring cells; NaN positions collect in the lowest cell, where their
  // distance tests fail and they interact with nothing.
  if (!(c >= _minCellCoordinate))
    return _minCellCoordinate;
  if (c > _maxCellCoordinate)
    return _maxCellCoordinate;
  return static_cast<int32_t>(c);
}

static inline uint32_t encodeCoordinate(int32_t c)
{
  return static_cast<uint32_t>(c) + static_cast<uint32_t>(SimSystem::_minDomain);
}

uint64_t SimSystem::cellKeyOf(double x, double y, double z) const
{
  return magnet::math::mortonKey(encodeCoordinate(cellCoordinate(x)), encodeCoordinate(cellCoordinate(y)),
                                 encodeCoordinate(cellCoordinate(z)));
}

Cell* SimSystem::linkToCell(uint64_t key, int64_t index, bool ghost)
{
  std::vector<Particle>& particles = ghost ? _ghostParticlesArray : _particlesArray;
  auto found = _cells.find(key);
  Cell* cell;
  if (found != _cells.end()) {
    cell = found->second;
    int64_t& head = ghost ? cell->firstGhostParticle : cell->firstParticle;
    particles[index].nextInCell = static_cast<int32_t>(head);
    head = index;
  } else {
    cell = new Cell();
    (ghost ? cell->firstGhostParticle : cell->firstParticle) = index;
    particles[index].nextInCell = -1;
    _cells.emplace(key, cell);
  }
  particles[index].cell = cell;
  return cell;
}

// Moves every particle of `particles` whose key changed from its old cell's
// list to the front of its new cell's list.
static void rebin(SimSystem& system, std::vector<Particle>& particles, bool ghost)
{
  const int64_t n = static_cast<int64_t>(particles.size());
  for (int64_t i = 0; i < n; ++i) {
    Particle& p = particles[i];
    const uint64_t key = system.cellKeyOf(p.position);
    if (key == p.cellKey && p.cell)
      continue;
    p.cellKey = key;
    if (Cell* old = p.cell) {
      int64_t& head = ghost ? old->firstGhostParticle : old->firstParticle;
      if (head == i) {
        head = p.nextInCell;
      } else {
        int64_t j = head;
        while (j != -1 && particles[j].nextInCell != i)
          j = particles[j].nextInCell;
        if (j != -1)
          particles[j].nextInCell = p.nextInCell;
      }
    }
    p.nextInCell = -1;
    system.linkToCell(key, i, ghost);
  }
}

void SimSystem::updateCellsParticles()
{
  rebin(*this, _particlesArray, false);
  rebin(*this, _ghostParticlesArray, true);
  deleteEmptyCells();
}

void SimSystem::updateCellsNeighbors()
{
  // Each cell writes only its own snapshot and the map is only read, so the
  // cells can be refreshed in parallel.
  std::vector<Cell*> cells;
  std::vector<uint64_t> keys;
  cells.reserve(_cells.size());
  keys.reserve(_cells.size());
  for (auto const& entry : _cells) {
    keys.push_back(entry.first);
    cells.push_back(entry.second);
  }
  const int64_t n = static_cast<int64_t>(cells.size());
#pragma omp parallel for schedule(static)
  for (int64_t c = 0; c < n; ++c) {
    const uint64_t key = keys[c];
    const uint32_t ux = undilate(key), uy = undilate(key >> 1), uz = undilate(key >> 2);
    Cell* cell = cells[c];
    int k = 0;
    for (uint32_t x = ux - 1; x != ux + 2; ++x)
      for (uint32_t y = uy - 1; y != uy + 2; ++y)
        for (uint32_t z = uz - 1; z != uz + 2; ++z, ++k) {
          auto found = _cells.find(magnet::math::mortonKey(x, y, z));
          if (found != _cells.end()) {
            cell->neighborFirstParticles[k] = found->second->firstParticle;
            cell->neighborFirstGhostParticles[k] = found->second->firstGhostParticle;
          } else {
            cell->neighborFirstParticles[k] = -1;
            cell->neighborFirstGhostParticles[k] = -1;
          }
        }
  }
}

void SimSystem::sortArrays(unsigned n)
{
  if (n % 100 != 0 || _particlesArray.empty())
    return;
  const std::clock_t start = std::clock();

  std::sort(_particlesArray.begin(), _particlesArray.end(), particlesArrayCompare);

  // Each cell's particles are now one run of the array: rebuild the lists so
  // that they follow the runs in index order.
  const int64_t last = static_cast<int64_t>(_particlesArray.size()) - 1;
  _particlesArray[last].nextInCell = -1;
  for (int64_t j = last; j >= 1; --j) {
    Particle& prev = _particlesArray[j - 1];
    if (prev.cellKey == _particlesArray[j].cellKey) {
      prev.nextInCell = static_cast<int32_t>(j);
    } else {
      prev.nextInCell = -1;
      if (Cell* cell = _particlesArray[j].cell)
        cell->firstParticle = j;
    }
  }
  if (Cell* cell = _particlesArray[0].cell)
    cell->firstParticle = 0;

  if (_particlesArrayMap.size() < _nbParticles)
    _particlesArrayMap.resize(_nbParticles, -1);
  for (int64_t i = 0; i <= last; ++i)
    _particlesArrayMap[_particlesArray[i].id] = static_cast<int32_t>(i);

  if (_verbose)
    std::cout << " Sort _particlesArrayMap took: " << static_cast<unsigned>(std::clock() - start) << "ms"
              << std::endl;
  updateCellsNeighbors();
}

void SimSystem::getCellFromPos(double x, double y, double z, Cell*& cell) const
{
  auto found = _cells.find(cellKeyOf(x, y, z));
  cell = found != _cells.end() ? found->second : nullptr;
}

void SimSystem::getNeighborFirstParticlesFromPos(double x, double y, double z, std::vector<int64_t>& heads) const
{
  const uint32_t ux = encodeCoordinate(cellCoordinate(x));
  const uint32_t uy = encodeCoordinate(cellCoordinate(y));
  const uint32_t uz = encodeCoordinate(cellCoordinate(z));
  int k = 0;
  for (uint32_t cx = ux - 1; cx != ux + 2; ++cx)
    for (uint32_t cy = uy - 1; cy != uy + 2; ++cy)
      for (uint32_t cz = uz - 1; cz != uz + 2; ++cz, ++k) {
        auto found = _cells.find(magnet::math::mortonKey(cx, cy, cz));
        heads[k] = found != _cells.end() ? found->second->firstParticle : -1;
      }
}

void SimSystem::deleteEmptyCells()
{
  for (auto it = _cells.begin(); it != _cells.end();) {
    if (it->second->firstParticle == -1 && it->second->firstGhostParticle == -1) {
      delete it->second;
      it = _cells.erase(it);
    } else {
      ++it;
    }
  }
}
