#include "EmitterObject.h"
#include "GridChecks.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "SimSystem.h"
#include "TalunoObjects.h"
#include "SceneFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>

namespace {

// A 4 x 4 x 4 cube emitter filled with r = 0.5: 3^3 = 27 candidates.
struct EmitterScene
{
  explicit EmitterScene(EmitterObject::emissionType type, unsigned interval = 5, SimSettings settings = SimSettings())
      : system(settings)
  {
    mesh.reset(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Constant(4.0)), 1));
    emitter = std::make_unique<EmitterObject>(mesh.get(), 2, type, EmitterObject::cubic, 0,
                                              EmitterObject::staticGeometry, 0, -1, 0, interval, 0, 0, 0, 0.75,
                                              4294967295u);
    system.addEmitterObject(emitter.get());
  }

  // Carries every particle far from the emitter, as if they had flowed out.
  void emptyTheEmitter()
  {
    for (Particle& p : system._particlesArray)
      p.position.x() += 1000.0;
  }

  size_t count() const { return system._particlesArray.size(); }

  std::unique_ptr<Mesh> mesh;
  std::unique_ptr<EmitterObject> emitter;
  SimSystem system;
};

} // namespace

TEST(Emission, InitializeEmitsIntoSortedConsistentCells)
{
  EmitterScene scene(EmitterObject::emitOnce);
  EXPECT_EQ(scene.emitter->_id, 0u);
  EXPECT_EQ(scene.system._nbEmitterObjects, 1u);
  ASSERT_EQ(scene.emitter->_positions.size(), 27u);
  EXPECT_FALSE(scene.emitter->_hasEmitted);
  scene.system.initialize(1);
  EXPECT_TRUE(scene.emitter->_hasEmitted);

  SimSystem const& system = scene.system;
  ASSERT_EQ(system._particlesArray.size(), 27u);
  EXPECT_EQ(system._nbParticles, 27u);
  EXPECT_TRUE(std::is_sorted(system._particlesArray.begin(), system._particlesArray.end(),
                             SimSystem::particlesArrayCompare));
  EXPECT_TRUE(gridchecks::listsAreConsistent(system));
  EXPECT_TRUE(gridchecks::neighborsMatchBruteForce(system));
  for (uint32_t id = 0; id < 27; ++id) {
    Particle const& p = system._particlesArray[system._particlesArrayMap[id]];
    EXPECT_EQ(p.id, id);
    EXPECT_EQ(p.position, scene.emitter->_positions[id]); // candidates in order
    EXPECT_EQ(p.velocity, Eigen::Vector3d(0, -1, 0));
    EXPECT_EQ(p.nature, 2);
    EXPECT_EQ(p.emitter, scene.emitter.get());
    EXPECT_EQ(system.frictionMultiplierOf(p), 0.75);
    EXPECT_EQ(p.orientation.coeffs(), Eigen::Vector4d(0, 0, 0, 1)); // no random rotations by default
  }

  // Re-adding the same emitter keeps its index and refills it.
  scene.system.addEmitterObject(scene.emitter.get());
  EXPECT_EQ(scene.system._emitterObjects.size(), 1u);
  EXPECT_EQ(scene.emitter->_id, 0u);
}

TEST(Emission, EmissionTypesDecideWhenEmittersRefill)
{
  EmitterScene once(EmitterObject::emitOnce), continuous(EmitterObject::continuousEmission),
      intermittent(EmitterObject::intermittentEmission, 5), noPeriod(EmitterObject::intermittentEmission, 0);
  for (EmitterScene* scene : {&once, &continuous, &intermittent, &noPeriod}) {
    scene->system.initialize(1);
    ASSERT_EQ(scene->count(), 27u);
  }
  // A full volume emits nothing.
  continuous.system.simulStep(2, 0.04, 1);
  EXPECT_EQ(continuous.count(), 27u);

  struct Expectation
  {
    unsigned frame;
    size_t once, continuous, intermittent, noPeriod;
  };
  // Counts after emptying the emitters and stepping one frame of two sub-steps.
  for (Expectation e : {Expectation{3, 27, 54, 27, 54}, Expectation{5, 27, 81, 54, 81},
                        Expectation{7, 27, 108, 54, 108}, Expectation{10, 27, 135, 81, 135}}) {
    for (EmitterScene* scene : {&once, &continuous, &intermittent, &noPeriod}) {
      scene->emptyTheEmitter();
      scene->system.simulStep(e.frame, 0.04, 2); // the second sub-step sees the first's particles
    }
    EXPECT_EQ(once.count(), e.once) << "frame " << e.frame;
    EXPECT_EQ(continuous.count(), e.continuous) << "frame " << e.frame;
    EXPECT_EQ(intermittent.count(), e.intermittent) << "frame " << e.frame;
    EXPECT_EQ(noPeriod.count(), e.noPeriod) << "frame " << e.frame;
  }
  EXPECT_TRUE(gridchecks::listsAreConsistent(continuous.system));
}

TEST(Emission, IntermittentEmittersEmitFirstWhateverTheFrame)
{
  EmitterScene scene(EmitterObject::intermittentEmission, 5);
  scene.system.initialize(3);
  EXPECT_EQ(scene.count(), 27u);

  EmitterScene inactive(EmitterObject::continuousEmission);
  inactive.emitter->_active = false;
  inactive.system.initialize(1);
  inactive.system.simulStep(2, 0.04, 2);
  EXPECT_EQ(inactive.count(), 0u);
  EXPECT_FALSE(inactive.emitter->_hasEmitted);
}

TEST(Emission, CandidatesKeepADiameterFromParticles)
{
  SimSettings settings;
  settings.particleRadius = 1.0;
  settings.particlesInteractionRadius = 2.0;
  EmitterScene scene(EmitterObject::continuousEmission, 1, settings);
  scene.system.placeParticle(Eigen::Vector3d(0.5, 0.5, 0.5), Eigen::Vector3d::Zero(), 4);
  scene.system.updateCellsNeighbors();
  // Exactly a diameter away: accepted. A thousandth of r closer: rejected,
  // also when the candidate's cell does not exist yet.
  scene.emitter->_positions = {{2.5, 0.5, 0.5}, {0.5, 2.499, 0.5}, {0.5, 0.5, -1.499}, {-1.5, 0.5, 0.5}};
  scene.system.emitParticles(1);
  ASSERT_EQ(scene.count(), 3u);
  EXPECT_EQ(scene.system._particlesArray[1].position, Eigen::Vector3d(2.5, 0.5, 0.5));
  EXPECT_EQ(scene.system._particlesArray[2].position, Eigen::Vector3d(-1.5, 0.5, 0.5));
}

TEST(Emission, FineRadiiKeepTheirDiameterToo)
{
  // The same rule a thousand times smaller: a candidate a tenth of a
  // diameter too close is rejected (a fixed tolerance of 1e-6 on squared
  // lengths let it in, and at radius 0.0005 let every candidate in).
  SimSettings settings;
  settings.particleRadius = 0.001;
  settings.particlesInteractionRadius = 0.002;
  SimSystem system(settings);
  std::unique_ptr<Mesh> mesh(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Constant(0.004)), 1));
  EmitterObject emitter(mesh.get(), 2, EmitterObject::continuousEmission, EmitterObject::cubic, 0,
                        EmitterObject::staticGeometry, 0, -1, 0, 1, 0, 0, 0, 0.75, 4294967295u);
  system.addEmitterObject(&emitter);
  system.placeParticle(Eigen::Vector3d(0.0005, 0.0005, 0.0005), Eigen::Vector3d::Zero(), 4);
  system.updateCellsNeighbors();
  emitter._positions = {{0.0025, 0.0005, 0.0005}, {0.0005, 0.0023, 0.0005}};
  system.emitParticles(1);
  ASSERT_EQ(system._particlesArray.size(), 2u);
  EXPECT_EQ(system._particlesArray[1].position, Eigen::Vector3d(0.0025, 0.0005, 0.0005));
}

TEST(Emission, RandomInitialOrientationsRepeatFromTheSeed)
{
  SimSettings settings;
  settings.randInitRotations = true;
  settings.enableRotations = true;
  settings.interParticlesCollMode = 1;

  std::srand(0);
  double q[4];
  for (double& v : q)
    v = 2.0 * (std::rand() * 4.656612875245797e-10 - 0.5);
  const Eigen::Vector4d drawn(q[1], q[2], q[3], q[0]); // drawn w, x, y, z; stored x, y, z, w
  const Eigen::Vector4d expected = drawn / drawn.norm();

  std::rand(); // whatever happened before, the system reseeds
  EmitterScene scene(EmitterObject::emitOnce, 1, settings);
  scene.system.initialize(1);
  Particle const& first = scene.system._particlesArray[scene.system._particlesArrayMap[0]];
  EXPECT_TRUE(first.orientation.coeffs().isApprox(expected, 1e-15));
  EXPECT_NEAR(first.orientation.norm(), 1.0, 1e-15);
  Particle const& second = scene.system._particlesArray[scene.system._particlesArrayMap[1]];
  EXPECT_FALSE(second.orientation.coeffs().isApprox(expected));
}

TEST(Emission, ParticlesOutliveTheirEmitter)
{
  TalunoObjects* registry = TalunoObjects::getInstance();
  auto scene = std::make_unique<EmitterScene>(EmitterObject::continuousEmission);
  registry->addObject(11, scene->emitter.get());
  scene->system.initialize(1);
  scene->system.simulStep(2, 0.04, 2);

  // The owner replaces its emitter: it forgets it everywhere, then destroys it.
  registry->removeObject(scene->emitter.get());
  scene->system.removeEmitterObject(scene->emitter.get());
  scene->emitter.reset();
  EXPECT_EQ(registry->getObject(11), nullptr);
  scene->emptyTheEmitter();
  scene->system.simulStep(3, 0.04, 2); // emission skips the forgotten emitter
  EXPECT_EQ(scene->count(), 27u);
  for (Particle const& p : scene->system._particlesArray)
    EXPECT_EQ(scene->system.frictionMultiplierOf(p), 0.75); // still known without the emitter

  // A replacement emitter takes a new index and emits.
  auto replacement = std::make_unique<EmitterObject>(scene->mesh.get(), 2, EmitterObject::emitOnce,
                                                     EmitterObject::cubic, 0, EmitterObject::staticGeometry, 0, 0,
                                                     0, 1, 0, 0, 0, 2.0, 4294967295u);
  scene->system.addEmitterObject(replacement.get());
  EXPECT_EQ(replacement->_id, 1u);
  scene->system.simulStep(4, 0.04, 1);
  EXPECT_EQ(scene->count(), 54u);
  EXPECT_EQ(scene->system.frictionMultiplierOf(scene->system._particlesArray.back()), 2.0);
  EXPECT_EQ(scene->system.frictionMultiplierOf(scene->system._particlesArray.front()), 0.75);
  TalunoObjects::release();
}

TEST(Emission, FrictionMultipliersAreKeptOnceEachAndTheTableIsBounded)
{
  SimSystem system{SimSettings{}};
  EXPECT_EQ(system.frictionSlotOf(1.0), 0); // the value without an emitter
  const uint16_t quarter = system.frictionSlotOf(0.25);
  EXPECT_NE(quarter, 0);
  EXPECT_EQ(system.frictionSlotOf(0.25), quarter);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(system.frictionSlotOf(nan), system.frictionSlotOf(nan));
  EXPECT_NE(system.frictionSlotOf(-0.0), system.frictionSlotOf(0.0)); // bits, not values

  // A multiplier animated in more steps than the table holds fails loudly
  // instead of handing particles another emitter's friction.
  for (int k = 1; system._frictionMultipliers.size() < 65536; ++k)
    system.frictionSlotOf(1.0 + k);
  EXPECT_EQ(system.frictionSlotOf(2.0), system.frictionSlotOf(2.0)); // known values still found
  try {
    system.frictionSlotOf(-5.0);
    FAIL() << "a 65,537th multiplier was accepted";
  } catch (std::runtime_error const& e) {
    EXPECT_NE(std::string(e.what()).find("frictionMultiplier"), std::string::npos) << e.what();
  }
  Particle p(0, 0, 0, 0, 0, 0, 0, nullptr, 0, char(natureGranular), nullptr);
  p.frictionSlot = quarter;
  EXPECT_EQ(system.frictionMultiplierOf(p), 0.25);
}

TEST(Emission, ALiquidFilledOntoAColliderStartsSettled)
{
  // A column of liquid filled onto a floor starts at the density its depth
  // holds at rest: its bottom stays a radius above the floor, each gap above
  // is squeezed by the pressure at its depth below the column's top, and
  // nothing is refused for being close. A block filled in the air stays on
  // its lattice (it falls, and a falling liquid carries no pressure), and so
  // does everything without the setting.
  auto fill = [](bool settled) {
    SimSettings settings = waterSettings(0.1);
    settings.gravity = -9.80665;
    settings.internalPressure = 20; // soft, so that the squeeze shows
    SceneObjects scene;
    SimSystem system(settings);
    system.hydrostaticStart = settled;
    system.addCollisionObject(scene.floor());
    system.addEmitterObject(scene.emitter({0, 0, 0}, {0.2, 1.8, 0.2}, natureLiquid));
    system.addEmitterObject(scene.emitter({0, 3, 0}, {0.2, 3.6, 0.2}, natureLiquid));
    system.initialize(1);
    std::vector<double> heights;
    for (Particle const& p : system._particlesArray)
      heights.push_back(p.position.y());
    std::sort(heights.begin(), heights.end());
    return std::make_tuple(heights, system.restingPressureGradient(), system._pressureStiffness);
  };
  const auto [plain, unusedGradient, unusedStiffness] = fill(false);
  const auto [settled, gradient, stiffness] = fill(true);
  ASSERT_EQ(plain.size(), 12u);
  ASSERT_EQ(settled.size(), 12u);
  for (size_t k = 0; k < 9; ++k)
    EXPECT_NEAR(plain[k], 0.1 + 0.2 * double(k), 1e-12);

  EXPECT_NEAR(settled[0], 0.1, 1e-12);
  double expected = 0.1;
  for (size_t k = 1; k < 9; ++k) {
    const double depth = 1.7 - (0.1 + 0.2 * (double(k) - 0.5));
    expected += 0.2 * std::pow(1.0 + gradient * depth / stiffness, -1.0 / 7.0);
    EXPECT_NEAR(settled[k], expected, 1e-12) << "layer " << k;
    if (k > 1) { // deeper gaps are squeezed more
      EXPECT_LT(settled[k - 1] - settled[k - 2], settled[k] - settled[k - 1]);
    }
  }
  EXPECT_LT(settled[8], 1.7 - 0.002);
  for (size_t k = 9; k < 12; ++k)
    EXPECT_EQ(settled[k], plain[k]);
}
