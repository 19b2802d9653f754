#include "OP/OP_Director.h"
#include "OP/OP_Network.h"
#include "OP/OP_Node.h"
#include "OP/OP_Operator.h"
#include "SOP/SOP_Node.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

PRM_Name names[] = {{"a", "A"}, {"b", "B"}, {"v", "V"}};
PRM_Default zero(0);
PRM_Default vector[] = {{1}, {2}, {3}};
PRM_Template templates[] = {PRM_Template(PRM_FLT, 1, &names[0], &zero), PRM_Template(PRM_FLT, 1, &names[1], &zero),
                            PRM_Template(PRM_FLT, 3, &names[2], vector), PRM_Template()};

class TestNode : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new TestNode(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context&) override { return error(); }
};

struct ExpressionHost
{
  ExpressionHost()
  {
    table.addOperator(new OP_Operator("test", "Test", TestNode::make, templates, 0, 1));
    node = network.createNode("test", "n");
  }
  double eval(std::string const& expression, double time = 0.0)
  {
    node->setExpression("a", 0, expression);
    return node->evalFloat("a", 0, time);
  }
  OP_OperatorTable table;
  OP_Network network{table};
  OP_Node* node = nullptr;
};

} // namespace

TEST(Expressions, ArithmeticVariablesAndFunctions)
{
  ExpressionHost host;
  EXPECT_EQ(host.eval("1 + 2 * 3"), 7.0);
  EXPECT_EQ(host.eval("(1 + 2) * 3"), 9.0);
  EXPECT_EQ(host.eval("-2 * -3 - -1"), 7.0);
  EXPECT_EQ(host.eval("7 / 2"), 3.5);
  EXPECT_EQ(host.eval("1.5e2"), 150.0);
  EXPECT_EQ(host.eval("$FPS"), 24.0);
  EXPECT_EQ(host.eval("$T", 0.5), 0.5);
  EXPECT_EQ(host.eval("$F", 0.5), 13.0); // 0.5 s at 24 frames per second, frames from 1
  EXPECT_NEAR(host.eval("sin(30)"), 0.5, 1e-12); // degrees
  EXPECT_NEAR(host.eval("cos(60) + tan(45)"), 1.5, 1e-12);
  EXPECT_EQ(host.eval("abs(-4) + min(2, 3) + max(2, 3) + pow(2, 3)"), 17.0);
  EXPECT_EQ(host.eval("sqrt(16) + floor(1.7) + ceil(1.2)"), 7.0);
  EXPECT_EQ(host.eval("clamp(5, 0, 2)"), 2.0);
  EXPECT_EQ(host.eval("fit(5, 0, 10, 100, 200)"), 150.0);
  EXPECT_EQ(host.eval("fit(50, 0, 10, 100, 200)"), 200.0);
  host.node->setFloat("b", 0, 4.0);
  EXPECT_EQ(host.eval("ch(b) * 2 + ch(\"v\")"), 9.0);
  EXPECT_EQ(host.node->evalFloat("v", 2, 0.0), 3.0);
  EXPECT_EQ(host.node->error(), UT_ERROR_NONE);
}

TEST(Expressions, MistakesAreErrorsThatSayWhere)
{
  ExpressionHost host;
  for (char const* bad : {"1 +", "2 * (3", "foo(1)", "sqrt(-1)", "1 / 0", "$X", "min(1)", "3 4", "ch()", "ch(\"b)",
                          "1e999", "min(5, 0/0)", "min(0/0, 5)", "max(5, sqrt(-1))", "max(sqrt(-1), 5)"}) {
    host.node->clearErrors();
    EXPECT_EQ(host.eval(bad), 0.0) << bad;
    EXPECT_EQ(host.node->error(), UT_ERROR_ERROR) << bad;
    ASSERT_FALSE(host.node->errorMessages().empty());
    EXPECT_NE(host.node->errorMessages().back().find("\"a\""), std::string::npos) << host.node->errorMessages().back();
  }
  host.node->clearErrors();
  host.node->setExpression("b", 0, "ch(a) + 1");
  EXPECT_EQ(host.eval("ch(b)"), 0.0); // a -> b -> a
  EXPECT_NE(host.node->errorMessages().back().find("refers back to itself"), std::string::npos);
  EXPECT_EQ(host.node->evalFloat("nosuch", 0, 0.0), 0.0);
  EXPECT_NE(host.node->errorMessages().back().find("Unknown parameter \"nosuch\""), std::string::npos);
}

TEST(Expressions, ChannelManagerFrames)
{
  CH_Manager* channels = OPgetDirector()->getChannelManager();
  EXPECT_EQ(channels->getSamplesPerSec(), 24.0);
  EXPECT_EQ(channels->getSample(0.0), 1.0);
  EXPECT_EQ(channels->getTime(25.0), 1.0);
  EXPECT_EQ(OP_Context(1.0).getFrame(), 25);
  EXPECT_EQ(CH_Manager::niceNumber(0.1 + 0.2), 0.3);
}
