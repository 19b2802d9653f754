// The solver's output geometry: a persistent mirror of the simulation, one
// point per particle (and per ghost, when shown), matched to particles by
// their "ID" attribute and appended for new particles only.
#include "GA/GA_Handle.h"
#include "SOP_Taluno.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <iostream>

namespace {

void setVector(GA_Attribute* attribute, GA_Offset point, Eigen::Vector3d const& v)
{
  for (int c = 0; c < 3; ++c)
    attribute->set(point, c, float(v[c]));
}

UT_Vector3 narrowed(Eigen::Vector3d const& v) { return UT_Vector3(float(v.x()), float(v.y()), float(v.z())); }

} // namespace

void SOP_Taluno::birthParticle(float const* position, float const* velocity, int32_t id, bool ghost)
{
  const GA_Offset point = gdp->appendPointOffset();
  gdp->setPos3(point, UT_Vector3(position[0], position[1], position[2]));
  for (int c = 0; c < 3; ++c)
    _velocityAttribute->set(point, c, velocity[c]);
  _idAttribute->set(point, 0, id);
  const int type = evalInt("type", &myOffsets[7], 0, 0.0);
  if (type == 1 && _particlePrimitive) {
    _particlePrimitive->appendParticle(point);
  } else if (type == 2) {
    GU_PrimSphereParms parms;
    parms.gdp = gdp;
    parms.ptoff = point;
    parms.radius = static_cast<float>(evalFloat("particleRadius", &myOffsets[5], 0, 0.0));
    GU_PrimSphere::build(parms);
  }
  if (_showGhostParticles)
    (ghost ? _ghostsGroup : _particlesGroup)->add(point);
}

void SOP_Taluno::writeOutput(float time)
{
  SimSystem const& s = *_system;
  auto idOf = [this](GA_Offset point) { return _idAttribute ? int32_t(_idAttribute->get(point, 0)) : 0; };
  auto isParticlePoint = [this](GA_Offset point) { return !_showGhostParticles || _particlesGroup->contains(point); };
  auto particleOf = [&s](int32_t id) -> Particle const* {
    if (id < 0 || size_t(id) >= s._particlesArrayMap.size())
      return nullptr;
    return &s._particlesArray[s._particlesArrayMap[id]];
  };

  // O1: move the particle points, then append points for new particles.
  int64_t maxId = -1;
  GA_FOR_ALL_PTOFF(gdp, point)
  {
    if (!isParticlePoint(point))
      continue;
    const int32_t id = idOf(point);
    maxId = std::max<int64_t>(maxId, id);
    if (Particle const* p = particleOf(id)) {
      gdp->setPos3(point, narrowed(p->position));
      setVector(_velocityAttribute, point, p->velocity);
    }
  }
  for (int64_t k = maxId + 1; k < int64_t(s._particlesArrayMap.size()); ++k) {
    Particle const& p = s._particlesArray[s._particlesArrayMap[k]];
    const float position[3] = {float(p.position.x()), float(p.position.y()), float(p.position.z())};
    const float velocity[3] = {float(p.velocity.x()), float(p.velocity.y()), float(p.velocity.z())};
    birthParticle(position, velocity, int32_t(p.id), false);
    if (_birthTimes.size() <= p.id)
      _birthTimes.resize(size_t(p.id) + 1, time);
    _birthTimes[p.id] = time;
    for (int m = 0; m < 3; ++m)
      if (_materialGroups[m] && (p.nature & (1 << m)))
        _materialGroups[m]->add(gdp->getNumPoints() - 1);
  }

  // O2: ghost points follow their ghosts; points of vanished ghosts go.
  if (_showGhostParticles) {
    int64_t maxGhost = -1;
    GA_FOR_ALL_PTOFF(gdp, point)
    {
      if (!_ghostsGroup->contains(point))
        continue;
      const int32_t id = idOf(point);
      maxGhost = std::max<int64_t>(maxGhost, id);
      const int32_t g = id >= 0 && size_t(id) < s._ghostParticlesArrayMap.size() ? s._ghostParticlesArrayMap[id] : -1;
      if (g == -1) {
        _ghostsToDeleteGroup->add(point);
      } else {
        gdp->setPos3(point, narrowed(s._ghostParticlesArray[g].position));
        setVector(_velocityAttribute, point, s._ghostParticlesArray[g].velocity);
      }
    }
    gdp->destroyElements(*_ghostsToDeleteGroup);
    _ghostsToDeleteGroup->clear();
    for (int64_t k = maxGhost + 1; k < int64_t(s._ghostParticlesArrayMap.size()); ++k) {
      const int32_t g = s._ghostParticlesArrayMap[k];
      if (g == -1)
        continue;
      Particle const& ghost = s._ghostParticlesArray[g];
      const float position[3] = {float(ghost.position.x()), float(ghost.position.y()), float(ghost.position.z())};
      const float velocity[3] = {float(ghost.velocity.x()), float(ghost.velocity.y()), float(ghost.velocity.z())};
      birthParticle(position, velocity, int32_t(ghost.id), true);
    }
  }

  // O3: colours from speed or pressure, blue at the interval's low end, red at its high end.
  const int mode = evalInt("colorData", &myOffsets[47], 0, 0.0);
  if (mode != 0 && _colorAttribute) {
    const float hi = static_cast<float>(evalFloat("colorDataInterval", &myOffsets[48], 1, time));
    const float lo = static_cast<float>(evalFloat("colorDataInterval", &myOffsets[48], 0, time));
    const bool fluidOn = evalInt("fluid", &myOffsets[23], 0, time) != 0;
    if (mode == 2 && !fluidOn)
      std::cout << "No SPH, No Pressure Data, colors will not be updated." << std::endl;
    auto colour = [&](GA_Offset point, bool ghost) {
      float value = 0.0f;
      if (mode == 1) {
        const GA_RWHandleV3 v(_velocityAttribute);
        const UT_Vector3 velocity = v.get(point);
        value = std::sqrt(velocity[0] * velocity[0] + velocity[1] * velocity[1] + velocity[2] * velocity[2]);
      } else if (mode == 2 && fluidOn) {
        const int32_t id = idOf(point);
        if (ghost) {
          const int32_t g = size_t(id) < s._ghostParticlesArrayMap.size() ? s._ghostParticlesArrayMap[id] : -1;
          value = g >= 0 ? float(s._ghostParticlesArray[g].pressure) : 0.0f;
        } else if (Particle const* p = particleOf(id)) {
          value = float(p->pressure);
        }
      }
      // Equal bounds leave no interval to map onto: every value at or above
      // them is red, below them blue, instead of a division by zero.
      const float r = hi != lo ? (value - lo) / (hi - lo) : (value >= hi ? 1.0f : 0.0f);
      _colorAttribute->set(point, 0, r);
      _colorAttribute->set(point, 1, 0.0);
      _colorAttribute->set(point, 2, 1.0f - r);
    };
    GA_FOR_ALL_PTOFF(gdp, point)
    {
      if (isParticlePoint(point))
        colour(point, false);
    }
    if (_showGhostParticles)
      GA_FOR_ALL_PTOFF(gdp, point)
      {
        if (_ghostsGroup->contains(point))
          colour(point, true);
      }
  }

  // Radius, material, liquid state and age, for renderers.
  if (_pscaleAttribute) {
    const float radius = float(s.particleRadius);
    GA_FOR_ALL_PTOFF(gdp, point)
    {
      const bool ghost = _showGhostParticles && _ghostsGroup->contains(point);
      Particle const* p = nullptr;
      const int32_t id = idOf(point);
      if (!ghost)
        p = particleOf(id);
      else if (id >= 0 && size_t(id) < s._ghostParticlesArrayMap.size() && s._ghostParticlesArrayMap[id] >= 0)
        p = &s._ghostParticlesArray[s._ghostParticlesArrayMap[id]];
      if (!p)
        continue;
      const bool liquid = p->nature & natureLiquid;
      _pscaleAttribute->set(point, 0, radius);
      _materialAttribute->set(point, 0, int(p->nature));
      _densityAttribute->set(point, 0, liquid ? float(1.0 / p->invDensity) : 0.0f);
      _pressureAttribute->set(point, 0, liquid ? float(p->pressure) : 0.0f);
      const float born = !ghost && size_t(id) < _birthTimes.size() ? _birthTimes[size_t(id)] : time;
      _ageAttribute->set(point, 0, std::max(0.0f, time - born));
    }
  }

  // The factor that turns the points' pressure into pascals, for probes and
  // for anyone reading pressures from a cache.
  if (_pressureAttribute) {
    gdp->destroyAttribute(GA_ATTRIB_DETAIL, "pressureToPascals");
    gdp->addFloatTuple(GA_ATTRIB_DETAIL, "pressureToPascals", 1, GA_Defaults(float(s.pressureToPascals())));
  }

  // Collider Forces: each collision object's load over the frame, under its
  // node's name (characters an attribute name cannot hold become '_').
  if (s.measureColliderLoads)
    for (HandedOver const& entry : _handedOver) {
      if (entry.kind != 0 || entry.index < 0)
        continue;
      const std::string name = SimSystem::colliderForceAttribute(entry.node);
      auto found = _colliderForces.find(entry.index);
      const Eigen::Vector3d force = found != _colliderForces.end() ? found->second : Eigen::Vector3d::Zero();
      gdp->destroyAttribute(GA_ATTRIB_DETAIL, name);
      gdp->addFloatTuple(GA_ATTRIB_DETAIL, name, 3, GA_Defaults({force.x(), force.y(), force.z()}));
    }

  // O4, O5: normals and rotations of particle points.
  if (_addNormals || _addRotAttribs)
    GA_FOR_ALL_PTOFF(gdp, point)
    {
      if (!isParticlePoint(point))
        continue;
      Particle const* p = particleOf(idOf(point));
      if (!p)
        continue;
      if (_addNormals)
        setVector(_normalAttribute, point, p->normal);
      if (_addRotAttribs) {
        Eigen::Vector4d const& q = p->orientation.coeffs(); // x, y, z, w
        for (int c = 0; c < 4; ++c)
          _rotationAttribute->set(point, c, float(q[c]));
        setVector(_angularVelocityAttribute, point, p->angularVelocity);
      }
    }
}
