// A sub-step too long for the forces in use: the solver stops with advice
// that works, and with automatic sub-steps it does not happen at all.
#include "HostFixtures.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

namespace {

std::string messages(OP_Node const* node)
{
  std::string all;
  for (std::string const& m : node->errorMessages())
    all += m + "\n";
  return all;
}

// A small dam break at particle radius 0.07 in a tank: a liquid block whose
// sub-steps (6 a frame) suit radius 0.5 but not 0.07, where its viscosity
// and sound speed call for several times more.
struct FineDamBreak : ObjectHost
{
  FineDamBreak()
  {
    solver = static_cast<SOP_Taluno*>(network.createNode("Taluno", "solver"));
    solver->setFloat("particleRadius", 0, 0.07);
    solver->setExpression("particlesInteractionRadius", 0, "4*ch(\"particleRadius\")");
    solver->setFloat("springs", 0, 0);
    solver->setFloat("fluid", 0, 1);
    solver->setFloat("viscosity", 0, 1);
    solver->setFloat("internalPressure", 0, 8);
    solver->setFloat("subSteps", 0, 6);
    auto* water = create<SOP_EmitterObject>("EmitterObject", box({-3, 0, -0.7}, {-1.6, 1.6, 0.7}));
    water->setFloat("nature", 0, 1);
    network.setInput(solver, 0, water);
    Eigen::Vector3d const walls[][2] = {{{-4, -2, -2}, {4, 0, 2}},  {{-4, -2, -2}, {-3, 3, 2}}, {{3, -2, -2}, {4, 3, 2}},
                                        {{-4, -2, -2}, {4, 3, -0.7}}, {{-4, -2, 0.7}, {4, 3, 2}}};
    unsigned input = 1;
    for (auto const& wall : walls) {
      auto* collider = create<SOP_CollisionObject>("CollisionObject", box(wall[0], wall[1]));
      network.setInput(solver, input++, collider);
    }
  }
  OP_ERROR cookFrame(int frame) { return cookAt(solver, (frame - 1) / 24.0); }
  /// Cooks frames 1 to last; the first that fails, or 0.
  int runTo(int last)
  {
    for (int frame = 1; frame <= last; ++frame)
      if (cookFrame(frame) >= UT_ERROR_ABORT)
        return frame;
    return 0;
  }
  double fastest() const { return solver->system()->fastestSpeed(); }
  SOP_Taluno* solver = nullptr;
};

} // namespace

TEST(Stability, AFiniteBlowUpStopsTheRunWithASubStepCountThatWorks)
{
  FineDamBreak scene;
  const int failed = scene.runTo(12);
  ASSERT_GT(failed, 1) << "the blow-up is caught after the rebuild";
  const std::string text = messages(scene.solver);
  EXPECT_NE(text.find("the simulation blew up at frame " + std::to_string(failed) + ": "), std::string::npos) << text;
  EXPECT_NE(text.find("moved farther in one sub-step than the Interaction Radius (0.28)"), std::string::npos) << text;
  EXPECT_NE(text.find("its viscosity (viscosityFactor 0.5 at Particle Radius 0.07)"), std::string::npos) << text;
  std::smatch suggestion;
  ASSERT_TRUE(std::regex_search(text, suggestion, std::regex(R"(raise SubSteps \(subSteps\) to at least (\d+))")))
      << text;
  const int suggested = std::stoi(suggestion[1]);
  EXPECT_GT(suggested, 6);
  EXPECT_LT(suggested, 100) << "advice that costs no more than it must";

  // The advice, taken: the same scene runs, and nothing flies off.
  FineDamBreak advised;
  advised.solver->setFloat("subSteps", 0, suggested);
  EXPECT_EQ(advised.runTo(12), 0) << messages(advised.solver);
  EXPECT_LT(advised.fastest(), 10.0);
}

TEST(Stability, AutomaticSubStepsKeepAFineDamBreakStable)
{
  FineDamBreak scene;
  scene.solver->setFloat("adaptiveSubSteps", 0, 1);
  EXPECT_EQ(scene.runTo(12), 0) << messages(scene.solver);
  EXPECT_LT(scene.fastest(), 10.0);
  EXPECT_EQ(messages(scene.solver), "");

  // A maximum below what the scene needs stops the run at the frame that
  // needs more, naming what limits the sub-step and the count it needs.
  FineDamBreak capped;
  capped.solver->setFloat("adaptiveSubSteps", 0, 1);
  capped.solver->setFloat("maxSubSteps", 0, 8);
  capped.cookFrame(1);
  EXPECT_EQ(capped.cookFrame(2), UT_ERROR_ABORT);
  const std::string text = messages(capped.solver);
  EXPECT_NE(text.find("Automatic SubSteps: frame 2 needs about "), std::string::npos) << text;
  EXPECT_NE(text.find("more than Maximum SubSteps (maxSubSteps) 8. The sub-step is limited by "), std::string::npos)
      << text;
  std::smatch needed;
  ASSERT_TRUE(std::regex_search(text, needed, std::regex(R"(Raise Maximum SubSteps to at least (\d+))"))) << text;
  FineDamBreak advised;
  advised.solver->setFloat("adaptiveSubSteps", 0, 1);
  advised.solver->setFloat("maxSubSteps", 0, std::stoi(needed[1]) * 2);
  EXPECT_EQ(advised.runTo(2), 0) << messages(advised.solver);
}

TEST(Colliders, LiquidInAndBesideAGlassStaysWhereItBelongs)
{
  // A closed glass of long wall triangles and fan bottoms on a floor, at the
  // default "nbKdTreeReturnedVertices" of 1: liquid dropped into it must end
  // in its cavity and liquid dropped beside it outside, none in its walls.
  ObjectHost host;
  auto* glassShape = static_cast<GeometrySource*>(host.network.createNode("source", "glassShape"));
  fillWith(glassShape->geometry, glassSoup(3.0, 2.6, 8.0, 0.5, 48));
  auto* glass = host.create<SOP_CollisionObject>("CollisionObject", glassShape);
  auto* floor = host.create<SOP_CollisionObject>("CollisionObject", host.box({-12, -2, -12}, {12, 0, 12}));
  auto* inside = host.create<SOP_EmitterObject>("EmitterObject", host.box({-1.8, 3, -1.8}, {1.8, 7, 1.8}));
  auto* beside = host.create<SOP_EmitterObject>("EmitterObject", host.box({3.2, 1, -2}, {6, 6, 2}));
  inside->setFloat("nature", 0, 1);
  beside->setFloat("nature", 0, 1);
  auto* solver = static_cast<SOP_Taluno*>(host.network.createNode("Taluno", "solver"));
  solver->setFloat("particleRadius", 0, 0.2);
  solver->setExpression("particlesInteractionRadius", 0, "4*ch(\"particleRadius\")");
  solver->setFloat("springs", 0, 0);
  solver->setFloat("fluid", 0, 1);
  solver->setFloat("viscosity", 0, 1);
  solver->setFloat("internalPressure", 0, 8);
  solver->setFloat("subSteps", 0, 6);
  host.network.setInput(solver, 0, glass);
  host.network.setInput(solver, 1, floor);
  host.network.setInput(solver, 2, inside);
  host.network.setInput(solver, 3, beside);
  host.cookAt(solver, 0.0);
  const size_t first = solver->system()->_particlesArray.size();
  for (int frame = 2; frame <= 36; ++frame)
    ASSERT_LT(host.cookAt(solver, (frame - 1) / 24.0), UT_ERROR_ABORT) << messages(solver);
  SimSystem const& s = *solver->system();
  ASSERT_EQ(s._particlesArray.size(), first);
  int inWalls = 0, cavity = 0, outside = 0;
  for (Particle const& p : s._particlesArray) {
    const double r = std::hypot(p.position.x(), p.position.z());
    if (r < 2.6 && p.position.y() > 0.5)
      ++cavity;
    else if (r > 3.0 && p.position.y() > 0.0)
      ++outside;
    else
      ++inWalls;
  }
  EXPECT_EQ(inWalls, 0) << cavity << " in the cavity, " << outside << " outside";
  EXPECT_GT(cavity, 500);
  EXPECT_GT(outside, 500);
}
