// Scene files read into networks: presets and the keys a node may have.
#include "GeometryNodes.h"
#include "OP/OP_Network.h"
#include "OP/OP_Operator.h"
#include "Presets.h"
#include "SOP_CollisionObject.h"
#include "SOP_EmitterObject.h"
#include "SOP_Taluno.h"
#include "Scene.h"

#include <gtest/gtest.h>

namespace {

struct Operators
{
  Operators()
  {
    table.addOperator(new OP_Operator("CollisionObject", "Collision Object", SOP_CollisionObject::myConstructor,
                                      SOP_CollisionObject::myTemplateList, 1, 1));
    table.addOperator(
        new OP_Operator("Taluno", "Taluno", SOP_Taluno::myConstructor, SOP_Taluno::myTemplateList, 1, 9999));
    table.addOperator(new OP_Operator("EmitterObject", "Emitter Object", SOP_EmitterObject::myConstructor,
                                      SOP_EmitterObject::myTemplateList, 1, 1));
    registerGeometryOperators(table);
  }
  OP_OperatorTable table;
};

// Parses and checks scene text; the problems found, joined.
std::string problemsOf(std::string const& text, Operators const& ops, Scene& scene)
{
  std::vector<std::string> problems;
  if (parseScene(text, "scene", scene, problems))
    validateScene(scene, ops.table, problems);
  std::string all;
  for (std::string const& p : problems)
    all += p + "\n";
  return all;
}

std::string sceneWith(std::string const& solver, std::string const& emitter, std::string const& floor)
{
  return R"({"nodes": [
    {"name": "b", "type": "box"},
    {"name": "floor", "type": "CollisionObject", "inputs": ["b"])" + floor + R"(},
    {"name": "pour", "type": "EmitterObject", "inputs": ["b"])" + emitter + R"(},
    {"name": "solver", "type": "Taluno", "inputs": ["floor", "pour"])" + solver + R"(}],
   "output": {"node": "solver", "file": "out/f.$F4.geo"}})";
}

} // namespace

TEST(ScenePresets, AreAppliedFirstAndNodeParmsOverrideThem)
{
  Operators ops;
  Scene scene;
  const std::string text = sceneWith(R"(, "preset": ["water", "sand"], "parms": {"internalPressure": 100})",
                                     R"(, "preset": "sand")", R"(, "preset": "ground", "parms": {"friction": 5})");
  ASSERT_EQ(problemsOf(text, ops, scene), "");
  OP_Network network(ops.table);
  std::vector<std::string> problems;
  ASSERT_NE(buildNetwork(scene, network, problems), nullptr);
  OP_Node* solver = nullptr;
  OP_Node* pour = nullptr;
  OP_Node* floor = nullptr;
  for (OP_Node* n : network.nodes())
    (n->getName() == "solver" ? solver : n->getName() == "pour" ? pour : n->getName() == "floor" ? floor : n) = n;
  ASSERT_TRUE(solver && pour && floor);
  EXPECT_EQ(solver->evalInt("fluid", 0, 0.0), 1);                      // water
  EXPECT_EQ(solver->evalFloat("viscosity", 0, 0.0), 1);
  EXPECT_EQ(solver->evalFloat("internalPressure", 0, 0.0), 100);       // overridden
  EXPECT_EQ(solver->evalInt("interParticleCollisions", 0, 0.0), 1);    // sand
  EXPECT_EQ(solver->evalInt("enforceStaticFriction", 0, 0.0), 1);
  EXPECT_EQ(solver->evalInt("subSteps", 0, 0.0),
            std::max(findPreset("Taluno", "water")->parms["subSteps"].get<int>(),
                     findPreset("Taluno", "sand")->parms["subSteps"].get<int>())); // the larger
  EXPECT_EQ(solver->evalInt("adaptiveSubSteps", 0, 0.0), 1);
  EXPECT_EQ(pour->evalInt("nature", 0, 0.0), 2); // the menu's "granular"
  EXPECT_GT(pour->evalFloat("jitter", 0, 0.0), 0.0);
  EXPECT_EQ(floor->evalFloat("friction", 0, 0.0), 5);
  EXPECT_EQ(floor->evalInt("ghostParticles", 0, 0.0), 1);
}

TEST(ScenePresets, AndNodeKeysAreCheckedWithTheNearestNames)
{
  Operators ops;
  struct Case
  {
    std::string text;
    char const* message;
  };
  for (Case const& c : {
           Case{sceneWith(R"(, "preset": "watr")", "", ""),
                "node \"solver\" (Taluno): unknown preset \"watr\"; did you mean \"water\"?"},
           Case{sceneWith(R"(, "preset": ["water", "honey"])", "", ""),
                "presets \"water\" and \"honey\" both set the parameters of liquid particles: choose one of them"},
           Case{sceneWith("", R"(, "preset": ["sand"])", ""), "node \"pour\" (EmitterObject): \"preset\" must be a preset name"},
           Case{sceneWith("", "", R"(, "preset": "water")"), "node \"floor\" (CollisionObject): unknown preset \"water\""},
           Case{R"({"nodes": [{"name": "b", "type": "box", "preset": "water"}], "output": {"node": "b"}})",
                "node \"b\" (box): has no presets"},
           Case{sceneWith(R"(, "param": {"fluid": 1})", "", ""), "node 4 (solver): unknown key \"param\"; did you mean \"parms\"?"},
           Case{sceneWith(R"(, "input": ["floor"])", "", ""), "unknown key \"input\"; did you mean \"inputs\"?"},
       }) {
    Scene scene;
    const std::string problems = problemsOf(c.text, ops, scene);
    EXPECT_NE(problems.find(c.message), std::string::npos) << problems;
  }
}
