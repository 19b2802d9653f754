#pragma once

#include <cstdint>
#include <map>
#include <vector>

/// Common base of the scene objects the operators share with the solver. A
/// reader of the registry tells the derived type from _objectType alone.
class TalunoObject
{
public:
  int32_t _objectType; ///< 0 collision object, 1 emitter object

protected:
  explicit TalunoObject(int32_t objectType) : _objectType(objectType) {}
  ~TalunoObject() = default; // never deleted through the base
};

/// Told when an object leaves the registry because its owner is about to
/// destroy or replace it: whoever borrowed the object lets go of it there.
class TalunoObjectsListener
{
public:
  virtual void objectWithdrawn(TalunoObject const* object) = 0;

protected:
  ~TalunoObjectsListener() = default;
};

/// The process-wide registry through which object operators hand their
/// objects to the solver: object pointers (borrowed) by integer UID. It lives
/// while at least one holder keeps a reference.
class TalunoObjects
{
public:
  /// The instance, created when there is none; counts the caller as a holder.
  static TalunoObjects* getInstance();
  static void addRef();
  /// Drops one holder; the last one discards the registry and its entries.
  static void release();

  /// Stores object under uid, replacing what was stored there.
  void addObject(int32_t uid, TalunoObject* object);
  /// The object stored under uid, or null.
  TalunoObject* getObject(int32_t uid) const;
  /// Forgets every entry that points to object and tells every listener. Its
  /// owner calls this before destroying or replacing it, so that neither a
  /// lookup nor a borrower reaches a destroyed object.
  void removeObject(TalunoObject const* object);

  /// Borrowers of objects (the solvers) listen for withdrawn objects until
  /// they remove themselves.
  void addListener(TalunoObjectsListener* listener);
  void removeListener(TalunoObjectsListener* listener);

  std::map<int32_t, TalunoObject*> _objects; ///< borrowed objects by UID
  std::vector<TalunoObjectsListener*> _listeners;

  static TalunoObjects* _pInstance; ///< the instance, null while none exists
  static uint32_t _ref;             ///< number of holders

private:
  TalunoObjects() = default;
};
