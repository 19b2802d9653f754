#include "SOP_EmitterObject.h"

#include "EmitterObject.h"
#include "Mesh.h"
#include "OP/OP_Director.h"

namespace {

PRM_Name names[] = {
    {"active", "Active"},
    {"nature", "Nature"},
    {"fill", "Fill"},
    {"hint", "Hint"},
    {"t", "Translation"},
    {"r", "Rotation"},
    {"p", "Pivot"},
    {"nbKdTreeReturnedVertices", "Number KdTree Returned Vertices"},
    {"emit", "Emit"},
    {"interval", "Interval"},
    {"thickness", "Thickness"},
    {"v", "Initial Velocity"},
    {"frictionMultiplier", "Friction Multiplier"},
};
PRM_Name natureItems[] = {{"softBody", "Soft Body"},
                          {"liquid", "Liquid"},
                          {"granular", "Granular"},
                          {"softBodyLiquid", "Soft Body + Liquid"},
                          {"softBoodyGranular", "Soft Body + Granular"},
                          {"liquidGranular", "Liquid + Granular"},
                          {"softBodyLiquidGranular", "Soft Body + Liquid + Granular"},
                          {}};
PRM_Name fillItems[] = {{"cubic", "Cubic"}, {"crossed", "Crossed"}, {}};
PRM_Name hintItems[] = {{"staticGeometry", "Static Geometry"},
                        {"movingGeometry", "Moving Geometry"},
                        {"deformingGeometry", "Deforming Geometry"},
                        {}};
PRM_Name emitItems[] = {{"emitOnce", "Emit Once"},
                        {"continuousEmission", "Continuous Emission"},
                        {"intermittentEmission", "Intermittent Emission"},
                        {}};
PRM_ChoiceList natureMenu(PRM_CHOICELIST_SINGLE, natureItems);
PRM_ChoiceList fillMenu(PRM_CHOICELIST_SINGLE, fillItems);
PRM_ChoiceList hintMenu(PRM_CHOICELIST_SINGLE, hintItems);
PRM_ChoiceList emitMenu(PRM_CHOICELIST_SINGLE, emitItems);

PRM_Default on(1);
PRM_Default off(0);
PRM_Default one(1);
PRM_Default zeros[] = {0, 0, 0};
PRM_Default intervalDefault(20);
PRM_Default thicknessDefault(-1);

} // namespace

PRM_Template SOP_EmitterObject::myTemplateList[] = {
    PRM_Template(PRM_TOGGLE_J, 1, &names[0], &on),
    PRM_Template(PRM_ORD_J, 1, &names[1], &off, &natureMenu),
    PRM_Template(PRM_ORD, 1, &names[2], &off, &fillMenu),
    PRM_Template(PRM_ORD, 1, &names[3], &off, &hintMenu),
    PRM_Template(PRM_FLT_J, 3, &names[4], zeros),
    PRM_Template(PRM_FLT_J, 3, &names[5], zeros),
    PRM_Template(PRM_FLT_J, 3, &names[6], zeros),
    PRM_Template(PRM_INT, 1, &names[7], &one),
    PRM_Template(PRM_ORD_J, 1, &names[8], &off, &emitMenu),
    PRM_Template(PRM_INT_J, 1, &names[9], &intervalDefault),
    PRM_Template(PRM_FLT, 1, &names[10], &thicknessDefault),
    PRM_Template(PRM_FLT_J, 3, &names[11], zeros),
    PRM_Template(PRM_FLT_J, 1, &names[12], &one),
    PRM_Template(),
};

int* SOP_EmitterObject::myOffsets = nullptr;

OP_Node* SOP_EmitterObject::myConstructor(OP_Network* network, const char* name, OP_Operator* op)
{
  return new SOP_EmitterObject(network, name, op);
}

SOP_EmitterObject::SOP_EmitterObject(OP_Network* network, const char* name, OP_Operator* op)
    : SOP_Node(network, name, op)
{
  if (!myOffsets)
    myOffsets = allocIndirect(32);
  flags(4, true);
  _nbKdTreeReturnedVertices = evalInt("nbKdTreeReturnedVertices", &myOffsets[7], 0, 0.0);
  _registry = TalunoObjects::getInstance();
}

SOP_EmitterObject::~SOP_EmitterObject()
{
  if (_registry)
    _registry->removeObject(_object); // no lookup may return the object destroyed here
  delete _object;
  delete _mesh;
  if (_registry)
    TalunoObjects::release();
}

char const* SOP_EmitterObject::inputLabel(unsigned index) const
{
  return index == 0 ? "Source Geometry" : "Unknown source";
}

unsigned SOP_EmitterObject::disableParms()
{
  const bool moving = evalInt("hint", &myOffsets[3], 0, 0.0) == 1;
  const bool intermittent = evalInt("emit", &myOffsets[8], 0, 0.0) == 2;
  return enableParm("t", moving) + enableParm("r", moving) + enableParm("p", moving) +
         enableParm("interval", intermittent);
}

OP_ERROR SOP_EmitterObject::cookMySop(OP_Context& context)
{
  // The emitter is not built from the input geometry yet.
  if (lockInputs(context) >= UT_ERROR_ABORT)
    return error();
  unlockInputs();
  return error();
}
