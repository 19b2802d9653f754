#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "TalunoObjects.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// A registry holder, like an operator node: one reference for its lifetime.
struct Holder
{
  Holder() : registry(TalunoObjects::getInstance()) {}
  ~Holder()
  {
    if (registry)
      TalunoObjects::release();
  }
  TalunoObjects* registry;
};

} // namespace

TEST(Registry, LivesFromTheFirstHolderToTheLast)
{
  ASSERT_EQ(TalunoObjects::_pInstance, nullptr);
  std::unique_ptr<Mesh> mesh(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Ones()), 0));
  EmitterObject emitter(mesh.get(), 2, EmitterObject::emitOnce, EmitterObject::cubic, 0, EmitterObject::staticGeometry,
                        0, 0, 0, 1, 0, 0, 0, 1, 4294967295u);
  {
    auto first = std::make_unique<Holder>();
    Holder second;
    EXPECT_EQ(first->registry, second.registry);
    EXPECT_EQ(TalunoObjects::_ref, 2u);
    second.registry->addObject(7, &emitter);
    first.reset(); // one holder gone: the registry and its entries stay
    ASSERT_NE(TalunoObjects::_pInstance, nullptr);
    EXPECT_EQ(second.registry->getObject(7), &emitter);
  }
  EXPECT_EQ(TalunoObjects::_pInstance, nullptr);
  EXPECT_EQ(TalunoObjects::_ref, 0u);
  Holder later; // a new, empty registry
  EXPECT_EQ(later.registry->getObject(7), nullptr);
  EXPECT_EQ(emitter._objectType, 1); // the object itself was never touched
}

TEST(Registry, ReplacesByUidAndForgetsRemovedObjects)
{
  Holder holder;
  TalunoObjects& registry = *holder.registry;
  std::unique_ptr<Mesh> mesh(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Ones()), 0));
  auto makeEmitter = [&] {
    return std::make_unique<EmitterObject>(mesh.get(), 2, EmitterObject::emitOnce, EmitterObject::cubic, 0,
                                           EmitterObject::staticGeometry, 0, 0, 0, 1, 0, 0, 0, 1, 4294967295u);
  };
  auto a = makeEmitter(), b = makeEmitter();
  EXPECT_EQ(registry.getObject(3), nullptr);
  registry.addObject(3, a.get());
  registry.addObject(3, b.get());
  EXPECT_EQ(registry._objects.size(), 1u);
  EXPECT_EQ(registry.getObject(3), b.get());
  EXPECT_EQ(a->_objectType, 1); // the replaced object still exists for its owner

  // An owner destroying its object removes it first: no lookup returns it.
  registry.addObject(-5, b.get());
  registry.addObject(4, a.get());
  registry.removeObject(b.get());
  b.reset();
  EXPECT_EQ(registry.getObject(3), nullptr);
  EXPECT_EQ(registry.getObject(-5), nullptr);
  EXPECT_EQ(registry.getObject(4), a.get());
  registry.removeObject(nullptr); // nothing registered: nothing happens
  EXPECT_EQ(registry._objects.size(), 1u);
}
