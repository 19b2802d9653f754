#include "OP/OP_Network.h"
#include "OP/OP_Node.h"
#include "OP/OP_Operator.h"
#include "UT/UT_DSO.h"

#include <gtest/gtest.h>

TEST(PluginLoader, RegistersTheThreeOperatorsInOrder)
{
  OP_OperatorTable table;
  std::string error;
  ASSERT_TRUE(UTloadSopPlugin(TESSOLIN_PATH, table, error)) << error;
  auto const& ops = table.operators();
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_EQ(ops[0]->getName(), "CollisionObject");
  EXPECT_EQ(ops[0]->getLabel(), "Collision Object");
  EXPECT_EQ(ops[1]->getName(), "Taluno");
  EXPECT_EQ(ops[1]->getLabel(), "Taluno");
  EXPECT_EQ(ops[2]->getName(), "EmitterObject");
  EXPECT_EQ(ops[2]->getLabel(), "Emitter Object");
  EXPECT_EQ(ops[0]->minInputs(), 1u);
  EXPECT_EQ(ops[0]->maxInputs(), 1u);
  EXPECT_EQ(ops[1]->minInputs(), 1u);
  EXPECT_EQ(ops[1]->maxInputs(), 9999u);
  EXPECT_EQ(ops[2]->maxInputs(), 1u);

  // Nodes made through the loaded plug-in answer their input labels.
  OP_Network network(table);
  OP_Node* solver = network.createNode("Taluno", "solver");
  ASSERT_NE(solver, nullptr);
  EXPECT_STREQ(solver->inputLabel(0), "Emitter Objects");
  EXPECT_STREQ(solver->inputLabel(1), "Collision Objects");
  EXPECT_STREQ(solver->inputLabel(7), "Unknown source");
  OP_Node* collider = network.createNode("CollisionObject", "floor");
  EXPECT_STREQ(collider->inputLabel(0), "Source Geometry");
  EXPECT_STREQ(collider->inputLabel(1), "Unknown source");
  EXPECT_STREQ(network.createNode("EmitterObject", "source")->inputLabel(0), "Source Geometry");
  EXPECT_EQ(network.createNode("NoSuchType", "x"), nullptr);
  EXPECT_FALSE(network.setInput(collider, 1, solver)); // one input only
  EXPECT_TRUE(network.setInput(solver, 9998, collider));
  EXPECT_FALSE(network.setInput(solver, 9999, collider));
  EXPECT_FALSE(network.setInput(collider, 0, solver)); // would feed the solver its own output
  EXPECT_FALSE(network.setInput(solver, 3, solver));
}

TEST(PluginLoader, RefusesWhatIsNotACompatiblePlugin)
{
  OP_OperatorTable table;
  std::string error;
  EXPECT_FALSE(UTloadSopPlugin("/no/such/Tessolin.so", table, error));
  EXPECT_NE(error.find("not found"), std::string::npos) << error;
  EXPECT_FALSE(UTloadSopPlugin(HOST_LIBRARY_PATH, table, error));
  EXPECT_NE(error.find("lacks HoudiniDSOVersion"), std::string::npos) << error;
  EXPECT_FALSE(UTloadSopPlugin(OTHER_HOST_PLUGIN_PATH, table, error));
  EXPECT_NE(error.find("built for host 12.1"), std::string::npos) << error;
  EXPECT_NE(error.find("rebuild"), std::string::npos) << error;
  EXPECT_TRUE(table.operators().empty());
}
