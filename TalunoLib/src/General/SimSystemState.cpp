// The simulation's state between two frames, as bytes: everything a frame
// reads that an earlier frame wrote. Read back into a system built from the
// same settings and handed the same objects, the next frames come out bit
// for bit as if the run had never stopped: particle records in array order,
// grid cells in list order with their list heads and neighbour snapshots,
// springs, shear springs, counters and the random sequence. Scratch buffers
// that every pass rebuilds are left out.
#include "EmitterObject.h"
#include "SimSystem.h"
#include "StateReader.h"
#include "StateWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>

namespace {

constexpr uint32_t stateTag = 0x54535953; // "SYST"

void writeVector(StateWriter& out, Eigen::Vector3d const& v)
{
  for (int c = 0; c < 3; ++c)
    out.value(v[c]);
}

Eigen::Vector3d readVector(StateReader& in, char const* what)
{
  Eigen::Vector3d v;
  for (int c = 0; c < 3; ++c)
    v[c] = in.value<double>(what);
  return v;
}

// Bytes one particle record takes in the state, for bounding counts.
constexpr size_t particleBytes = 3 * 24 + 4 + 1 + 4 + 8 + 8 + 1 + 8 + 4 + 24 + 32 + 24 + 8 + 8;

template <typename Map> void writeMap(StateWriter& out, Map const& map)
{
  out.value(uint64_t(map.size()));
  for (auto const& [key, value] : map) {
    out.value(key);
    out.value(value);
  }
}

template <typename Map> void readMap(StateReader& in, Map& map, char const* what)
{
  map.clear();
  const uint64_t n = in.count(~uint64_t(0), sizeof(typename Map::key_type) + sizeof(typename Map::mapped_type), what);
  for (uint64_t k = 0; k < n; ++k) {
    const auto key = in.value<typename Map::key_type>(what);
    map.emplace_hint(map.end(), key, in.value<typename Map::mapped_type>(what));
  }
}

void writeShearSprings(StateWriter& out, std::vector<DEMTangentialSpring> const& springs)
{
  out.value(uint64_t(springs.size()));
  for (DEMTangentialSpring const& s : springs) {
    writeVector(out, s.displacement);
    writeVector(out, s.rolling);
    out.value(s.id1);
    out.value(s.id2);
    out.value(s.marked);
  }
}

void readShearSprings(StateReader& in, std::vector<DEMTangentialSpring>& springs, uint32_t particles)
{
  springs.clear();
  const uint64_t n = in.count(~uint64_t(0), 24 + 24 + 4 + 4 + 1, "shear springs");
  springs.reserve(size_t(n));
  for (uint64_t k = 0; k < n; ++k) {
    const Eigen::Vector3d displacement = readVector(in, "a shear spring");
    const Eigen::Vector3d rolling = readVector(in, "a shear spring");
    const uint32_t id1 = in.value<uint32_t>("a shear spring"), id2 = in.value<uint32_t>("a shear spring");
    if (id1 >= particles || id2 >= particles)
      throw std::runtime_error("damaged state: a shear spring joins particles that do not exist");
    springs.emplace_back(id1, id2);
    springs.back().displacement = displacement;
    springs.back().rolling = rolling;
    springs.back().marked = in.value<bool>("a shear spring");
  }
}

} // namespace

void SimSystem::saveState(StateWriter& out) const
{
  out.value(stateTag);
  // Settings and derived constants: the next frame sets most of them again
  // from the solver's parameters, but not all, and not before every use.
  for (double v : {gravity, particlesInteractionRadius, particlesInteractionRadius2, restDensity, internalPressure,
                   springsNeighborSearchRadius2, springRestLength, springConstant, springDamping, yieldRatio,
                   plasticityConstant, springsBreakLengthThreshold2, springsBreakForceThreshold, particleRadius,
                   viscosityFactor, surfaceTensionThreshold2, surfaceTensionScale, normalConstant, normalDamping,
                   shearConstant, shearDamping, coulombConstant, _dt, _unitLength, _unitLength2, _cellSize,
                   _particleMass, _collisionDistance, _poly6Coef, _spikyGradCoef, _viscLaplacianCoef, _colorGradCoef,
                   _surfaceTensionCoef, _pressureStiffness, _invRestDensity7, _normalScale, _normalScale2,
                   grainDensity, softBodyDensity, _lastAcceleration, _lastDragRate, _lastCompression, _energyLevel,
                   _energyBudget, _energyStored, _energyGravity, _energyHeights, _emittedEnergy, _colliderWork})
    out.value(v);
  out.value(_emittedCount);
  for (bool v : {springs, fluid, automaticSpringRestLength, plasticDeformation, springsCanBreak, springsCanReconnect,
                 objectsCollisions, viscosity, surfaceTension, interParticleCollisions, enableRotations,
                 randInitRotations, enforceStaticFriction, _firstStep, clampNegativePressure})
    out.value(v);
  out.value(interParticlesCollMode);
  for (uint32_t v : {_nbParticles, _nbGhostParticles, _nbCollisionObjects, _nbEmitterObjects, _springsBuiltFor})
    out.value(v);
  out.value(_random._state);
  out.value(_random._front);
  out.value(_random._rear);

  // Particles, then ghosts, in array order. A particle's emitter is named by
  // its index in the system (-1 for one no longer held).
  std::map<EmitterObject const*, int64_t> emitterIndex;
  for (auto const& [index, object] : _emitterObjects)
    if (object)
      emitterIndex.emplace(object, index);
  auto writeParticles = [&](std::vector<Particle> const& particles) {
    out.value(uint64_t(particles.size()));
    for (Particle const& p : particles) {
      writeVector(out, p.position);
      writeVector(out, p.previousPosition);
      writeVector(out, p.velocity);
      out.value(p.id);
      out.value(p.nature);
      out.value(p.ghostLink);
      out.value(p.invDensity);
      out.value(p.pressure);
      out.value(bool(p.cell != nullptr));
      out.value(p.cellKey);
      out.value(p.nextInCell);
      writeVector(out, p.normal);
      for (int c = 0; c < 4; ++c)
        out.value(p.orientation.coeffs()[c]);
      writeVector(out, p.angularVelocity);
      const auto emitter = emitterIndex.find(p.emitter);
      out.value(emitter != emitterIndex.end() ? emitter->second : int64_t(-1));
      out.value(frictionMultiplierOf(p));
    }
  };
  writeParticles(_particlesArray);
  out.values(_particlesArrayMap);
  writeParticles(_ghostParticlesArray);
  out.values(_ghostParticlesArrayMap);

  out.value(uint64_t(_springs.size()));
  for (Spring const& s : _springs) {
    out.value(s.restLength);
    out.value(s.id1);
    out.value(s.id2);
    out.value(s.broken);
  }
  writeMap(out, _springsMap);
  writeMap(out, _demTangentialSpringsMap);
  writeShearSprings(out, _demTangentialSprings);
  writeShearSprings(out, _newDemTangentialSprings);

  // Cells in list order: their lists and snapshots are part of the order in
  // which neighbours are summed.
  out.value(uint64_t(_cellList.size()));
  // Heads as 64-bit values, whatever width the cells hold them in.
  auto writeHeads = [&](auto const& heads) {
    for (int32_t head : heads)
      out.value(int64_t(head));
  };
  for (Cell const* cell : _cellList) {
    out.value(cell->key);
    out.value(int64_t(cell->firstParticle));
    out.value(int64_t(cell->firstGhostParticle));
    writeHeads(cell->neighborFirstParticles);
    writeHeads(cell->neighborFirstGhostParticles);
    out.value(int64_t(cell->refreshedFirstParticle));
    out.value(int64_t(cell->refreshedFirstGhostParticle));
    out.value(cell->stale);
  }
  out.values(_deletedCellKeys);
}

void SimSystem::loadState(StateReader& in)
{
  ++_arrayGeneration; // whatever pair lists there were name other particles now
  _allCellsTouched = true;
  _touchedCellKeys.clear();
  if (in.value<uint32_t>("the simulation's tag") != stateTag)
    throw std::runtime_error("damaged state: the simulation's part is not where it belongs");
  for (double* v : {&gravity, &particlesInteractionRadius, &particlesInteractionRadius2, &restDensity,
                    &internalPressure, &springsNeighborSearchRadius2, &springRestLength, &springConstant,
                    &springDamping, &yieldRatio, &plasticityConstant, &springsBreakLengthThreshold2,
                    &springsBreakForceThreshold, &particleRadius, &viscosityFactor, &surfaceTensionThreshold2,
                    &surfaceTensionScale, &normalConstant, &normalDamping, &shearConstant, &shearDamping,
                    &coulombConstant, &_dt, &_unitLength, &_unitLength2, &_cellSize, &_particleMass,
                    &_collisionDistance, &_poly6Coef, &_spikyGradCoef, &_viscLaplacianCoef, &_colorGradCoef,
                    &_surfaceTensionCoef, &_pressureStiffness, &_invRestDensity7, &_normalScale, &_normalScale2,
                    &grainDensity, &softBodyDensity, &_lastAcceleration, &_lastDragRate, &_lastCompression,
                    &_energyLevel, &_energyBudget, &_energyStored, &_energyGravity, &_energyHeights, &_emittedEnergy,
                    &_colliderWork})
    *v = in.value<double>("the settings");
  _emittedCount = in.value<int64_t>("the energy account");
  if (!(particleRadius > 0.0) || !(_cellSize >= 2.0 * particleRadius) || !std::isfinite(_cellSize))
    throw std::runtime_error("damaged state: the particle radius or grid cell size is not usable");
  for (bool* v : {&springs, &fluid, &automaticSpringRestLength, &plasticDeformation, &springsCanBreak,
                  &springsCanReconnect, &objectsCollisions, &viscosity, &surfaceTension, &interParticleCollisions,
                  &enableRotations, &randInitRotations, &enforceStaticFriction, &_firstStep, &clampNegativePressure})
    *v = in.value<unsigned char>("the settings") != 0;
  interParticlesCollMode = in.value<int32_t>("the settings");
  for (uint32_t* v : {&_nbParticles, &_nbGhostParticles, &_nbCollisionObjects, &_nbEmitterObjects, &_springsBuiltFor})
    *v = in.value<uint32_t>("the counters");
  if (_springsBuiltFor > _nbParticles)
    throw std::runtime_error("damaged state: springs were offered to particles that were never made");
  _random._state = in.value<decltype(_random._state)>("the random sequence");
  _random._front = in.value<int32_t>("the random sequence");
  _random._rear = in.value<int32_t>("the random sequence");
  if (_random._front < 0 || _random._front >= RandomSequence::degree || _random._rear < 0 ||
      _random._rear >= RandomSequence::degree)
    throw std::runtime_error("damaged state: the random sequence's taps are out of range");

  auto readParticles = [&](std::vector<Particle>& particles, char const* what) {
    particles.clear();
    const uint64_t n = in.count(uint64_t(INT32_MAX), particleBytes, what);
    particles.reserve(size_t(n));
    for (uint64_t k = 0; k < n; ++k) {
      const Eigen::Vector3d position = readVector(in, what);
      particles.emplace_back(position.x(), position.y(), position.z(), 0.0, 0.0, 0.0, 0u, nullptr, 0u, char(0),
                             nullptr);
      Particle& p = particles.back();
      p.previousPosition = readVector(in, what);
      p.velocity = readVector(in, what);
      p.id = in.value<uint32_t>(what);
      p.nature = in.value<char>(what);
      p.ghostLink = in.value<int32_t>(what);
      p.invDensity = in.value<double>(what);
      p.pressure = in.value<double>(what);
      const bool linked = in.value<unsigned char>(what) != 0;
      p.cellKey = in.value<uint64_t>(what);
      p.nextInCell = in.value<int32_t>(what);
      p.normal = readVector(in, what);
      for (int c = 0; c < 4; ++c)
        p.orientation.coeffs()[c] = in.value<double>(what);
      p.angularVelocity = readVector(in, what);
      const int64_t emitter = in.value<int64_t>(what);
      auto found = emitter >= 0 ? _emitterObjects.find(uint32_t(emitter)) : _emitterObjects.end();
      p.emitter = found != _emitterObjects.end() ? found->second : nullptr;
      p.frictionSlot = frictionSlotOf(in.value<double>(what));
      // Marks the record as linked until the cells exist; replaced below.
      p.cell = linked ? reinterpret_cast<Cell*>(uintptr_t(1)) : nullptr;
      if (p.nextInCell < -1 || p.nextInCell >= int64_t(n))
        throw std::runtime_error(std::string("damaged state: a cell list of the ") + what + " leaves the array");
    }
  };
  auto checkMap = [](std::vector<int32_t> const& map, size_t size, bool holes, char const* what) {
    for (int32_t index : map)
      if (index >= int64_t(size) || index < (holes ? -1 : 0))
        throw std::runtime_error(std::string("damaged state: the ") + what + " index map points outside the array");
  };
  _frictionMultipliers.assign(1, 1.0);
  readParticles(_particlesArray, "particles");
  in.values(_particlesArrayMap, _nbParticles, "the particle map");
  checkMap(_particlesArrayMap, _particlesArray.size(), false, "particle");
  for (Particle const& p : _particlesArray)
    if (p.id >= _particlesArrayMap.size() || _particlesArrayMap[p.id] != &p - _particlesArray.data())
      throw std::runtime_error("damaged state: a particle's id does not lead back to it");
  readParticles(_ghostParticlesArray, "ghost particles");
  in.values(_ghostParticlesArrayMap, _nbGhostParticles, "the ghost map");
  checkMap(_ghostParticlesArrayMap, _ghostParticlesArray.size(), true, "ghost");
  // A particle and its ghost name each other.
  for (Particle const& g : _ghostParticlesArray)
    if (g.id >= _ghostParticlesArrayMap.size() || _ghostParticlesArrayMap[g.id] != &g - _ghostParticlesArray.data() ||
        g.ghostLink < -1 || g.ghostLink >= int64_t(_particlesArrayMap.size()))
      throw std::runtime_error("damaged state: a ghost's id or particle does not lead back to it");
  for (Particle const& p : _particlesArray) {
    if (p.ghostLink == -1)
      continue;
    if (p.ghostLink < 0 || size_t(p.ghostLink) >= _ghostParticlesArrayMap.size() ||
        _ghostParticlesArrayMap[size_t(p.ghostLink)] < 0 ||
        _ghostParticlesArray[size_t(_ghostParticlesArrayMap[size_t(p.ghostLink)])].ghostLink != int32_t(p.id))
      throw std::runtime_error("damaged state: a particle's ghost does not lead back to it");
  }

  _springs.clear();
  const uint64_t springCount = in.count(~uint64_t(0), 8 + 4 + 4 + 1, "springs");
  _springs.reserve(size_t(springCount));
  for (uint64_t k = 0; k < springCount; ++k) {
    const double rest = in.value<double>("a spring");
    const uint32_t id1 = in.value<uint32_t>("a spring"), id2 = in.value<uint32_t>("a spring");
    if (id1 >= _particlesArrayMap.size() || id2 >= _particlesArrayMap.size())
      throw std::runtime_error("damaged state: a spring joins particles that do not exist");
    _springs.emplace_back(rest, id1, id2);
    _springs.back().broken = in.value<unsigned char>("a spring") != 0;
  }
  readMap(in, _springsMap, "the spring map");
  for (auto const& [key, index] : _springsMap)
    if (index >= _springs.size())
      throw std::runtime_error("damaged state: the spring map names a spring that does not exist");
  readMap(in, _demTangentialSpringsMap, "the shear-spring map");
  readShearSprings(in, _demTangentialSprings, uint32_t(_particlesArrayMap.size()));
  readShearSprings(in, _newDemTangentialSprings, uint32_t(_particlesArrayMap.size()));
  for (auto const& [key, index] : _demTangentialSpringsMap)
    if (index >= _demTangentialSprings.size())
      throw std::runtime_error("damaged state: the shear-spring map names a record that does not exist");

  for (Cell* cell : _cellList)
    delete cell;
  _cellList.clear();
  _cells.clear();
  _cellIndex = CellIndex();
  const uint64_t cells = in.count(~uint64_t(0), 8 * 3 + 2 * 27 * 8 + 8 * 2 + 1, "cells");
  const int64_t particles = int64_t(_particlesArray.size()), ghosts = int64_t(_ghostParticlesArray.size());
  // A head read back, checked to lie in the array it indexes (or be -1).
  auto head = [&](int64_t size) {
    const int64_t h = in.value<int64_t>("a cell");
    if (h < -1 || h >= size)
      throw std::runtime_error("damaged state: a cell's list head is outside the particle array");
    return int32_t(h);
  };
  for (uint64_t k = 0; k < cells; ++k) {
    auto cell = std::make_unique<Cell>();
    cell->key = in.value<uint64_t>("a cell");
    cell->firstParticle = head(particles);
    cell->firstGhostParticle = head(ghosts);
    for (int32_t& h : cell->neighborFirstParticles)
      h = head(particles);
    for (size_t e = 0; e < GhostHeads::size(); ++e)
      cell->neighborFirstGhostParticles.set(e, head(ghosts));
    // What the neighbours last received: compared with the heads, never
    // followed, so any value reads back as it was.
    cell->refreshedFirstParticle = int32_t(std::clamp<int64_t>(in.value<int64_t>("a cell"), -1, INT32_MAX));
    cell->refreshedFirstGhostParticle = int32_t(std::clamp<int64_t>(in.value<int64_t>("a cell"), -1, INT32_MAX));
    cell->stale = in.value<unsigned char>("a cell") != 0;
    if (_cellIndex.find(cell->key))
      throw std::runtime_error("damaged state: two cells have one key");
    cell->listIndex = _cellList.size();
    _cells.emplace(cell->key, cell.get());
    _cellIndex.insert(cell->key, cell.get());
    _cellList.push_back(cell.release());
  }
  in.values(_deletedCellKeys, ~uint64_t(0), "deleted cells");

  // Each linked record back to its cell, which must hold it.
  auto relink = [&](std::vector<Particle>& list) {
    for (Particle& p : list) {
      if (!p.cell)
        continue;
      p.cell = _cellIndex.find(p.cellKey);
      if (!p.cell)
        throw std::runtime_error("damaged state: a particle lies in a cell that does not exist");
    }
  };
  relink(_particlesArray);
  relink(_ghostParticlesArray);

  // Every linked record in exactly one list, its own cell's, and no list
  // running in a circle: every walk along the lists ends.
  auto checkLists = [&](std::vector<Particle> const& list, bool ghost) {
    std::vector<char> listed(list.size(), 0);
    for (Cell const* cell : _cellList)
      for (int64_t j = ghost ? cell->firstGhostParticle : cell->firstParticle; j != -1; j = list[size_t(j)].nextInCell) {
        if (listed[size_t(j)] || list[size_t(j)].cell != cell)
          throw std::runtime_error("damaged state: the cells' particle lists are tangled");
        listed[size_t(j)] = 1;
      }
    for (size_t i = 0; i < list.size(); ++i)
      if (bool(list[i].cell) != bool(listed[i]) || (!list[i].cell && list[i].nextInCell != -1))
        throw std::runtime_error("damaged state: a particle is missing from its cell's list");
  };
  checkLists(_particlesArray, false);
  checkLists(_ghostParticlesArray, true);
}
