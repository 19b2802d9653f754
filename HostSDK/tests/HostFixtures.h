#pragma once

// A host with the plug-in's three operators and a geometry source, for tests
// that cook nodes.
#include "CollisionObject.h"
#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "OP/OP_Director.h"
#include "OP/OP_Network.h"
#include "SOP_CollisionObject.h"
#include "SOP_EmitterObject.h"
#include "SOP_Taluno.h"
#include "TalunoObjects.h"

namespace hostfixtures {

// A geometry source whose output is whatever the test puts in `geometry`.
class GeometrySource : public SOP_Node
{
public:
  using SOP_Node::SOP_Node;
  static OP_Node* make(OP_Network* n, char const* name, OP_Operator* op) { return new GeometrySource(n, name, op); }
  GU_Detail geometry;

protected:
  OP_ERROR cookMySop(OP_Context&) override
  {
    gdp->copy(geometry);
    return error();
  }
};

inline PRM_Template noParameters[] = {PRM_Template()};

inline void fillWith(GU_Detail& gdp, TriangleSoup const& soup)
{
  gdp.clearAndDestroy();
  for (auto const& p : soup.points)
    gdp.setPos3(gdp.appendPointOffset(), UT_Vector3(float(p.x()), float(p.y()), float(p.z())));
  // The host's winding is the reverse of the mesh's: the builder reads the
  // corners as vertices 2, 1, 0.
  for (auto const& t : soup.triangles) {
    GEO_Primitive* poly = gdp.insertPrimitive(GA_PRIMPOLY);
    poly->appendVertex(t[2]);
    poly->appendVertex(t[1]);
    poly->appendVertex(t[0]);
  }
}

struct ObjectHost
{
  ObjectHost()
  {
    table.addOperator(new OP_Operator("CollisionObject", "Collision Object", SOP_CollisionObject::myConstructor,
                                      SOP_CollisionObject::myTemplateList, 1, 1));
    table.addOperator(new OP_Operator("EmitterObject", "Emitter Object", SOP_EmitterObject::myConstructor,
                                      SOP_EmitterObject::myTemplateList, 1, 1));
    table.addOperator(
        new OP_Operator("Taluno", "Taluno", SOP_Taluno::myConstructor, SOP_Taluno::myTemplateList, 1, 9999));
    table.addOperator(new OP_Operator("source", "Source", GeometrySource::make, noParameters, 0, 0));
    source = static_cast<GeometrySource*>(network.createNode("source", "box"));
    fillWith(source->geometry, boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Constant(2.0)));
    registry = TalunoObjects::getInstance();
  }
  ~ObjectHost()
  {
    channels()->setEvaluateTime(0.0);
    TalunoObjects::release();
  }
  template <typename Node> Node* create(char const* type, GeometrySource* from = nullptr)
  {
    auto* node = static_cast<Node*>(network.createNode(type, type));
    network.setInput(node, 0, from ? from : source);
    return node;
  }
  /// A new geometry source holding a box.
  GeometrySource* box(Eigen::Vector3d const& min, Eigen::Vector3d const& max)
  {
    auto* node = static_cast<GeometrySource*>(network.createNode("source", "box"));
    fillWith(node->geometry, boxSoup(min, max));
    return node;
  }
  static CH_Manager* channels() { return OPgetDirector()->getChannelManager(); }
  OP_ERROR cookAt(SOP_Node* node, double time)
  {
    channels()->setEvaluateTime(time);
    OP_Context context(time);
    return node->cook(context);
  }
  static int32_t uidOf(SOP_Node* node)
  {
    return GA_ROHandleI(node->getCookedGeo()->findAttribute(GA_ATTRIB_DETAIL, "CollisionObjectUID")).get(0);
  }

  OP_OperatorTable table;
  OP_Network network{table};
  GeometrySource* source = nullptr;
  TalunoObjects* registry = nullptr;
};

} // namespace hostfixtures

using namespace hostfixtures;
