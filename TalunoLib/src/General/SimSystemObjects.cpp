// The scene objects the system borrows: collision objects and emitters, kept
// by index so that a re-cooked object replaces its earlier version.
#include "CollisionObject.h"
#include "EmitterObject.h"
#include "SimSystem.h"

void SimSystem::addCollisionObject(CollisionObject const* object)
{
  if (!object || !object->_active)
    return;
  object->_asdf->setCollisionDistance(_collisionDistance);
  // The index lives in the object, which its operator hands over as const.
  CollisionObject* writable = const_cast<CollisionObject*>(object);
  auto found = _collisionObjects.find(static_cast<uint32_t>(writable->_id));
  if (found != _collisionObjects.end()) {
    found->second = writable;
  } else {
    writable->_id = static_cast<int32_t>(_nbCollisionObjects++);
    _collisionObjects.emplace(static_cast<uint32_t>(writable->_id), writable);
  }
}

void SimSystem::removeCollisionObject(CollisionObject const* object)
{
  // The index stays with a null entry, so that a replacement handed over
  // under it keeps the object's place in the order of response.
  for (auto& entry : _collisionObjects)
    if (entry.second == object)
      entry.second = nullptr;
}

void SimSystem::addEmitterObject(EmitterObject const* emitter)
{
  // The system keeps the emitter's emission state (index, fill, emitted flag)
  // on the emitter itself, which its operator hands over as const.
  EmitterObject* writable = const_cast<EmitterObject*>(emitter);
  auto found = _emitterObjects.find(writable->_id);
  if (found != _emitterObjects.end()) {
    found->second = writable;
  } else {
    writable->_id = _nbEmitterObjects++;
    _emitterObjects.emplace(writable->_id, writable);
  }
  double radius = particleRadius;
  writable->Fill(radius);
  if (writable->_behaviour == EmitterObject::movingGeometry)
    writable->applyTransfoMatrix(writable->_initTransfoMatrix);
}

void SimSystem::removeEmitterObject(EmitterObject const* emitter)
{
  // Emission walks indices densely, so the index stays with a null entry.
  for (auto& entry : _emitterObjects)
    if (entry.second == emitter)
      entry.second = nullptr;
}
