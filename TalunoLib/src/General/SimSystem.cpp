#include "SimSystem.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

SimSystem::SimSystem(double gravity, double particlesInteractionRadius, bool springs, bool fluid, double restDensity,
                     double internalPressure, bool automaticSpringRestLength, double springsNeighborSearchRadius,
                     double springRestLength, double springConstant, double springDamping, bool plasticDeformation,
                     double yieldRatio, double plasticityConstant, bool springsCanBreak,
                     double springsBreakLengthThreshold, double springsBreakForceThreshold, bool springsCanReconnect,
                     bool objectsCollisions, double particleRadius, bool viscosity, double viscosityFactor,
                     bool surfaceTension, double surfaceTensionThreshold, double surfaceTensionScale,
                     bool interParticleCollisions, int32_t interParticlesCollMode,
                     subParticleShape interParticlesCollShape, bool enableRotations, bool randInitRotations,
                     double normalConstant, double normalDamping, double shearConstant, double shearDamping,
                     double coulombConstant, bool enforceStaticFriction)
    : _cellSize(std::max(2.0 * particleRadius, particlesInteractionRadius)), _collisionDistance(particleRadius),
      gravity(gravity), particlesInteractionRadius(particlesInteractionRadius),
      particlesInteractionRadius2(particlesInteractionRadius * particlesInteractionRadius), springs(springs),
      fluid(fluid), restDensity(restDensity), internalPressure(internalPressure),
      automaticSpringRestLength(automaticSpringRestLength),
      springsNeighborSearchRadius2(springsNeighborSearchRadius * springsNeighborSearchRadius),
      springRestLength(springRestLength), springConstant(springConstant), springDamping(springDamping),
      plasticDeformation(plasticDeformation), yieldRatio(yieldRatio), plasticityConstant(plasticityConstant),
      springsCanBreak(springsCanBreak),
      springsBreakLengthThreshold2(springsBreakLengthThreshold * springsBreakLengthThreshold),
      springsBreakForceThreshold(springsBreakForceThreshold), springsCanReconnect(springsCanReconnect),
      objectsCollisions(objectsCollisions), particleRadius(particleRadius), viscosity(viscosity),
      viscosityFactor(viscosityFactor), surfaceTension(surfaceTension),
      surfaceTensionThreshold2(surfaceTensionThreshold * surfaceTensionThreshold),
      surfaceTensionScale(surfaceTensionScale), interParticleCollisions(interParticleCollisions),
      interParticlesCollMode(interParticlesCollMode), interParticlesCollShape(interParticlesCollShape),
      enableRotations(enableRotations),
      randInitRotations(randInitRotations && enableRotations && interParticlesCollMode != 0),
      normalConstant(normalConstant), normalDamping(normalDamping), shearConstant(shearConstant),
      shearDamping(shearDamping), coulombConstant(coulombConstant), enforceStaticFriction(enforceStaticFriction)
{
  computeKernelConstants();
  _pressureStiffness = restDensity * internalPressure / 7.0;
  const double invRho0 = 1.0 / restDensity;
  _invRestDensity7 = invRho0 * invRho0 * invRho0 * invRho0 * invRho0 * invRho0 * invRho0;
  updateParticleMass(true);
  // The cluster is always the tetrahedron; the chosen shape is only stored.
  _subParticle.init(tetrahedron, particleRadius);
  // Random initial rotations repeat from run to run: _random starts as
  // rand() does after srand(0).
}

SimSystem::SimSystem(SimSettings const& s)
    : SimSystem(s.gravity, s.particlesInteractionRadius, s.springs, s.fluid, s.restDensity, s.internalPressure,
                s.automaticSpringRestLength, s.springsNeighborSearchRadius, s.springRestLength, s.springConstant,
                s.springDamping, s.plasticDeformation, s.yieldRatio, s.plasticityConstant, s.springsCanBreak,
                s.springsBreakLengthThreshold, s.springsBreakForceThreshold, s.springsCanReconnect,
                s.objectsCollisions, s.particleRadius, s.viscosity, s.viscosityFactor, s.surfaceTension,
                s.surfaceTensionThreshold, s.surfaceTensionScale, s.interParticleCollisions,
                s.interParticlesCollMode, s.interParticlesCollShape, s.enableRotations, s.randInitRotations,
                s.normalConstant, s.normalDamping, s.shearConstant, s.shearDamping, s.coulombConstant,
                s.enforceStaticFriction)
{
}

SimSystem::~SimSystem()
{
  for (Cell* cell : _cellList)
    delete cell;
  _cellList.clear();
  _cells.clear();
  // The objects belong to their operators; the system only borrowed them.
  _collisionObjects.clear();
  _emitterObjects.clear();
}

void SimSystem::computeKernelConstants()
{
  // Kernels are evaluated in metres: hs is the support radius in kernel units.
  const double hs = particlesInteractionRadius * _unitLength;
  const double hs3 = hs * hs * hs;
  const double hs6 = hs3 * hs3;
  const double hs9 = hs6 * hs3;
  const double pi = double(3.1415927f);
  const double pi64 = double(201.0619354248047f); // 64 pi in single precision
  _poly6Coef = 315.0 / (pi64 * hs9);
  _spikyGradCoef = -45.0 / (pi * hs6);
  _viscLaplacianCoef = -_spikyGradCoef;
  const double s4 = _unitLength2 * _unitLength2;
  _colorGradCoef = -6.0 * _poly6Coef * s4;
  _surfaceTensionCoef = 6.0 * _poly6Coef * surfaceTensionScale * s4;
}

void SimSystem::setUnitLength(double s)
{
  _unitLength = s;
  _unitLength2 = s * s;
  computeKernelConstants();
  updateParticleMass(true);
}

void SimSystem::initialize(unsigned frame)
{
  emitParticles(frame);
  sortArrays(0); // 0 is a multiple of 100: the first emission is always sorted
  updateCellsNeighbors();
}

void SimSystem::reportPhase(char const* label, std::clock_t& start) const
{
  if (!_verbose)
    return;
  std::cout << label << static_cast<unsigned>(std::clock() - start) << "ms" << std::endl;
  start = std::clock();
}

void SimSystem::markPhase(char const* name)
{
  if (!_phaseSeconds)
    return;
  const auto now = std::chrono::steady_clock::now();
  (*_phaseSeconds)[name] += std::chrono::duration<double>(now - _phaseMark).count();
  _phaseMark = now;
}

void SimSystem::simulStep(unsigned frame, double frameDt, unsigned iterations)
{
  if (_verbose)
    std::cout << "DT :" << _dt << std::endl;
  // With no sub-step there is nothing to divide the frame into; keep the last
  // sub-step length rather than storing an infinite one.
  if (iterations == 0)
    return;
  _dt = frameDt / iterations;

  unsigned sortCounter = frame;
  _interrupted = false;
  for (unsigned iteration = 1; iteration <= iterations; ++iteration) {
    if (interruptRequested())
      return;
    emitForSubStep(frame, iteration);
    finishSubStep(sortCounter);
    sortCounter += frame; // frame * iteration: the sort runs when that is a multiple of 100
  }
}

bool SimSystem::interruptRequested()
{
  if (_interrupt && _interrupt->load(std::memory_order_relaxed))
    _interrupted = true;
  return _interrupted;
}

void SimSystem::emitForSubStep(unsigned frame, unsigned iteration)
{
  if (_verbose)
    std::cout << "Frame :" << frame << "  ,Iteration :" << iteration << std::endl;
  _subStepClock = std::clock();
  if (_phaseSeconds)
    _phaseMark = std::chrono::steady_clock::now();
  emitParticles(frame);
  reportPhase(" Emission done in: ", _subStepClock);
  markPhase("emission");
}

void SimSystem::finishSubStep(unsigned sortCounter)
{
  updateCellsParticles();
  reportPhase(" updateCellsParticles done in: ", _subStepClock);
  updateCellsNeighbors();
  reportPhase(" Update Cells Neighbors done in: ", _subStepClock);
  markPhase("grid");
  applyForces();
  sortArrays(sortCounter);
  markPhase("sort");
  if (fluid)
    updateGhostParticles();
  markPhase("ghosts");
}

void SimSystem::applyForces()
{
  std::clock_t start = std::clock();

  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double dv = gravity * _dt;
  // The first force pass's view fill applies gravity on the way (the same
  // operations on the same values, one sweep fewer).
  _gravityPass = springs                                                   ? GravityPass::springView
                 : fluid                                                   ? GravityPass::fluidView
                 : interParticleCollisions && interParticlesCollMode == 0 ? GravityPass::contactView
                                                                           : GravityPass::own;
  if (_gravityPass == GravityPass::own) {
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < n; ++i)
      applyGravity(_particlesArray[i], dv);
  }
  reportPhase("          apply gravity done in: ", start);
  markPhase("gravity");

  if (springs) {
    if (plasticDeformation || springsCanReconnect || _firstStep) {
      adjustSprings(_firstStep);
      reportPhase("          Adjust Springs done in: ", start);
    }
    if (_firstStep)
      _springsBuiltFor = _nbParticles;
    else if (_springsBuiltFor < _nbParticles)
      joinNewcomers();
    _firstStep = false;
    // Breaking and the spring forces share one sweep over the springs: the
    // breaking line times that sweep, the displacements line the copy back.
    gatherSpringView(dv, _gravityPass == GravityPass::springView);
    springPass(springsCanBreak);
    if (springsCanBreak)
      reportPhase("          Spring breaking done in: ", start);
    scatterSpringVelocities();
    reportPhase("          Spring Displacements done in: ", start);
    markPhase("springs");
  }

  if (fluid) {
    applyFluidSPH();
    if (measureColliderLoads)
      measureGhostLoads();
    reportPhase("          fluid done in: ", start);
    markPhase("fluid");
  }

  if (interParticleCollisions) {
    if (interParticlesCollMode != 0)
      resolveInterparticleCollisions_SubParticles();
    else if (enforceStaticFriction)
      resolveInterparticleCollisions_SpringBased();
    else
      resolveInterparticleCollisions_NoExplicitStaticFriction();
    markPhase("contact");
  }

  resolveCollisionsAndAdvance();
  markPhase("collisions and advance");
}
