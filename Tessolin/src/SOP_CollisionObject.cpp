#include "SOP_CollisionObject.h"

#include "CollisionObject.h"
#include "Mesh.h"
#include "OP/OP_Director.h"

#include <Eigen/Geometry>

namespace {

PRM_Name names[] = {
    {"active", "Active"},
    {"hint", "Hint"},
    {"translation", "Translation"},
    {"rotation", "Rotation"},
    {"tabsLevel0", nullptr},
    {"friction", "Friction"},
    {"sticky", "Sticky"},
    {"stickiness", "Stickiness"},
    {"stickDist", "Stick Distance Ratio"},
    {"nbKdTreeReturnedVertices", "Number KdTree Returned Vertices"},
    {"errorThreshold", "Error Threshold"},
    {"maxDepth", "Maximum Depth"},
    {"guide", "Guide Geometry"},
    {"ghostParticles", "Ghost Particles"},
};
PRM_Name hintItems[] = {{"staticGeometry", "Static Geometry"},
                        {"movingGeometry", "Moving Geometry"},
                        {"deformingGeometry", "Deforming Geometry"},
                        {}};
PRM_Name guideItems[] = {{"none", "None"}, {"isoSurface", "ISO Surface"}, {"ASDF", "ASDF"}, {}};
PRM_ChoiceList hintMenu(PRM_CHOICELIST_SINGLE, hintItems);
PRM_ChoiceList guideMenu(PRM_CHOICELIST_SINGLE, guideItems);

PRM_Default on(1);
PRM_Default off(0);
PRM_Default zeros[] = {0, 0, 0};
PRM_Default folders[] = {{4, "Response"}, {4, "ASDF"}, {1, "Fluid"}};
PRM_Default stickinessDefault(10);
PRM_Default stickDistDefault(0.25);
PRM_Default one(1);
PRM_Default errorThresholdDefault(0.01);
PRM_Default maxDepthDefault(5);
PRM_Range frictionRange(PRM_RANGE_RESTRICTED, 0, PRM_RANGE_UI, 1000);
PRM_Range stickDistRange(PRM_RANGE_RESTRICTED, 0, PRM_RANGE_UI, 1);

} // namespace

PRM_Template SOP_CollisionObject::myTemplateList[] = {
    PRM_Template(PRM_TOGGLE, 1, &names[0], &on),
    PRM_Template(PRM_ORD, 1, &names[1], &off, &hintMenu),
    PRM_Template(PRM_FLT_J, 3, &names[2], zeros),
    PRM_Template(PRM_FLT_J, 3, &names[3], zeros),
    PRM_Template(PRM_SWITCHER, 3, &names[4], folders),
    PRM_Template(PRM_FLT_J, 1, &names[5], &off, nullptr, &frictionRange, nullptr, nullptr, 1,
                 "Defines the friction coefficient, doesn't represent a real physical quantity, the higher it goes "
                 "the more friction is applied."),
    PRM_Template(PRM_TOGGLE, 1, &names[6], &off),
    PRM_Template(PRM_FLT_J, 1, &names[7], &stickinessDefault),
    PRM_Template(PRM_FLT_J, 1, &names[8], &stickDistDefault, nullptr, &stickDistRange, nullptr, nullptr, 1,
                 "Defines the distance from the surface, below which the stickiness will be active. This number is "
                 "a percentage of the particle radius."),
    PRM_Template(PRM_INT, 1, &names[9], &one),
    PRM_Template(PRM_FLT, 1, &names[10], &errorThresholdDefault),
    PRM_Template(PRM_INT, 1, &names[11], &maxDepthDefault),
    PRM_Template(PRM_ORD, 1, &names[12], &off, &guideMenu),
    PRM_Template(PRM_TOGGLE, 1, &names[13], &off),
    PRM_Template(),
};

int* SOP_CollisionObject::myOffsets = nullptr;

OP_Node* SOP_CollisionObject::myConstructor(OP_Network* network, const char* name, OP_Operator* op)
{
  return new SOP_CollisionObject(network, name, op);
}

SOP_CollisionObject::SOP_CollisionObject(OP_Network* network, const char* name, OP_Operator* op)
    : SOP_Node(network, name, op)
{
  if (!myOffsets)
    myOffsets = allocIndirect(32);
  _nbKdTreeReturnedVertices = evalInt("nbKdTreeReturnedVertices", &myOffsets[9], 0, 0.0);
  _maxDepth = evalInt("maxDepth", &myOffsets[11], 0, 0.0);
  _errorThreshold = static_cast<float>(evalFloat("errorThreshold", &myOffsets[10], 0, 0.0));
  _registry = TalunoObjects::getInstance();
  flags(4, true);
}

SOP_CollisionObject::~SOP_CollisionObject()
{
  if (_registry)
    _registry->removeObject(_object); // no lookup may return the object destroyed here
  delete _object;
  delete _mesh;
  if (_registry)
    TalunoObjects::release();
}

char const* SOP_CollisionObject::inputLabel(unsigned index) const
{
  return index == 0 ? "Source Geometry" : "Unknown source";
}

unsigned SOP_CollisionObject::disableParms()
{
  const double t = OPgetDirector()->getChannelManager()->getEvaluateTime();
  const bool moving = evalInt("hint", &myOffsets[1], 0, t) == CollisionObject::movingGeometry;
  const bool sticky = evalInt("sticky", &myOffsets[6], 0, t) != 0;
  return enableParm("translation", moving) + enableParm("rotation", moving) + enableParm("stickiness", sticky) +
         enableParm("stickDist", sticky);
}

OP_ERROR SOP_CollisionObject::cookMySop(OP_Context& context)
{
  // The object is not built from the input geometry yet.
  if (lockInputs(context) >= UT_ERROR_ABORT)
    return error();
  unlockInputs();
  return error();
}

Eigen::Matrix4d buildTransform(double tx, double ty, double tz, double rx, double ry, double rz)
{
  const double degrees = double(0.0174532924f);
  Eigen::Affine3d transform = Eigen::Translation3d(tx, ty, tz) * Eigen::AngleAxisd(rz * degrees, Eigen::Vector3d::UnitZ()) *
                              Eigen::AngleAxisd(ry * degrees, Eigen::Vector3d::UnitY()) *
                              Eigen::AngleAxisd(rx * degrees, Eigen::Vector3d::UnitX());
  return transform.matrix();
}
