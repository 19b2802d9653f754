#include "MeshBuilder.h"

#include "GU/GU_Detail.h"
#include "OP/OP_Node.h"
#include "Mesh.h"

#include <cmath>
#include <iostream>

Mesh* buildMesh(GU_Detail const* geometry, unsigned int nbKdTreeReturnedVertices)
{
  if (!geometry)
    return nullptr;
  const int nbPoints = static_cast<int>(geometry->getNumPoints());
  int nbTriangles = 0;
  for (GA_Offset p = 0; p < geometry->getNumPrimitives(); ++p) {
    GEO_Primitive const* prim = geometry->getGEOPrimitive(p);
    if (prim->getTypeId() == GA_PRIMPOLY && prim->getVertexCount() == 3)
      ++nbTriangles;
  }
  Vertex** vertices = nbPoints > 0 ? new Vertex*[nbPoints] : nullptr;
  for (int i = 0; i < nbPoints; ++i) {
    const UT_Vector3 p = geometry->getPos3(i);
    vertices[i] = new Vertex(double(p.x()), double(p.y()), double(p.z()), i);
  }
  Triangle** triangles = nbTriangles > 0 ? new Triangle*[nbTriangles] : nullptr;
  int next = 0;
  bool skipped = false;
  for (GA_Offset p = 0; p < geometry->getNumPrimitives(); ++p) {
    GEO_Primitive const* prim = geometry->getGEOPrimitive(p);
    if (prim->getTypeId() != GA_PRIMPOLY)
      continue;
    if (prim->getVertexCount() != 3) {
      skipped = true;
      continue;
    }
    triangles[next++] = new Triangle(vertices[prim->getPointOffset(2)], vertices[prim->getPointOffset(1)],
                                     vertices[prim->getPointOffset(0)]);
  }
  if (skipped)
    std::cout << "Attention! you have non triangle polygons, that could lead to unexpected behavior." << std::endl;
  // With no triangle the mesh releases what it is given.
  return new Mesh(nbPoints, nbTriangles, vertices, triangles, nbKdTreeReturnedVertices);
}

std::string meshInputProblem(GU_Detail const* geometry)
{
  if (!geometry)
    return {};
  GA_Size broken = 0;
  GA_Offset first = -1;
  for (GA_Offset p = 0; p < geometry->getNumPoints(); ++p) {
    const UT_Vector3 v = geometry->getPos3(p);
    if (std::isfinite(v.x()) && std::isfinite(v.y()) && std::isfinite(v.z()))
      continue;
    if (broken++ == 0)
      first = p;
  }
  if (broken == 0)
    return {};
  return "the input geometry has " + std::to_string(broken) + " point" + (broken == 1 ? "" : "s") +
         " with non-finite coordinates (the first is point " + std::to_string(first) +
         "): fix or delete them upstream";
}

bool hasTriangles(GU_Detail const* geometry)
{
  if (geometry)
    for (GA_Offset p = 0; p < geometry->getNumPrimitives(); ++p) {
      GEO_Primitive const* prim = geometry->getGEOPrimitive(p);
      if (prim->getTypeId() == GA_PRIMPOLY && prim->getVertexCount() == 3)
        return true;
    }
  return false;
}

bool checkMeshInput(OP_Node& node, GU_Detail const* geometry, char const* withoutTriangles)
{
  if (std::string problem = meshInputProblem(geometry); !problem.empty()) {
    node.addError(UT_ERROR_ABORT, problem);
    return false;
  }
  if (geometry && !hasTriangles(geometry))
    node.addError(UT_ERROR_WARNING, std::string("the input geometry has no triangles: ") + withoutTriangles);
  return true;
}

void warnOpenSurface(OP_Node& node, Mesh const* mesh, char const* what)
{
  if (!mesh || mesh->_nbTriangles == 0 || mesh->_closed)
    return;
  node.addError(UT_ERROR_WARNING,
                "the input geometry is an open surface: " + std::to_string(mesh->_borderEdges) +
                    " of its edges border a single triangle, so it has no inside and " + what +
                    ". Close it: a flat box instead of a grid, caps on a tube, no holes");
}

bool checkKdTreeVertices(OP_Node& node, int nbKdTreeReturnedVertices)
{
  if (nbKdTreeReturnedVertices >= 0)
    return true;
  node.addError(UT_ERROR_ABORT, "Number KdTree Returned Vertices (nbKdTreeReturnedVertices) is " +
                                    std::to_string(nbKdTreeReturnedVertices) +
                                    ": it must be 0 (exact distances from every triangle) or more; each distance "
                                    "query starts from this many nearest mesh vertices, 1 to 8 is usual");
  return false;
}

Eigen::Matrix4d buildTransform(double tx, double ty, double tz, double rx, double ry, double rz)
{
  const double degrees = double(0.0174532924f);
  const double cx = std::cos(rx * degrees), sx = std::sin(rx * degrees);
  const double cy = std::cos(ry * degrees), sy = std::sin(ry * degrees);
  const double cz = std::cos(rz * degrees), sz = std::sin(rz * degrees);
  Eigen::Matrix4d m;
  m << cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx, tx, //
      sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx, ty,  //
      -sy, cy * sx, cy * cx, tz,                                    //
      0, 0, 0, 1;
  return m;
}

void toHostMatrix(Eigen::Matrix4d const& m, UT_Matrix4F& out)
{
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      out[r][c] = static_cast<float>(m(c, r));
}

int32_t stampObjectUid(GU_Detail& gdp)
{
  const int32_t uid = static_cast<int32_t>(gdp.getUniqueId());
  gdp.destroyAttribute(GA_ATTRIB_DETAIL, "CollisionObjectUID");
  gdp.addIntTuple(GA_ATTRIB_DETAIL, "CollisionObjectUID", 1, GA_Defaults(uid))
      ->getOptions()
      .setOptionB("export_on_merge", true);
  return uid;
}
