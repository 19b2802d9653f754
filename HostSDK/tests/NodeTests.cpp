#include "OP/OP_Director.h"
#include "OP/OP_Network.h"
#include "OP/OP_Operator.h"
#include "SOP_CollisionObject.h"
#include "SOP_EmitterObject.h"
#include "SOP_Taluno.h"
#include "TalunoObjects.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

namespace {

// A geometry source with no inputs.
class SourceNode : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SourceNode(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context&) override { return error(); }
};

PRM_Template noParameters[] = {PRM_Template()};

// A table with the three operators, registered as the plug-in does, for
// tests that look inside the nodes.
struct Host
{
  Host()
  {
    table.addOperator(new OP_Operator("CollisionObject", "Collision Object", SOP_CollisionObject::myConstructor,
                                      SOP_CollisionObject::myTemplateList, 1, 1));
    table.addOperator(
        new OP_Operator("Taluno", "Taluno", SOP_Taluno::myConstructor, SOP_Taluno::myTemplateList, 1, 9999));
    table.addOperator(new OP_Operator("EmitterObject", "Emitter Object", SOP_EmitterObject::myConstructor,
                                      SOP_EmitterObject::myTemplateList, 1, 1));
    table.addOperator(new OP_Operator("source", "Source", SourceNode::make, noParameters, 0, 0));
  }
  OP_OperatorTable table;
  OP_Network network{table};
};

} // namespace

TEST(SolverNode, ParameterListAndExpressionDefaults)
{
  Host host;
  OP_Node* solver = host.network.createNode("Taluno", "solver");
  ASSERT_EQ(solver->getNumParms(), 69); // the 49 of the operator, then the automatic sub-steps and materials
  EXPECT_STREQ(solver->getParmTemplate(0)->getToken(), "reset");
  EXPECT_STREQ(solver->getParmTemplate(48)->getToken(), "colorDataInterval");
  EXPECT_STREQ(solver->getParmTemplate(6)->getLabel(), "Unit Length (m)");
  EXPECT_EQ(solver->getParmTemplate(9)->getType(), PRM_SWITCHER);
  EXPECT_EQ(solver->getParmTemplate(9)->getVectorSize(), 6);
  EXPECT_STREQ(solver->getParmTemplate(9)->getDefault(4)->getString(), "Sub-Steps");
  EXPECT_STREQ(solver->getParmTemplate(9)->getDefault(5)->getString(), "Materials");
  EXPECT_STREQ(solver->getParmTemplate(51)->getToken(), "clampNegativePressure");
  EXPECT_EQ(solver->evalInt("clampNegativePressure", 0, 0.0), 0); // off: the liquid as it always was
  EXPECT_EQ(solver->evalFloat("grainDensity", 0, 0.0), 2650.0);
  EXPECT_EQ(solver->evalFloat("softBodyDensity", 0, 0.0), 1000.0);
  EXPECT_STREQ(solver->getParmTemplate(49)->getToken(), "adaptiveSubSteps");
  EXPECT_EQ(solver->evalInt("adaptiveSubSteps", 0, 0.0), 0); // off: stored scenes step as they did
  EXPECT_EQ(solver->evalInt("maxSubSteps", 0, 0.0), 200);
  EXPECT_EQ(solver->getParmTemplate(9)->getDefault(2)->getFloat(), 13);
  EXPECT_STREQ(solver->getParmTemplate(9)->getDefault(2)->getString(), "Collisions");
  EXPECT_EQ(solver->getParmTemplate(8)->getChoiceList()->size(), 6);
  EXPECT_EQ(solver->getParmTemplate(8)->getChoiceList()->getType(), 4097);

  EXPECT_EQ(solver->evalFloat("particlesInteractionRadius", 0, 0.0), 2.0);
  EXPECT_EQ(solver->evalFloat("gridCellSize", 0, 0.0), 2.0);
  EXPECT_EQ(solver->evalFloat("springsNeighborSearchRadius", 0, 0.0), 1.5);
  EXPECT_EQ(solver->evalFloat("gravity", 0, 0.0), -9.80665);
  EXPECT_EQ(solver->evalInt("reset", 0, 0.0), 1);
  EXPECT_EQ(solver->evalFloat("colorDataInterval", 1, 0.0), 300.0);
  solver->setFloat("particleRadius", 0, 0.25);
  EXPECT_EQ(solver->evalFloat("particlesInteractionRadius", 0, 0.0), 1.0);
  EXPECT_EQ(solver->evalFloat("gridCellSize", 0, 0.0), 1.0);
  EXPECT_EQ(solver->evalFloat("springsNeighborSearchRadius", 0, 0.0), 0.75);
  EXPECT_EQ(solver->getExpression("particlesInteractionRadius", 0), "4*ch(particleRadius)");
  EXPECT_EQ(solver->error(), UT_ERROR_NONE);
}

TEST(SolverNode, EnablingRulesFollowTheirToggles)
{
  Host host;
  OP_Node* solver = host.network.createNode("Taluno", "solver");
  EXPECT_FALSE(solver->getEnableState("springRestLength"));
  EXPECT_FALSE(solver->getEnableState("yieldRatio"));
  EXPECT_FALSE(solver->getEnableState("plasticityConstant"));
  EXPECT_TRUE(solver->getEnableState("springsBreakLengthThreshold"));
  EXPECT_TRUE(solver->getEnableState("springsBreakForceThreshold"));
  for (char const* name : {"restDensity", "internalPressure", "surfaceTension", "showGhostParticles", "viscosity",
                           "surfaceTensionThreshold", "surfaceTensionScale", "addPointsNormals", "viscosityFactor"})
    EXPECT_FALSE(solver->getEnableState(name)) << name;
  EXPECT_TRUE(solver->getEnableState("fluid"));
  EXPECT_TRUE(solver->getEnableState("interParticleCollisions"));
  for (char const* name : {"interParticlesCollMode", "interParticlesCollShape", "enableRotations", "randInitRotations",
                           "addRotAttribs", "normalConstant", "normalDamping", "shearDamping", "coulombConstant",
                           "enforceStaticFriction", "shearConstant"})
    EXPECT_FALSE(solver->getEnableState(name)) << name;
  EXPECT_FALSE(solver->getEnableState("colorDataInterval"));

  solver->setFloat("interParticleCollisions", 0, 1);
  EXPECT_TRUE(solver->getEnableState("enforceStaticFriction"));
  EXPECT_FALSE(solver->getEnableState("interParticlesCollShape"));
  solver->setFloat("interParticlesCollMode", 0, 1); // Sub-Particles
  EXPECT_TRUE(solver->getEnableState("interParticlesCollShape"));
  EXPECT_TRUE(solver->getEnableState("enableRotations"));
  EXPECT_FALSE(solver->getEnableState("enforceStaticFriction"));
  EXPECT_FALSE(solver->getEnableState("shearConstant"));
  EXPECT_FALSE(solver->getEnableState("randInitRotations"));
  solver->setFloat("enableRotations", 0, 1);
  EXPECT_TRUE(solver->getEnableState("randInitRotations"));

  // A greyed-out toggle still rules its dependents by its own value.
  solver->setFloat("objectsCollisions", 0, 0);
  EXPECT_FALSE(solver->getEnableState("interParticleCollisions"));
  EXPECT_TRUE(solver->getEnableState("normalConstant"));
  solver->setFloat("colorData", 0, 2);
  EXPECT_TRUE(solver->getEnableState("colorDataInterval"));
  EXPECT_EQ(solver->disableParms(), 0u); // nothing left to change
}

TEST(ObjectNodes, EnablingRulesAndParameters)
{
  Host host;
  OP_Node* collider = host.network.createNode("CollisionObject", "floor");
  ASSERT_EQ(collider->getNumParms(), 14);
  EXPECT_FALSE(collider->getEnableState("translation"));
  EXPECT_FALSE(collider->getEnableState("stickiness"));
  collider->setFloat("hint", 0, 1);
  collider->setFloat("sticky", 0, 1);
  EXPECT_TRUE(collider->getEnableState("translation"));
  EXPECT_TRUE(collider->getEnableState("rotation"));
  EXPECT_TRUE(collider->getEnableState("stickDist"));
  collider->setFloat("friction", 0, -3.0); // the enforced minimum
  EXPECT_EQ(collider->evalFloat("friction", 0, 0.0), 0.0);
  collider->setFloat("friction", 0, 5000.0); // the maximum bounds the slider only
  EXPECT_EQ(collider->evalFloat("friction", 0, 0.0), 5000.0);
  EXPECT_TRUE(collider->flag(4));

  OP_Node* emitter = host.network.createNode("EmitterObject", "source");
  ASSERT_EQ(emitter->getNumParms(), 14); // the 13 of the operator, then "jitter"
  for (char const* name : {"t", "r", "p", "interval"})
    EXPECT_FALSE(emitter->getEnableState(name)) << name;
  emitter->setFloat("hint", 0, 1);
  emitter->setFloat("emit", 0, 2);
  for (char const* name : {"t", "r", "p", "interval"})
    EXPECT_TRUE(emitter->getEnableState(name)) << name;
  EXPECT_EQ(emitter->evalFloat("thickness", 0, 0.0), -1.0);
  EXPECT_EQ(emitter->evalInt("interval", 0, 0.0), 20);
  EXPECT_EQ(emitter->getParmTemplate(1)->getChoiceList()->getItems()[4].getToken(), std::string("softBoodyGranular"));
}

TEST(Nodes, ClassesShareTheirIndexCacheAndHoldTheRegistry)
{
  const uint32_t before = TalunoObjects::_ref;
  {
    Host host;
    OP_Node* first = host.network.createNode("Taluno", "a");
    int* cache = SOP_Taluno::myOffsets;
    ASSERT_NE(cache, nullptr);
    first->evalFloat("gravity", cache + 4, 0, 0.0);
    EXPECT_EQ(cache[4], 4); // resolved once, by name
    host.network.createNode("Taluno", "b");
    EXPECT_EQ(SOP_Taluno::myOffsets, cache);
    OP_Node* collider = host.network.createNode("CollisionObject", "c");
    EXPECT_NE(SOP_CollisionObject::myOffsets, cache);
    EXPECT_EQ(TalunoObjects::_ref, before + 3);
    host.network.destroyNode(collider);
    EXPECT_EQ(TalunoObjects::_ref, before + 2);
  }
  EXPECT_EQ(TalunoObjects::_ref, before);
}

TEST(Nodes, BadExpressionsAreReportedNotFollowed)
{
  Host host;
  OP_Node* solver = host.network.createNode("Taluno", "solver");
  solver->setExpression("gravity", 0, "3*(");
  EXPECT_EQ(solver->evalFloat("gravity", 0, 0.0), 0.0);
  EXPECT_EQ(solver->error(), UT_ERROR_ERROR);
  ASSERT_FALSE(solver->errorMessages().empty());
  const std::string message = solver->errorMessages().back();
  EXPECT_NE(message.find("\"gravity\""), std::string::npos) << message;
  EXPECT_NE(message.find("\"3*(\""), std::string::npos) << message;

  // A ch() cycle ends in an error, not in endless recursion.
  solver->clearErrors();
  solver->setExpression("particleRadius", 0, "ch(gridCellSize) / 4");
  EXPECT_EQ(solver->evalFloat("particlesInteractionRadius", 0, 0.0), 0.0);
  EXPECT_EQ(solver->error(), UT_ERROR_ERROR);
  EXPECT_NE(solver->errorMessages().back().find("refers back to itself"), std::string::npos);
  solver->clearErrors();
  solver->setExpression("reset", 0, "ch(nosuch)");
  EXPECT_EQ(solver->evalInt("reset", 0, 0.0), 0);
  EXPECT_NE(solver->errorMessages().back().find("no such parameter"), std::string::npos);
}

TEST(Nodes, TransformsTurnZThenYThenXAndTranslate)
{
  const Eigen::Matrix4d m = buildTransform(1, 2, 3, 90, 0, 0);
  const Eigen::Vector4d p = m * Eigen::Vector4d(0, 1, 0, 1);
  EXPECT_TRUE(p.isApprox(Eigen::Vector4d(1, 2, 4, 1), 1e-6)); // y turned onto z about x
  const Eigen::Matrix4d order = buildTransform(0, 0, 0, 90, 90, 0);
  // Rx first, then Ry: x stays x under Rx, then Ry takes x to -z.
  EXPECT_TRUE((order * Eigen::Vector4d(1, 0, 0, 0)).isApprox(Eigen::Vector4d(0, 0, -1, 0), 1e-6));
}

TEST(Nodes, CooksLockTheirInputsFirst)
{
  Host host;
  auto* solver = static_cast<SOP_Node*>(host.network.createNode("Taluno", "solver"));
  OP_Context context(0.0);
  EXPECT_EQ(solver->cook(context), UT_ERROR_ABORT); // needs one connected input
  EXPECT_FALSE(solver->isTimeDependent());
  auto* emitter = static_cast<SOP_Node*>(host.network.createNode("EmitterObject", "emitter"));
  host.network.setInput(solver, 0, emitter);
  // The emitter lacks its own input: its abort stops the solver's cook early.
  EXPECT_EQ(solver->cook(context), UT_ERROR_NONE);
  EXPECT_FALSE(solver->isTimeDependent());
  host.network.setInput(emitter, 0, host.network.createNode("source", "box"));
  EXPECT_LT(solver->cook(context), UT_ERROR_WARNING); // notes about the emission at most
  EXPECT_TRUE(solver->isTimeDependent());
}

namespace {

// A source that counts its cooks.
class CountingSource : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new CountingSource(n, name, op); }
  static inline int cooks = 0;

protected:
  OP_ERROR cookMySop(OP_Context&) override
  {
    ++cooks;
    gdp->appendPointOffset();
    return error();
  }
};

// Passes its inputs' points on: reads every input, each as often as wired.
class PassNode : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new PassNode(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    if (lockInputs(context) >= UT_ERROR_ABORT)
      return error();
    gdp->clearAndDestroy();
    gdp->appendPointOffset();
    unlockInputs();
    return error();
  }
};

} // namespace

TEST(Nodes, EachNodeCooksOncePerTimeHoweverOftenItIsRead)
{
  OP_OperatorTable table;
  table.addOperator(new OP_Operator("count", "Count", CountingSource::make, noParameters, 0, 0));
  table.addOperator(new OP_Operator("pass", "Pass", PassNode::make, noParameters, 1, 2));
  OP_Network network(table);
  OP_Node* below = network.createNode("count", "source");
  // Thirty levels, each reading the level below on both inputs: without a
  // cache of cooked results, the source would cook 2^30 times.
  for (int level = 0; level < 30; ++level) {
    OP_Node* node = network.createNode("pass", "level" + std::to_string(level));
    network.setInput(node, 0, below);
    network.setInput(node, 1, below);
    below = node;
  }
  CountingSource::cooks = 0;
  OP_Context first(0.0);
  static_cast<SOP_Node*>(below)->cook(first);
  EXPECT_EQ(CountingSource::cooks, 1);
  static_cast<SOP_Node*>(below)->cook(first); // the same time again: nothing changed
  EXPECT_EQ(CountingSource::cooks, 1);
  OP_Context next(1.0 / 24);
  static_cast<SOP_Node*>(below)->cook(next); // another time: once more
  EXPECT_EQ(CountingSource::cooks, 2);

  // A change upstream makes the next cook at the same time redo it.
  network.modified(network.nodes().front(), 15, 0);
  static_cast<SOP_Node*>(below)->cook(next);
  EXPECT_EQ(CountingSource::cooks, 3);
}

TEST(Nodes, LongChainsAreWiredCheckedAndCookedWithoutDeepRecursion)
{
  OP_OperatorTable table;
  table.addOperator(new OP_Operator("count", "Count", CountingSource::make, noParameters, 0, 0));
  table.addOperator(new OP_Operator("pass", "Pass", PassNode::make, noParameters, 1, 2));
  OP_Network network(table);
  // Wired from the far end first, the order in which the loop check used to
  // walk the whole chain behind each new link.
  std::vector<OP_Node*> chain;
  for (int i = 0; i < 60000; ++i)
    chain.push_back(network.createNode(i == 0 ? "count" : "pass", "n" + std::to_string(i)));
  for (int i = 59999; i > 0; --i)
    ASSERT_TRUE(network.setInput(chain[size_t(i)], 0, chain[size_t(i) - 1]));
  EXPECT_FALSE(network.setInput(chain[1], 1, chain.back())) << "a loop";
  std::vector<OP_Node*> order = network.upstreamOrder(chain.back());
  ASSERT_EQ(order.size(), chain.size());
  EXPECT_EQ(order.front(), chain.front());
  OP_Context context(0.0);
  for (OP_Node* node : order)
    static_cast<SOP_Node*>(node)->cook(context);
  EXPECT_EQ(static_cast<SOP_Node*>(chain.back())->getCookedGeo()->getNumPoints(), 1);
  // A change at the start reaches the end without recursing once per node.
  network.modified(chain.front(), 15, 0);
  EXPECT_FALSE(chain.back()->isCookValid());
}
