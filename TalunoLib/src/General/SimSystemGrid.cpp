// The sparse uniform grid: Morton-keyed cells holding the heads of particle
// lists threaded through Particle::nextInCell, with 27-entry neighbour
// snapshots so that neighbour walks need no map look-up.
#include "Morton.h"
#include "SimSystem.h"

#include <omp.h>

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
  touchCell(key);
  Cell* cell = _cellIndex.find(key);
  if (cell) {
    int32_t& head = ghost ? cell->firstGhostParticle : cell->firstParticle;
    particles[index].nextInCell = head;
    head = static_cast<int32_t>(index);
  } else {
    cell = new Cell();
    (ghost ? cell->firstGhostParticle : cell->firstParticle) = static_cast<int32_t>(index);
    particles[index].nextInCell = -1;
    _cells.emplace(key, cell);
    _cellIndex.insert(key, cell);
    cell->key = key;
    cell->listIndex = _cellList.size();
    _cellList.push_back(cell);
  }
  particles[index].cell = cell;
  return cell;
}


// Moves every particle of `particles` whose key changed from its old cell's
// list to the front of its new cell's list. Keys are computed and movers found
// in parallel; the relinking runs in index order, so lists come out the same
// for any thread count.
static void rebin(SimSystem& system, std::vector<Particle>& particles, bool ghost,
                  std::vector<std::vector<std::pair<int64_t, uint64_t>>>& movers)
{
  const int64_t n = static_cast<int64_t>(particles.size());
#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), t = omp_get_thread_num();
#pragma omp single
    movers.resize(size_t(threads));
    // Static schedule: thread t takes the t-th contiguous range, so joining
    // the ranges in thread order lists movers in index order.
    std::vector<std::pair<int64_t, uint64_t>>& mine = movers[size_t(t)];
    mine.clear();
#pragma omp for schedule(static)
    for (int64_t i = 0; i < n; ++i) {
      const uint64_t key = system.cellKeyOf(particles[size_t(i)].position);
      if (key != particles[size_t(i)].cellKey || !particles[size_t(i)].cell)
        mine.emplace_back(i, key);
    }
  }

  for (auto const& range : movers)
    for (auto [i, key] : range) {
      Particle& p = particles[size_t(i)];
      if (Cell* old = p.cell) {
        system.touchCell(p.cellKey);
        int32_t& head = ghost ? old->firstGhostParticle : old->firstParticle;
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
      p.cellKey = key;
      p.nextInCell = -1;
      system.linkToCell(key, i, ghost);
    }
}

void SimSystem::updateCellsParticles()
{
  rebin(*this, _particlesArray, false, _rebinMovers);
  rebin(*this, _ghostParticlesArray, true, _rebinMovers);
  deleteEmptyCells();
}

namespace {

// The key of the cell at offset entry k (0 .. 26, x outermost) from (ux, uy, uz).
inline uint64_t neighborKey(uint32_t ux, uint32_t uy, uint32_t uz, int k)
{
  return magnet::math::mortonKey(ux + uint32_t(k / 9) - 1, uy + uint32_t(k / 3 % 3) - 1, uz + uint32_t(k % 3) - 1);
}

} // namespace

void SimSystem::updateCellsNeighbors()
{
  // Entry k of a cell's snapshot is the neighbour at offset k; that
  // neighbour sees the cell at entry 26 - k.
  auto coordinates = [](uint64_t key, uint32_t& ux, uint32_t& uy, uint32_t& uz) {
    ux = undilate(key);
    uy = undilate(key >> 1);
    uz = undilate(key >> 2);
  };

  // Cells deleted since the last refresh were empty: their neighbours now see -1.
  for (uint64_t key : _deletedCellKeys) {
    if (_cellIndex.find(key))
      continue; // made again since; it is new and pushes its own heads
    uint32_t ux, uy, uz;
    coordinates(key, ux, uy, uz);
    for (int k = 0; k < 27; ++k)
      if (Cell* neighbor = k == Cell::selfIndex ? nullptr : _cellIndex.find(neighborKey(ux, uy, uz, k))) {
        neighbor->neighborFirstParticles[26 - k] = -1;
        neighbor->neighborFirstGhostParticles.set(size_t(26 - k), -1);
      }
  }
  _deletedCellKeys.clear();

  // Cells that are new, stale or whose heads changed. Usually only the
  // touched cells can be; after a sort or a load, any cell can.
  std::vector<Cell*> changed;
  auto isChanged = [](Cell const* cell) {
    return cell->stale || cell->firstParticle != cell->refreshedFirstParticle ||
           cell->firstGhostParticle != cell->refreshedFirstGhostParticle;
  };
  const int64_t cells = static_cast<int64_t>(_cellList.size());
  if (!_allCellsTouched) {
    std::sort(_touchedCellKeys.begin(), _touchedCellKeys.end());
    _touchedCellKeys.erase(std::unique(_touchedCellKeys.begin(), _touchedCellKeys.end()), _touchedCellKeys.end());
    for (uint64_t key : _touchedCellKeys)
      if (Cell* cell = _cellIndex.find(key); cell && isChanged(cell))
        changed.push_back(cell);
  } else {
    // Each thread collects those of a range of the list; the ranges are
    // joined in order.
#pragma omp parallel
    {
      std::vector<Cell*> mine;
#pragma omp for schedule(static) nowait
      for (int64_t c = 0; c < cells; ++c) {
        Cell* cell = _cellList[size_t(c)];
        if (isChanged(cell))
          mine.push_back(cell);
      }
#pragma omp for schedule(static) ordered
      for (int t = 0; t < omp_get_num_threads(); ++t)
#pragma omp ordered
        changed.insert(changed.end(), mine.begin(), mine.end());
    }
  }
  _touchedCellKeys.clear();
  _allCellsTouched = false;

  // Stale cells take their snapshots whole. Each writes only its own, and the
  // index is only read, so they can be taken in parallel.
  const int64_t n = static_cast<int64_t>(changed.size());
#pragma omp parallel for schedule(static)
  for (int64_t c = 0; c < n; ++c) {
    Cell* cell = changed[c];
    if (!cell->stale)
      continue;
    uint32_t ux, uy, uz;
    coordinates(cell->key, ux, uy, uz);
    for (int k = 0; k < 27; ++k) {
      Cell const* neighbor = _cellIndex.find(neighborKey(ux, uy, uz, k));
      cell->neighborFirstParticles[k] = neighbor ? neighbor->firstParticle : -1;
      cell->neighborFirstGhostParticles.set(size_t(k), neighbor ? neighbor->firstGhostParticle : -1);
    }
  }
  // Every changed cell gives its heads to its neighbours (and to itself, at
  // entry 13). Entry 26 - k of a cell is written only by the cell at offset
  // k from it, so no two iterations write the same entry: they can run in
  // parallel, once the neighbours of cells with ghosts hold ghost heads
  // (allocating them is not safe in parallel).
  for (Cell* cell : changed) {
    if (cell->firstGhostParticle == -1)
      continue;
    uint32_t ux, uy, uz;
    coordinates(cell->key, ux, uy, uz);
    for (int k = 0; k < 27; ++k)
      if (Cell* neighbor = k == Cell::selfIndex ? cell : _cellIndex.find(neighborKey(ux, uy, uz, k)))
        neighbor->neighborFirstGhostParticles.hold();
  }
#pragma omp parallel for schedule(static)
  for (int64_t c = 0; c < n; ++c) {
    Cell* cell = changed[c];
    uint32_t ux, uy, uz;
    coordinates(cell->key, ux, uy, uz);
    for (int k = 0; k < 27; ++k)
      if (Cell* neighbor = k == Cell::selfIndex ? cell : _cellIndex.find(neighborKey(ux, uy, uz, k))) {
        neighbor->neighborFirstParticles[26 - k] = cell->firstParticle;
        neighbor->neighborFirstGhostParticles.set(size_t(26 - k), cell->firstGhostParticle);
      }
    cell->refreshedFirstParticle = cell->firstParticle;
    cell->refreshedFirstGhostParticle = cell->firstGhostParticle;
    cell->stale = false;
  }
}

void SimSystem::sortArrays(unsigned n)
{
  if (n % 100 != 0 || _particlesArray.empty())
    return;
  const std::clock_t start = std::clock();

  // By cell, and within a cell along the same Z-order curve at an eighth of
  // the cell: particles close in space end up close in the array even in
  // cells that hold many, which keeps the passes that follow pair lists on
  // few cache lines. Ties keep no defined order, as in any unstable sort.
  const double subCells = 8.0 / _cellSize;
  auto subKey = [subCells](Particle const& p) {
    auto sub = [subCells](double v) {
      const double f = std::floor(v * subCells);
      // Beyond 2^53 (or NaN) there is no eighth to tell apart, and the
      // conversion to an integer would be undefined.
      return std::abs(f) < 9e15 ? uint64_t(int64_t(f) & 7) : uint64_t(0);
    };
    return magnet::math::dilate(sub(p.position.x())) | magnet::math::dilate(sub(p.position.y())) << 1 |
           magnet::math::dilate(sub(p.position.z())) << 2;
  };
  std::sort(_particlesArray.begin(), _particlesArray.end(), [&](Particle const& a, Particle const& b) {
    if (a.cellKey != b.cellKey)
      return a.cellKey < b.cellKey;
    return subKey(a) < subKey(b);
  });
  ++_arrayGeneration; // indices in pair lists now name other particles
  _allCellsTouched = true;  // every cell's head is rewritten below

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
  cell = _cellIndex.find(cellKeyOf(x, y, z));
}

void SimSystem::getNeighborFirstParticlesFromPos(double x, double y, double z, Cell::Heads& heads) const
{
  const uint32_t ux = encodeCoordinate(cellCoordinate(x));
  const uint32_t uy = encodeCoordinate(cellCoordinate(y));
  const uint32_t uz = encodeCoordinate(cellCoordinate(z));
  int k = 0;
  for (uint32_t cx = ux - 1; cx != ux + 2; ++cx)
    for (uint32_t cy = uy - 1; cy != uy + 2; ++cy)
      for (uint32_t cz = uz - 1; cz != uz + 2; ++cz, ++k) {
        Cell const* found = _cellIndex.find(magnet::math::mortonKey(cx, cy, cz));
        heads[k] = found ? found->firstParticle : -1;
      }
}

void SimSystem::deleteEmptyCells()
{
  auto empty = [](Cell const* cell) { return cell->firstParticle == -1 && cell->firstGhostParticle == -1; };
  // Deletes the cell at place k while it is empty; the last cell of the list
  // takes the freed place (the list's order is of no consequence).
  auto deleteAt = [&](size_t k) {
    while (k < _cellList.size() && empty(_cellList[k])) {
      Cell* cell = _cellList[k];
      _cells.erase(cell->key);
      _cellIndex.erase(cell->key);
      _deletedCellKeys.push_back(cell->key);
      _cellList[k] = _cellList.back();
      _cellList[k]->listIndex = k;
      _cellList.pop_back();
      delete cell;
    }
  };
  if (_allCellsTouched) {
    for (size_t k = 0; k < _cellList.size(); ++k)
      deleteAt(k);
    return;
  }
  // Only touched cells can have emptied. Taking them by place, lowest first,
  // deletes exactly what the sweep over every place would, in the same order,
  // so the list comes out the same either way.
  std::vector<std::pair<size_t, uint64_t>> candidates;
  for (uint64_t key : _touchedCellKeys)
    if (Cell const* cell = _cellIndex.find(key); cell && empty(cell))
      candidates.emplace_back(cell->listIndex, key);
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (auto const& [place, key] : candidates)
    if (Cell const* cell = _cellIndex.find(key))
      deleteAt(cell->listIndex);
}
