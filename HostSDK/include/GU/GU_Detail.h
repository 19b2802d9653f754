#pragma once

#include "GA/GA_Attribute.h"
#include "GA/GA_ElementGroup.h"
#include "GA/GA_Handle.h"
#include "GA/GA_Types.h"
#include "GEO/GEO_Primitive.h"
#include "UT/UT_Vector3.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class GA_AttributeSet;

/// A node's geometry: points with positions, primitives, attributes on points
/// or on the whole detail, and point groups. Each detail has an identifier
/// unique in the process.
class GU_Detail
{
public:
  GU_Detail();
  ~GU_Detail();
  GU_Detail(GU_Detail const&) = delete;
  GU_Detail& operator=(GU_Detail const&) = delete;

  int64_t getUniqueId() const { return _uniqueId; }

  // --- Points ---
  GA_Offset appendPointOffset();
  GA_Size getNumPoints() const { return GA_Size(_positions.size()); }
  UT_Vector3 getPos3(GA_Offset point) const { return _positions[point]; }
  void setPos3(GA_Offset point, UT_Vector3 const& position) { _positions[point] = position; }

  // --- Primitives ---
  GA_Size getNumPrimitives() const { return GA_Size(_primitives.size()); }
  GEO_Primitive* getGEOPrimitive(GA_Offset index) const { return _primitives[index].get(); }
  /// A new, empty primitive of a type.
  GEO_Primitive* insertPrimitive(GA_PrimitiveTypeId type);

  // --- Attributes ---
  GA_Attribute* addIntTuple(GA_AttributeOwner owner, std::string const& name, int size,
                            GA_Defaults const& defaults = GA_Defaults(0));
  GA_Attribute* addFloatTuple(GA_AttributeOwner owner, std::string const& name, int size,
                              GA_Defaults const& defaults = GA_Defaults(0));
  /// The colour attribute "Cd" (three floats, default 1).
  GA_Attribute* addDiffuseAttribute(GA_AttributeOwner owner);
  /// The normal attribute "N" (three floats).
  GA_Attribute* addNormalAttribute(GA_AttributeOwner owner);
  GA_Attribute* findAttribute(GA_AttributeOwner owner, std::string const& name) const;
  GA_Attribute* findPointAttribute(std::string const& name) const { return findAttribute(GA_ATTRIB_POINT, name); }
  void destroyAttribute(GA_AttributeOwner owner, std::string const& name);
  std::vector<GA_Attribute*> attributes(GA_AttributeOwner owner) const;
  GA_AttributeSet const& getAttributes() const { return *_attributeSet; }

  // --- Point groups ---
  GA_PointGroup* newPointGroup(std::string const& name, bool internal = false);
  GA_PointGroup* findPointGroup(std::string const& name) const;
  std::vector<GA_PointGroup*> pointGroups() const;

  // --- Whole-detail operations ---
  /// Removes the points of a group, the vertices that used them, and
  /// primitives left without vertices; later points move down.
  void destroyElements(GA_PointGroup const& points);
  /// Moves every point by a matrix in the host's row-vector layout.
  void transform(UT_Matrix4F const& matrix);
  /// Appends a box from (xmin, ymin, zmin) to (xmax, ymax, zmax): 8 points and
  /// 6 quadrilaterals facing out (the divisions are accepted and must be 2).
  void meshCube(int xdiv, int ydiv, int zdiv, float xmin, float xmax, float ymin, float ymax, float zmin,
                float zmax);
  /// Replaces this detail's contents with a copy of another's (not its identifier).
  void copy(GU_Detail const& source);
  void clearAndDestroy();

private:
  struct AttributeEntry
  {
    std::unique_ptr<GA_Attribute> attribute;
  };
  GA_Attribute* addAttribute(GA_AttributeOwner owner, std::string const& name, int size, GA_Storage storage,
                             GA_Defaults const& defaults);

  int64_t _uniqueId;
  std::vector<UT_Vector3> _positions;
  std::vector<std::unique_ptr<GEO_Primitive>> _primitives;
  std::vector<AttributeEntry> _attributes;
  std::vector<std::unique_ptr<GA_PointGroup>> _groups;
  std::unique_ptr<GA_AttributeSet> _attributeSet;
};

/// The attributes of a detail, for lookups by owner and name.
class GA_AttributeSet
{
public:
  explicit GA_AttributeSet(GU_Detail const& detail) : _detail(detail) {}
  GA_Attribute* findAttribute(GA_AttributeOwner owner, std::string const& name) const
  {
    return _detail.findAttribute(owner, name);
  }

private:
  GU_Detail const& _detail;
};

/// Iterates over every point offset of a detail.
#define GA_FOR_ALL_PTOFF(gdp, ptoff) for (GA_Offset ptoff = 0; ptoff < (gdp)->getNumPoints(); ++ptoff)

/// Builds polygons: GU_PrimPoly::build(detail, n, open, appendPoints).
class GU_PrimPoly
{
public:
  static GEO_PrimPoly* build(GU_Detail* detail, int npoints, bool open = false, bool appendPoints = true);
};

/// Builds spheres around new points.
struct GU_PrimSphereParms
{
  GU_Detail* gdp = nullptr;
  GA_Offset ptoff = GA_INVALID_OFFSET; ///< centre point, appended when invalid
  float radius = 1.0f;
};
class GU_PrimSphere
{
public:
  static GEO_PrimSphere* build(GU_PrimSphereParms const& parms);
};
