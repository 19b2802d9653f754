#include "CollisionObject.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Cube
{
  explicit Cube(CollisionObject::behaviour b = CollisionObject::staticGeometry)
      : mesh(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Constant(2.0)), 1)),
        object(std::make_unique<CollisionObject>(mesh.get(), 0.01, 4, 0.3, true, 0.7, 1.2, true, b, -1, 0.0))
  {
  }
  std::unique_ptr<Mesh> mesh;
  std::unique_ptr<CollisionObject> object;
};

} // namespace

TEST(CollisionObject, ConstructionStoresParametersAndBuildsTheField)
{
  Cube cube;
  CollisionObject const& o = *cube.object;
  EXPECT_EQ(o._objectType, 0);
  EXPECT_EQ(o._friction, 0.3);
  EXPECT_TRUE(o._sticky);
  EXPECT_EQ(o._stickiness, 0.7);
  EXPECT_EQ(o._stickDist, 1.2);
  EXPECT_TRUE(o._ghostParticles);
  EXPECT_TRUE(o._active);
  EXPECT_EQ(o._id, -1);
  EXPECT_EQ(o._center, Eigen::Vector3d(1, 1, 1));
  ASSERT_NE(o._asdf, nullptr);
  EXPECT_FALSE(o._asdf->_movingGeometry);
  EXPECT_TRUE(Cube(CollisionObject::movingGeometry).object->_asdf->_movingGeometry);
}

TEST(CollisionObject, VelocitiesAreBackwardDifferences)
{
  Cube cube(CollisionObject::movingGeometry);
  CollisionObject& o = *cube.object;
  o.setVelocities(0, 0, 0, 0, 0, 0, 0); // at the construction time: nothing moves
  EXPECT_EQ(o._linearVelocity, Eigen::Vector3d::Zero());
  o.setVelocities(1, 0, 0, 0, 0, 0, 0);
  o.setVelocities(2, 3, 0, 0, 0, 0, 90);
  EXPECT_EQ(o._linearVelocity, Eigen::Vector3d(3, 0, 0));
  EXPECT_EQ(o._angularVelocity, Eigen::Vector3d(0, 0, 1.5707963146269321));
  o.setVelocities(2, 9, 9, 9, 0, 0, 0); // same time: the earlier interval's velocities stay
  EXPECT_EQ(o._linearVelocity, Eigen::Vector3d(3, 0, 0));
  EXPECT_EQ(o._previousTranslation, Eigen::Vector3d(9, 9, 9));
  o.setVelocities(4, 9, 9, 13, 0, 0, 0);
  EXPECT_EQ(o._linearVelocity, Eigen::Vector3d(0, 0, 2));
}

TEST(CollisionObject, TransformsMoveTheCentreAndTheField)
{
  Cube cube(CollisionObject::movingGeometry);
  CollisionObject& o = *cube.object;
  Eigen::Matrix4d shift = Eigen::Matrix4d::Identity();
  shift(0, 3) = 5.0;
  o.setTransfoMatrix(shift);
  EXPECT_EQ(o._center, Eigen::Vector3d(6, 1, 1));
  o.setTransfoMatrix(shift);
  EXPECT_EQ(o._center, Eigen::Vector3d(6, 1, 1));

  double moved, still;
  Eigen::Vector3d g;
  o._asdf->trilinearInterpolation(6, 1, 1, moved, 0, g);
  EXPECT_LT(moved, -0.9); // the cube's centre, now at x = 6

  // Static again: the field answers in object space.
  o.updateCollisionObjectParms(0.1, false, 0, 0, false, CollisionObject::staticGeometry);
  o._asdf->trilinearInterpolation(1, 1, 1, still, 0, g);
  EXPECT_EQ(still, moved);
  EXPECT_EQ(o._friction, 0.1);
  EXPECT_FALSE(o._ghostParticles);
  o.setTransfoMatrix(shift); // a static object keeps its centre
  EXPECT_EQ(o._center, Eigen::Vector3d(6, 1, 1));
}

TEST(CollisionObject, SystemRegistersActiveObjectsByIndex)
{
  SimSystem system{SimSettings()};
  Cube a, b;
  system.addCollisionObject(nullptr);
  b.object->_active = false;
  system.addCollisionObject(b.object.get());
  EXPECT_TRUE(system._collisionObjects.empty());
  EXPECT_EQ(b.object->_id, -1);

  system.addCollisionObject(a.object.get());
  system.addCollisionObject(a.object.get());
  EXPECT_EQ(system._collisionObjects.size(), 1u);
  EXPECT_EQ(a.object->_id, 0);

  // A rebuilt object carrying the earlier id replaces the entry.
  Cube rebuilt;
  rebuilt.object->_id = a.object->_id;
  system.addCollisionObject(rebuilt.object.get());
  EXPECT_EQ(system._collisionObjects.size(), 1u);
  EXPECT_EQ(system._collisionObjects.at(0), rebuilt.object.get());

  b.object->_active = true;
  system.addCollisionObject(b.object.get());
  EXPECT_EQ(b.object->_id, 1);
  // A forgotten object leaves its index empty for a replacement.
  system.removeCollisionObject(b.object.get());
  EXPECT_EQ(system._collisionObjects.at(1), nullptr);
  Cube replacement;
  replacement.object->_id = 1;
  system.addCollisionObject(replacement.object.get());
  EXPECT_EQ(system._collisionObjects.at(1), replacement.object.get());
  EXPECT_EQ(system._nbCollisionObjects, 2u);

  // The field is widened to the system's collision distance.
  SimSettings wide;
  wide.particleRadius = 1.0;
  SimSystem large(wide);
  Cube c;
  large.addCollisionObject(c.object.get());
  EXPECT_EQ(c.object->_asdf->_collisionDistance, 1.0);
  EXPECT_EQ(c.object->_asdf->_bboxMin, Eigen::Vector3d::Constant(-1.5));
}
