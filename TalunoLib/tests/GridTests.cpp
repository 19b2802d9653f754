#include "CellIndex.h"
#include "CollisionObject.h"
#include "GridChecks.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "Morton.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>

using magnet::math::dilate;
using magnet::math::undilate;

namespace {

SimSystem makeSystem(double cellSize = 2.0)
{
  SimSettings settings;
  settings.particlesInteractionRadius = cellSize;
  settings.particleRadius = cellSize / 4; // the cell edge is max(2R, h)
  return SimSystem(settings);
}

// Moves every particle by a random step of up to `step` per axis.
void jiggle(SimSystem& system, std::mt19937& rng, double step)
{
  std::uniform_real_distribution<double> u(-step, step);
  for (Particle& p : system._particlesArray)
    p.position += Eigen::Vector3d(u(rng), u(rng), u(rng));
}

} // namespace

TEST(GridKeys, OriginAndFacesFollowFloor)
{
  for (double cellSize : {0.3, 1.0, 2.0, 7.5}) {
    SimSystem system = makeSystem(cellSize);
    ASSERT_EQ(system._cellSize, cellSize);
    EXPECT_EQ(system.cellKeyOf(0, 0, 0), dilate(50000) | dilate(50000) << 1 | dilate(50000) << 2);
  }
  SimSystem system = makeSystem(2.0);
  EXPECT_EQ(system.cellCoordinate(2.0), 1);   // a face belongs to the cell on its positive side
  EXPECT_EQ(system.cellCoordinate(1.999999), 0);
  EXPECT_EQ(system.cellCoordinate(-1e-12), -1);
  EXPECT_EQ(system.cellCoordinate(-2.0), -1);
  const uint64_t key = system.cellKeyOf(4.5, -3.0, 0.5);
  EXPECT_EQ(undilate(key), 50002u);
  EXPECT_EQ(undilate(key >> 1), 49998u);
  EXPECT_EQ(undilate(key >> 2), 50000u);
}

TEST(GridKeys, OutOfRangeAndNonFinitePositionsAreClamped)
{
  SimSystem system = makeSystem(1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(system.cellCoordinate(nan), SimSystem::_minCellCoordinate);
  EXPECT_EQ(system.cellCoordinate(-inf), SimSystem::_minCellCoordinate);
  EXPECT_EQ(system.cellCoordinate(-1e300), SimSystem::_minCellCoordinate);
  EXPECT_EQ(system.cellCoordinate(inf), SimSystem::_maxCellCoordinate);
  EXPECT_EQ(system.cellCoordinate(1e300), SimSystem::_maxCellCoordinate);
  EXPECT_EQ(system.cellCoordinate(-49999.5), -49999); // floor gives -50000, one below the range
  EXPECT_EQ(system.cellCoordinate(-49998.5), -49999);
  EXPECT_EQ(system.cellCoordinate(2047150.5), 2047150);
  EXPECT_EQ(system.cellCoordinate(2047151.5), 2047150);

  // Clamped cells keep one cell of margin, so their neighbour keys round-trip.
  for (double v : {nan, inf, -inf}) {
    const uint64_t key = system.cellKeyOf(v, v, v);
    const uint32_t u = undilate(key);
    EXPECT_GE(u, 1u);
    EXPECT_LE(u + 1, magnet::math::dilatedinteger::maxValue);
  }
}

TEST(GridKeys, ParticlesFarOutsideTheRangeKeepAValidGrid)
{
  SimSystem system = makeSystem(1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  gridchecks::placeBlock(system, 3, 0.7, Eigen::Vector3d::Zero(), char(natureLiquid));
  const uint32_t far1 = system.placeParticle(Eigen::Vector3d(1e12, 0, 0), Eigen::Vector3d::Zero(), 2);
  const uint32_t far2 = system.placeParticle(Eigen::Vector3d(1e12 + 0.5, 0, 0), Eigen::Vector3d::Zero(), 2);
  system.placeParticle(Eigen::Vector3d(nan, nan, nan), Eigen::Vector3d::Zero(), 2);
  system.placeParticle(Eigen::Vector3d(-1e30, 1e30, std::numeric_limits<double>::infinity()),
                       Eigen::Vector3d::Zero(), 2);
  system.initialize(1);
  EXPECT_TRUE(gridchecks::listsAreConsistent(system));
  EXPECT_TRUE(gridchecks::neighborsMatchBruteForce(system));
  // Two close particles far outside the range still see each other.
  const auto around = gridchecks::walkNeighbors(system, system._particlesArrayMap[far1]);
  EXPECT_EQ(around.count(system._particlesArrayMap[far2]), 1u);

  // Moving particles into and out of the clamped region keeps the lists sound.
  system._particlesArray[system._particlesArrayMap[0]].position = Eigen::Vector3d(nan, 0, 0);
  system._particlesArray[system._particlesArrayMap[far1]].position = Eigen::Vector3d(0.2, 0.2, 0.2);
  system.updateCellsParticles();
  system.updateCellsNeighbors();
  EXPECT_TRUE(gridchecks::listsAreConsistent(system));
  EXPECT_TRUE(gridchecks::neighborsMatchBruteForce(system));
  system.sortArrays(100);
  EXPECT_TRUE(gridchecks::listsAreConsistent(system));
}

TEST(GridBinning, RebinnedParticlesKeepListsAndSnapshotsExact)
{
  SimSystem system = makeSystem(1.0);
  gridchecks::placeRandom(system, 800, 6.0, 11, char(natureGranular));
  system.initialize(1);
  ASSERT_TRUE(gridchecks::listsAreConsistent(system));
  ASSERT_TRUE(gridchecks::neighborsMatchBruteForce(system));

  std::mt19937 rng(3);
  for (int step = 1; step <= 6; ++step) {
    jiggle(system, rng, 0.6);
    system.updateCellsParticles();
    system.updateCellsNeighbors();
    ASSERT_TRUE(gridchecks::listsAreConsistent(system)) << "step " << step;
    ASSERT_TRUE(gridchecks::neighborsMatchBruteForce(system)) << "step " << step;
  }
}

TEST(GridBinning, ParticlesThatStayKeepTheirListOrder)
{
  SimSystem system = makeSystem(2.0);
  for (double x : {0.1, 0.2, 0.3})
    system.placeParticle(Eigen::Vector3d(x, 0.5, 0.5), Eigen::Vector3d::Zero(), 1);
  system.initialize(1);
  Cell* cell = system._particlesArray[0].cell;
  ASSERT_EQ(cell->firstParticle, 0);
  // Particle 1 leaves and comes back: it is pushed at the front of the list.
  system._particlesArray[1].position.x() = 5.0;
  system.updateCellsParticles();
  EXPECT_EQ(cell->firstParticle, 0);
  EXPECT_EQ(system._particlesArray[0].nextInCell, 2);
  system._particlesArray[1].position.x() = 0.25;
  system.updateCellsParticles();
  EXPECT_EQ(system._particlesArray[1].cell, cell);
  EXPECT_EQ(cell->firstParticle, 1);
  EXPECT_EQ(system._particlesArray[1].nextInCell, 0);
  EXPECT_TRUE(gridchecks::listsAreConsistent(system));
}

TEST(GridBinning, EmptyCellsGoUnlessTheyHoldGhosts)
{
  SimSystem system = makeSystem(2.0);
  system.placeParticle(Eigen::Vector3d(0.5, 0.5, 0.5), Eigen::Vector3d::Zero(), 2);
  system.placeParticle(Eigen::Vector3d(4.5, 0.5, 0.5), Eigen::Vector3d::Zero(), 2);
  system.initialize(1);
  const uint64_t ghostKey = system.cellKeyOf(0.5, 0.5, 0.5);
  system._ghostParticlesArray.emplace_back(0.6, 0.5, 0.5, 0, 0, 0, 0, nullptr, ghostKey, 2, nullptr);
  system._ghostParticlesArrayMap.push_back(0);
  system.linkToCell(ghostKey, 0, true);
  ASSERT_EQ(system._cells.size(), 2u);

  // Both particles leave their cells; only the cell with a ghost survives.
  system._particlesArray[0].position.x() = 8.5;
  system._particlesArray[1].position.x() = 12.5;
  system.updateCellsParticles();
  ASSERT_EQ(system._cells.count(ghostKey), 1u);
  EXPECT_EQ(system._cells.at(ghostKey)->firstParticle, -1);
  EXPECT_EQ(system._cells.at(ghostKey)->firstGhostParticle, 0);
  EXPECT_EQ(system._cells.count(system.cellKeyOf(4.5, 0.5, 0.5)), 0u);
  EXPECT_EQ(system._cells.size(), 3u);

  // A new cell has no neighbours until the snapshots are refreshed.
  Cell* fresh = system._particlesArray[0].cell;
  for (int64_t head : fresh->neighborFirstParticles)
    EXPECT_EQ(head, -1);
  system.updateCellsNeighbors();
  EXPECT_EQ(fresh->neighborFirstParticles[Cell::selfIndex], 0);
  // The ghost's cell is four cells to the -x side: not a neighbour, and the
  // fresh cell holds no ghost heads at all; the ghost's own cell does.
  for (int64_t head : fresh->neighborFirstGhostParticles)
    EXPECT_EQ(head, -1);
  EXPECT_FALSE(fresh->neighborFirstGhostParticles.held());
  Cell* ghostCell = system._cells.at(ghostKey);
  EXPECT_TRUE(ghostCell->neighborFirstGhostParticles.held());
  EXPECT_EQ(ghostCell->neighborFirstGhostParticles[Cell::selfIndex], 0);

  // The particle moves next to the ghost: its new cell's snapshot, taken
  // whole, sees the ghost's head.
  system._particlesArray[0].position.x() = 2.5;
  system.updateCellsParticles();
  system.updateCellsNeighbors();
  Cell* beside = system._particlesArray[0].cell;
  EXPECT_TRUE(beside->neighborFirstGhostParticles.held());
  EXPECT_EQ(beside->neighborFirstGhostParticles[Cell::neighborIndex(-1, 0, 0)], 0);
}

TEST(GridBinning, LookupsByPositionFindCellsAndNeighbourHeads)
{
  SimSystem system = makeSystem(1.0);
  system.placeParticle(Eigen::Vector3d(0.5, 0.5, 0.5), Eigen::Vector3d::Zero(), 4);
  system.placeParticle(Eigen::Vector3d(1.5, 0.5, -0.5), Eigen::Vector3d::Zero(), 4);
  system.initialize(1);

  Cell* cell = nullptr;
  system.getCellFromPos(0.9, 0.1, 0.2, cell);
  EXPECT_EQ(cell, system._particlesArray[system._particlesArrayMap[0]].cell);
  system.getCellFromPos(0.5, 1.5, 0.5, cell);
  EXPECT_EQ(cell, nullptr);

  // Around the empty cell (1, 1, 0): particle 0 is at offset (-1, -1, 0),
  // particle 1 at (0, -1, -1).
  Cell::Heads heads;
  heads.fill(7);
  system.getNeighborFirstParticlesFromPos(1.5, 1.5, 0.5, heads);
  for (int k = 0; k < 27; ++k) {
    int64_t expected = -1;
    if (k == Cell::neighborIndex(-1, -1, 0))
      expected = system._particlesArrayMap[0];
    else if (k == Cell::neighborIndex(0, -1, -1))
      expected = system._particlesArrayMap[1];
    EXPECT_EQ(heads[k], expected) << "entry " << k;
  }
}

TEST(GridSort, SortsOnlyOnMultiplesOfAHundred)
{
  SimSystem empty = makeSystem(1.0);
  empty.sortArrays(0); // nothing to sort, nothing happens
  EXPECT_TRUE(empty._cells.empty());

  SimSystem system = makeSystem(1.0);
  gridchecks::placeRandom(system, 500, 5.0, 5, char(natureLiquid));
  system.updateCellsNeighbors();
  auto ids = [&] {
    std::vector<uint32_t> out;
    for (Particle const& p : system._particlesArray)
      out.push_back(p.id);
    return out;
  };
  const auto unsorted = ids();
  Cell* someCell = system._particlesArray[0].cell;
  const auto snapshot = someCell->neighborFirstParticles;

  system.sortArrays(150);
  EXPECT_EQ(ids(), unsorted);
  EXPECT_EQ(someCell->neighborFirstParticles, snapshot);

  system.sortArrays(200);
  EXPECT_NE(ids(), unsorted);
  EXPECT_TRUE(std::is_sorted(system._particlesArray.begin(), system._particlesArray.end(),
                             SimSystem::particlesArrayCompare));
  ASSERT_TRUE(gridchecks::listsAreConsistent(system));
  EXPECT_TRUE(gridchecks::neighborsMatchBruteForce(system)); // snapshots refreshed by the sort

  // Each cell's list is one contiguous run in increasing index order.
  for (auto const& [key, cell] : system._cells) {
    int64_t expected = cell->firstParticle;
    for (int64_t i = cell->firstParticle; i != -1; i = system._particlesArray[i].nextInCell) {
      EXPECT_EQ(i, expected);
      EXPECT_EQ(system._particlesArray[i].cellKey, key);
      ++expected;
    }
    if (expected < int64_t(system._particlesArray.size())) {
      EXPECT_NE(system._particlesArray[expected].cellKey, key);
    }
    if (cell->firstParticle > 0) {
      EXPECT_NE(system._particlesArray[cell->firstParticle - 1].cellKey, key);
    }
  }
  for (uint32_t id = 0; id < system._nbParticles; ++id)
    EXPECT_EQ(system._particlesArray[system._particlesArrayMap[id]].id, id);
}

TEST(GridSort, ParticlesOfOneCellFollowTheZOrderCurveInside)
{
  // A 4 x 4 x 4 lattice inside one cell, placed in a shuffled order: the sort
  // leaves them in the order of the Morton keys of their lattice places, so
  // that neighbours in space are neighbours in the array.
  SimSystem system = makeSystem(2.0);
  std::vector<Eigen::Vector3i> places;
  for (int x = 0; x < 4; ++x)
    for (int y = 0; y < 4; ++y)
      for (int z = 0; z < 4; ++z)
        places.emplace_back(x, y, z);
  std::shuffle(places.begin(), places.end(), std::mt19937(3));
  for (Eigen::Vector3i const& q : places)
    system.placeParticle(Eigen::Vector3d(0.25 + 0.5 * q.x(), 0.25 + 0.5 * q.y(), 0.25 + 0.5 * q.z()),
                         Eigen::Vector3d::Zero(), char(natureLiquid), nullptr);
  ASSERT_EQ(system._cells.size(), 1u);
  system.sortArrays(0);
  for (size_t i = 0; i < system._particlesArray.size(); ++i) {
    Eigen::Vector3d const& x = system._particlesArray[i].position;
    const uint64_t morton = dilate(uint64_t(x.x() * 2)) | dilate(uint64_t(x.y() * 2)) << 1 |
                            dilate(uint64_t(x.z() * 2)) << 2;
    EXPECT_EQ(morton, i) << "place " << i << " holds the particle at " << x.transpose();
  }
  ASSERT_TRUE(gridchecks::listsAreConsistent(system));
}

TEST(GridSort, InitializeSortsTheFirstEmission)
{
  SimSystem system = makeSystem(1.0);
  gridchecks::placeRandom(system, 200, 4.0, 9, char(natureLiquid));
  system.initialize(37);
  EXPECT_TRUE(std::is_sorted(system._particlesArray.begin(), system._particlesArray.end(),
                             SimSystem::particlesArrayCompare));
  EXPECT_TRUE(gridchecks::neighborsMatchBruteForce(system));
}

TEST(GridBinning, PartialRefreshesLeaveWhatAFullOneWould)
{
  // A liquid over a floor that mirrors it with ghosts, and grains, stepped
  // phase by phase; some sub-steps also throw particles across many cells,
  // so that cells are made and deleted between refreshes.
  SimSettings settings;
  settings.fluid = true;
  settings.interParticleCollisions = true;
  SimSystem system(settings);
  std::unique_ptr<Mesh> floorMesh(makeMesh(boxSoup({-10, -2, -10}, {10, 0, 10}), 1));
  CollisionObject floor(floorMesh.get(), 1e-3, 5, 100.0, false, 0.0, 0.0, true, CollisionObject::staticGeometry, -1,
                        0.0);
  system.addCollisionObject(&floor);
  gridchecks::placeBlock(system, 6, 1.0, {-3, 0.5, -3}, char(natureLiquid));
  gridchecks::placeBlock(system, 5, 1.0, {2, 4.5, 2}, char(natureGranular));
  system.initialize(1);
  system._dt = 1.0 / 96.0;
  ASSERT_TRUE(gridchecks::snapshotsMatchCurrentHeads(system));
  std::mt19937 rng(5);
  for (unsigned step = 1; step <= 40; ++step) {
    if (step % 7 == 0)
      jiggle(system, rng, 3.0);
    system.updateCellsParticles();
    system.updateCellsNeighbors();
    ASSERT_TRUE(gridchecks::snapshotsMatchCurrentHeads(system)) << "sub-step " << step;
    ASSERT_TRUE(gridchecks::listsAreConsistent(system)) << "sub-step " << step;
    system.applyForces();
    system.sortArrays(step % 10 == 0 ? 100 : 1);
    system.updateGhostParticles();
  }
  EXPECT_FALSE(system._ghostParticlesArray.empty());
}

TEST(GridBinning, CellIndexFindsWhatAnOrderedMapWould)
{
  // Keys drawn from a small range collide in the table and are erased out of
  // order, exercising the probing runs and the shifting back on erase.
  CellIndex index;
  std::map<uint64_t, Cell*> reference;
  std::vector<Cell> cells(64);
  std::mt19937_64 rng(9);
  for (int op = 0; op < 40000; ++op) {
    const uint64_t key = rng() % 3000;
    if (rng() % 3 != 0) {
      if (!reference.count(key)) {
        Cell* cell = &cells[key % cells.size()];
        index.insert(key, cell);
        reference[key] = cell;
      }
    } else if (reference.erase(key)) {
      index.erase(key);
    }
    if (op % 997 == 0)
      for (uint64_t k = 0; k < 3000; ++k) {
        auto found = reference.find(k);
        ASSERT_EQ(index.find(k), found == reference.end() ? nullptr : found->second) << "key " << k << " op " << op;
      }
  }
  EXPECT_EQ(index.size(), reference.size());
}

TEST(GridBinning, TouchedCellsLeaveTheCellListAsAFullSweepWould)
{
  // The refresh and the deletion of empty cells look only at touched cells;
  // a twin system made to sweep every cell must end with the same cells, in
  // the same list order, with the same snapshots.
  auto make = [] {
    SimSettings settings;
    settings.particlesInteractionRadius = 1.0;
    settings.particleRadius = 0.25;
    auto system = std::make_unique<SimSystem>(settings);
    gridchecks::placeRandom(*system, 300, 12.0, 17, char(natureGranular));
    system->initialize(1);
    return system;
  };
  std::unique_ptr<SimSystem> touched = make(), swept = make();
  std::mt19937 rngA(9), rngB(9);
  for (int step = 1; step <= 12; ++step) {
    // A few particles jump a few cells: few enough that only the touched
    // cells are looked at, and most leave an empty cell behind.
    for (auto [system, rng] : {std::pair{touched.get(), &rngA}, std::pair{swept.get(), &rngB}}) {
      std::uniform_real_distribution<double> u(-3.0, 3.0);
      std::uniform_int_distribution<size_t> pick(0, system->_particlesArray.size() - 1);
      for (int k = 0; k < 8; ++k)
        system->_particlesArray[pick(*rng)].position += Eigen::Vector3d(u(*rng), u(*rng), u(*rng));
    }
    swept->_allCellsTouched = true;
    for (SimSystem* system : {touched.get(), swept.get()}) {
      system->updateCellsParticles();
      system->updateCellsNeighbors();
    }
    ASSERT_EQ(touched->_cellList.size(), swept->_cellList.size()) << "step " << step;
    for (size_t k = 0; k < touched->_cellList.size(); ++k) {
      Cell const& a = *touched->_cellList[k];
      Cell const& b = *swept->_cellList[k];
      ASSERT_EQ(a.key, b.key) << "step " << step << ", place " << k;
      ASSERT_EQ(a.neighborFirstParticles, b.neighborFirstParticles) << "step " << step << ", place " << k;
    }
    ASSERT_TRUE(gridchecks::snapshotsMatchCurrentHeads(*touched)) << "step " << step;
    ASSERT_TRUE(gridchecks::listsAreConsistent(*touched)) << "step " << step;
  }
}
