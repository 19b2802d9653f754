#include "SOP_EmitterObject.h"

#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshBuilder.h"
#include "OP/OP_Director.h"

#include <algorithm>
#include <cmath>

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
    {"jitter", "Jitter"},
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
    // Beyond the operator's specified list: off by default.
    PRM_Template(PRM_FLT_J, 1, &names[13], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "Moves each emitted particle off its lattice point by up to this fraction of the particle radius, "
                 "the same way in every run, so that poured grains pile up instead of standing in towers."),
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

int SOP_EmitterObject::propagateModification(OP_Node* by, OP_EventType reason, int index, OP_PropagateData& data)
{
  _rebuildMesh = _rebuildObject = false;
  if (reason == OP_PARM_CHANGED) {
    const int nearest = nbKdTreeReturnedVertices();
    if (nearest != _nbKdTreeReturnedVertices) {
      _rebuildMesh = _rebuildObject = true;
      _nbKdTreeReturnedVertices = nearest;
    }
  } else if (reason == OP_INPUT_REWIRED || reason == OP_INPUT_CHANGED) {
    _rebuildMesh = _rebuildObject = true;
  }
  _skipClearCache = true;
  return SOP_Node::propagateModification(by, reason, index, data);
}

void SOP_EmitterObject::clearCache()
{
  if (!_skipClearCache)
    _rebuildMesh = _rebuildObject = true;
  else
    _skipClearCache = false;
}

void SOP_EmitterObject::dropObject()
{
  if (_object && _registry)
    _registry->removeObject(_object);
  delete _object;
  _object = nullptr;
}

namespace {

// Menu indices to nature bits: soft body, liquid, granular and their mixes.
constexpr char natureBits[7] = {1, 2, 4, 3, 5, 6, 7};

} // namespace

EmitterObject* SOP_EmitterObject::newObject(char nature, int emission, int fill, int behaviour, float t, unsigned id)
{
  return new EmitterObject(_mesh, nature, static_cast<EmitterObject::emissionType>(emission),
                           static_cast<EmitterObject::fillType>(fill), thickness(),
                           static_cast<EmitterObject::behaviour>(behaviour), vx(t), vy(t), vz(t),
                           static_cast<unsigned>(interval(t)), px(t), py(t), pz(t), frictionMultiplier(t), id);
}

OP_ERROR SOP_EmitterObject::cookMySop(OP_Context& context)
{
  if (lockInputs(context) > UT_ERROR_ERROR)
    return error();
  CH_Manager const* channels = OPgetDirector()->getChannelManager();
  const double fps = channels->getSamplesPerSec();
  // The parameter time is the context's, snapped to the frame number shown to
  // the user (three significant digits, and never fewer than the frame's
  // integer digits, so that frames past 999 are not rounded to tens).
  const double frame = context.getTime() * fps + 1.0;
  int digits = 3;
  for (double f = std::abs(frame); f >= 1000.0; f /= 10.0)
    ++digits;
  const float t = static_cast<float>((CH_Manager::niceNumber(frame, digits) - 1.0) / fps);

  duplicateSource(0, context);
  GU_Detail const* input = inputGeo(0);
  // A mesh with non-finite points has no inside or distance: refuse it and
  // keep the object as it was.
  if (!checkMeshInput(*this, input, "this emitter emits nothing") ||
      !checkKdTreeVertices(*this, nbKdTreeReturnedVertices())) {
    unlockInputs();
    return error();
  }
  const int32_t uid = stampObjectUid(*gdp);

  const int emitMenu = evalInt("emit", &myOffsets[8], 0, 0.0);
  const int emission = emitMenu >= 0 && emitMenu <= 2 ? emitMenu : EmitterObject::continuousEmission;
  const int fillMenu = evalInt("fill", &myOffsets[2], 0, 0.0);
  const int fill = fillMenu == 1 ? EmitterObject::crossed : EmitterObject::cubic;
  const int natureMenu = evalInt("nature", &myOffsets[1], 0, t);
  const char nature = natureBits[natureMenu >= 0 && natureMenu < 7 ? natureMenu : 0];
  const int hint = evalInt("hint", &myOffsets[3], 0, 0.0);

  auto updateOrCreate = [&](int behaviour) {
    if (_rebuildMesh) {
      delete _mesh;
      _mesh = nullptr;
    }
    if (!_mesh)
      _mesh = buildMesh(input, static_cast<unsigned>(nbKdTreeReturnedVertices()));
    if (_rebuildObject)
      dropObject();
    if (_object) {
      _object->updateEmitterObjectParms(nature, static_cast<EmitterObject::emissionType>(emission),
                                        static_cast<EmitterObject::fillType>(fill), thickness(),
                                        static_cast<EmitterObject::behaviour>(behaviour), vx(t), vy(t), vz(t),
                                        static_cast<unsigned>(interval(t)), px(t), py(t), pz(t),
                                        frictionMultiplier(t));
      return;
    }
    _object = newObject(nature, emission, fill, behaviour, t, 4294967295u);
    if (behaviour == EmitterObject::movingGeometry) {
      Eigen::Matrix4d initial = buildTransform(real("t", 4, 0, t), real("t", 4, 1, t), real("t", 4, 2, t),
                                               real("r", 5, 0, t), real("r", 5, 1, t), real("r", 5, 2, t));
      _object->setInitTransfoMatrix(initial);
    }
    if (_registry)
      _registry->addObject(uid, _object);
  };

  if (hint == EmitterObject::staticGeometry) {
    updateOrCreate(EmitterObject::staticGeometry);
    _rebuildMesh = _rebuildObject = false;
  } else if (hint == EmitterObject::movingGeometry) {
    updateOrCreate(EmitterObject::movingGeometry);
    if (_object) {
      // The geometry turns about the origin, the candidates about the pivot.
      Eigen::Matrix4d m = buildTransform(real("t", 4, 0, t), real("t", 4, 1, t), real("t", 4, 2, t),
                                         real("r", 5, 0, t), real("r", 5, 1, t), real("r", 5, 2, t));
      _object->applyTransfoMatrix(m);
      UT_Matrix4F host;
      toHostMatrix(m, host);
      gdp->transform(host);
    }
    _rebuildMesh = _rebuildObject = false;
  } else if (hint == EmitterObject::deformingGeometry) {
    delete _mesh;
    _mesh = buildMesh(input, static_cast<unsigned>(nbKdTreeReturnedVertices()));
    const unsigned id = _object ? _object->_id : 4294967295u;
    dropObject();
    _object = newObject(nature, emission, fill, EmitterObject::deformingGeometry, t, id);
    if (_registry)
      _registry->addObject(uid, _object);
  }
  if (_object) {
    _object->_active = evalInt("active", &myOffsets[0], 0, t) != 0;
    _object->_jitter = std::max(0.0, double(real("jitter", 13, 0, t)));
  }
  warnOpenSurface(*this, _mesh, "the fill cannot tell where to put particles");
  unlockInputs();
  return error();
}
