#include "TalunoObjects.h"

#include <algorithm>

TalunoObjects* TalunoObjects::_pInstance = nullptr;
uint32_t TalunoObjects::_ref = 0;

TalunoObjects* TalunoObjects::getInstance()
{
  if (!_pInstance)
    _pInstance = new TalunoObjects();
  addRef();
  return _pInstance;
}

void TalunoObjects::addRef() { ++_ref; }

void TalunoObjects::release()
{
  if (_ref == 0)
    return; // more releases than holders: nothing to give back
  if (--_ref == 0) {
    delete _pInstance;
    _pInstance = nullptr;
  }
}

void TalunoObjects::addObject(int32_t uid, TalunoObject* object) { _objects[uid] = object; }

TalunoObject* TalunoObjects::getObject(int32_t uid) const
{
  auto found = _objects.find(uid);
  return found != _objects.end() ? found->second : nullptr;
}

void TalunoObjects::removeObject(TalunoObject const* object)
{
  for (auto it = _objects.begin(); it != _objects.end();) {
    if (it->second == object)
      it = _objects.erase(it);
    else
      ++it;
  }
  if (object)
    for (TalunoObjectsListener* listener : _listeners)
      listener->objectWithdrawn(object);
}

void TalunoObjects::addListener(TalunoObjectsListener* listener)
{
  if (listener && std::find(_listeners.begin(), _listeners.end(), listener) == _listeners.end())
    _listeners.push_back(listener);
}

void TalunoObjects::removeListener(TalunoObjectsListener* listener)
{
  _listeners.erase(std::remove(_listeners.begin(), _listeners.end(), listener), _listeners.end());
}
