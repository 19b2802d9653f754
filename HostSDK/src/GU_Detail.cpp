#include "GU/GU_Detail.h"

#include <atomic>

GU_Detail::GU_Detail() : _attributeSet(std::make_unique<GA_AttributeSet>(*this))
{
  static std::atomic<int64_t> next{1};
  _uniqueId = next++;
}

GU_Detail::~GU_Detail() = default;

GA_Offset GU_Detail::appendPointOffset()
{
  _positions.emplace_back();
  const GA_Offset point = GA_Offset(_positions.size()) - 1;
  for (AttributeEntry& entry : _attributes)
    if (entry.attribute->getOwner() == GA_ATTRIB_POINT)
      entry.attribute->grow(point + 1);
  for (auto& group : _groups)
    group->grow(point + 1);
  return point;
}

GEO_Primitive* GU_Detail::insertPrimitive(GA_PrimitiveTypeId type)
{
  switch (type) {
  case GA_PRIMPOLY:
    _primitives.push_back(std::make_unique<GEO_PrimPoly>());
    break;
  case GA_PRIMPART:
    _primitives.push_back(std::make_unique<GEO_PrimParticle>());
    break;
  case GA_PRIMSPHERE:
    _primitives.push_back(std::make_unique<GEO_PrimSphere>());
    break;
  default:
    return nullptr;
  }
  return _primitives.back().get();
}

GA_Attribute* GU_Detail::addAttribute(GA_AttributeOwner owner, std::string const& name, int size, GA_Storage storage,
                                      GA_Defaults const& defaults)
{
  // An existing attribute of the same name and kind is reused, as the host does.
  if (GA_Attribute* existing = findAttribute(owner, name)) {
    if (existing->getTupleSize() == size && existing->getStorage() == storage)
      return existing;
    destroyAttribute(owner, name);
  }
  auto attribute = std::make_unique<GA_Attribute>(owner, name, size, storage, defaults);
  attribute->grow(owner == GA_ATTRIB_POINT ? getNumPoints() : owner == GA_ATTRIB_DETAIL ? 1 : getNumPrimitives());
  _attributes.push_back(AttributeEntry{std::move(attribute)});
  return _attributes.back().attribute.get();
}

GA_Attribute* GU_Detail::addIntTuple(GA_AttributeOwner owner, std::string const& name, int size,
                                     GA_Defaults const& defaults)
{
  return addAttribute(owner, name, size, GA_STORE_INT32, defaults);
}

GA_Attribute* GU_Detail::addFloatTuple(GA_AttributeOwner owner, std::string const& name, int size,
                                       GA_Defaults const& defaults)
{
  return addAttribute(owner, name, size, GA_STORE_REAL32, defaults);
}

GA_Attribute* GU_Detail::addDiffuseAttribute(GA_AttributeOwner owner)
{
  return addFloatTuple(owner, "Cd", 3, GA_Defaults(1.0));
}

GA_Attribute* GU_Detail::addNormalAttribute(GA_AttributeOwner owner) { return addFloatTuple(owner, "N", 3); }

GA_Attribute* GU_Detail::findAttribute(GA_AttributeOwner owner, std::string const& name) const
{
  for (AttributeEntry const& entry : _attributes)
    if (entry.attribute->getOwner() == owner && entry.attribute->getName() == name)
      return entry.attribute.get();
  return nullptr;
}

void GU_Detail::destroyAttribute(GA_AttributeOwner owner, std::string const& name)
{
  for (auto it = _attributes.begin(); it != _attributes.end(); ++it)
    if (it->attribute->getOwner() == owner && it->attribute->getName() == name) {
      _attributes.erase(it);
      return;
    }
}

std::vector<GA_Attribute*> GU_Detail::attributes(GA_AttributeOwner owner) const
{
  std::vector<GA_Attribute*> out;
  for (AttributeEntry const& entry : _attributes)
    if (entry.attribute->getOwner() == owner)
      out.push_back(entry.attribute.get());
  return out;
}

GA_PointGroup* GU_Detail::newPointGroup(std::string const& name, bool internal)
{
  if (GA_PointGroup* existing = findPointGroup(name))
    return existing;
  _groups.push_back(std::make_unique<GA_PointGroup>(name, internal));
  _groups.back()->grow(getNumPoints());
  return _groups.back().get();
}

GA_PointGroup* GU_Detail::findPointGroup(std::string const& name) const
{
  for (auto const& group : _groups)
    if (group->getName() == name)
      return group.get();
  return nullptr;
}

std::vector<GA_PointGroup*> GU_Detail::pointGroups() const
{
  std::vector<GA_PointGroup*> out;
  for (auto const& group : _groups)
    out.push_back(group.get());
  return out;
}

void GU_Detail::destroyElements(GA_PointGroup const& points)
{
  const GA_Size n = getNumPoints();
  std::vector<char> keep(size_t(n), 1);
  std::vector<GA_Offset> renumber(size_t(n), GA_INVALID_OFFSET);
  GA_Offset next = 0;
  for (GA_Offset p = 0; p < n; ++p) {
    keep[p] = !points.contains(p);
    if (keep[p])
      renumber[p] = next++;
  }
  if (next == n)
    return;

  size_t out = 0;
  for (size_t p = 0; p < size_t(n); ++p)
    if (keep[p])
      _positions[out++] = _positions[p];
  _positions.resize(out);
  for (AttributeEntry& entry : _attributes)
    if (entry.attribute->getOwner() == GA_ATTRIB_POINT)
      entry.attribute->compact(keep);
  for (auto& group : _groups)
    group->compact(keep);

  // Vertices follow their points; primitives left empty go.
  for (auto& primitive : _primitives) {
    std::vector<GA_Offset>& vertices = primitive->points();
    size_t kept = 0;
    for (GA_Offset point : vertices)
      if (point < n && keep[point])
        vertices[kept++] = renumber[point];
    vertices.resize(kept);
  }
  std::vector<std::unique_ptr<GEO_Primitive>> remaining;
  for (auto& primitive : _primitives)
    if (primitive->getVertexCount() > 0 || primitive->getTypeId() == GA_PRIMPART)
      remaining.push_back(std::move(primitive));
  _primitives.swap(remaining);
}

void GU_Detail::transform(UT_Matrix4F const& matrix)
{
  for (UT_Vector3& p : _positions)
    p = matrix.transformPoint(p);
}

void GU_Detail::meshCube(int, int, int, float xmin, float xmax, float ymin, float ymax, float zmin, float zmax)
{
  // Corner i + 2j + 4k at (x_i, y_j, z_k); faces listed counter-clockwise
  // seen from outside.
  const GA_Offset first = getNumPoints();
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 2; ++j)
      for (int i = 0; i < 2; ++i)
        setPos3(appendPointOffset(), UT_Vector3(i ? xmax : xmin, j ? ymax : ymin, k ? zmax : zmin));
  const int faces[6][4] = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};
  for (auto const& face : faces) {
    GEO_Primitive* poly = insertPrimitive(GA_PRIMPOLY);
    for (int corner : face)
      poly->appendVertex(first + corner);
  }
}

void GU_Detail::copy(GU_Detail const& source)
{
  clearAndDestroy();
  _positions = source._positions;
  for (auto const& primitive : source._primitives) {
    GEO_Primitive* copy = insertPrimitive(primitive->getTypeId());
    copy->points() = primitive->points();
    if (auto* sphere = dynamic_cast<GEO_PrimSphere const*>(primitive.get()))
      static_cast<GEO_PrimSphere*>(copy)->radius = sphere->radius;
    if (auto* poly = dynamic_cast<GEO_PrimPoly const*>(primitive.get()))
      static_cast<GEO_PrimPoly*>(copy)->setClosed(poly->isClosed());
  }
  for (AttributeEntry const& entry : source._attributes)
    _attributes.push_back(AttributeEntry{std::make_unique<GA_Attribute>(*entry.attribute)});
  for (auto const& group : source._groups)
    _groups.push_back(std::make_unique<GA_PointGroup>(*group));
}

void GU_Detail::clearAndDestroy()
{
  _positions.clear();
  _primitives.clear();
  _attributes.clear();
  _groups.clear();
}

GEO_PrimPoly* GU_PrimPoly::build(GU_Detail* detail, int npoints, bool open, bool appendPoints)
{
  auto* poly = static_cast<GEO_PrimPoly*>(detail->insertPrimitive(GA_PRIMPOLY));
  poly->setClosed(!open);
  if (appendPoints)
    for (int i = 0; i < npoints; ++i)
      poly->appendVertex(detail->appendPointOffset());
  return poly;
}

GEO_PrimSphere* GU_PrimSphere::build(GU_PrimSphereParms const& parms)
{
  auto* sphere = static_cast<GEO_PrimSphere*>(parms.gdp->insertPrimitive(GA_PRIMSPHERE));
  sphere->appendVertex(parms.ptoff == GA_INVALID_OFFSET ? parms.gdp->appendPointOffset() : parms.ptoff);
  sphere->radius = parms.radius;
  return sphere;
}
