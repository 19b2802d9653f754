#include "SOP_Taluno.h"

#include "SimSystem.h"

int* SOP_Taluno::myOffsets = nullptr;

OP_Node* SOP_Taluno::myConstructor(OP_Network* network, const char* name, OP_Operator* op)
{
  return new SOP_Taluno(network, name, op);
}

SOP_Taluno::SOP_Taluno(OP_Network* network, const char* name, OP_Operator* op) : SOP_Node(network, name, op)
{
  if (!myOffsets)
    myOffsets = allocIndirect(50);
  _registry = TalunoObjects::getInstance();
}

SOP_Taluno::~SOP_Taluno()
{
  _system.reset();
  if (_registry)
    TalunoObjects::release();
}

char const* SOP_Taluno::inputLabel(unsigned index) const
{
  switch (index) {
  case 0:
    return "Emitter Objects";
  case 1:
    return "Collision Objects";
  default:
    return "Unknown source";
  }
}

unsigned SOP_Taluno::disableParms()
{
  const double t = now();
  const bool springsOn = toggle("springs", 10, t);
  const bool automatic = toggle("automaticSpringRestLength", 12, t);
  const bool plastic = toggle("plasticDeformation", 16, t);
  const bool canBreak = toggle("springsCanBreak", 19, t);
  const bool fluidOn = toggle("fluid", 23, t);
  const bool tension = toggle("surfaceTension", 28, t);
  const bool viscous = toggle("viscosity", 32, t);
  const bool objects = toggle("objectsCollisions", 34, t);
  const bool contact = toggle("interParticleCollisions", 35, t);
  const int mode = evalInt("interParticlesCollMode", &myOffsets[36], 0, 0.0);
  const bool rotations = toggle("enableRotations", 38, t);
  const bool staticFriction = toggle("enforceStaticFriction", 45, t);
  const int colors = evalInt("colorData", &myOffsets[47], 0, 0.0);

  unsigned changed = 0;
  for (char const* name : {"automaticSpringRestLength", "springsNeighborSearchRadius", "springConstant",
                           "springDamping", "plasticDeformation", "springsCanBreak", "springsCanReconnect"})
    changed += enableParm(name, springsOn);
  changed += enableParm("springRestLength", springsOn && !automatic);
  changed += enableParm("yieldRatio", springsOn && plastic);
  changed += enableParm("plasticityConstant", springsOn && plastic);
  changed += enableParm("springsBreakLengthThreshold", springsOn && canBreak);
  changed += enableParm("springsBreakForceThreshold", springsOn && canBreak);
  for (char const* name : {"restDensity", "internalPressure", "surfaceTension", "showGhostParticles", "viscosity"})
    changed += enableParm(name, fluidOn);
  for (char const* name : {"surfaceTensionThreshold", "surfaceTensionScale", "addPointsNormals"})
    changed += enableParm(name, fluidOn && tension);
  changed += enableParm("viscosityFactor", fluidOn && viscous);
  changed += enableParm("interParticleCollisions", objects);
  for (char const* name : {"interParticlesCollMode", "normalConstant", "normalDamping", "shearDamping",
                           "coulombConstant"})
    changed += enableParm(name, contact);
  changed += enableParm("interParticlesCollShape", contact && mode != 0);
  changed += enableParm("enableRotations", contact && mode != 0);
  changed += enableParm("randInitRotations", contact && mode != 0 && rotations);
  changed += enableParm("addRotAttribs", contact && mode != 0 && rotations);
  changed += enableParm("enforceStaticFriction", contact && mode == 0);
  changed += enableParm("shearConstant", contact && staticFriction && mode == 0);
  changed += enableParm("colorDataInterval", colors != 0);
  return changed;
}

OP_ERROR SOP_Taluno::cookMySop(OP_Context& context)
{
  // Inputs are cooked so that object nodes register their objects; the
  // simulation itself is not driven from this node yet.
  if (lockInputs(context) >= UT_ERROR_ABORT)
    return error();
  setTimeDep(true);
  unlockInputs();
  return error();
}
