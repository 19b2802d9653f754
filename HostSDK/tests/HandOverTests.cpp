// How scene objects reach a solver and leave it: rebuilds, replacements by
// their nodes, unwiring and destruction, input order, emitted state, and the
// frame numbers the solver steps with. The use-after-free cases matter most
// in the sanitizer build, which reports any read of a destroyed object.
#include "HostFixtures.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

namespace {

struct HandOverScene : ObjectHost
{
  SOP_Taluno* solver(char const* name = "solver")
  {
    return static_cast<SOP_Taluno*>(network.createNode("Taluno", name));
  }
  SOP_CollisionObject* floorAt(double top, double x0 = -10, double x1 = 10)
  {
    return create<SOP_CollisionObject>("CollisionObject", box({x0, top - 2, -10}, {x1, top, 10}));
  }
  SOP_EmitterObject* block(Eigen::Vector3d const& min, Eigen::Vector3d const& max, int nature = 2)
  {
    auto* emitter = create<SOP_EmitterObject>("EmitterObject", box(min, max));
    emitter->setFloat("nature", 0, nature);
    return emitter;
  }
  OP_ERROR cookFrame(SOP_Taluno* s, int frame, double fps = 24.0)
  {
    channels()->setSamplesPerSec(fps);
    return cookAt(s, (frame - 1) / fps);
  }
  static SimSystem const& system(SOP_Taluno* s) { return *s->system(); }
};

// Every collision-object entry of the system is null or the object its node holds now.
::testing::AssertionResult holdsOnlyLiveObjects(SimSystem const& system, std::vector<SOP_CollisionObject*> nodes)
{
  std::set<CollisionObject const*> live;
  for (SOP_CollisionObject* node : nodes)
    live.insert(node->object());
  for (auto const& [index, object] : system._collisionObjects)
    if (object && !live.count(object))
      return ::testing::AssertionFailure() << "entry " << index << " holds an object no node owns";
  return ::testing::AssertionSuccess();
}

double lowestY(SimSystem const& system)
{
  double lowest = 1e30;
  for (Particle const& p : system._particlesArray)
    lowest = std::min(lowest, p.position.y());
  return lowest;
}

} // namespace

TEST(HandOver, ObjectsReplacedWhileInactiveAreNeverReachedAfterTheirNodeDestroysThem)
{
  // A deforming floor switched off at frame 4: its node makes a new, inactive
  // object on every cook and destroys the one before.
  HandOverScene scene;
  auto* floor = scene.floorAt(0);
  floor->setFloat("hint", 0, 2);
  auto* grains = scene.block({-2, 1, -2}, {2, 4, 2});
  SOP_Taluno* solver = scene.solver();
  scene.network.setInput(solver, 0, floor);
  scene.network.setInput(solver, 1, grains);
  scene.cookFrame(solver, 1);
  for (int frame = 2; frame <= 8; ++frame) {
    if (frame == 4)
      floor->setFloat("active", 0, 0);
    ASSERT_LT(scene.cookFrame(solver, frame), UT_ERROR_ABORT);
    EXPECT_TRUE(holdsOnlyLiveObjects(HandOverScene::system(solver), {floor})) << "frame " << frame;
  }
  // Off, the floor lets the grains through.
  for (int frame = 9; frame <= 30; ++frame)
    scene.cookFrame(solver, frame);
  EXPECT_LT(lowestY(HandOverScene::system(solver)), -1.0);

  // A static floor switched off, then rebuilt by a new "maxDepth", then on again.
  HandOverScene still;
  auto* stillFloor = still.floorAt(0);
  auto* sand = still.block({-2, 1, -2}, {2, 4, 2});
  SOP_Taluno* other = still.solver();
  still.network.setInput(other, 0, stillFloor);
  still.network.setInput(other, 1, sand);
  still.cookFrame(other, 1);
  still.cookFrame(other, 2);
  stillFloor->setFloat("active", 0, 0);
  still.cookFrame(other, 3);
  stillFloor->setFloat("maxDepth", 0, 4);
  for (int frame = 4; frame <= 6; ++frame) {
    ASSERT_LT(still.cookFrame(other, frame), UT_ERROR_ABORT);
    EXPECT_TRUE(holdsOnlyLiveObjects(HandOverScene::system(other), {stillFloor})) << "frame " << frame;
  }
  // Switched on again, the rebuilt floor takes its old place and holds the grains.
  stillFloor->setFloat("active", 0, 1);
  for (int frame = 7; frame <= 48; ++frame)
    still.cookFrame(other, frame);
  SimSystem const& s = HandOverScene::system(other);
  ASSERT_EQ(s._collisionObjects.size(), 1u);
  EXPECT_EQ(s._collisionObjects.at(0), stillFloor->object());
  EXPECT_GT(lowestY(s), 0.4);
}

TEST(HandOver, EveryRebuildStartsFromTheObjectsOnTheInputsEachInItsOwnEntry)
{
  HandOverScene scene;
  auto* e1 = scene.block({-6, 2, -1}, {-4, 4, 1});
  auto* e2 = scene.block({4, 2, -1}, {6, 4, 1});
  auto* f1 = scene.floorAt(0, -10, 0);
  auto* f2 = scene.floorAt(0, 0, 10);
  SOP_Taluno* solver = scene.solver();
  auto wire = [&](std::vector<OP_Node*> inputs) {
    for (unsigned i = 0; i < 6; ++i)
      scene.network.setInput(solver, i, i < inputs.size() ? inputs[i] : nullptr);
  };
  wire({e1, e2, f1, f2});
  scene.cookFrame(solver, 1);
  const size_t both = HandOverScene::system(solver)._particlesArray.size();
  wire({e2, f2});
  scene.cookFrame(solver, 2);
  scene.cookFrame(solver, 1);
  EXPECT_EQ(HandOverScene::system(solver)._particlesArray.size(), both / 2);
  wire({e1, e2, f1, f2});
  scene.cookFrame(solver, 2);
  scene.cookFrame(solver, 1);
  SimSystem const& s = HandOverScene::system(solver);
  EXPECT_EQ(s._particlesArray.size(), both);
  ASSERT_EQ(s._emitterObjects.size(), 2u);
  EXPECT_EQ(s._emitterObjects.at(0), e1->object());
  EXPECT_EQ(s._emitterObjects.at(1), e2->object());
  ASSERT_EQ(s._collisionObjects.size(), 2u);
  EXPECT_EQ(s._collisionObjects.at(0), f1->object());
  EXPECT_EQ(s._collisionObjects.at(1), f2->object());
  // Both floors hold: nothing falls through either half.
  for (int frame = 2; frame <= 36; ++frame)
    scene.cookFrame(solver, frame);
  EXPECT_GT(lowestY(HandOverScene::system(solver)), 0.4);
}

TEST(HandOver, ObjectIndicesFollowInputOrderNotNodeCreationOrder)
{
  // Two networks wired alike, their nodes created in opposite orders.
  auto run = [](bool reversed) {
    HandOverScene scene;
    SOP_EmitterObject *left = nullptr, *right = nullptr;
    if (reversed) {
      right = scene.block({2, 2, -1}, {4, 4, 1});
      left = scene.block({-4, 2, -1}, {-2, 4, 1});
    } else {
      left = scene.block({-4, 2, -1}, {-2, 4, 1});
      right = scene.block({2, 2, -1}, {4, 4, 1});
    }
    auto* floor = scene.floorAt(0);
    SOP_Taluno* solver = scene.solver();
    scene.network.setInput(solver, 0, left);
    scene.network.setInput(solver, 1, right);
    scene.network.setInput(solver, 2, floor);
    for (int frame = 1; frame <= 5; ++frame)
      scene.cookFrame(solver, frame);
    std::map<uint32_t, Eigen::Vector3d> byId;
    for (Particle const& p : HandOverScene::system(solver)._particlesArray)
      byId[p.id] = p.position;
    EXPECT_EQ(HandOverScene::system(solver)._emitterObjects.at(0), left->object());
    return byId;
  };
  const auto forward = run(false);
  const auto backward = run(true);
  ASSERT_EQ(forward.size(), backward.size());
  for (auto const& [id, position] : forward)
    EXPECT_EQ(backward.at(id), position) << "particle " << id;
  EXPECT_LT(forward.at(0).x(), 0.0); // the first input's particles come first
}

TEST(HandOver, AnEmitOnceEmitterReplacedMidRunDoesNotEmitAgain)
{
  HandOverScene scene;
  auto* emitter = scene.block({-1.5, 2, -1.5}, {1.5, 5, 1.5});
  emitter->setFloat("v", 0, 40.0); // leaves its volume at once, so a second emission would fill it again
  SOP_Taluno* solver = scene.solver();
  solver->setFloat("gravity", 0, 0.0);
  scene.network.setInput(solver, 0, emitter);
  scene.cookFrame(solver, 1);
  const size_t once = HandOverScene::system(solver)._particlesArray.size();
  ASSERT_GT(once, 0u);
  scene.cookFrame(solver, 2);
  emitter->setFloat("nbKdTreeReturnedVertices", 0, 3); // a new mesh and a new emitter
  scene.cookFrame(solver, 3);
  EXPECT_EQ(emitter->mesh()->_nbKdTreeReturnedVertices, 3u);
  for (int frame = 4; frame <= 6; ++frame)
    scene.cookFrame(solver, frame);
  EXPECT_EQ(HandOverScene::system(solver)._particlesArray.size(), once);
  // A deforming one, replaced on every cook, emits once too.
  emitter->setFloat("hint", 0, 2);
  scene.cookFrame(solver, 1);
  for (int frame = 2; frame <= 6; ++frame)
    scene.cookFrame(solver, frame);
  EXPECT_EQ(HandOverScene::system(solver)._particlesArray.size(), once);
  // After a rebuild it emits again, once.
  scene.cookFrame(solver, 1);
  EXPECT_EQ(HandOverScene::system(solver)._particlesArray.size(), once);
}

TEST(HandOver, UnwiredObjectsStayUntilTheNextRebuildDestroyedOnesLeaveAtOnce)
{
  HandOverScene scene;
  auto* grains = scene.block({-2, 1, -2}, {2, 4, 2});
  auto* floor = scene.floorAt(0);
  SOP_Taluno* solver = scene.solver();
  scene.network.setInput(solver, 0, grains);
  scene.network.setInput(solver, 1, floor);
  scene.cookFrame(solver, 1);
  scene.cookFrame(solver, 2);
  // Unwired mid-run: the floor still holds the grains until the next rebuild.
  scene.network.setInput(solver, 1, nullptr);
  for (int frame = 3; frame <= 40; ++frame)
    scene.cookFrame(solver, frame);
  EXPECT_EQ(HandOverScene::system(solver)._collisionObjects.at(0), floor->object());
  EXPECT_GT(lowestY(HandOverScene::system(solver)), 0.4);
  // Its node destroyed: the object leaves the system before it is freed, and the grains fall.
  scene.network.destroyNode(floor);
  for (int frame = 41; frame <= 60; ++frame)
    ASSERT_LT(scene.cookFrame(solver, frame), UT_ERROR_ABORT);
  EXPECT_EQ(HandOverScene::system(solver)._collisionObjects.at(0), nullptr);
  EXPECT_LT(lowestY(HandOverScene::system(solver)), -1.0);
  // The next rebuild takes only what is on the inputs.
  scene.cookFrame(solver, 1);
  EXPECT_TRUE(HandOverScene::system(solver)._collisionObjects.empty());
}

TEST(HandOver, IntermittentEmittersFireOnEveryMultipleOfTheirInterval)
{
  for (double fps : {24.0, 25.0, 30.0}) {
    HandOverScene scene;
    auto* emitter = scene.block({-1, 2, -1}, {1, 4, 1});
    emitter->setFloat("emit", 0, 2);
    emitter->setFloat("interval", 0, 5);
    emitter->setFloat("v", 0, 3.0 * fps); // three units a frame: out of the volume before the next frame
    SOP_Taluno* solver = scene.solver();
    solver->setFloat("gravity", 0, 0.0);
    solver->setFloat("subSteps", 0, 1);
    scene.network.setInput(solver, 0, emitter);
    scene.cookFrame(solver, 1, fps);
    size_t count = HandOverScene::system(solver)._particlesArray.size();
    const size_t batch = count;
    ASSERT_GT(batch, 0u);
    std::vector<int> fired;
    for (int frame = 2; frame <= 100; ++frame) {
      scene.cookFrame(solver, frame, fps);
      const size_t now = HandOverScene::system(solver)._particlesArray.size();
      if (now != count)
        fired.push_back(frame);
      count = now;
    }
    // The cook at frame 2 steps frames 1 and 2 (the counter stands at the reset frame).
    std::vector<int> expected;
    for (int frame = 5; frame <= 100; frame += 5)
      expected.push_back(frame);
    EXPECT_EQ(fired, expected) << fps << " fps";
    EXPECT_EQ(count, batch * (1 + expected.size())) << fps << " fps";
  }
}

TEST(HandOver, NegativeKdTreeVertexCountsAreRefused)
{
  HandOverScene scene;
  auto* floor = scene.floorAt(0);
  auto* emitter = scene.block({-1, 2, -1}, {1, 4, 1});
  for (SOP_Node* node : std::initializer_list<SOP_Node*>{floor, emitter}) {
    node->setFloat("nbKdTreeReturnedVertices", 0, -1);
    EXPECT_EQ(scene.cookAt(node, 0.0), UT_ERROR_ABORT);
    std::string text;
    for (std::string const& m : node->errorMessages())
      text += m;
    EXPECT_NE(text.find("Number KdTree Returned Vertices (nbKdTreeReturnedVertices) is -1: it must be 0"),
              std::string::npos)
        << text;
  }
  EXPECT_EQ(floor->object(), nullptr);
  EXPECT_EQ(emitter->object(), nullptr);
}

TEST(HandOver, LiquidInATankIsMirroredAtEveryGhostWallAndTheGhostMapStaysBounded)
{
  HandOverScene scene;
  std::vector<SOP_CollisionObject*> walls = {
      scene.create<SOP_CollisionObject>("CollisionObject", scene.box({-3, -2, -3}, {7, 0, 7})), // floor
      scene.create<SOP_CollisionObject>("CollisionObject", scene.box({-3, -2, -3}, {0, 8, 7})), // x = 0
      scene.create<SOP_CollisionObject>("CollisionObject", scene.box({4, -2, -3}, {7, 8, 7})),  // x = 4
      scene.create<SOP_CollisionObject>("CollisionObject", scene.box({-3, -2, -3}, {7, 8, 0})), // z = 0
      scene.create<SOP_CollisionObject>("CollisionObject", scene.box({-3, -2, 4}, {7, 8, 7})),  // z = 4
  };
  auto* liquid = scene.block({0.2, 0.2, 0.2}, {3.8, 2.5, 3.8}, 1);
  SOP_Taluno* solver = scene.solver();
  solver->setFloat("fluid", 0, 1);
  solver->setFloat("springs", 0, 0);
  solver->setFloat("particleRadius", 0, 0.25);
  solver->setExpression("particlesInteractionRadius", 0, "4*ch(\"particleRadius\")");
  solver->setFloat("viscosity", 0, 1);
  solver->setFloat("internalPressure", 0, 40); // stiff enough not to be squeezed in the tank
  solver->setFloat("adaptiveSubSteps", 0, 1);
  scene.network.setInput(solver, 0, liquid);
  for (unsigned i = 0; i < walls.size(); ++i) {
    walls[i]->setFloat("ghostParticles", 0, 1);
    scene.network.setInput(solver, i + 1, walls[i]);
  }
  for (int frame = 1; frame <= 48; ++frame) // the liquid settles
    ASSERT_LT(scene.cookFrame(solver, frame), UT_ERROR_ABORT) << solver->errorMessages().back();
  SimSystem const& s = HandOverScene::system(solver);
  // Ghosts lie beyond each of the five surfaces.
  int below = 0, left = 0, right = 0, front = 0, back = 0;
  for (Particle const& g : s._ghostParticlesArray) {
    below += g.position.y() < 0;
    left += g.position.x() < 0;
    right += g.position.x() > 4;
    front += g.position.z() < 0;
    back += g.position.z() > 4;
  }
  EXPECT_GT(below, 0);
  EXPECT_GT(left, 0);
  EXPECT_GT(right, 0);
  EXPECT_GT(front, 0);
  EXPECT_GT(back, 0);
  // Ghosts are made anew each sub-step: the map holds one entry per ghost
  // now, however long the run, and at most seven per particle (a corner).
  EXPECT_LE(s._ghostParticlesArray.size(), 7 * s._particlesArray.size());
  for (int frame = 49; frame <= 148; ++frame) // 500 sub-steps
    scene.cookFrame(solver, frame);
  EXPECT_EQ(s._ghostParticlesArrayMap.size(), s._ghostParticlesArray.size());
  EXPECT_EQ(s._nbGhostParticles, s._ghostParticlesArray.size());
}

TEST(HandOver, TangentialSpringRecordsFollowTheLiveContacts)
{
  // A block of grains thrown at a wall: they hit it, scatter, roll and
  // come to rest, so that many pairs touch for a while and part again.
  HandOverScene scene;
  auto* grains = scene.block({-3, 0.3, -1}, {-1, 2.3, 1}, 2);
  grains->setFloat("v", 0, 12.0);
  grains->setFloat("v", 2, 3.0);
  auto* wall = scene.create<SOP_CollisionObject>("CollisionObject", scene.box({2, -1, -10}, {4, 5, 10}));
  auto* floor = scene.floorAt(0);
  SOP_Taluno* solver = scene.solver();
  solver->setFloat("springs", 0, 0);
  solver->setFloat("particleRadius", 0, 0.25);
  solver->setFloat("interParticleCollisions", 0, 1);
  solver->setFloat("enforceStaticFriction", 0, 1);
  scene.network.setInput(solver, 0, grains);
  scene.network.setInput(solver, 1, floor);
  scene.network.setInput(solver, 2, wall);
  SimSystem const* s = nullptr;
  size_t mostRecords = 0;
  for (int frame = 1; frame <= 400; ++frame) { // 2,000 sub-steps
    scene.cookFrame(solver, frame);
    s = solver->system();
    mostRecords = std::max(mostRecords, s->_demTangentialSprings.size());
    if (frame % 50 != 0)
      continue;
    // Each touching pair has at most one record on each side.
    size_t touching = 0;
    const double contact2 = 4.0 * s->particleRadius * s->particleRadius;
    for (size_t i = 0; i < s->_particlesArray.size(); ++i)
      for (size_t j = i + 1; j < s->_particlesArray.size(); ++j)
        touching += (s->_particlesArray[i].position - s->_particlesArray[j].position).squaredNorm() <= contact2;
    EXPECT_LE(s->_demTangentialSprings.size(), 2 * touching) << "frame " << frame;
    EXPECT_EQ(s->_demTangentialSpringsMap.size(), s->_demTangentialSprings.size());
    for (auto const& [key, index] : s->_demTangentialSpringsMap)
      ASSERT_EQ(SimSystem::pairKey(s->_demTangentialSprings[index].id1, s->_demTangentialSprings[index].id2), key);
  }
  EXPECT_GT(mostRecords, 0u);
}

TEST(Emission, JitteredPoursPileUpInsteadOfStandingInTowers)
{
  // A narrow continuous pour of grains onto a rough floor. On the lattice,
  // each grain lands exactly on the one below and the stream stands as a
  // tower; a small jitter lets them roll off into a heap.
  auto pour = [](double jitter) {
    HandOverScene scene;
    auto* spout = scene.block({-0.5, 4, -0.5}, {0.5, 5, 0.5}, 2);
    spout->setFloat("emit", 0, 1);
    spout->setFloat("v", 1, -3.0);
    spout->setFloat("jitter", 0, jitter);
    auto* floor = scene.floorAt(0);
    floor->setFloat("friction", 0, 2000);
    SOP_Taluno* solver = scene.solver();
    solver->setFloat("springs", 0, 0);
    solver->setFloat("particleRadius", 0, 0.25);
    solver->setFloat("interParticleCollisions", 0, 1);
    solver->setFloat("subSteps", 0, 4);
    scene.network.setInput(solver, 0, spout);
    scene.network.setInput(solver, 1, floor);
    for (int frame = 1; frame <= 72; ++frame)
      scene.cookFrame(solver, frame);
    // The pile's top: the stream in the spout (from y = 4 up) is no part of it.
    double spread = 0, top = 0;
    for (Particle const& p : HandOverScene::system(solver)._particlesArray) {
      spread = std::max(spread, std::hypot(p.position.x(), p.position.z()));
      if (p.position.y() < 3.9)
        top = std::max(top, p.position.y());
    }
    return std::make_pair(spread, top);
  };
  const auto [towerSpread, towerTop] = pour(0.0);
  const auto [heapSpread, heapTop] = pour(0.1);
  EXPECT_LT(towerSpread, 0.01); // the symmetric stream: one column
  EXPECT_GT(heapSpread, 1.0);
  EXPECT_LT(heapTop, towerTop);
}
