// Particle creation: emission from the registered emitters, and the placing of
// one particle into the arrays and the grid.
#include "SimSystem.h"

uint32_t SimSystem::placeParticle(Eigen::Vector3d const& p, Eigen::Vector3d const& v, char nature,
                                  EmitterObject const* emitter)
{
  const uint32_t id = _nbParticles;
  const uint64_t key = cellKeyOf(p);
  // Particles are never removed, so the new particle's index equals its id.
  const int64_t index = static_cast<int64_t>(_particlesArray.size());
  _particlesArray.emplace_back(p.x(), p.y(), p.z(), v.x(), v.y(), v.z(), id, nullptr, key, nature, emitter);
  linkToCell(key, index, false);
  _particlesArrayMap.push_back(static_cast<int32_t>(index));
  ++_nbParticles;
  return id;
}

// Not simulated yet: emitters arrive with the emitter objects.
void SimSystem::emitParticles(unsigned /*frame*/) {}
