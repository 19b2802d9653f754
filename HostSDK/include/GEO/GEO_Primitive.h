#pragma once

#include "GA/GA_Types.h"
#include "UT/UT_Vector3.h"

#include <vector>

class GU_Detail;

/// A primitive: a type and the points its vertices use, in order.
class GEO_Primitive
{
public:
  explicit GEO_Primitive(GA_PrimitiveTypeId type) : _type(type) {}
  virtual ~GEO_Primitive() = default;

  GA_PrimitiveTypeId getTypeId() const { return _type; }
  GA_Size getVertexCount() const { return GA_Size(_points.size()); }
  GA_Offset getPointOffset(GA_Size vertex) const { return _points[vertex]; }
  void appendVertex(GA_Offset point) { _points.push_back(point); }
  std::vector<GA_Offset>& points() { return _points; }
  std::vector<GA_Offset> const& points() const { return _points; }

private:
  GA_PrimitiveTypeId _type;
  std::vector<GA_Offset> _points;
};

/// A closed (or open) polygon.
class GEO_PrimPoly : public GEO_Primitive
{
public:
  GEO_PrimPoly() : GEO_Primitive(GA_PRIMPOLY) {}
  bool isClosed() const { return _closed; }
  void setClosed(bool closed) { _closed = closed; }

private:
  bool _closed = true;
};

/// A particle system: a list of points drawn as particles.
class GEO_PrimParticle : public GEO_Primitive
{
public:
  GEO_PrimParticle() : GEO_Primitive(GA_PRIMPART) {}
  void appendParticle(GA_Offset point) { appendVertex(point); }
  GA_Size getNumParticles() const { return getVertexCount(); }
  /// Empties the particle list.
  void deleteLists() { points().clear(); }
};

/// A sphere around one point, of a radius.
class GEO_PrimSphere : public GEO_Primitive
{
public:
  GEO_PrimSphere() : GEO_Primitive(GA_PRIMSPHERE) {}
  float radius = 1.0f;
};
