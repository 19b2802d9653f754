// Automatic sub-steps: the frame is divided by what the state needs, inside
// the frame, the same way on any number of threads and after a resume.
#include "GridChecks.h"
#include "SceneFixtures.h"
#include "StateReader.h"
#include "StateWriter.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <algorithm>
#include <cstring>

namespace {

constexpr double frameDt = 1.0 / 24.0;

bool sameBits(Eigen::Vector3d const& a, Eigen::Vector3d const& b)
{
  return std::memcmp(a.data(), b.data(), 3 * sizeof(double)) == 0;
}

} // namespace

TEST(AutomaticSubSteps, AFastParticleTakesTheStepsItsSpeedCallsForAndTheFrameEndsOnTime)
{
  SimSettings settings;
  settings.springs = false;
  settings.gravity = 0.0;
  SimSystem system(settings);
  system.placeParticle(Eigen::Vector3d::Zero(), Eigen::Vector3d(100, 0, 0), natureGranular);
  system.initialize(1);
  SimSystem::FrameSteps const r = system.simulStepAdaptive(2, frameDt, 1, 1000);
  // Half a radius (0.25) per sub-step at 100 units/s.
  EXPECT_EQ(r.steps, unsigned(std::ceil(frameDt / (0.25 / 100.0))));
  EXPECT_STREQ(r.limit, "travel");
  EXPECT_FALSE(r.capped);
  // The sub-steps add up to the frame: the particle crossed 100 / 24 units.
  EXPECT_NEAR(system._particlesArray[0].position.x(), 100.0 * frameDt, 1e-12);

  // With gravity, the velocity gained is g times the frame, to rounding.
  settings.gravity = -9.80665;
  SimSystem falling(settings);
  falling.placeParticle(Eigen::Vector3d::Zero(), Eigen::Vector3d(0, 30, 0), natureGranular);
  falling.initialize(1);
  falling.simulStepAdaptive(2, frameDt, 3, 1000);
  EXPECT_NEAR(falling._particlesArray[0].velocity.y(), 30.0 - 9.80665 * frameDt, 1e-12);
}

TEST(AutomaticSubSteps, ALiquidBornInsideTheFrameShortensTheRestOfIt)
{
  // A spout that switches on: before, the frame takes the least count;
  // once liquid is born in it, the sound speed divides the rest of the
  // frame, which the steps chosen at the frame's start would not.
  SceneObjects objects;
  SimSystem system(waterSettings(0.15));
  system.clampNegativePressure = true;
  system.addCollisionObject(objects.floor());
  EmitterObject* spout = objects.emitter({-0.5, 3.5, -0.5}, {0.5, 4.5, 0.5}, natureLiquid,
                                         EmitterObject::continuousEmission, {0, -3, 0});
  spout->_active = false;
  system.addEmitterObject(spout);
  system.initialize(1);
  EXPECT_EQ(system.simulStepAdaptive(2, frameDt, 4, 2000).steps, 4u);
  spout->_active = true;
  SimSystem::FrameSteps const on = system.simulStepAdaptive(3, frameDt, 4, 2000);
  const SimSystem::SubStepLimits liquid = system.subStepLimits(3.0, natureLiquid);
  EXPECT_GE(on.steps, unsigned(frameDt / liquid.sound));
  EXPECT_STREQ(on.limit, "sound");
  ASSERT_GT(system._particlesArray.size(), 0u);
  for (unsigned f = 4; f <= 24; ++f)
    system.simulStepAdaptive(f, frameDt, 4, 2000);
  // The stream falls as a stream: nothing much faster than the spout's
  // speed and a fall of 4.5 units.
  EXPECT_LT(system.fastestSpeed(), 1.3 * (3.0 + std::sqrt(2 * 9.80665 * 4.5)));
}

TEST(AutomaticSubSteps, AFrameThatNeedsMoreThanTheMostStopsBeforeTakingThem)
{
  SimSystem system(waterSettings(0.1));
  system.clampNegativePressure = true;
  gridchecks::placeBlock(system, 6, 0.2, Eigen::Vector3d(0, 1, 0), char(natureLiquid));
  system.initialize(1);
  SimSystem::FrameSteps const r = system.simulStepAdaptive(2, frameDt, 2, 10);
  EXPECT_TRUE(r.capped);
  EXPECT_EQ(r.steps, 0u) << "the first sub-step already needs more: none is taken";
  EXPECT_GT(r.needed, 10.0);
  EXPECT_STREQ(r.limit, "sound");
  // The count it needs, given, runs the frame.
  SimSystem again(waterSettings(0.1));
  again.clampNegativePressure = true;
  gridchecks::placeBlock(again, 6, 0.2, Eigen::Vector3d(0, 1, 0), char(natureLiquid));
  again.initialize(1);
  SimSystem::FrameSteps const enough = again.simulStepAdaptive(2, frameDt, 2, unsigned(std::ceil(r.needed)) + 10);
  EXPECT_FALSE(enough.capped);
  EXPECT_GE(enough.steps, unsigned(std::ceil(r.needed)) - 1);
}

TEST(Determinism, AutomaticSubStepsGiveTheSameStepsAndBitsOnOneAndTwoThreadsAndAfterAResume)
{
  // Liquid, grains and a soft body falling onto a floor together: the steps
  // follow the impacts.
  auto build = [](SimSystem& s, SceneObjects& o) {
    s.clampNegativePressure = true;
    s.addCollisionObject(o.floor(100.0));
    s.addEmitterObject(o.emitter({-1, 0.5, -1}, {1, 2, 1}, natureLiquid));
    s.addEmitterObject(o.emitter({-1, 2.4, -1}, {1, 3.4, 1}, natureGranular));
    s.addEmitterObject(o.emitter({-0.6, 3.8, -0.6}, {0.6, 5, 0.6}, natureSoftBody));
    s.initialize(1);
  };
  SimSettings settings = waterSettings(0.1);
  settings.springs = true;
  settings.springsNeighborSearchRadius = 0.3;
  settings.springConstant = 2000;
  settings.springDamping = 50;
  settings.springsCanBreak = false;
  settings.interParticleCollisions = true;
  settings.normalConstant = 2000;
  settings.normalDamping = 20;
  settings.enforceStaticFriction = true;
  const int saved = omp_get_max_threads();
  SceneObjects oa, ob;
  SimSystem a(settings), b(settings);
  omp_set_num_threads(1);
  build(a, oa);
  omp_set_num_threads(2);
  build(b, ob);
  std::string saved8;
  for (unsigned f = 2; f <= 14; ++f) {
    omp_set_num_threads(1);
    SimSystem::FrameSteps const ra = a.simulStepAdaptive(f, frameDt, 4, 2000);
    omp_set_num_threads(2);
    SimSystem::FrameSteps const rb = b.simulStepAdaptive(f, frameDt, 4, 2000);
    ASSERT_EQ(ra.steps, rb.steps) << "frame " << f;
    ASSERT_EQ(a._particlesArray.size(), b._particlesArray.size());
    for (size_t i = 0; i < a._particlesArray.size(); ++i)
      ASSERT_TRUE(sameBits(a._particlesArray[i].position, b._particlesArray[i].position))
          << "frame " << f << ", index " << i;
    if (f == 8) {
      StateWriter out(saved8);
      a.saveState(out);
    }
  }
  omp_set_num_threads(saved);

  // Read back after frame 8, the run goes on with the same steps and bits.
  SceneObjects oc;
  SimSystem c(settings);
  c.clampNegativePressure = true;
  c.addCollisionObject(oc.floor(100.0));
  c.addEmitterObject(oc.emitter({-1, 0.5, -1}, {1, 2, 1}, natureLiquid));
  c.addEmitterObject(oc.emitter({-1, 2.4, -1}, {1, 3.4, 1}, natureGranular));
  c.addEmitterObject(oc.emitter({-0.6, 3.8, -0.6}, {0.6, 5, 0.6}, natureSoftBody));
  for (auto& e : oc.emitters)
    e->_hasEmitted = true;
  StateReader in(saved8.data(), saved8.size());
  ASSERT_NO_THROW(c.loadState(in));
  SimSystem d(settings);
  SceneObjects od;
  build(d, od);
  for (unsigned f = 2; f <= 8; ++f)
    d.simulStepAdaptive(f, frameDt, 4, 2000);
  for (unsigned f = 9; f <= 14; ++f) {
    SimSystem::FrameSteps const rc = c.simulStepAdaptive(f, frameDt, 4, 2000);
    SimSystem::FrameSteps const rd = d.simulStepAdaptive(f, frameDt, 4, 2000);
    ASSERT_EQ(rc.steps, rd.steps) << "frame " << f;
    for (size_t i = 0; i < c._particlesArray.size(); ++i)
      ASSERT_TRUE(sameBits(c._particlesArray[i].position, d._particlesArray[i].position))
          << "frame " << f << ", index " << i;
  }
  EXPECT_TRUE(sameBits(c._particlesArray.back().position, a._particlesArray.back().position));
}

TEST(AutomaticSubSteps, HalvingTheStepMovesTheDamBreakMeasuresLessThanTheirTolerance)
{
  // A small dam break run at the sub-steps automatic control chose, then at
  // twice as many: the surge front (validated within 10 % of the column's
  // width) and the mean density error barely move.
  auto damBreak = [](unsigned subSteps, std::vector<unsigned>* chosen) {
    SceneObjects objects;
    SimSettings settings = waterSettings(0.1);
    SimSystem system(settings);
    system.clampNegativePressure = true;
    system.addCollisionObject(objects.box({-1, -1, -1}, {4, 0, 1}, 0.0, CollisionObject::staticGeometry, true));
    system.addCollisionObject(objects.box({-1, -1, -1}, {0, 2, 1}, 0.0, CollisionObject::staticGeometry, true));
    system.addCollisionObject(objects.box({3, -1, -1}, {4, 2, 1}, 0.0, CollisionObject::staticGeometry, true));
    system.addCollisionObject(objects.box({-1, -1, -1}, {4, 2, -0.3}, 0.0, CollisionObject::staticGeometry, true));
    system.addCollisionObject(objects.box({-1, -1, 0.3}, {4, 2, 1}, 0.0, CollisionObject::staticGeometry, true));
    system.addEmitterObject(objects.emitter({0, 0, -0.3}, {1, 1, 0.3}, natureLiquid));
    system.initialize(1);
    std::vector<double> fronts;
    double densityError = 0.0;
    for (unsigned f = 2; f <= 9; ++f) {
      if (chosen)
        chosen->push_back(system.simulStepAdaptive(f, frameDt, 4, 4000).steps);
      else
        system.simulStep(f, frameDt, subSteps);
      double front = 0.0;
      for (Particle const& p : system._particlesArray)
        front = std::max(front, p.position.x());
      fronts.push_back(front);
    }
    for (Particle const& p : system._particlesArray)
      densityError += std::abs(1.0 / (p.invDensity * 998.0) - 1.0);
    return std::make_pair(fronts, densityError / double(system._particlesArray.size()));
  };
  std::vector<unsigned> chosen;
  damBreak(0, &chosen);
  const unsigned most = *std::max_element(chosen.begin(), chosen.end());
  const auto [fronts, error] = damBreak(most, nullptr);
  const auto [finer, finerError] = damBreak(2 * most, nullptr);
  EXPECT_GT(fronts.back(), 1.05) << "the column surges";
  for (size_t k = 0; k < fronts.size(); ++k)
    EXPECT_NEAR(fronts[k], finer[k], 0.1 * 1.0) << "frame " << k + 2;
  EXPECT_NEAR(error, finerError, 0.005);
}
