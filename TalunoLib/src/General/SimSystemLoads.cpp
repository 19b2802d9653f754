// What the particles put on each collision object, for reports (a probe
// log's forces, a cache's detail attributes): the impulses the collision
// responses give the particles they push back, and the pushes of the ghost
// particles that stand in the liquid for a wall, summed per object over the
// sub-steps since the last read. The sums run over fixed blocks of
// particles and are added block after block, so that the figures are the
// same whatever the number of threads.
#include "CollisionObject.h"
#include "SimSystem.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr int64_t loadBlock = 1024; // particles a block

} // namespace

double SimSystem::particleMassKg(char nature) const
{
  const double density = (nature & natureLiquid)                    ? restDensity
                         : (nature & natureAny) == natureGranular ? grainDensity
                                                                  : softBodyDensity;
  const double cell = 2.0 * particleRadius * _unitLength;
  return density * cell * cell * cell;
}

std::vector<int64_t> SimSystem::loadSlots()
{
  std::vector<int64_t> slots;
  for (auto const& entry : _collisionObjects)
    if (entry.second) {
      slots.push_back(entry.first);
      _loadImpulse.emplace(entry.first, Eigen::Vector3d::Zero());
    }
  return slots;
}

void SimSystem::addBlockLoads(std::vector<int64_t> const& slots)
{
  const size_t count = slots.size();
  if (count == 0)
    return;
  const size_t blocks = _loadBlocks.size() / count;
  for (size_t b = 0; b < blocks; ++b)
    for (size_t s = 0; s < count; ++s)
      _loadImpulse[slots[s]] += _loadBlocks[b * count + s];
}

int64_t SimSystem::loadBlocks(int64_t n, size_t slots)
{
  const int64_t blocks = (n + loadBlock - 1) / loadBlock;
  _loadBlocks.assign(size_t(blocks) * slots, Eigen::Vector3d::Zero());
  return blocks;
}

int64_t SimSystem::loadBlockSize() { return loadBlock; }

void SimSystem::measureGhostLoads()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  if (_ghostParticlesArray.empty() || _ghostWalls.size() != _ghostParticlesArray.size())
    return;
  std::vector<int64_t> const slots = loadSlots();
  const size_t count = slots.size();
  if (count == 0)
    return;
  const int64_t blocks = loadBlocks(n, count);
  const double h = particlesInteractionRadius;
  const double h2 = particlesInteractionRadius2;
  const double s = _unitLength; // the SPH pass's kernel scale
  const double pressureCoef = -0.5 * _spikyGradCoef;
  // A liquid particle's share of the push of a ghost: as the force pass
  // computes it, in newton-seconds over the sub-step.
  const double perAcceleration = particleMassKg(natureLiquid) * _dt;
#pragma omp parallel for schedule(static)
  for (int64_t b = 0; b < blocks; ++b) {
    Eigen::Vector3d* sums = _loadBlocks.data() + size_t(b) * count;
    for (int64_t i = b * loadBlock; i < std::min(n, (b + 1) * loadBlock); ++i) {
      Particle const& pi = _particlesArray[size_t(i)];
      if (!(pi.nature & natureLiquid))
        continue;
      for (auto [g, last] = _sphGhosts.of(i); g != last; ++g) {
        Particle const& pg = _ghostParticlesArray[size_t(*g)];
        const Eigen::Vector3d r = pi.position - pg.position;
        const double r2 = r.squaredNorm();
        if (!(r2 < h2))
          continue;
        // The ghost's term of the SPH force pass, as an acceleration.
        const double dist = std::sqrt(r2);
        const double q = (h - dist) * s;
        const Eigen::Vector3d push =
            r * (pressurePairFactor(pressureCoef, dist, q, pi.pressure + pg.pressure) * q * pi.invDensity *
                 pg.invDensity) *
            (_particleMass * perAcceleration);
        // A ghost mirrored across several walls (a corner) pushes along the
        // sum of its mirrors: each wall takes the part along its normal.
        GhostWalls const& walls = _ghostWalls[size_t(*g)];
        for (int k = 0; k < walls.count; ++k) {
          const size_t slot = size_t(std::find(slots.begin(), slots.end(), walls.object[k]) - slots.begin());
          if (slot < count)
            sums[slot] += walls.count == 1 ? push : Eigen::Vector3d(push.dot(walls.normal[k]) * walls.normal[k]);
        }
      }
    }
  }
  addBlockLoads(slots);
}

std::string SimSystem::colliderForceAttribute(std::string const& node)
{
  std::string name = "force_" + node;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
      c = '_';
  return name;
}

std::map<int64_t, Eigen::Vector3d> SimSystem::takeColliderForces()
{
  std::map<int64_t, Eigen::Vector3d> forces;
  for (auto const& [index, impulse] : _loadImpulse)
    if (_collisionObjects.count(index))
      forces[index] = _loadTime > 0.0 ? Eigen::Vector3d(-impulse * (_unitLength / _loadTime)) : Eigen::Vector3d::Zero();
  for (auto const& entry : _collisionObjects)
    if (entry.second)
      forces.emplace(entry.first, Eigen::Vector3d::Zero());
  _loadImpulse.clear();
  _loadTime = 0.0;
  return forces;
}
