#include "HostFixtures.h"

#include <gtest/gtest.h>

#include <cmath>



TEST(CollisionNode, RegistersItsObjectUnderTheOutputUid)
{
  ObjectHost host;
  auto* node = host.create<SOP_CollisionObject>("CollisionObject");
  ASSERT_EQ(host.cookAt(node, 0.0), UT_ERROR_NONE);
  GA_Attribute* uid = node->getCookedGeo()->findAttribute(GA_ATTRIB_DETAIL, "CollisionObjectUID");
  ASSERT_NE(uid, nullptr);
  EXPECT_TRUE(uid->getOptions().getOptionB("export_on_merge"));
  EXPECT_EQ(ObjectHost::uidOf(node), int32_t(node->getCookedGeo()->getUniqueId()));
  ASSERT_NE(node->object(), nullptr);
  EXPECT_EQ(host.registry->getObject(ObjectHost::uidOf(node)), node->object());
  EXPECT_EQ(node->mesh()->_nbTriangles, 12);
  EXPECT_EQ(node->getCookedGeo()->getNumPoints(), 8); // the input passes through
  // Inside the box is negative: the builder's corner order keeps normals outward.
  double d;
  Eigen::Vector3d g;
  node->object()->_asdf->trilinearInterpolation(1, 1, 1, d, 0, g);
  EXPECT_LT(d, 0.0);
  EXPECT_EQ(node->object()->_asdf->_sign, 1);
}

TEST(CollisionNode, AnimatedActiveWarnsThatItIsReadOnceAtTheStart)
{
  ObjectHost host;
  auto* node = host.create<SOP_CollisionObject>("CollisionObject");
  ASSERT_EQ(host.cookAt(node, 0.0), UT_ERROR_NONE);
  node->setExpression("active", 0, "clamp(10 - $F, 0, 1)");
  EXPECT_EQ(host.cookAt(node, 20.0), UT_ERROR_WARNING);
  ASSERT_FALSE(node->errorMessages().empty());
  EXPECT_NE(node->errorMessages().back().find("read once, at time 0"), std::string::npos);
  EXPECT_TRUE(node->object()->_active); // the value at time 0 stands
}

TEST(CollisionNode, QuadsWarnOnceAndAreIgnored)
{
  ObjectHost host;
  GEO_Primitive* quad = host.source->geometry.insertPrimitive(GA_PRIMPOLY);
  for (GA_Offset p : {0, 1, 3, 2})
    quad->appendVertex(p);
  GEO_Primitive* quad2 = host.source->geometry.insertPrimitive(GA_PRIMPOLY);
  for (GA_Offset p : {4, 5, 7, 6})
    quad2->appendVertex(p);
  auto* node = host.create<SOP_CollisionObject>("CollisionObject");
  testing::internal::CaptureStdout();
  host.cookAt(node, 0.0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Attention! you have non triangle polygons, that could lead to unexpected behavior.\n");
  EXPECT_EQ(node->mesh()->_nbTriangles, 12);
}

TEST(CollisionNode, ParameterChangesRebuildOnlyWhatTheyInvalidate)
{
  ObjectHost host;
  auto* node = host.create<SOP_CollisionObject>("CollisionObject");
  host.cookAt(node, 0.0);
  CollisionObject const* object = node->object();
  Mesh const* mesh = node->mesh();
  const int32_t uid = ObjectHost::uidOf(node);

  node->setFloat("friction", 0, 0.7);
  host.cookAt(node, 0.0);
  EXPECT_EQ(node->object(), object); // updated in place
  EXPECT_DOUBLE_EQ(node->object()->_friction, double(0.7f));
  EXPECT_EQ(host.registry->getObject(uid), object);

  // A new object may reuse the old one's address: mark the old one instead.
  auto mark = [](CollisionObject const* o) { const_cast<CollisionObject*>(o)->_lastTime = -77.0; };
  auto isNew = [](CollisionObject const* o) { return o->_lastTime != -77.0; };
  mark(object);
  node->setFloat("maxDepth", 0, 3);
  host.cookAt(node, 0.0);
  EXPECT_TRUE(isNew(node->object())); // a new field
  EXPECT_EQ(node->mesh(), mesh);
  EXPECT_EQ(host.registry->getObject(uid), node->object());
  EXPECT_LE(node->object()->_asdf->_depth, 3);

  mark(node->object());
  node->setFloat("nbKdTreeReturnedVertices", 0, 4);
  host.cookAt(node, 0.0);
  EXPECT_TRUE(isNew(node->object()));
  EXPECT_NE(node->mesh(), nullptr);
  EXPECT_EQ(node->mesh()->_nbKdTreeReturnedVertices, 4u);
}

TEST(CollisionNode, MovingGeometryFollowsItsTransform)
{
  ObjectHost host;
  auto* node = host.create<SOP_CollisionObject>("CollisionObject");
  node->setFloat("hint", 0, 1);
  node->setExpression("translation", 0, "2*$T - 1"); // 1 at time 1, 3 at time 2
  host.cookAt(node, 1.0);
  host.cookAt(node, 2.0);
  const UT_Vector3 moved = node->getCookedGeo()->getPos3(0);
  EXPECT_EQ(moved, UT_Vector3(3, 0, 0)); // input corner (0, 0, 0)
  EXPECT_TRUE(node->object()->_linearVelocity.isApprox(Eigen::Vector3d(2, 0, 0)));
  EXPECT_TRUE(node->object()->_center.isApprox(Eigen::Vector3d(4, 1, 1)));
  EXPECT_TRUE(node->object()->_asdf->_movingGeometry);
}

TEST(CollisionNode, DeformingGeometryRebuildsEveryCookKeepingItsIndex)
{
  ObjectHost host;
  auto* node = host.create<SOP_CollisionObject>("CollisionObject");
  node->setFloat("hint", 0, 2);
  host.cookAt(node, 0.0);
  const_cast<CollisionObject*>(node->object())->_id = 5; // as a simulation assigns it
  const_cast<CollisionObject*>(node->object())->_lastTime = -77.0;
  host.cookAt(node, 1.0 / 24); // the next frame: the host cooks it again
  EXPECT_NE(node->object()->_lastTime, -77.0); // a new object
  EXPECT_EQ(node->object()->_id, 5);
  EXPECT_EQ(host.registry->getObject(ObjectHost::uidOf(node)), node->object());
  node->setFloat("active", 0, 0);
  host.cookAt(node, 0.0);
  EXPECT_FALSE(node->object()->_active);
}

TEST(CollisionNode, GuideShowsTheSurfaceOrTheLeaves)
{
  ObjectHost host;
  auto* node = host.create<SOP_CollisionObject>("CollisionObject");
  host.cookAt(node, 0.0);
  OP_Context context(0.0);
  node->cookGuide(context);
  EXPECT_EQ(node->getGuide()->getNumPoints(), 0);
  node->setFloat("guide", 0, 1);
  node->cookGuide(context);
  EXPECT_GT(node->getGuide()->getNumPrimitives(), 12);
  EXPECT_EQ(node->getGuide()->getNumPoints(), 3 * node->getGuide()->getNumPrimitives());
  node->setFloat("guide", 0, 2);
  node->cookGuide(context);
  EXPECT_EQ(node->getGuide()->getNumPoints() % 8, 0);
  EXPECT_EQ(node->getGuide()->getNumPrimitives(), 6 * node->getGuide()->getNumPoints() / 8);
}

TEST(EmitterNode, DefaultsAndInPlaceUpdates)
{
  ObjectHost host;
  auto* node = host.create<SOP_EmitterObject>("EmitterObject");
  ASSERT_EQ(host.cookAt(node, 0.0), UT_ERROR_NONE);
  EmitterObject const* e = node->object();
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->_active);
  EXPECT_EQ(e->_behaviour, EmitterObject::staticGeometry);
  EXPECT_EQ(e->_nature, 1);
  EXPECT_EQ(e->_fillType, EmitterObject::cubic);
  EXPECT_EQ(e->_emissionType, EmitterObject::emitOnce);
  EXPECT_EQ(e->_thickness, EmitterObject::unlimitedThickness);
  EXPECT_EQ(e->_interval, 20u);
  EXPECT_EQ(e->_frictionMultiplier, 1.0);
  EXPECT_EQ(e->_id, 4294967295u);
  EXPECT_EQ(host.registry->getObject(ObjectHost::uidOf(node)), e);

  const_cast<EmitterObject*>(e)->_hasEmitted = true; // marks this object
  node->setFloat("v", 1, -2.5);
  node->setFloat("nature", 0, 4); // "softBoodyGranular"
  host.cookAt(node, 0.0);
  EXPECT_EQ(node->object(), e);
  EXPECT_TRUE(node->object()->_hasEmitted);
  EXPECT_EQ(e->_velocity, Eigen::Vector3d(0, -2.5, 0));
  EXPECT_EQ(e->_nature, 5);
  node->setFloat("nbKdTreeReturnedVertices", 0, 3);
  host.cookAt(node, 0.0);
  EXPECT_FALSE(node->object()->_hasEmitted); // a new object
  EXPECT_EQ(node->mesh()->_nbKdTreeReturnedVertices, 3u);
}

TEST(EmitterNode, MovingEmittersTurnGeometryAboutTheOriginAndCandidatesAboutThePivot)
{
  ObjectHost host;
  auto* node = host.create<SOP_EmitterObject>("EmitterObject");
  node->setFloat("hint", 0, 1);
  node->setFloat("r", 1, 90);
  node->setFloat("p", 0, 1);
  host.cookAt(node, 0.0);
  // Corner (2, 0, 0) of the input turns to (0, 0, -2) about the origin.
  const UT_Vector3 turned = node->getCookedGeo()->getPos3(1);
  EXPECT_NEAR(turned.x(), 0.0, 1e-6);
  EXPECT_NEAR(turned.z(), -2.0, 1e-6);
  // Candidates (filled when a simulation takes the emitter) turn about the pivot.
  auto* emitter = const_cast<EmitterObject*>(node->object());
  double radius = 0.5;
  emitter->Fill(radius);
  Eigen::Matrix4d m = buildTransform(0, 0, 0, 0, 90, 0);
  emitter->applyTransfoMatrix(m);
  const Eigen::Vector3d local = emitter->_localPositions[0];
  const Eigen::Vector3d expected = Eigen::Vector3d(local.z(), local.y(), -local.x()) + Eigen::Vector3d(1, 0, 0);
  EXPECT_TRUE(emitter->_positions[0].isApprox(expected, 1e-6));
  EXPECT_EQ(emitter->_initTransfoMatrix, m);
}
