#include "GridChecks.h"
#include "SimSystem.h"
#include "StateReader.h"
#include "StateWriter.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <random>

namespace {

// Bit-exact comparison of everything a pass may write.
bool sameBits(Eigen::Vector3d const& a, Eigen::Vector3d const& b) { return std::memcmp(a.data(), b.data(), sizeof(double) * 3) == 0; }

void expectIdentical(SimSystem const& a, SimSystem const& b, int frame)
{
  ASSERT_EQ(a._particlesArray.size(), b._particlesArray.size());
  ASSERT_EQ(a._particlesArrayMap, b._particlesArrayMap) << "frame " << frame;
  ASSERT_EQ(a._cells.size(), b._cells.size()) << "frame " << frame;
  for (size_t i = 0; i < a._particlesArray.size(); ++i) {
    Particle const& p = a._particlesArray[i];
    Particle const& q = b._particlesArray[i];
    ASSERT_EQ(p.id, q.id) << "frame " << frame << " index " << i;
    ASSERT_TRUE(sameBits(p.position, q.position)) << "frame " << frame << " particle " << p.id;
    ASSERT_TRUE(sameBits(p.previousPosition, q.previousPosition)) << "frame " << frame << " particle " << p.id;
    ASSERT_TRUE(sameBits(p.velocity, q.velocity)) << "frame " << frame << " particle " << p.id;
    ASSERT_TRUE(sameBits(p.angularVelocity, q.angularVelocity)) << "frame " << frame << " particle " << p.id;
    ASSERT_EQ(0, std::memcmp(p.orientation.coeffs().data(), q.orientation.coeffs().data(), sizeof(double) * 4));
    ASSERT_EQ(p.nextInCell, q.nextInCell) << "frame " << frame << " particle " << p.id;
    ASSERT_EQ(p.cellKey, q.cellKey) << "frame " << frame << " particle " << p.id;
    ASSERT_EQ(0, std::memcmp(&p.invDensity, &q.invDensity, sizeof(double)));
    ASSERT_EQ(0, std::memcmp(&p.pressure, &q.pressure, sizeof(double)));
  }
  for (auto ita = a._cells.begin(), itb = b._cells.begin(); ita != a._cells.end(); ++ita, ++itb) {
    ASSERT_EQ(ita->first, itb->first);
    ASSERT_EQ(ita->second->firstParticle, itb->second->firstParticle);
    ASSERT_EQ(ita->second->neighborFirstParticles, itb->second->neighborFirstParticles);
  }
}

// A mixed scene of particles flying apart, so that they change cells and the
// periodic sort reorders them.
struct SteppedScene
{
  explicit SteppedScene(SimSettings const& settings) : system(settings)
  {
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    const char natures[] = {1, 2, 4, 3, 5, 6, 7, 0};
    for (int i = 0; i < 2000; ++i) {
      system.placeParticle(Eigen::Vector3d(u(rng), u(rng) + 5.0, u(rng)) * 2.0, Eigen::Vector3d(u(rng), u(rng), u(rng)),
                           natures[i % 8]);
      system._particlesArray.back().orientation = Eigen::Quaterniond(u(rng), u(rng), u(rng), u(rng)).normalized();
    }
    system.initialize(1);
  }

  void frame(unsigned f) { system.simulStep(f, 1.0 / 24.0, 4); }

  SimSystem system;
};

// Steps two copies of a scene frame by frame, one on `threadsA` threads and
// one on `threadsB`, comparing every particle bit for bit after each frame;
// `tune` sets what the settings do not hold.
void expectSameRuns(SimSettings const& settings, int threadsA, int threadsB, void (*tune)(SimSystem&) = nullptr)
{
  const int saved = omp_get_max_threads();
  omp_set_num_threads(threadsA);
  SteppedScene a(settings);
  omp_set_num_threads(threadsB);
  SteppedScene b(settings);
  if (tune) {
    tune(a.system);
    tune(b.system);
  }
  expectIdentical(a.system, b.system, 1);
  // Frame 25 makes the sort counter hit a multiple of 100.
  for (unsigned f = 2; f <= 27; ++f) {
    omp_set_num_threads(threadsA);
    a.frame(f);
    omp_set_num_threads(threadsB);
    b.frame(f);
    expectIdentical(a.system, b.system, int(f));
    if (::testing::Test::HasFatalFailure())
      break;
  }
  omp_set_num_threads(saved);
  ASSERT_EQ(a.system._demTangentialSprings.size(), b.system._demTangentialSprings.size());
  for (size_t k = 0; k < a.system._demTangentialSprings.size(); ++k) {
    ASSERT_EQ(a.system._demTangentialSprings[k].id1, b.system._demTangentialSprings[k].id1);
    ASSERT_EQ(a.system._demTangentialSprings[k].id2, b.system._demTangentialSprings[k].id2);
    ASSERT_TRUE(sameBits(a.system._demTangentialSprings[k].displacement, b.system._demTangentialSprings[k].displacement));
    ASSERT_TRUE(sameBits(a.system._demTangentialSprings[k].rolling, b.system._demTangentialSprings[k].rolling));
  }
  b.system.updateCellsParticles();
  EXPECT_TRUE(gridchecks::listsAreConsistent(b.system));
}

SimSettings everything()
{
  SimSettings settings;
  settings.fluid = true;
  settings.viscosity = true;
  settings.surfaceTension = true;
  settings.plasticDeformation = true;
  settings.springsCanReconnect = true;
  settings.interParticleCollisions = true;
  return settings;
}

} // namespace

TEST(Determinism, OneAndTwoThreadsGiveBitEqualState)
{
  expectSameRuns(everything(), 1, 2);
}

TEST(Determinism, StaticFrictionRecordsRepeatAcrossRunsAndThreadCounts)
{
  SimSettings settings = everything();
  settings.enforceStaticFriction = true;
  expectSameRuns(settings, 1, 2);
  expectSameRuns(settings, 2, 2);
}

TEST(Determinism, TurningSpheresRepeatAcrossThreadCounts)
{
  for (bool staticFriction : {false, true}) {
    SimSettings settings = everything();
    settings.enforceStaticFriction = staticFriction;
    expectSameRuns(settings, 1, 2, [](SimSystem& system) {
      system.rollingSpheres = true;
      system.rollingFriction = 0.3;
    });
  }
}

TEST(Determinism, RotatingClustersRepeatAcrossThreadCounts)
{
  SimSettings settings = everything();
  settings.interParticlesCollMode = 1;
  settings.enableRotations = true;
  settings.randInitRotations = true;
  expectSameRuns(settings, 1, 2);
}

TEST(RandomSequence, DrawsWhatTheCLibraryRandDrawsAndContinuesFromACopiedState)
{
  // The random initial rotations keep the sequence they had with rand().
  for (unsigned seed : {0u, 1u, 12345u}) {
    std::srand(seed);
    RandomSequence sequence(seed);
    for (int i = 0; i < 5000; ++i)
      ASSERT_EQ(sequence.next(), std::rand()) << "seed " << seed << ", draw " << i;
  }
  // A copy of the state, as a checkpoint holds it, continues the sequence.
  RandomSequence a(0);
  for (int i = 0; i < 77; ++i)
    a.next();
  RandomSequence b(99);
  b._state = a._state;
  b._front = a._front;
  b._rear = a._rear;
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(a.next(), b.next());
}

TEST(SavedState, ASystemReadBackContinuesBitForBitAndDamageIsRefused)
{
  // Every material, shear-spring records: run, save after frame 8, read into
  // a system built from the same settings, and run both on past the
  // periodic sort (frame 25).
  SimSettings settings = everything();
  settings.enforceStaticFriction = true;
  SteppedScene a(settings);
  for (unsigned f = 2; f <= 8; ++f)
    a.frame(f);
  std::string bytes;
  StateWriter out(bytes);
  a.system.saveState(out);

  SimSystem b(settings);
  StateReader in(bytes.data(), bytes.size());
  ASSERT_NO_THROW(b.loadState(in));
  EXPECT_EQ(in.left(), 0u);
  for (unsigned f = 9; f <= 26; ++f) {
    a.frame(f);
    b.simulStep(f, 1.0 / 24.0, 4);
    expectIdentical(a.system, b, int(f));
    if (::testing::Test::HasFatalFailure())
      return;
  }
  EXPECT_GT(b._demTangentialSprings.size(), 0u);
  EXPECT_EQ(a.system._demTangentialSprings.size(), b._demTangentialSprings.size());
  EXPECT_EQ(a.system._springs.size(), b._springs.size());

  // Cut anywhere, the bytes are refused with a message, never misread.
  for (size_t cut : {size_t(3), bytes.size() / 3, bytes.size() - 1}) {
    SimSystem c(settings);
    StateReader part(bytes.data(), cut);
    EXPECT_THROW(c.loadState(part), std::runtime_error) << "cut at " << cut;
  }
}
