#include "SOP_Taluno.h"

#include "CollisionObject.h"
#include "EmitterObject.h"
#include "SimSystem.h"
#include "Memory.h"
#include "UT/UT_Interrupt.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <tuple>
#include <unistd.h>

int* SOP_Taluno::myOffsets = nullptr;

OP_Node* SOP_Taluno::myConstructor(OP_Network* network, const char* name, OP_Operator* op)
{
  return new SOP_Taluno(network, name, op);
}

SOP_Taluno::SOP_Taluno(OP_Network* network, const char* name, OP_Operator* op) : SOP_Node(network, name, op)
{
  if (!myOffsets)
    myOffsets = allocIndirect(96);
  _registry = TalunoObjects::getInstance();
  _registry->addListener(this);
}

SOP_Taluno::~SOP_Taluno()
{
  _system.reset();
  if (_registry) {
    _registry->removeListener(this);
    TalunoObjects::release();
  }
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
  changed += enableParm("limitStaticFriction", contact && staticFriction && mode == 0);
  changed += enableParm("rollingSpheres", contact && mode == 0);
  changed += enableParm("rollingFriction", contact && mode == 0 && toggle("rollingSpheres", 66, t) != 0);
  changed += enableParm("colorDataInterval", colors != 0);
  changed += enableParm("maxSubSteps", toggle("adaptiveSubSteps", 49, t) != 0);
  changed += enableParm("clampNegativePressure", fluidOn);
  changed += enableParm("hydrostaticStart", fluidOn);
  changed += enableParm("grainDensity", fluidOn && contact);
  changed += enableParm("softBodyDensity", fluidOn && springsOn);
  const bool physical = toggle("physicalMaterials", 54, t) != 0;
  for (char const* name : {"soundSpeedRatio", "kinematicViscosity", "liquidDamping"})
    changed += enableParm(name, physical && fluidOn);
  for (char const* name : {"grainOverlap", "restitution", "shearStiffnessRatio", "shearDampingRatio"})
    changed += enableParm(name, physical && contact);
  for (char const* name : {"softStrain", "softDampingRatio"})
    changed += enableParm(name, physical && springsOn);
  return changed;
}

// Parameter slots in the index cache: the parameter's place in the list.
enum Slot
{
  sReset = 0, sInteractionRadius = 1, sGridCellSize = 2, sSubSteps = 3, sGravity = 4, sParticleRadius = 5,
  sSceneScale = 6, sType = 7, sVerbose = 8, sSprings = 10, sSearchRadius = 11, sAutomaticRestLength = 12,
  sRestLength = 13, sSpringConstant = 14, sSpringDamping = 15, sPlastic = 16, sYieldRatio = 17, sPlasticity = 18,
  sCanBreak = 19, sStretchLimit = 20, sForceLimit = 21, sReconnect = 22, sFluid = 23, sShowGhosts = 24,
  sRestDensity = 26, sInternalPressure = 27, sSurfaceTension = 28, sTensionThreshold = 29, sTensionScale = 30,
  sAddNormals = 31, sViscosity = 32, sViscosityFactor = 33, sObjectsCollisions = 34, sInterParticle = 35,
  sCollMode = 36, sCollShape = 37, sRotations = 38, sRandomRotations = 39, sAddRotAttribs = 40,
  sNormalConstant = 41, sNormalDamping = 42, sShearDamping = 43, sCoulomb = 44, sStaticFriction = 45,
  sShearConstant = 46, sColorData = 47, sColorInterval = 48, sAdaptiveSubSteps = 49, sMaxSubSteps = 50,
  sClampPressure = 51, sGrainDensity = 52, sSoftBodyDensity = 53, sPhysicalMaterials = 54, sSoundSpeedRatio = 55,
  sKinematicViscosity = 56, sLiquidDamping = 57, sGrainOverlap = 58, sRestitution = 59, sShearStiffnessRatio = 60,
  sShearDampingRatio = 61, sSoftStrain = 62, sSoftDampingRatio = 63, sHydrostaticStart = 64,
  sLimitStaticFriction = 65, sRollingSpheres = 66, sRollingFriction = 67, sColliderForces = 68
};

OP_ERROR SOP_Taluno::cookMySop(OP_Context& context)
{
  try {
    return cookSimulation(context);
  } catch (std::bad_alloc const&) {
    const size_t particles = _system ? _system->_particlesArray.size() : 0;
    addError(UT_ERROR_ABORT,
             "ran out of memory at frame " + std::to_string(context.getFrame()) + " with " +
                 std::to_string(particles) + " particles (Particle Radius " +
                 (_system ? number(_system->particleRadius) : std::string("?")) +
                 "): raise Particle Radius or shrink the emitters, or run where more memory is free");
    unlockInputs();
    return error();
  }
}

OP_ERROR SOP_Taluno::cookSimulation(OP_Context& context)
{
  if (lockInputs(context) >= UT_ERROR_ABORT)
    return error();
  setTimeDep(true);
  if (!checkSettings(double(float(OPgetDirector()->getChannelManager()->getEvaluateTime())))) {
    unlockInputs();
    return error();
  }
  if (!_pendingState.empty()) {
    // Resuming: this cook takes in the saved state of its frame instead of
    // computing it.
    std::string state;
    state.swap(_pendingState);
    try {
      restoreState(state);
    } catch (std::runtime_error const& e) {
      _system.reset();
      addError(UT_ERROR_ABORT, std::string("cannot resume from the checkpoint: ") + e.what());
    }
    unlockInputs();
    return error();
  }
  const double frame = context.getFrame();
  const double t = context.getTime();
  const int reset = evalInt("reset", &myOffsets[sReset], 0, 0.0);
  if (reset >= frame) {
    if (!_initialized) {
      _frameCounter = static_cast<int64_t>(frame);
      _derived.clear(); // the rebuild derives them again, from the scene as it is now
      initSystem();
      updateSimulationSystem(true);
      simStep(t, true);
      _initialized = true;
    }
  } else {
    _initialized = false;
    while (frame + 0.0001 > double(_frameCounter)) {
      updateSimulationSystem(false);
      simStep(t, false);
      // A frame that failed (blew up, interrupted) is not counted as done.
      if (error() >= UT_ERROR_ABORT)
        break;
      ++_frameCounter;
    }
  }
  unlockInputs();
  return error();
}

void SOP_Taluno::initSystem()
{
  const int reset = evalInt("reset", &myOffsets[sReset], 0, 0.0);
  const double T = double(float(reset));
  auto on = [this](char const* name, int slot, double time) { return evalInt(name, &myOffsets[slot], 0, time) != 0; };
  _system.reset();
  _system = std::make_unique<SimSystem>(
      real("gravity", sGravity, T), real("particlesInteractionRadius", sInteractionRadius, 0),
      on("springs", sSprings, T), on("fluid", sFluid, T), real("restDensity", sRestDensity, 0),
      real("internalPressure", sInternalPressure, T), on("automaticSpringRestLength", sAutomaticRestLength, T),
      real("springsNeighborSearchRadius", sSearchRadius, T), real("springRestLength", sRestLength, T),
      real("springConstant", sSpringConstant, T), real("springDamping", sSpringDamping, T),
      on("plasticDeformation", sPlastic, T), real("yieldRatio", sYieldRatio, T),
      real("plasticityConstant", sPlasticity, T), on("springsCanBreak", sCanBreak, T),
      real("springsBreakLengthThreshold", sStretchLimit, T), real("springsBreakForceThreshold", sForceLimit, T),
      on("springsCanReconnect", sReconnect, T), on("objectsCollisions", sObjectsCollisions, T),
      real("particleRadius", sParticleRadius, 0), on("viscosity", sViscosity, T),
      real("viscosityFactor", sViscosityFactor, T), on("surfaceTension", sSurfaceTension, T),
      real("surfaceTensionThreshold", sTensionThreshold, T), real("surfaceTensionScale", sTensionScale, T),
      on("interParticleCollisions", sInterParticle, T), evalInt("interParticlesCollMode", &myOffsets[sCollMode], 0, 0),
      tetrahedron, on("enableRotations", sRotations, T), on("randInitRotations", sRandomRotations, 0),
      real("normalConstant", sNormalConstant, T), real("normalDamping", sNormalDamping, T),
      real("shearConstant", sShearConstant, T), real("shearDamping", sShearDamping, T),
      real("coulombConstant", sCoulomb, T), on("enforceStaticFriction", sStaticFriction, T));
  _system->clampNegativePressure = on("clampNegativePressure", sClampPressure, T);
  _system->hydrostaticStart = on("hydrostaticStart", sHydrostaticStart, T);
  _system->limitStaticFriction = on("limitStaticFriction", sLimitStaticFriction, T);
  _system->rollingSpheres = on("rollingSpheres", sRollingSpheres, T);
  _system->rollingFriction = real("rollingFriction", sRollingFriction, T);
  _system->measureColliderLoads = on("colliderForces", sColliderForces, T);
  _colliderForces.clear();
  _system->grainDensity = real("grainDensity", sGrainDensity, T);
  _system->softBodyDensity = real("softBodyDensity", sSoftBodyDensity, T);
  _system->setUnitLength(real("sceneScale", sSceneScale, 0));
  _system->_cellSize = std::max(2.0 * _system->particleRadius, real("gridCellSize", sGridCellSize, 0));
  _system->_verbose = evalInt("verbose", &myOffsets[sVerbose], 0, 0);
  _handedOver.clear();
  prepareOutput(T);
  _frameTime = static_cast<float>(1.0 / OPgetDirector()->getChannelManager()->getSamplesPerSec());
}

void SOP_Taluno::prepareOutput(double resetTime)
{
  auto on = [this](char const* name, int slot, double time) { return evalInt(name, &myOffsets[slot], 0, time) != 0; };
  _showGhostParticles = on("showGhostParticles", sShowGhosts, 0);
  _addNormals = on("addPointsNormals", sAddNormals, 0) && on("surfaceTension", sSurfaceTension, resetTime);
  _addRotAttribs = on("enableRotations", sRotations, resetTime) && on("addRotAttribs", sAddRotAttribs, 0) &&
                   evalInt("interParticlesCollMode", &myOffsets[sCollMode], 0, 0) != 0;

  gdp->clearAndDestroy(); // P1
  _particlesGroup = _ghostsGroup = _ghostsToDeleteGroup = nullptr;
  _particlePrimitive = nullptr;
  _colorAttribute = _normalAttribute = _rotationAttribute = _angularVelocityAttribute = nullptr;
  _pscaleAttribute = _materialAttribute = _densityAttribute = _pressureAttribute = _ageAttribute = nullptr;
  _materialGroups[0] = _materialGroups[1] = _materialGroups[2] = nullptr;
  if (_showGhostParticles) { // P2
    _particlesGroup = gdp->newPointGroup("TalunoParticles");
    _ghostsGroup = gdp->newPointGroup("TalunoGhostParticles");
    _ghostsToDeleteGroup = gdp->newPointGroup("TalunoGhostParticlesToDelete", true);
  }
  if (evalInt("type", &myOffsets[sType], 0, 0) == 1) { // P3
    _particlePrimitive = static_cast<GEO_PrimParticle*>(gdp->insertPrimitive(GA_PRIMPART));
    _particlePrimitive->deleteLists();
  }
  _velocityAttribute = gdp->addFloatTuple(GA_ATTRIB_POINT, "v", 3); // P4
  _idAttribute = gdp->addIntTuple(GA_ATTRIB_POINT, "ID", 1);
  if (_addRotAttribs) { // P5
    _rotationAttribute = gdp->addFloatTuple(GA_ATTRIB_POINT, "rot", 4);
    _angularVelocityAttribute = gdp->addFloatTuple(GA_ATTRIB_POINT, "av", 3);
  }
  if (evalInt("colorData", &myOffsets[sColorData], 0, 0) != 0) // P6
    _colorAttribute = gdp->addDiffuseAttribute(GA_ATTRIB_POINT);
  if (_addNormals) // P7
    _normalAttribute = gdp->addNormalAttribute(GA_ATTRIB_POINT);
  // For renderers and for telling materials apart.
  _pscaleAttribute = gdp->addFloatTuple(GA_ATTRIB_POINT, "pscale", 1);
  _materialAttribute = gdp->addIntTuple(GA_ATTRIB_POINT, "material", 1);
  _densityAttribute = gdp->addFloatTuple(GA_ATTRIB_POINT, "density", 1);
  _pressureAttribute = gdp->addFloatTuple(GA_ATTRIB_POINT, "pressure", 1);
  _ageAttribute = gdp->addFloatTuple(GA_ATTRIB_POINT, "age", 1);
  _materialGroups[0] = gdp->newPointGroup("TalunoSoftBody");
  _materialGroups[1] = gdp->newPointGroup("TalunoLiquid");
  _materialGroups[2] = gdp->newPointGroup("TalunoGranular");
  _birthTimes.clear();
}

void SOP_Taluno::refreshSettings(double t)
{
  SimSystem& s = *_system;
  auto on = [this, t](char const* name, int slot) { return evalInt(name, &myOffsets[slot], 0, t) != 0; };
  auto value = [this, t](char const* name, int slot) { return real(name, slot, t); };
  s.gravity = value("gravity", sGravity);
  s.springs = on("springs", sSprings);
  s.automaticSpringRestLength = on("automaticSpringRestLength", sAutomaticRestLength);
  s.springRestLength = value("springRestLength", sRestLength);
  s.springConstant = value("springConstant", sSpringConstant);
  s.springDamping = value("springDamping", sSpringDamping);
  s.plasticDeformation = on("plasticDeformation", sPlastic);
  s.yieldRatio = value("yieldRatio", sYieldRatio);
  s.plasticityConstant = value("plasticityConstant", sPlasticity);
  s.springsCanBreak = on("springsCanBreak", sCanBreak);
  s.springsBreakForceThreshold = value("springsBreakForceThreshold", sForceLimit);
  s.springsCanReconnect = on("springsCanReconnect", sReconnect);
  s.fluid = on("fluid", sFluid);
  s.clampNegativePressure = on("clampNegativePressure", sClampPressure);
  s.grainDensity = value("grainDensity", sGrainDensity);
  s.softBodyDensity = value("softBodyDensity", sSoftBodyDensity);
  s.internalPressure = value("internalPressure", sInternalPressure);
  s._pressureStiffness = s.internalPressure * s.restDensity / 7.0;
  s.objectsCollisions = on("objectsCollisions", sObjectsCollisions);
  s.interParticleCollisions = on("interParticleCollisions", sInterParticle);
  s.enableRotations = on("enableRotations", sRotations);
  s.normalConstant = value("normalConstant", sNormalConstant);
  s.normalDamping = value("normalDamping", sNormalDamping);
  s.shearConstant = value("shearConstant", sShearConstant);
  s.shearDamping = value("shearDamping", sShearDamping);
  s.coulombConstant = value("coulombConstant", sCoulomb);
  s.enforceStaticFriction = on("enforceStaticFriction", sStaticFriction);
  s.viscosity = on("viscosity", sViscosity);
  s.viscosityFactor = value("viscosityFactor", sViscosityFactor);
  s.surfaceTension = on("surfaceTension", sSurfaceTension);
  s.surfaceTensionScale = value("surfaceTensionScale", sTensionScale);
  s._surfaceTensionCoef = 6.0 * s._poly6Coef * s.surfaceTensionScale * s._unitLength2 * s._unitLength2;
  const double search = value("springsNeighborSearchRadius", sSearchRadius);
  const double stretch = value("springsBreakLengthThreshold", sStretchLimit);
  const double threshold = value("surfaceTensionThreshold", sTensionThreshold);
  s.springsNeighborSearchRadius2 = search * search;
  s.springsBreakLengthThreshold2 = stretch * stretch;
  s.surfaceTensionThreshold2 = threshold * threshold;
  _subSteps = evalInt("subSteps", &myOffsets[sSubSteps], 0, t);
  _adaptiveSubSteps = on("adaptiveSubSteps", sAdaptiveSubSteps);
  _maxSubSteps = evalInt("maxSubSteps", &myOffsets[sMaxSubSteps], 0, t);
}

void SOP_Taluno::updateSimulationSystem(bool reset)
{
  if (!_system)
    return;
  SimSystem& s = *_system;
  const double t = double(float(OPgetDirector()->getChannelManager()->getEvaluateTime()));
  refreshSettings(t);

  std::vector<InputObject> const found = inputObjects();

  // At a rebuild every object found is handed over, in input order. Between
  // rebuilds: deforming objects before every frame, replacements of objects
  // the system took in, and objects that were inactive when handed over once
  // they are active. Static and moving objects wired in after the rebuild
  // wait for the next one.
  if (reset)
    _handedOver.clear();
  for (InputObject const& f : found) {
    auto entry = std::find_if(_handedOver.begin(), _handedOver.end(), [&f](HandedOver const& e) {
      return e.uid == f.uid && e.kind == f.object->_objectType;
    });
    const bool deforming = f.object->_objectType == 0
                               ? static_cast<CollisionObject*>(f.object)->_behaviour == CollisionObject::deformingGeometry
                               : static_cast<EmitterObject*>(f.object)->_behaviour == EmitterObject::deformingGeometry;
    if (entry == _handedOver.end()) {
      if (!reset && !deforming)
        continue;
      _handedOver.push_back(HandedOver{f.uid, f.object->_objectType, -1, nullptr, false, f.node});
      entry = _handedOver.end() - 1;
    } else if (!reset) {
      const bool replaced = entry->object != f.object;
      const bool waiting = f.object->_objectType == 0 && static_cast<CollisionObject*>(f.object)->_active &&
                           !holds(*entry, f.object);
      if (!replaced && !deforming && !waiting)
        continue;
    }
    if (!handOver(*entry, f.object, reset, f.node))
      return;
  }

  if (reset) {
    // The objects are in: what the scene spans sets the physical
    // materials' constants, which the settings then take.
    deriveMaterials(double(float(evalInt("reset", &myOffsets[sReset], 0, 0.0))));
    if (!_derived.empty())
      refreshSettings(t);
    s.initialize(static_cast<unsigned>(evalInt("reset", &myOffsets[sReset], 0, 0.0)));
    s.openEnergyAccount();
    noteEmission();
    noteSubStepEstimate(evalInt("reset", &myOffsets[sReset], 0, 0.0));
  }
}

std::vector<SOP_Taluno::InputObject> SOP_Taluno::inputObjects()
{
  // Objects on the inputs in input order, until the first unconnected input;
  // a node wired into several inputs counts once.
  std::vector<InputObject> found;
  for (unsigned i = 0;; ++i) {
    GU_Detail const* input = inputGeo(i);
    if (!input)
      break;
    GA_Attribute const* attribute = input->findAttribute(GA_ATTRIB_DETAIL, "CollisionObjectUID");
    if (!attribute) {
      // Skipped, as the host's solver does, but not without a word.
      addError(UT_ERROR_WARNING, "input " + std::to_string(i + 1) + " (node \"" + getInput(i)->getName() +
                                     "\") is neither a collision object nor an emitter, and is ignored: wire "
                                     "CollisionObject and EmitterObject nodes (or merges of them) into the solver");
      continue;
    }
    if (!_registry)
      continue;
    const int32_t uid = attribute->getStorage() == GA_STORE_INT32 ? int32_t(attribute->get(0, 0)) : 0;
    TalunoObject* object = _registry->getObject(uid);
    if (!object || (object->_objectType != 0 && object->_objectType != 1))
      continue;
    if (std::none_of(found.begin(), found.end(), [uid](InputObject const& f) { return f.uid == uid; }))
      found.push_back(InputObject{uid, object, getInput(i)->getName()});
  }
  _inputUids.clear();
  for (InputObject const& f : found)
    _inputUids.push_back(f.uid);
  return found;
}

void SOP_Taluno::noteEmission()
{
  SimSystem const& s = *_system;
  std::map<EmitterObject const*, int64_t> made;
  for (Particle const& p : s._particlesArray)
    ++made[p.emitter];
  for (HandedOver const& entry : _handedOver)
    if (entry.kind == 1 && entry.object)
      addError(UT_ERROR_MESSAGE, "emitter \"" + entry.node + "\" makes " +
                                     std::to_string(made[static_cast<EmitterObject const*>(entry.object)]) +
                                     " particles at the reset frame");
  // About 1.2 kB per particle: the most the benchmarks measured (soft
  // bodies, whose springs add to the particle, grid and neighbour records).
  const double bytes = double(s._particlesArray.size()) * 1200.0;
  addError(UT_ERROR_MESSAGE, std::to_string(s._particlesArray.size()) + " particles at the reset frame need about " +
                                 number(std::max(1.0, std::round(bytes / (1024.0 * 1024.0)))) +
                                 " MiB; continuous and intermittent emitters add to them as the run goes on");
}

bool SOP_Taluno::handOver(HandedOver& entry, TalunoObject* object, bool reset, std::string const& node)
{
  SimSystem& s = *_system;
  if (object->_objectType == 0) {
    auto* collider = static_cast<CollisionObject*>(object);
    collider->_id = entry.index >= 0 ? static_cast<int32_t>(entry.index) : -1;
    s.addCollisionObject(collider); // an inactive object is not taken in
    if (collider->_active)
      entry.index = collider->_id;
    entry.object = collider;
    return true;
  }
  auto* emitter = static_cast<EmitterObject*>(object);
  // An emitter emits once after each rebuild: a replacement carries on the
  // state of the emitter it replaces.
  if (reset)
    emitter->_hasEmitted = false;
  else if (entry.object != emitter && entry.index >= 0)
    emitter->_hasEmitted = entry.hasEmitted;
  if (!emitterFits(*emitter, node))
    return false;
  emitter->_id = entry.index >= 0 ? static_cast<uint32_t>(entry.index) : 4294967295u;
  s.addEmitterObject(emitter);
  entry.index = emitter->_id;
  entry.object = emitter;
  return true;
}

bool SOP_Taluno::holds(HandedOver const& entry, TalunoObject const* object) const
{
  if (!_system || entry.index < 0)
    return false;
  if (entry.kind == 0) {
    auto at = _system->_collisionObjects.find(static_cast<uint32_t>(entry.index));
    return at != _system->_collisionObjects.end() && at->second == object;
  }
  auto at = _system->_emitterObjects.find(static_cast<uint32_t>(entry.index));
  return at != _system->_emitterObjects.end() && at->second == object;
}

void SOP_Taluno::objectWithdrawn(TalunoObject const* object)
{
  for (HandedOver& entry : _handedOver)
    if (entry.object == object) {
      if (entry.kind == 1)
        entry.hasEmitted = static_cast<EmitterObject const*>(object)->_hasEmitted;
      entry.object = nullptr;
    }
  if (!_system)
    return;
  if (object->_objectType == 0)
    _system->removeCollisionObject(static_cast<CollisionObject const*>(object));
  else if (object->_objectType == 1)
    _system->removeEmitterObject(static_cast<EmitterObject const*>(object));
}

void SOP_Taluno::simStep(double time, bool reset)
{
  if (error() >= UT_ERROR_ABORT || !_system)
    return;
  if (!reset) {
    // In double precision and rounded: a time that is a whole number of
    // frames must give that frame, also where its float falls just below.
    CH_Manager const* channels = OPgetDirector()->getChannelManager();
    const double frame = std::nearbyint((time + channels->getTimeOffset()) * channels->getSamplesPerSec()) + 1.0;
    _system->_interrupt = UTgetInterrupt()->flag();
    // Frames before 0 wrap as the unsigned frame number does.
    const auto frameNumber = static_cast<unsigned>(static_cast<int64_t>(frame));
    double step = double(_frameTime) / std::max(1, _subSteps);
    const auto started = std::chrono::steady_clock::now();
    if (_adaptiveSubSteps) {
      _frameSteps = _system->simulStepAdaptive(frameNumber, double(_frameTime), unsigned(std::max(1, _subSteps)),
                                               unsigned(std::max({1, _subSteps, _maxSubSteps})));
      step = _frameSteps.shortest;
    } else {
      _system->simulStep(frameNumber, double(_frameTime), static_cast<unsigned>(_subSteps));
      _frameSteps = SimSystem::FrameSteps{unsigned(std::max(0, _subSteps)), step, "SubSteps"};
    }
    if (_system->_interrupted) {
      addError(UT_ERROR_ABORT, "interrupted during frame " + number(frame) + "; the frame was not finished");
      return;
    }
    if (_frameSteps.capped) {
      reportCapped(frame);
      return;
    }
    if (_timeNextFrame)
      noteRunTime(frame, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (!checkStable(frame, step))
      return;
    if (_system->measureColliderLoads)
      _colliderForces = _system->takeColliderForces();
  }
  writeOutput(static_cast<float>(time));
}


bool SOP_Taluno::checkSettings(double time)
{
  bool usable = true;
  auto refuse = [&](std::string const& message) {
    addError(UT_ERROR_ABORT, message);
    usable = false;
  };
  auto positive = [](double v) { return v > 0.0; }; // infinities are refused below
  const double radius = real("particleRadius", sParticleRadius, 0);
  if (!positive(radius))
    refuse("Particle Radius (particleRadius) is " + number(radius) +
           ": it must be greater than 0; it is the size of every particle and sets the spacing of emitted ones");
  const double reach = real("particlesInteractionRadius", sInteractionRadius, 0);
  if (!positive(reach))
    refuse("Interaction Radius (particlesInteractionRadius) is " + number(reach) +
           ": it must be greater than 0; it is the reach of liquid forces, usually 4 x Particle Radius");
  const double unit = real("sceneScale", sSceneScale, 0);
  if (!positive(unit))
    refuse("Unit Length (sceneScale) is " + number(unit) +
           ": it must be greater than 0; it is the length of one scene unit in metres");
  // A value beyond single precision (about 3.4e38) becomes infinite as the
  // simulation reads it, and spoils every particle it touches.
  for (int i = 0; i < getNumParms(); ++i) {
    PRM_Template const& parm = *getParmTemplate(i);
    if (parm.getType().basic != PRM_Type::Float)
      continue;
    for (int c = 0; c < parm.getVectorSize(); ++c) {
      const double value = double(float(evalFloat(parm.getToken(), c, time)));
      if (!std::isfinite(value))
        refuse(std::string(parm.getLabel()) + " (" + parm.getToken() + ") is " + number(value) +
               " as the simulation reads it: give it a finite value");
    }
  }
  for (auto const& [token, label, slot] : {std::tuple<char const*, char const*, int>{"grainDensity", "Grain Density", sGrainDensity},
                                           {"softBodyDensity", "Soft Body Density", sSoftBodyDensity}}) {
    const double density = real(token, slot, time);
    if (!positive(density))
      refuse(std::string(label) + " (" + token + ") is " + number(density) +
             ": it must be greater than 0; it is a density in kg/m^3, as Rest Density (water 1000, sand 2650)");
  }
  const int subSteps = evalInt("subSteps", &myOffsets[sSubSteps], 0, time);
  if (subSteps < 1)
    refuse("SubSteps (subSteps) is " + std::to_string(subSteps) +
           ": it must be at least 1; without sub-steps nothing would move");
  return usable;
}

bool SOP_Taluno::emitterFits(EmitterObject const& emitter, std::string const& node)
{
  const double points = emitter.fillLatticePoints(_system->particleRadius);
  // Each lattice point is held while the fill tests it (world and local
  // positions and a flag), and each one inside becomes a particle: at worst
  // every point, when the mesh has no clear inside.
  const double bytesPerPoint = double(3 * sizeof(Eigen::Vector3d) + 1) + bytesPerParticle;
  const double bytes = points * bytesPerPoint;
  const double memory = availableMemory();
  if (bytes <= memory)
    return true;
  const double GiB = 1024.0 * 1024.0 * 1024.0;
  addError(UT_ERROR_ABORT, "emitter \"" + node + "\": filling it at Particle Radius " +
                               number(_system->particleRadius) + " would test " + number(points) +
                               " lattice points and need up to " + number(bytes / GiB) +
                               " GiB, more than the " + number(memory / GiB) +
                               " GiB of memory this process may still use: raise Particle Radius or make the "
                               "emitter's geometry smaller");
  return false;
}

std::string SOP_Taluno::limitCause(char const* limit) const
{
  SimSystem const& s = *_system;
  const std::string which = limit;
  if (which == "sound")
    return "the liquid's sound speed (internalPressure " + number(s.internalPressure) + ", Unit Length " +
           number(s._unitLength) + ")";
  if (which == "viscosity")
    return "its viscosity (viscosityFactor " + number(s.viscosityFactor) + " at Particle Radius " +
           number(s.particleRadius) + ")";
  if (which == "springs")
    return "springConstant " + number(s.springConstant) + " and springDamping " + number(s.springDamping);
  if (which == "contact")
    return "normalConstant " + number(s.normalConstant) + " and the contact damping";
  if (which == "acceleration")
    return "the largest acceleration (" + number(s._lastAcceleration) + " units/s^2, an impact or particles "
           "pressed together)";
  if (which == "travel")
    return "the fastest particle or moving object (no particle may move more than half its radius in a sub-step)";
  return "SubSteps (subSteps)";
}

std::string SOP_Taluno::limitAdvice(char const* limit) const
{
  const std::string which = limit;
  if (which == "sound")
    return "lower Internal Pressure (internalPressure) or raise Particle Radius";
  if (which == "viscosity")
    return "lower Viscosity Factor (viscosityFactor) or raise Particle Radius (the viscous sub-step grows with "
           "its square)";
  if (which == "springs")
    return "lower springConstant or springDamping";
  if (which == "contact")
    return "lower normalConstant or the contact damping";
  return "look for what drives particles this fast (an emitter, a moving collider, particles emitted into each "
         "other)";
}

void SOP_Taluno::reportCapped(double frame)
{
  SimSystem::FrameSteps const& r = _frameSteps;
  const double seconds = double(_frameTime);
  addError(UT_ERROR_ABORT,
           "Automatic SubSteps: frame " + number(frame) + " needs about " + number(std::ceil(r.needed)) +
               " sub-steps (" + number(r.shortest) + " s each, " + number(r.stoppedAt / seconds * 100.0) +
               " % into the frame), more than Maximum SubSteps (maxSubSteps) " +
               std::to_string(std::max(_maxSubSteps, _subSteps)) + ". The sub-step is limited by " +
               limitCause(r.limit) + ". Raise Maximum SubSteps to at least " + number(std::ceil(r.needed)) +
               " (the run takes longer in proportion), or " + limitAdvice(r.limit) +
               "; the frame was stopped rather than run with sub-steps too long for it");
}

double SOP_Taluno::sceneSpeed() const
{
  SceneExtent const extent = sceneExtent(0);
  return extent.emitterSpeed +
         std::sqrt(2.0 * std::abs(_system->gravity) * std::max(extent.height, 2.0 * _system->particleRadius));
}

bool SOP_Taluno::checkStable(double frame, double step)
{
  SimSystem const& s = *_system;
  // Each particle's last sub-step, from where the gravity pass left it.
  const double reach2 = s.particlesInteractionRadius * s.particlesInteractionRadius;
  const double bound = double(SimSystem::_maxCellCoordinate - 1) * s._cellSize;
  int64_t broken = 0, runaway = 0, outside = 0;
  for (Particle const& p : s._particlesArray) {
    if (!p.position.allFinite() || !p.velocity.allFinite())
      ++broken;
    else if (p.position.cwiseAbs().maxCoeff() > bound)
      ++outside;
    else if ((p.nature & natureAny) && (p.position - p.previousPosition).squaredNorm() > reach2)
      ++runaway;
  }
  if (broken + runaway + outside == 0)
    return checkEnergy(frame) && checkLeaks(frame) && checkCompression(frame);

  std::vector<std::string> what;
  const std::string of = " of " + std::to_string(s._particlesArray.size()) + " particles ";
  if (broken)
    what.push_back(std::to_string(broken) + of + "have non-finite positions or velocities");
  if (runaway)
    what.push_back(std::to_string(runaway) + (broken ? " " : of) + "moved farther in one sub-step than the "
                   "Interaction Radius (" + number(s.particlesInteractionRadius) + ")");
  if (outside)
    what.push_back(std::to_string(outside) + (broken || runaway ? " " : of) +
                   "left the simulation's domain (beyond " + number(bound) + " units from the origin)");
  std::string found;
  for (size_t i = 0; i < what.size(); ++i)
    found += (i == 0 ? "" : i + 1 == what.size() ? " and " : ", ") + what[i];

  // The stiff forces each have a largest stable sub-step; name those that
  // the sub-step exceeded, or all in use when none did.
  const int32_t steps = int32_t(std::max(1u, _frameSteps.steps));
  const double speed = sceneSpeed();
  const char natures = s.naturesPresent();
  SimSystem::SubStepLimits const limits = s.subStepLimits(speed, natures);
  std::vector<std::string> exceeded, inUse;
  auto consider = [&](bool on, double limit, std::string const& setting) {
    if (!on)
      return;
    inUse.push_back(setting);
    if (step > limit)
      exceeded.push_back(setting);
  };
  const bool liquid = s.fluid && (natures & natureLiquid);
  consider(liquid, limits.sound, "the liquid's sound speed (internalPressure " + number(s.internalPressure) + ")");
  consider(liquid && s.viscosity, limits.viscosity,
           "its viscosity (viscosityFactor " + number(s.viscosityFactor) + " at Particle Radius " +
               number(s.particleRadius) + ")");
  consider(s.springs && (natures & natureSoftBody), limits.springs, "springConstant " + number(s.springConstant));
  consider(s.interParticleCollisions && (natures & natureGranular), limits.contact,
           "normalConstant " + number(s.normalConstant));
  std::vector<std::string> const& named = exceeded.empty() ? inUse : exceeded;
  std::string stiff;
  for (size_t i = 0; i < named.size(); ++i)
    stiff += (i == 0 ? "" : i + 1 == named.size() ? " and " : ", ") + named[i];
  const double estimate = std::ceil(double(_frameTime) / s.stableSubStep(speed, natures));
  const double suggested = std::max(std::isfinite(estimate) ? estimate : 0.0, 2.0 * std::max(1, steps));
  // With automatic sub-steps the estimate chose too few: SubSteps is the
  // least it may take.
  const std::string advice =
      _adaptiveSubSteps ? "raise SubSteps (subSteps), the least Automatic SubSteps may take, to at least " +
                              number(suggested) + ", or lower those constants"
                        : "raise SubSteps (subSteps) to at least " + number(suggested) +
                              ", or turn on Automatic SubSteps (adaptiveSubSteps), or lower those constants";
  addError(UT_ERROR_ABORT, "the simulation blew up at frame " + number(frame) + ": " + found +
                               ". Most likely the sub-step of " + number(step) + " s (" + std::to_string(steps) +
                               " sub-steps a frame) is too long" + (stiff.empty() ? std::string() : " for " + stiff) +
                               ": " + advice);
  return false;
}

namespace {

std::string materialOf(char nature)
{
  std::vector<std::string> names;
  if (nature & natureSoftBody)
    names.push_back("soft body");
  if (nature & natureLiquid)
    names.push_back("liquid");
  if (nature & natureGranular)
    names.push_back("granular");
  std::string text;
  for (size_t i = 0; i < names.size(); ++i)
    text += (i ? " and " : "") + names[i];
  return text.empty() ? std::string("inert") : text;
}

std::string point(Eigen::Vector3d const& p)
{
  return "(" + SOP_Taluno::number(p.x()) + ", " + SOP_Taluno::number(p.y()) + ", " +
         SOP_Taluno::number(p.z()) + ")";
}

} // namespace

bool SOP_Taluno::checkEnergy(double frame)
{
  SimSystem& s = *_system;
  SimSystem::EnergyCheck const check = s.settleEnergyAccount();
  // A deforming collider pushes particles by moving its surface, at a speed
  // nothing records: its work cannot be told from a blow-up.
  for (auto const& [index, object] : s._collisionObjects)
    if (object && object->_active && object->_behaviour == CollisionObject::deformingGeometry)
      return true;
  if (!check.gained)
    return true;
  // Where: the fastest particle.
  Particle const* fastest = nullptr;
  for (Particle const& p : s._particlesArray)
    if ((p.nature & natureAny) && (!fastest || p.velocity.squaredNorm() > fastest->velocity.squaredNorm()))
      fastest = &p;
  const double mean = std::sqrt(2.0 * check.now.kinetic / double(std::max<int64_t>(1, check.now.particles)));
  const double now = check.now.kinetic + check.now.height;
  std::string where;
  if (fastest)
    where = "; the fastest, a " + materialOf(fastest->nature) + " particle at " + point(fastest->position) +
            ", moves at " + number(fastest->velocity.norm()) + " units/s";
  addError(UT_ERROR_ABORT,
           "the simulation gained energy at frame " + number(frame) + ": its particles move at " + number(mean) +
               " units/s on average, and their energy of motion and height (" + number(now) + ") is " +
               number(now / std::max(check.budget, 1e-300)) + " times what gravity, emission and moving colliders "
               "gave them since the reset frame (" + number(check.budget) + ")" + where +
               ". Something pushes particles with energy no force has: most likely a force whose sub-step is too "
               "long (turn on Automatic SubSteps (adaptiveSubSteps), or raise SubSteps), or particles emitted into "
               "each other or into a collider");
  return false;
}

bool SOP_Taluno::checkLeaks(double frame)
{
  SimSystem const& s = *_system;
  std::vector<SimSystem::Leak> const leaks = s.findLeaks(s.particleRadius);
  if (leaks.empty())
    return true;
  std::string text;
  for (SimSystem::Leak const& leak : leaks) {
    std::string name = "number " + std::to_string(leak.object);
    for (HandedOver const& entry : _handedOver)
      if (entry.kind == 0 && entry.index == int64_t(leak.object))
        name = "\"" + entry.node + "\"";
    text += (text.empty() ? "" : "; ") + std::to_string(leak.count) + " inside collision object " + name +
            " (the deepest, a " + materialOf(leak.nature) + " particle, " + number(-leak.deepest) +
            " units inside at " + point(leak.where) + ")";
  }
  addError(UT_ERROR_ABORT,
           "particles leaked into colliders at frame " + number(frame) + ": " + text +
               ", deeper than a particle radius (" + number(s.particleRadius) + "). Particles pass through a "
               "surface when they cross it within one sub-step or are pressed through it: turn on Automatic "
               "SubSteps (adaptiveSubSteps) or raise SubSteps, make walls thicker than a particle diameter, and "
               "keep emitters a radius clear of colliders");
  return false;
}

bool SOP_Taluno::checkCompression(double frame)
{
  SimSystem const& s = *_system;
  SimSystem::Compression const c = s.liquidCompression();
  // A few squeezed particles in a splash are not a liquid that gave way.
  if (c.compressed < 8 || !(c.mean > maxLiquidCompression))
    return true;
  // The Internal Pressure that keeps the liquid within about 1 % of its
  // rest density: the sound speed ten times the fastest flow, and the
  // weight of the liquid's depth (2.1 rho0 g H s of pressure in the pair
  // form of the pressure force) a hundredth of its stiffness.
  const double fastest = s.fastestSpeed();
  double top = -std::numeric_limits<double>::infinity(), bottom = std::numeric_limits<double>::infinity();
  for (Particle const& p : s._particlesArray)
    if (p.nature & natureLiquid) {
      top = std::max(top, p.position.y());
      bottom = std::min(bottom, p.position.y());
    }
  const double depth = top > bottom ? top - bottom : 0.0;
  const double needed = 100.0 * std::max(fastest * fastest, 2.1 * std::abs(s.gravity) * depth) * s._unitLength;
  addError(UT_ERROR_ABORT,
           "the liquid was squeezed at frame " + number(frame) + ": its " + std::to_string(c.compressed) +
               " compressed particles are " + number(100.0 * c.mean) + " % denser than the Rest Density on "
               "average, more than the " + number(100.0 * maxLiquidCompression) + " % a liquid may be (the "
               "densest, " + number(100.0 * (c.densest - 1.0)) + " % at " + point(c.where) +
               "). Its sound speed (Internal Pressure " + number(s.internalPressure) + " at Unit Length " +
               number(s._unitLength) + ") is too low for flows of " + number(fastest) +
               " units/s: raise Internal Pressure (internalPressure) to about " + number(needed) +
               ", so that the sound speed is ten times the fastest flow");
  return false;
}
