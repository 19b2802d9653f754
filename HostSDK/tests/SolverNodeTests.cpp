#include "HostFixtures.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// A solver fed by a floor collision node (input 0) and a box emitter above it
// (input 1), at 24 frames per second with the reset frame 1.
struct SolverScene : ObjectHost
{
  SolverScene()
  {
    floor = create<SOP_CollisionObject>("CollisionObject", box({-10, -2, -10}, {10, 0, 10}));
    emitter = create<SOP_EmitterObject>("EmitterObject", box({-2.5, 2, -2.5}, {2.5, 7, 2.5}));
    emitter->setFloat("nature", 0, 2); // granular
    solver = static_cast<SOP_Taluno*>(network.createNode("Taluno", "solver"));
    network.setInput(solver, 0, floor);
    network.setInput(solver, 1, emitter);
  }
  OP_ERROR cookFrame(int frame) { return cookAt(solver, (frame - 1) / 24.0); }
  GU_Detail* out() { return solver->getCookedGeo(); }
  int32_t idAt(GA_Offset p) { return GA_ROHandleI(out()->findPointAttribute("ID")).get(p); }

  SOP_CollisionObject* floor = nullptr;
  SOP_EmitterObject* emitter = nullptr;
  SOP_Taluno* solver = nullptr;
};

} // namespace

TEST(SolverNode, FrameSequencesRebuildAndStep)
{
  SolverScene scene;
  scene.cookFrame(1); // rebuild, no step
  ASSERT_NE(scene.solver->system(), nullptr);
  EXPECT_EQ(scene.solver->frameCounter(), 1);
  SimSystem const* first = scene.solver->system();
  scene.cookFrame(1); // the same frame again: nothing
  EXPECT_EQ(scene.solver->system(), first);
  EXPECT_EQ(scene.solver->frameCounter(), 1);
  scene.cookFrame(2); // frames 1 and 2
  EXPECT_EQ(scene.solver->frameCounter(), 3);
  scene.cookFrame(3); // one step
  EXPECT_EQ(scene.solver->frameCounter(), 4);
  scene.cookFrame(10);
  EXPECT_EQ(scene.solver->frameCounter(), 11);
  const UT_Vector3 atTen = scene.out()->getPos3(0);
  scene.cookFrame(5); // going back: no step, the frame-10 state stays
  EXPECT_EQ(scene.solver->frameCounter(), 11);
  EXPECT_EQ(scene.out()->getPos3(0), atTen);
  scene.cookFrame(1); // rebuild
  EXPECT_EQ(scene.solver->frameCounter(), 1);
  EXPECT_EQ(scene.out()->getNumPoints(), GA_Size(scene.solver->system()->_particlesArray.size()));

  SolverScene early;
  early.cookFrame(0); // a rebuild before the reset frame
  EXPECT_EQ(early.solver->frameCounter(), 0);
  early.cookFrame(1); // nothing
  EXPECT_EQ(early.solver->frameCounter(), 0);
  early.cookFrame(2); // frames 0, 1 and 2
  EXPECT_EQ(early.solver->frameCounter(), 3);
}

TEST(SolverNode, OutputPointsMirrorTheParticles)
{
  SolverScene scene;
  scene.emitter->setFloat("v", 0, 3.0);
  scene.cookFrame(1);
  SimSystem const& system = *scene.solver->system();
  const GA_Size n = scene.out()->getNumPoints();
  ASSERT_EQ(n, GA_Size(system._particlesArray.size()));
  ASSERT_GT(n, 50);
  GA_RWHandleV3 v(scene.out()->findPointAttribute("v"));
  for (GA_Offset p = 0; p < n; ++p) {
    ASSERT_EQ(scene.idAt(p), p); // ids 0 .. n-1 in order
    EXPECT_EQ(v.get(p), UT_Vector3(3, 0, 0));
  }
  // The default type "particles": one particle primitive listing every point.
  ASSERT_EQ(scene.out()->getNumPrimitives(), 1);
  EXPECT_EQ(scene.out()->getGEOPrimitive(0)->getVertexCount(), n);

  // After 48 frames the grains rest on the floor: at the collision distance or above.
  scene.cookFrame(48);
  double lowest = 1e9;
  for (GA_Offset p = 0; p < n; ++p)
    lowest = std::min(lowest, double(scene.out()->getPos3(p).y()));
  EXPECT_GT(lowest, 0.5 - 1e-4);
  EXPECT_LT(lowest, 0.6);
  for (GA_Offset p = 0; p < n; ++p) {
    Particle const& particle = system._particlesArray[system._particlesArrayMap[scene.idAt(p)]];
    EXPECT_EQ(scene.out()->getPos3(p).y(), float(particle.position.y()));
  }
}

TEST(SolverNode, InputsAreScannedUntilTheFirstUnconnectedOne)
{
  SolverScene scene;
  scene.network.setInput(scene.solver, 1, nullptr);
  scene.network.setInput(scene.solver, 2, scene.emitter);
  scene.cookFrame(1);
  EXPECT_EQ(scene.solver->system()->_collisionObjects.size(), 1u);
  EXPECT_TRUE(scene.solver->system()->_emitterObjects.empty()); // input 2 comes after a gap
  EXPECT_EQ(scene.out()->getNumPoints(), 0);
}

TEST(SolverNode, StaticObjectsWaitForARebuildDeformingOnesDoNot)
{
  SolverScene scene;
  scene.network.setInput(scene.solver, 1, nullptr);
  scene.cookFrame(1);
  ASSERT_EQ(scene.solver->system()->_collisionObjects.size(), 1u);
  auto* wall = scene.create<SOP_CollisionObject>("CollisionObject", scene.box({5, 0, -5}, {6, 5, 5}));
  scene.network.setInput(scene.solver, 1, wall);
  scene.cookFrame(2);
  EXPECT_EQ(scene.solver->system()->_collisionObjects.size(), 1u); // static: ignored until the rebuild
  wall->setFloat("hint", 0, 2);
  scene.cookFrame(3);
  EXPECT_EQ(scene.solver->system()->_collisionObjects.size(), 2u); // deforming: picked up
}

TEST(SolverNode, ParameterChangesTakeEffectWhenThePartSays)
{
  SolverScene scene;
  scene.cookFrame(1);
  scene.solver->setFloat("springConstant", 0, 250.0);
  scene.solver->setFloat("particleRadius", 0, 0.25);
  scene.cookFrame(2);
  EXPECT_EQ(scene.solver->system()->springConstant, 250.0);
  EXPECT_EQ(scene.solver->system()->particleRadius, 0.5); // fixed at the rebuild
  scene.cookFrame(1);
  EXPECT_EQ(scene.solver->system()->particleRadius, 0.25);
  EXPECT_EQ(scene.solver->system()->particlesInteractionRadius, 1.0); // its expression follows

  // Turning grains are read at the rebuild, and only in spheres mode.
  EXPECT_FALSE(scene.solver->system()->spheresTurn());
  scene.solver->setFloat("rollingSpheres", 0, 1);
  scene.solver->setFloat("rollingFriction", 0, 0.3);
  scene.cookFrame(1);
  EXPECT_TRUE(scene.solver->system()->spheresTurn());
  EXPECT_EQ(scene.solver->system()->rollingFriction, double(0.3f));
  scene.solver->setFloat("interParticlesCollMode", 0, 1);
  scene.cookFrame(1);
  EXPECT_FALSE(scene.solver->system()->spheresTurn());
}

TEST(SolverNode, ReplacedObjectsAreHandedOverUnderTheirIndex)
{
  SolverScene scene;
  scene.cookFrame(1);
  CollisionObject const* before = scene.floor->object();
  EXPECT_EQ(scene.solver->system()->_collisionObjects.at(0), before);
  // A new field for the floor between rebuilds: the old object is destroyed.
  scene.floor->setFloat("maxDepth", 0, 4);
  scene.cookFrame(4);
  ASSERT_EQ(scene.solver->system()->_collisionObjects.size(), 1u);
  EXPECT_EQ(scene.solver->system()->_collisionObjects.at(0), scene.floor->object());
  EXPECT_EQ(scene.floor->object()->_id, 0);
  // Removing the floor node takes its object out of the simulation.
  scene.network.destroyNode(scene.floor);
  scene.network.setInput(scene.solver, 0, scene.emitter);
  scene.network.setInput(scene.solver, 1, nullptr);
  scene.cookFrame(6);
  for (auto const& [index, object] : scene.solver->system()->_collisionObjects)
    EXPECT_EQ(object, nullptr) << "index " << index;
}

TEST(SolverNode, VelocityColoursAndGhostPoints)
{
  SolverScene scene;
  scene.solver->setFloat("colorData", 0, 1);
  scene.solver->setFloat("gravity", 0, 0.0);
  scene.emitter->setFloat("v", 0, 150.0);
  scene.solver->setFloat("subSteps", 0, 4); // under one interaction radius per sub-step
  scene.floor->setFloat("friction", 0, 0.0);
  scene.cookFrame(1);
  GA_RWHandleV3 cd(scene.out()->findPointAttribute("Cd"));
  ASSERT_TRUE(cd.isValid());
  scene.cookFrame(2); // written by the output pass of a step
  const UT_Vector3 c = cd.get(0);
  EXPECT_NEAR(c.x(), 0.5, 1e-3);
  EXPECT_EQ(c.y(), 0.0f);
  EXPECT_NEAR(c.z(), 0.5, 1e-3);

  // Equal bounds: red or blue, never a division by zero.
  scene.solver->setFloat("colorDataInterval", 0, 300);
  scene.cookFrame(3);
  EXPECT_EQ(cd.get(0), UT_Vector3(0, 0, 1));

  // Pressure colours without fluid: the warning, and blue.
  SolverScene pressure;
  pressure.solver->setFloat("colorData", 0, 2);
  pressure.cookFrame(1);
  testing::internal::CaptureStdout();
  pressure.cookFrame(2);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("No SPH, No Pressure Data, colors will not be updated."), std::string::npos);
  EXPECT_EQ(GA_RWHandleV3(pressure.out()->findPointAttribute("Cd")).get(0), UT_Vector3(0, 0, 1));
}

TEST(SolverNode, GhostPointsComeAndGo)
{
  SolverScene scene;
  scene.solver->setFloat("fluid", 0, 1);
  scene.solver->setFloat("internalPressure", 0, 400); // stiff enough not to be squeezed on the floor
  scene.solver->setFloat("clampNegativePressure", 0, 1);
  scene.solver->setFloat("adaptiveSubSteps", 0, 1);
  scene.solver->setFloat("showGhostParticles", 0, 1);
  scene.emitter->setFloat("nature", 0, 1); // liquid
  scene.floor->setFloat("ghostParticles", 0, 1);
  scene.cookFrame(1);
  GA_PointGroup* ghosts = scene.out()->findPointGroup("TalunoGhostParticles");
  ASSERT_NE(ghosts, nullptr);
  EXPECT_TRUE(scene.out()->findPointGroup("TalunoGhostParticlesToDelete")->isInternal());
  ASSERT_LT(scene.cookFrame(30), UT_ERROR_ABORT) << scene.solver->errorMessages().back(); // the liquid reaches the floor
  SimSystem const& system = *scene.solver->system();
  ASSERT_GT(system._ghostParticlesArray.size(), 0u);
  EXPECT_EQ(ghosts->entries(), GA_Size(system._ghostParticlesArray.size()));
  EXPECT_EQ(scene.out()->findPointGroup("TalunoParticles")->entries(), GA_Size(system._particlesArray.size()));
  // Every ghost point is a live ghost; ids are never reused.
  for (GA_Offset p = 0; p < scene.out()->getNumPoints(); ++p)
    if (ghosts->contains(p)) {
      ASSERT_NE(system._ghostParticlesArrayMap[scene.idAt(p)], -1);
    }
  EXPECT_EQ(scene.out()->findPointGroup("TalunoGhostParticlesToDelete")->entries(), 0);
}

namespace {

// The node's messages joined, for matching.
std::string messages(OP_Node const* node)
{
  std::string all;
  for (std::string const& m : node->errorMessages())
    all += m + "\n";
  return all;
}

} // namespace

TEST(SolverNode, RefusesSettingsNoSimulationCanRunWith)
{
  struct Case
  {
    char const* parm;
    char const* expression;
    char const* message;
  };
  for (Case const& c : {Case{"particleRadius", "0", "Particle Radius (particleRadius) is 0: it must be greater than 0"},
                        Case{"particleRadius", "-0.5", "is -0.5: it must be greater than 0"},
                        Case{"particlesInteractionRadius", "0", "Interaction Radius (particlesInteractionRadius) is 0"},
                        Case{"sceneScale", "0", "Unit Length (sceneScale) is 0"},
                        Case{"subSteps", "0", "SubSteps (subSteps) is 0: it must be at least 1"},
                        Case{"normalConstant", "1e39", "(normalConstant) is inf as the simulation reads it"},
                        Case{"springDamping", "-1e39", "(springDamping) is -inf as the simulation reads it"}}) {
    SolverScene scene;
    scene.solver->setExpression(c.parm, 0, c.expression);
    EXPECT_EQ(scene.cookFrame(1), UT_ERROR_ABORT) << c.parm;
    EXPECT_NE(messages(scene.solver).find(c.message), std::string::npos) << messages(scene.solver);
    EXPECT_EQ(scene.solver->system(), nullptr) << "no system is built from " << c.parm << " = " << c.expression;
    // Refused on every cook, not only at the reset frame.
    EXPECT_EQ(scene.cookFrame(2), UT_ERROR_ABORT) << c.parm;
  }
  // A cell smaller than a particle is accepted: the grid never goes below one diameter.
  SolverScene scene;
  scene.solver->setFloat("gridCellSize", 0, 0.0);
  EXPECT_LT(scene.cookFrame(1), UT_ERROR_WARNING) << messages(scene.solver);
  EXPECT_DOUBLE_EQ(scene.solver->system()->_cellSize, 1.0);
}

TEST(SolverNode, RefusesAnEmitterTooLargeForTheMachine)
{
  SolverScene scene;
  scene.solver->setFloat("particleRadius", 0, 1e-5);
  scene.solver->setExpression("particlesInteractionRadius", 0, "4*ch(\"particleRadius\")");
  EXPECT_EQ(scene.cookFrame(1), UT_ERROR_ABORT);
  const std::string text = messages(scene.solver);
  EXPECT_NE(text.find("emitter \"EmitterObject\": filling it at Particle Radius 1e-05 would test"), std::string::npos)
      << text;
  EXPECT_NE(text.find("GiB of memory this process may still use: raise Particle Radius"), std::string::npos) << text;
  EXPECT_TRUE(scene.solver->system()->_particlesArray.empty());
}

TEST(SolverNode, StopsWhenParticlesBlowUp)
{
  SolverScene scene;
  ASSERT_LT(scene.cookFrame(1), UT_ERROR_WARNING);
  ASSERT_LT(scene.cookFrame(2), UT_ERROR_WARNING);
  const GA_Size n = scene.out()->getNumPoints();
  const UT_Vector3 before = scene.out()->getPos3(3);
  // What a sub-step too long for the stiffness leaves behind.
  auto& particles = const_cast<SimSystem*>(scene.solver->system())->_particlesArray;
  particles[3].velocity.x() = NAN;
  particles[7].position.y() = INFINITY;
  EXPECT_EQ(scene.cookFrame(3), UT_ERROR_ABORT);
  const std::string text = messages(scene.solver);
  EXPECT_NE(text.find("the simulation blew up at frame 3: 2 of " + std::to_string(n) + " particles"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("raise SubSteps (subSteps) to at least 4"), std::string::npos) << text;
  // The output still holds the last good frame.
  EXPECT_EQ(scene.out()->getPos3(3), before);
}

TEST(ObjectNodes, RefuseMeshesWithNonFinitePointsAndWarnAboutEmptyOnes)
{
  ObjectHost host;
  GeometrySource* broken = host.box({0, 0, 0}, {1, 1, 1});
  broken->geometry.setPos3(2, UT_Vector3(0, NAN, 0));
  broken->geometry.setPos3(5, UT_Vector3(INFINITY, 0, 0));
  auto* collider = host.create<SOP_CollisionObject>("CollisionObject", broken);
  auto* emitter = host.create<SOP_EmitterObject>("EmitterObject", broken);
  for (SOP_Node* node : std::initializer_list<SOP_Node*>{collider, emitter}) {
    EXPECT_EQ(host.cookAt(node, 0.0), UT_ERROR_ABORT);
    EXPECT_NE(messages(node).find("the input geometry has 2 points with non-finite coordinates (the first is point 2)"),
              std::string::npos)
        << messages(node);
  }
  GeometrySource* empty = host.box({0, 0, 0}, {1, 1, 1});
  empty->geometry.clearAndDestroy();
  empty->geometry.appendPointOffset();
  auto* hollowCollider = host.create<SOP_CollisionObject>("CollisionObject", empty);
  auto* hollowEmitter = host.create<SOP_EmitterObject>("EmitterObject", empty);
  EXPECT_EQ(host.cookAt(hollowCollider, 0.0), UT_ERROR_WARNING);
  EXPECT_NE(messages(hollowCollider).find("no triangles: this collision object has nothing to collide with"),
            std::string::npos);
  EXPECT_EQ(host.cookAt(hollowEmitter, 0.0), UT_ERROR_WARNING);
  EXPECT_NE(messages(hollowEmitter).find("no triangles: this emitter emits nothing"), std::string::npos);
}

TEST(SolverNode, RenderAttributesSayRadiusMaterialLiquidStateAndAge)
{
  SolverScene scene;
  scene.emitter->setFloat("nature", 0, 1); // liquid
  auto* grains = scene.create<SOP_EmitterObject>("EmitterObject", scene.box({5, 2, -1}, {7, 4, 1}));
  grains->setFloat("nature", 0, 2);
  grains->setFloat("emit", 0, 2); // intermittent: new grains later
  grains->setFloat("interval", 0, 3);
  grains->setFloat("v", 0, 30.0);
  scene.network.setInput(scene.solver, 2, grains);
  scene.solver->setFloat("fluid", 0, 1);
  scene.solver->setFloat("particleRadius", 0, 0.4);
  scene.cookFrame(1);
  for (int frame = 2; frame <= 4; ++frame)
    scene.cookFrame(frame);
  GU_Detail const* out = scene.out();
  GA_RWHandleF pscale(out->findPointAttribute("pscale")), density(out->findPointAttribute("density")),
      age(out->findPointAttribute("age"));
  GA_ROHandleI material(out->findPointAttribute("material"));
  ASSERT_TRUE(pscale.isValid() && density.isValid() && age.isValid() && material.isValid());
  GA_PointGroup const* liquid = out->findPointGroup("TalunoLiquid");
  GA_PointGroup const* granular = out->findPointGroup("TalunoGranular");
  ASSERT_TRUE(liquid && granular);
  SimSystem const& s = *scene.solver->system();
  int liquids = 0, grainsSeen = 0;
  float oldest = 0, youngest = 1e9;
  for (GA_Offset p = 0; p < out->getNumPoints(); ++p) {
    Particle const& particle = s._particlesArray[s._particlesArrayMap[scene.idAt(p)]];
    EXPECT_EQ(pscale.get(p), 0.4f);
    EXPECT_EQ(material.get(p), int(particle.nature));
    EXPECT_EQ(liquid->contains(p), bool(particle.nature & natureLiquid));
    EXPECT_EQ(granular->contains(p), bool(particle.nature & natureGranular));
    if (particle.nature & natureLiquid) {
      ++liquids;
      EXPECT_EQ(density.get(p), float(1.0 / particle.invDensity));
    } else {
      ++grainsSeen;
      EXPECT_EQ(density.get(p), 0.0f);
      oldest = std::max(oldest, age.get(p));
      youngest = std::min(youngest, age.get(p));
    }
  }
  EXPECT_GT(liquids, 0);
  EXPECT_GT(grainsSeen, 0);
  EXPECT_NEAR(oldest, 3.0f / 24.0f, 1e-6); // emitted at the rebuild, written at frame 4
  EXPECT_NEAR(youngest, 1.0f / 24.0f, 1e-6); // the batch of frame 3
}
