// Pair lists with a skin: kept while particles move little, remade when one
// moves half the skin or particles are added, and sound far from the origin.
#include "CandidateSort.h"
#include "PairCodes.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

namespace {

SimSettings grains()
{
  SimSettings s;
  s.gravity = 0.0;
  s.springs = false;
  s.interParticleCollisions = true;
  return s;
}

SimSettings liquid()
{
  SimSettings s;
  s.gravity = 0.0;
  s.springs = false;
  s.fluid = true;
  return s;
}

void place(SimSystem& system, std::vector<Eigen::Vector3d> const& points, char nature)
{
  for (auto const& p : points)
    system.placeParticle(p, Eigen::Vector3d::Zero(), nature);
  system.updateCellsNeighbors();
}

void refreshGrid(SimSystem& system)
{
  system.updateCellsParticles();
  system.updateCellsNeighbors();
}

} // namespace

TEST(PairLists, KeptWhileParticlesCreepAndRemadeWhenOneJumps)
{
  SimSystem system(grains());
  system._dt = 0.01;
  // Two grains 3 radii apart: out of reach, and out of the skin (2R = 1, skin 0.1).
  place(system, {{0, 0, 0}, {1.5, 0, 0}}, char(natureGranular));
  system.applyForces();
  const uint64_t made = system.pairListRemakes();
  EXPECT_GE(made, 1u);

  // Creeping by less than half the skin keeps the lists.
  for (Particle& p : system._particlesArray)
    p.velocity.setZero();
  system._particlesArray[1].position.x() -= 0.04;
  refreshGrid(system);
  system.applyForces();
  EXPECT_EQ(system.pairListRemakes(), made);
  EXPECT_EQ(system._particlesArray[0].velocity, Eigen::Vector3d::Zero());

  // A jump into contact remakes them at once, and the contact pushes.
  system._particlesArray[1].position = {0.9, 0, 0};
  system._particlesArray[1].velocity.setZero();
  refreshGrid(system);
  system.applyForces();
  EXPECT_EQ(system.pairListRemakes(), made + 1);
  EXPECT_LT(system._particlesArray[0].velocity.x(), 0.0);
  EXPECT_GT(system._particlesArray[1].velocity.x(), 0.0);

  // A new particle in contact is seen at the next pass.
  for (Particle& p : system._particlesArray)
    p.velocity.setZero();
  place(system, {{0, 0.9, 0}}, char(natureGranular));
  system.applyForces();
  EXPECT_EQ(system.pairListRemakes(), made + 2);
  EXPECT_LT(system._particlesArray[0].velocity.y(), 0.0);
  EXPECT_GT(system._particlesArray[2].velocity.y(), 0.0);
}

TEST(PairLists, FarApartBlocksOfLiquidSeeTheSameDensities)
{
  // Two identical blocks, one near the origin and one far away: the lists'
  // grid spans both (its cells widen so that it stays small), and each block
  // still finds exactly its own neighbours. A NaN particle interacts with nothing.
  SimSystem system(liquid());
  system._dt = 1e-4;
  std::vector<Eigen::Vector3d> block;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k)
        block.emplace_back(i, j, k);
  const Eigen::Vector3d far(4096.0, -2048.0, 1024.0); // exact in binary: offsets stay exact
  std::vector<Eigen::Vector3d> points = block;
  for (auto const& p : block)
    points.push_back(p + far);
  points.emplace_back(std::nan(""), 0.0, 0.0);
  place(system, points, char(natureLiquid));
  system.applyForces();
  const size_t n = block.size();
  for (size_t i = 0; i < n; ++i) {
    Particle const& a = system._particlesArray[system._particlesArrayMap[uint32_t(i)]];
    Particle const& b = system._particlesArray[system._particlesArrayMap[uint32_t(i + n)]];
    ASSERT_EQ(a.invDensity, b.invDensity) << "particle " << i;
    ASSERT_TRUE(std::isfinite(a.invDensity));
  }
  // The block's corner has fewer neighbours than its middle.
  EXPECT_GT(system._particlesArray[system._particlesArrayMap[0]].invDensity,
            system._particlesArray[system._particlesArrayMap[21]].invDensity);
}

TEST(PairLists, ReferencesFarFromTheOriginMissNoPairWithinReach)
{
  // A cloud of grains creeping at random, far from a lone grain at the
  // origin: at 40,000 units the lists keep their references in single
  // precision with an error of a few thousandths (a tenth of the skin); at
  // 10^9 single precision cannot resolve the skin and they keep whole
  // positions. Either way, at every pass every pair closer than the reach
  // (2R = 1) is in the lists, whether they were kept or remade.
  for (double distance : {4.0e4, 1.0e9}) {
    SCOPED_TRACE(distance);
    SimSystem system(grains());
    system._dt = 1e-4;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> inBox(0.0, 6.0), step(-0.03, 0.03);
    std::vector<Eigen::Vector3d> points{Eigen::Vector3d::Zero()};
    const Eigen::Vector3d corner(distance + 0.3, -distance / 3.0 + 0.7, distance / 7.0 + 0.1);
    for (int i = 0; i < 300; ++i)
      points.push_back(corner + Eigen::Vector3d(inBox(random), inBox(random), inBox(random)));
    place(system, points, char(natureGranular));
    const int64_t n = int64_t(system._particlesArray.size());
    uint64_t kept = 0;
    for (int pass = 0; pass < 60; ++pass) {
      const uint64_t before = system.contactPairRemakes();
      system.applyForces();
      kept += system.contactPairRemakes() == before;
      if (distance < 1e6) {
        EXPECT_GT(system.contactReferenceError(), 1e-3);
      } else {
        EXPECT_EQ(system.contactReferenceError(), 0.0);
      }
      for (int64_t i = 0; i < n; ++i) {
        std::vector<int64_t> listed;
        system.forEachListedContact(i, [&](int64_t j) { listed.push_back(j); });
        for (int64_t j = 0; j < n; ++j) {
          const double d = (system._particlesArray[size_t(i)].position - system._particlesArray[size_t(j)].position).norm();
          if (j != i && d < 1.0) {
            ASSERT_TRUE(std::binary_search(listed.begin(), listed.end(), j))
                << "pass " << pass << ": " << i << " and " << j << " at " << d << " not listed";
          }
        }
      }
      for (Particle& p : system._particlesArray) {
        p.velocity.setZero();
        if (p.position.norm() > 1.0)
          p.position += Eigen::Vector3d(step(random), step(random), step(random));
      }
      refreshGrid(system);
    }
    EXPECT_GT(kept, 5u); // the lists were kept at times: the references' moves were used
  }
}

TEST(PairLists, ABlockThatMovesAsOneKeepsItsLists)
{
  SimSystem system(grains());
  system._dt = 0.01;
  std::vector<Eigen::Vector3d> block;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        block.emplace_back(1.5 * i, 1.5 * j, 1.5 * k);
  place(system, block, char(natureGranular));
  system.applyForces();
  const uint64_t made = system.pairListRemakes();

  // Far more than half the skin, but every particle alike: no pair came closer.
  for (Particle& p : system._particlesArray) {
    p.position += Eigen::Vector3d(0.7, -0.4, 0.2);
    p.velocity.setZero();
  }
  refreshGrid(system);
  system.applyForces();
  EXPECT_EQ(system.pairListRemakes(), made);

  // One particle moving on its own does remake them.
  system._particlesArray[0].position.x() += 0.2;
  refreshGrid(system);
  system.applyForces();
  EXPECT_EQ(system.pairListRemakes(), made + 1);
}

TEST(PairLists, MovesThatAreNotNumbersRemakeTheLists)
{
  PairMoves moves;
  moves.add({0.01, 0.0, 0.0});
  EXPECT_TRUE(moves.keep(0.1));
  PairMoves other;
  other.add({std::nan(""), 0.0, 0.0});
  moves.merge(other);
  EXPECT_FALSE(moves.keep(0.1));

  // Two particles moving apart by less than the skin along each axis, but by
  // more than it in all: the box's diagonal catches it.
  PairMoves apart;
  apart.add({0.06, 0.06, 0.06});
  apart.add({0.0, 0.0, 0.0});
  EXPECT_FALSE(apart.keep(0.1));
  PairMoves together;
  together.add({0.3, 0.3, 0.3});
  together.add({0.32, 0.3, 0.3});
  EXPECT_TRUE(together.keep(0.1));
}

TEST(PairLists, FastGrainsWidenTheContactSkinAndGrainsAtRestNarrowIt)
{
  SimSystem system(grains());
  system._dt = 0.01;
  place(system, {{0, 0, 0}, {1.5, 0, 0}}, char(natureGranular));
  system.applyForces();
  const uint64_t made = system.contactPairRemakes();
  const double narrowest = SimSystem::pairSkin(1.0);
  EXPECT_EQ(system.contactPairSkin(), narrowest);

  // A move of 0.12 in one pass closes the pair in by more than the skin: the
  // lists are remade with a skin that lasts a few such passes, capped at the
  // widest.
  for (Particle& p : system._particlesArray)
    p.velocity.setZero();
  system._particlesArray[1].position.x() -= 0.12;
  refreshGrid(system);
  system.applyForces();
  EXPECT_EQ(system.contactPairRemakes(), made + 1);
  EXPECT_EQ(system.contactPairSkin(), SimSystem::contactWidestSkinFraction * 1.0);
  EXPECT_GT(system.contactPairSkin(), narrowest);

  // The same move again is within the wider skin: kept.
  system._particlesArray[1].position.x() -= 0.12;
  refreshGrid(system);
  system.applyForces();
  EXPECT_EQ(system.contactPairRemakes(), made + 1);

  // At rest, the wide skin is given up once the lists have served a while.
  for (unsigned pass = 0; pass < 4 * SimSystem::pairSkinLife; ++pass) {
    for (Particle& p : system._particlesArray)
      p.velocity.setZero();
    system.applyForces();
  }
  EXPECT_EQ(system.contactPairRemakes(), made + 2);
  EXPECT_EQ(system.contactPairSkin(), narrowest);
}

TEST(PairLists, AWideSkinGivesTheSameBitsAsListsRemadeEveryPass)
{
  // A gas of grains flying into each other, run twice: once with the skin
  // left to widen, once with the lists remade at every pass with the
  // narrowest skin. The lists differ; no result may.
  auto run = [](bool remakeEveryPass) {
    auto system = std::make_unique<SimSystem>(grains());
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j)
        for (int k = 0; k < 6; ++k)
          system->placeParticle(Eigen::Vector3d(1.1 * i, 1.1 * j, 1.1 * k),
                                Eigen::Vector3d(u(rng), u(rng), u(rng)) * 4.0, char(natureGranular));
    system->initialize(1);
    double widest = 0.0;
    for (unsigned step = 1; step <= 40; ++step) {
      if (remakeEveryPass)
        system->discardPairLists();
      system->simulStep(step, 0.01, 1);
      widest = std::max(widest, system->contactPairSkin());
    }
    return std::make_pair(std::move(system), widest);
  };
  auto [adaptive, widest] = run(false);
  auto [everyPass, narrow] = run(true);
  EXPECT_GT(widest, SimSystem::pairSkin(1.0));
  EXPECT_EQ(narrow, SimSystem::pairSkin(1.0));
  EXPECT_LT(adaptive->contactPairRemakes(), everyPass->contactPairRemakes());
  ASSERT_EQ(adaptive->_particlesArray.size(), everyPass->_particlesArray.size());
  for (size_t i = 0; i < adaptive->_particlesArray.size(); ++i) {
    Particle const& a = adaptive->_particlesArray[i];
    Particle const& b = everyPass->_particlesArray[i];
    ASSERT_EQ(a.id, b.id);
    ASSERT_EQ(0, std::memcmp(a.position.data(), b.position.data(), 3 * sizeof(double))) << "particle " << a.id;
    ASSERT_EQ(0, std::memcmp(a.velocity.data(), b.velocity.data(), 3 * sizeof(double))) << "particle " << a.id;
  }
}

TEST(PairLists, CandidatesComeOutAscendingWhateverTheirCountAndRange)
{
  // Distinct indices as the grid finds them: few or many, from a narrow
  // range (a bitmap reads them back), a wide one, or both ends of int32.
  std::mt19937 rng(11);
  std::vector<uint64_t> marks;
  auto check = [&](size_t count, int64_t low, int64_t range) {
    std::vector<int32_t> pool;
    std::uniform_int_distribution<int64_t> pick(low, low + range - 1);
    while (pool.size() < count) {
      const int32_t v = int32_t(pick(rng));
      if (std::find(pool.begin(), pool.end(), v) == pool.end())
        pool.push_back(v);
    }
    std::vector<int32_t> sorted = pool;
    std::sort(sorted.begin(), sorted.end());
    sortCandidates(pool.data(), pool.size(), marks);
    EXPECT_EQ(pool, sorted) << count << " from " << low << " over " << range;
  };
  for (size_t count : {0, 1, 2, 16, 17, 40, 128, 129, 300})
    for (int64_t range : {int64_t(400), int64_t(64 * 256), int64_t(64 * 256 + 1), int64_t(1) << 30}) {
      if (int64_t(count) > range)
        continue;
      check(count, 0, range);
      check(count, 1000003, range);
    }
  check(40, int64_t(INT32_MAX) - 63, 64); // the range ends at the largest index
  check(40, 0, 64);                       // exactly one word
  check(20, 5, 20);                       // every index of the range
}

TEST(PairLists, CodesGiveBackTheIndicesTheyWereMadeFrom)
{
  // Steps that fit in 16 bits and gaps that do not, lists that start far
  // below or above their owner, at index 0 and at the largest index.
  auto roundTrip = [](int64_t owner, std::vector<int32_t> const& indices) {
    std::vector<uint16_t> codes = {7}; // codes already there stay
    appendPairCodes(owner, indices.data(), indices.size(), codes);
    std::vector<int32_t> back;
    forEachPairCode(owner, codes.data() + 1, codes.data() + codes.size(), [&](int64_t j) { back.push_back(int32_t(j)); });
    EXPECT_EQ(back, indices) << "owner " << owner;
    EXPECT_EQ(codes[0], 7);
    return codes.size() - 1;
  };
  EXPECT_EQ(roundTrip(0, {}), 0u);
  EXPECT_EQ(roundTrip(0, {0, 1, 2}), 3u);
  EXPECT_EQ(roundTrip(1000, {1000}), 1u);
  const int64_t base = pairCodeBase;
  EXPECT_EQ(roundTrip(base, {0}), 3u);                   // a step of 0 cannot be written
  EXPECT_EQ(roundTrip(base - 1, {0}), 1u);               // a step of 1
  EXPECT_EQ(roundTrip(100000, {100000 - int32_t(base) + 0xFFFF}), 1u); // the widest step
  EXPECT_EQ(roundTrip(100000, {100000 - int32_t(base) + 0x10000}), 3u);
  EXPECT_EQ(roundTrip(500000, {10, 500000, 500001, 900000, INT32_MAX}), 3u + 3 + 1 + 3 + 3);
  EXPECT_EQ(roundTrip(INT32_MAX, {INT32_MAX - 70000, INT32_MAX - 1, INT32_MAX}), 3u + 3 + 1);

  std::mt19937 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    const int64_t owner = std::uniform_int_distribution<int64_t>(0, INT32_MAX)(rng);
    const int64_t spread = int64_t(1) << std::uniform_int_distribution<int>(4, 31)(rng);
    std::uniform_int_distribution<int64_t> pick(std::max<int64_t>(0, owner - spread),
                                                std::min<int64_t>(INT32_MAX, owner + spread));
    std::vector<int32_t> indices;
    for (int k = 0; k < 60; ++k)
      indices.push_back(int32_t(pick(rng)));
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    roundTrip(owner, indices);
  }
}
