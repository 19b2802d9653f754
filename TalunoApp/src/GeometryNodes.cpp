// Geometry operators of the host application, for the inputs of object nodes.
#include "GeometryNodes.h"

#include "GeoReader.h"
#include "LiquidSurface.h"
#include "MeshShapes.h"
#include "OP/OP_Network.h"
#include "OP/OP_Operator.h"
#include "SOP/SOP_Node.h"



#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

namespace {

// Appends a triangle soup; host polygons list the corners in reverse (the
// mesh builder reads vertices 2, 1, 0).
void appendSoup(GU_Detail& gdp, TriangleSoup const& soup)
{
  const GA_Offset first = gdp.getNumPoints();
  for (auto const& p : soup.points)
    gdp.setPos3(gdp.appendPointOffset(), UT_Vector3(float(p.x()), float(p.y()), float(p.z())));
  for (auto const& t : soup.triangles) {
    GEO_Primitive* poly = gdp.insertPrimitive(GA_PRIMPOLY);
    poly->appendVertex(first + t[2]);
    poly->appendVertex(first + t[1]);
    poly->appendVertex(first + t[0]);
  }
}

Eigen::Vector3d vectorParm(OP_Node& node, char const* name, double time)
{
  return Eigen::Vector3d(node.evalFloat(name, 0, time), node.evalFloat(name, 1, time), node.evalFloat(name, 2, time));
}

PRM_Name sizeName("size", "Size"), centerName("t", "Center"), radiusName("radius", "Radius"),
    divisionsName("divisions", "Divisions"), translateName("t", "Translate"), rotateName("r", "Rotate"),
    scaleName("scale", "Uniform Scale"), fileName("file", "Geometry File");
PRM_Default ones[] = {1, 1, 1};
PRM_Default zeros[] = {0, 0, 0};
PRM_Default one(1);
PRM_Default three(3);
PRM_Default noFile(0, "");

PRM_Template boxTemplates[] = {PRM_Template(PRM_FLT, 3, &sizeName, ones), PRM_Template(PRM_FLT, 3, &centerName, zeros),
                               PRM_Template()};
PRM_Template sphereTemplates[] = {PRM_Template(PRM_FLT, 3, &centerName, zeros),
                                  PRM_Template(PRM_FLT, 1, &radiusName, &one),
                                  PRM_Template(PRM_INT, 1, &divisionsName, &three), PRM_Template()};
PRM_Template transformTemplates[] = {PRM_Template(PRM_FLT, 3, &translateName, zeros),
                                     PRM_Template(PRM_FLT, 3, &rotateName, zeros),
                                     PRM_Template(PRM_FLT, 1, &scaleName, &one), PRM_Template()};
PRM_Name gridSizeName("size", "Size"), rowsName("rows", "Rows"), heightName("height", "Height");
PRM_Default gridSize[] = {10, 10};
PRM_Default ten(10);
PRM_Default sixteen(16);
PRM_Template gridTemplates[] = {PRM_Template(PRM_FLT, 2, &gridSizeName, gridSize),
                                PRM_Template(PRM_FLT, 3, &centerName, zeros),
                                PRM_Template(PRM_INT, 1, &rowsName, &ten), PRM_Template()};
PRM_Template tubeTemplates[] = {PRM_Template(PRM_FLT, 3, &centerName, zeros),
                                PRM_Template(PRM_FLT, 1, &radiusName, &one),
                                PRM_Template(PRM_FLT, 1, &heightName, &one),
                                PRM_Template(PRM_INT, 1, &divisionsName, &sixteen), PRM_Template()};
PRM_Template noTemplates[] = {PRM_Template()};
PRM_Template fileTemplates[] = {PRM_Template(PRM_FILE, 1, &fileName, &noFile), PRM_Template()};
PRM_Name voxelName("voxelSize", "Voxel Size"), radiusScaleName("radiusScale", "Radius Scale"),
    erodeName("erode", "Erode"), smoothingName("smoothing", "Smoothing"), groupName("group", "Group");
PRM_Default autoVoxel(0), twoRadii(2), erodeDefault(0.5), twoPasses(2), liquidGroup(0, "TalunoLiquid");
PRM_Template surfaceTemplates[] = {PRM_Template(PRM_FLT, 1, &voxelName, &autoVoxel),
                                   PRM_Template(PRM_FLT, 1, &radiusScaleName, &twoRadii),
                                   PRM_Template(PRM_FLT, 1, &erodeName, &erodeDefault),
                                   PRM_Template(PRM_INT, 1, &smoothingName, &twoPasses),
                                   PRM_Template(PRM_STRING, 1, &groupName, &liquidGroup), PRM_Template()};

class SOP_Box : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_Box(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    const double t = context.getTime();
    const Eigen::Vector3d half = vectorParm(*this, "size", t) / 2, centre = vectorParm(*this, "t", t);
    gdp->clearAndDestroy();
    appendSoup(*gdp, boxSoup(centre - half, centre + half));
    return error();
  }
};

class SOP_Sphere : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_Sphere(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    const double t = context.getTime();
    const int divisions = std::max(0, std::min(evalInt("divisions", 0, t), 7));
    gdp->clearAndDestroy();
    appendSoup(*gdp, sphereSoup(vectorParm(*this, "t", t), evalFloat("radius", 0, t), divisions));
    return error();
  }
};

// A flat square grid of triangles in the xz plane, facing +y.
class SOP_Grid : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_Grid(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    const double t = context.getTime();
    const int rows = std::max(1, std::min(evalInt("rows", 0, t), 1000));
    const double sx = evalFloat("size", 0, t), sz = evalFloat("size", 1, t);
    const Eigen::Vector3d centre = vectorParm(*this, "t", t);
    TriangleSoup soup;
    for (int i = 0; i <= rows; ++i)
      for (int k = 0; k <= rows; ++k)
        soup.points.push_back(centre + Eigen::Vector3d(sx * (double(i) / rows - 0.5), 0, sz * (double(k) / rows - 0.5)));
    auto at = [rows](int i, int k) { return i * (rows + 1) + k; };
    for (int i = 0; i < rows; ++i)
      for (int k = 0; k < rows; ++k) {
        soup.triangles.push_back({at(i, k), at(i, k + 1), at(i + 1, k + 1)});
        soup.triangles.push_back({at(i, k), at(i + 1, k + 1), at(i + 1, k)});
      }
    gdp->clearAndDestroy();
    appendSoup(*gdp, soup);
    return error();
  }
};

// A closed cylinder around the y axis through its centre.
class SOP_Tube : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_Tube(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    const double t = context.getTime();
    const int sides = std::max(3, std::min(evalInt("divisions", 0, t), 1000));
    const double r = evalFloat("radius", 0, t), h = evalFloat("height", 0, t);
    const Eigen::Vector3d c = vectorParm(*this, "t", t);
    TriangleSoup soup;
    for (int ring = 0; ring < 2; ++ring)
      for (int s = 0; s < sides; ++s) {
        const double a = 2.0 * M_PI * s / sides;
        soup.points.push_back(c + Eigen::Vector3d(r * std::cos(a), ring ? h / 2 : -h / 2, r * std::sin(a)));
      }
    const int bottom = int(soup.points.size()), top = bottom + 1;
    soup.points.push_back(c - Eigen::Vector3d(0, h / 2, 0));
    soup.points.push_back(c + Eigen::Vector3d(0, h / 2, 0));
    for (int s = 0; s < sides; ++s) {
      const int n = (s + 1) % sides;
      // Outward faces: counter-clockwise seen from outside.
      soup.triangles.push_back({s, sides + s, sides + n});
      soup.triangles.push_back({s, sides + n, n});
      soup.triangles.push_back({bottom, s, n});
      soup.triangles.push_back({top, sides + n, sides + s});
    }
    gdp->clearAndDestroy();
    appendSoup(*gdp, soup);
    return error();
  }
};

class SOP_Transform : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_Transform(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    if (lockInputs(context) >= UT_ERROR_ABORT)
      return error();
    duplicateSource(0, context);
    const double t = context.getTime();
    const Eigen::Vector3d r = vectorParm(*this, "r", t) * (M_PI / 180.0);
    const Eigen::Affine3d m = Eigen::Translation3d(vectorParm(*this, "t", t)) *
                              Eigen::AngleAxisd(r.z(), Eigen::Vector3d::UnitZ()) *
                              Eigen::AngleAxisd(r.y(), Eigen::Vector3d::UnitY()) *
                              Eigen::AngleAxisd(r.x(), Eigen::Vector3d::UnitX()) *
                              Eigen::Scaling(evalFloat("scale", 0, t));
    UT_Matrix4F host;
    for (int row = 0; row < 4; ++row)
      for (int col = 0; col < 4; ++col)
        host[row][col] = float(m.matrix()(col, row));
    gdp->transform(host);
    unlockInputs();
    return error();
  }
};

// An attribute of the same owner, name, size, storage and defaults as `a`.
GA_Attribute* addLike(GU_Detail& gdp, GA_Attribute const& a)
{
  return a.getStorage() == GA_STORE_INT32
             ? gdp.addIntTuple(a.getOwner(), a.getName(), a.getTupleSize(), a.getDefaults())
             : gdp.addFloatTuple(a.getOwner(), a.getName(), a.getTupleSize(), a.getDefaults());
}

// Merges its inputs: points, polygons and point attributes; detail attributes
// marked "export_on_merge" are kept from the first input that has them.
class SOP_Merge : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_Merge(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    if (lockInputs(context) >= UT_ERROR_ABORT)
      return error();
    gdp->clearAndDestroy();
    const unsigned inputs = _network ? _network->nInputs(this) : 0;
    for (unsigned i = 0; i < inputs; ++i) {
      GU_Detail const* input = inputGeo(i);
      if (!input)
        continue;
      const GA_Offset first = gdp->getNumPoints();
      for (GA_Offset p = 0; p < input->getNumPoints(); ++p)
        gdp->setPos3(gdp->appendPointOffset(), input->getPos3(p));
      for (GA_Attribute* a : input->attributes(GA_ATTRIB_POINT)) {
        GA_Attribute* mine = addLike(*gdp, *a);
        for (GA_Offset p = 0; p < input->getNumPoints(); ++p)
          for (int c = 0; c < a->getTupleSize(); ++c)
            mine->set(first + p, c, a->get(p, c));
      }
      for (GA_Offset q = 0; q < input->getNumPrimitives(); ++q) {
        GEO_Primitive const* prim = input->getGEOPrimitive(q);
        GEO_Primitive* copy = gdp->insertPrimitive(prim->getTypeId());
        for (GA_Offset point : prim->points())
          copy->appendVertex(first + point);
      }
      for (GA_Attribute* a : input->attributes(GA_ATTRIB_DETAIL))
        if (a->getOptions().getOptionB("export_on_merge") && !gdp->findAttribute(GA_ATTRIB_DETAIL, a->getName())) {
          GA_Attribute* kept = addLike(*gdp, *a);
          for (int c = 0; c < a->getTupleSize(); ++c)
            kept->set(0, c, a->get(0, c));
          kept->getOptions().setOptionB("export_on_merge", true);
        }
    }
    unlockInputs();
    return error();
  }
};

class SOP_File : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_File(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    const std::string path = evalString("file", 0, context.getTime());
    gdp->clearAndDestroy();
    std::string problem;
    if (!readGeometryFile(path, *gdp, problem))
      addError(UT_ERROR_ABORT, problem);
    return error();
  }
};

// The surface of a solver's liquid particles as a closed triangle mesh
// (LiquidSurface.h says how); its output is written like any geometry, and a
// .vdb output holds it as a level set.
class SOP_Surface : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new SOP_Surface(n, name, op); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override
  {
    if (lockInputs(context) >= UT_ERROR_ABORT)
      return error();
    const double t = context.getTime();
    SurfaceSettings settings;
    settings.voxelSize = evalFloat("voxelSize", 0, t);
    settings.radiusScale = std::max(1.0, evalFloat("radiusScale", 0, t));
    settings.erode = evalFloat("erode", 0, t);
    settings.smoothing = std::max(0, evalInt("smoothing", 0, t));
    std::string problem;
    if (!surfaceParticles(*inputGeo(0), evalString("group", 0, t), 0.5, settings, *gdp, problem))
      addError(UT_ERROR_ABORT, problem);
    return error();
  }
};

} // namespace

void registerGeometryOperators(OP_OperatorTable& table)
{
  table.addOperator(new OP_Operator("box", "Box", SOP_Box::make, boxTemplates, 0, 0));
  table.addOperator(new OP_Operator("sphere", "Sphere", SOP_Sphere::make, sphereTemplates, 0, 0));
  table.addOperator(new OP_Operator("grid", "Grid", SOP_Grid::make, gridTemplates, 0, 0));
  table.addOperator(new OP_Operator("tube", "Tube", SOP_Tube::make, tubeTemplates, 0, 0));
  table.addOperator(new OP_Operator("transform", "Transform", SOP_Transform::make, transformTemplates, 1, 1));
  table.addOperator(new OP_Operator("merge", "Merge", SOP_Merge::make, noTemplates, 1, 9999));
  table.addOperator(new OP_Operator("file", "File", SOP_File::make, fileTemplates, 0, 0));
  table.addOperator(new OP_Operator("surface", "Liquid Surface", SOP_Surface::make, surfaceTemplates, 1, 1));
}
