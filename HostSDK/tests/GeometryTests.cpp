#include "GU/GU_Detail.h"

#include <gtest/gtest.h>

namespace {

GU_Detail* threePoints(GU_Detail& gdp)
{
  for (int i = 0; i < 3; ++i)
    gdp.setPos3(gdp.appendPointOffset(), UT_Vector3(float(i), 0, 0));
  return &gdp;
}

} // namespace

TEST(Geometry, PointsAttributesAndHandles)
{
  GU_Detail gdp;
  GU_Detail other;
  EXPECT_NE(gdp.getUniqueId(), other.getUniqueId());
  threePoints(gdp);
  EXPECT_EQ(gdp.getNumPoints(), 3);

  GA_RWHandleV3 velocity(gdp.addFloatTuple(GA_ATTRIB_POINT, "v", 3));
  GA_RWHandleI ids(gdp.addIntTuple(GA_ATTRIB_POINT, "ID", 1, GA_Defaults(-1)));
  ASSERT_TRUE(velocity.isValid());
  EXPECT_EQ(ids.get(2), -1); // the default
  velocity.set(1, UT_Vector3(1, 2, 3));
  ids.set(1, 42);
  EXPECT_EQ(velocity.get(1), UT_Vector3(1, 2, 3));
  EXPECT_EQ(ids.get(1), 42);
  // Points added later take the defaults.
  const GA_Offset added = gdp.appendPointOffset();
  EXPECT_EQ(ids.get(added), -1);
  EXPECT_EQ(velocity.get(added), UT_Vector3(0, 0, 0));
  // Float attributes store single precision; colours default to white.
  GA_RWHandleF scalar(gdp.addFloatTuple(GA_ATTRIB_POINT, "pscale", 1));
  scalar.set(0, float(0.1));
  EXPECT_EQ(gdp.findPointAttribute("pscale")->get(0, 0), double(0.1f));
  EXPECT_EQ(GA_RWHandleV3(gdp.addDiffuseAttribute(GA_ATTRIB_POINT)).get(0), UT_Vector3(1, 1, 1));
  EXPECT_NE(gdp.addNormalAttribute(GA_ATTRIB_POINT), nullptr);
  EXPECT_EQ(gdp.findAttribute(GA_ATTRIB_POINT, "nosuch"), nullptr);

  // A detail attribute has one element; its options travel with it.
  GA_Attribute* uid = gdp.addIntTuple(GA_ATTRIB_DETAIL, "CollisionObjectUID", 1, GA_Defaults(77));
  uid->getOptions().setOptionB("export_on_merge", true);
  GA_Attribute* found = gdp.getAttributes().findAttribute(GA_ATTRIB_DETAIL, "CollisionObjectUID");
  ASSERT_EQ(found, uid);
  EXPECT_EQ(GA_ROHandleI(found).get(0), 77);
  EXPECT_TRUE(found->getOptions().getOptionB("export_on_merge"));
  EXPECT_EQ(found->getStorage(), GA_STORE_INT32);
}

TEST(Geometry, GroupsAndDestroyedPoints)
{
  GU_Detail gdp;
  threePoints(gdp);
  GA_RWHandleI ids(gdp.addIntTuple(GA_ATTRIB_POINT, "ID", 1));
  for (GA_Offset p = 0; p < 3; ++p)
    ids.set(p, int(10 + p));
  GA_PointGroup* keep = gdp.newPointGroup("keep");
  GA_PointGroup* drop = gdp.newPointGroup("drop", true);
  EXPECT_TRUE(drop->isInternal());
  EXPECT_EQ(gdp.newPointGroup("keep"), keep); // the same name is the same group
  keep->add(0);
  keep->add(2);
  drop->add(1);
  GEO_PrimParticle* particles = static_cast<GEO_PrimParticle*>(gdp.insertPrimitive(GA_PRIMPART));
  for (GA_Offset p = 0; p < 3; ++p)
    particles->appendParticle(p);

  gdp.destroyElements(*drop);
  ASSERT_EQ(gdp.getNumPoints(), 2);
  EXPECT_EQ(ids.get(0), 10);
  EXPECT_EQ(ids.get(1), 12);
  EXPECT_EQ(gdp.getPos3(1), UT_Vector3(2, 0, 0));
  EXPECT_TRUE(keep->contains(0) && keep->contains(1));
  EXPECT_EQ(drop->entries(), 0);
  ASSERT_EQ(particles->getNumParticles(), 2);
  EXPECT_EQ(particles->getPointOffset(1), 1);
  particles->deleteLists();
  EXPECT_EQ(particles->getNumParticles(), 0);
  EXPECT_EQ(gdp.getNumPrimitives(), 1); // an empty particle system stays
}

TEST(Geometry, TransformsCubesSpheresAndCopies)
{
  GU_Detail gdp;
  gdp.meshCube(2, 2, 2, -1, 1, -2, 2, -3, 3);
  EXPECT_EQ(gdp.getNumPoints(), 8);
  ASSERT_EQ(gdp.getNumPrimitives(), 6);
  EXPECT_EQ(gdp.getGEOPrimitive(0)->getVertexCount(), 4);
  UT_Matrix4F shift;
  shift[3][0] = 5; // row-vector layout: translation in the last row
  gdp.transform(shift);
  EXPECT_EQ(gdp.getPos3(0), UT_Vector3(4, -2, -3));

  GU_PrimSphereParms parms;
  parms.gdp = &gdp;
  parms.radius = 0.5f;
  GEO_PrimSphere* sphere = GU_PrimSphere::build(parms);
  EXPECT_EQ(sphere->getPointOffset(0), 8);
  EXPECT_EQ(sphere->radius, 0.5f);
  GEO_PrimPoly* triangle = GU_PrimPoly::build(&gdp, 3);
  EXPECT_EQ(triangle->getVertexCount(), 3);
  EXPECT_TRUE(triangle->isClosed());
  gdp.addIntTuple(GA_ATTRIB_DETAIL, "UID", 1, GA_Defaults(3));

  GU_Detail copy;
  copy.copy(gdp);
  EXPECT_NE(copy.getUniqueId(), gdp.getUniqueId());
  EXPECT_EQ(copy.getNumPoints(), gdp.getNumPoints());
  EXPECT_EQ(copy.getNumPrimitives(), gdp.getNumPrimitives());
  EXPECT_EQ(GA_ROHandleI(copy.findAttribute(GA_ATTRIB_DETAIL, "UID")).get(0), 3);
  EXPECT_EQ(static_cast<GEO_PrimSphere*>(copy.getGEOPrimitive(6))->radius, 0.5f);
  copy.clearAndDestroy();
  EXPECT_EQ(copy.getNumPoints(), 0);
  EXPECT_EQ(copy.findAttribute(GA_ATTRIB_DETAIL, "UID"), nullptr);
}
