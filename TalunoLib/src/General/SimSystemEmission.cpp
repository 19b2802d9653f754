// Particle creation: the emission pass that turns emitters' candidate
// positions into particles, and the placing of one particle into the arrays
// and the grid.
#include "CollisionObject.h"
#include "EmitterObject.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>

uint32_t SimSystem::placeParticle(Eigen::Vector3d const& p, Eigen::Vector3d const& v, char nature,
                                  EmitterObject const* emitter)
{
  const uint32_t id = _nbParticles;
  const uint64_t key = cellKeyOf(p);
  // Particles are never removed, so the new particle's index equals its id.
  const int64_t index = static_cast<int64_t>(_particlesArray.size());
  _particlesArray.emplace_back(p.x(), p.y(), p.z(), v.x(), v.y(), v.z(), id, nullptr, key, nature, emitter);
  ++_arrayGeneration;
  if (emitter)
    _particlesArray.back().frictionSlot = frictionSlotOf(emitter->_frictionMultiplier);
  linkToCell(key, index, false);
  _particlesArrayMap.push_back(static_cast<int32_t>(index));
  ++_nbParticles;
  return id;
}

uint16_t SimSystem::frictionSlotOf(double multiplier)
{
  // Emitters are few and their multipliers change rarely: a short table,
  // searched from the most recent entry. Compared by bits, so that a NaN
  // finds its slot too.
  for (size_t k = _frictionMultipliers.size(); k-- > 0;)
    if (std::memcmp(&_frictionMultipliers[k], &multiplier, sizeof(double)) == 0)
      return uint16_t(k);
  if (_frictionMultipliers.size() > std::numeric_limits<uint16_t>::max())
    throw std::runtime_error("particles have been made with 65,536 different friction multipliers, more than "
                             "one simulation can keep; animate the emitters' \"frictionMultiplier\" in fewer "
                             "distinct steps");
  _frictionMultipliers.push_back(multiplier);
  return uint16_t(_frictionMultipliers.size() - 1);
}

void SimSystem::addParticle(EmitterObject const* emitter, Eigen::Vector3d const& position, Cell* /*cell*/)
{
  Eigen::Quaterniond orientation = Eigen::Quaterniond::Identity();
  if (randInitRotations) {
    // Drawn in the order w, x, y, z, each mapped to [-1, 1].
    const double w = 2.0 * (_random.next() * _invRandMax - 0.5);
    const double x = 2.0 * (_random.next() * _invRandMax - 0.5);
    const double y = 2.0 * (_random.next() * _invRandMax - 0.5);
    const double z = 2.0 * (_random.next() * _invRandMax - 0.5);
    const double length = std::sqrt(w * w + x * x + y * y + z * z);
    // Four draws of exactly 0.5 are the one way to a zero quaternion; keep the
    // identity rather than divide by zero.
    if (length > 0.0)
      orientation = Eigen::Quaterniond(w / length, x / length, y / length, z / length);
  }
  placeParticle(position, emitter->_velocity, emitter->_nature, emitter);
  _particlesArray.back().orientation = orientation;
  // What the run's energy may grow by: the newcomer's kinetic and height
  // energy (what its compression stores counts from its first frame on).
  _emittedEnergy += 0.5 * emitter->_velocity.squaredNorm() - gravity * position.y();
  ++_emittedCount;
}

Eigen::Vector3d SimSystem::emittedPosition(EmitterObject const& emitter, unsigned index) const
{
  Eigen::Vector3d position = emitter._positions[index];
  if (emitter._jitter > 0.0)
    position += emitter._jitter * particleRadius * jitterOffset(_nbParticles);
  return position;
}

Eigen::Vector3d SimSystem::jitterOffset(uint32_t id)
{
  // Three numbers in [-1, 1) from a hash of the id (splitmix64): the same for
  // every run and thread count, and apart from the random sequence that the
  // random initial rotations follow.
  uint64_t state = 0x9E3779B97F4A7C15ull * (uint64_t(id) + 1);
  Eigen::Vector3d offset;
  for (int c = 0; c < 3; ++c) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    offset[c] = double(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;
  }
  return offset;
}

namespace {

// Whether an emitter emits in this pass.
bool emitsNow(EmitterObject const& emitter, unsigned frame)
{
  if (!emitter._hasEmitted)
    return true;
  switch (emitter._emissionType) {
  case EmitterObject::continuousEmission:
    return true;
  case EmitterObject::intermittentEmission:
    // An interval of 0 has no period: it emits every frame, like an interval of 1.
    return emitter._interval == 0 || frame % emitter._interval == 0;
  default:
    return false;
  }
}

} // namespace

void SimSystem::emitParticles(unsigned frame)
{
  _heldByEmitters.clear();
  if (_emitterObjects.empty())
    return;
  Cell::Heads missingCellHeads = Cell::noHeads();
  const double fullGap = 4.0 * particleRadius * particleRadius;
  const double tolerance = squaredLengthTolerance();

  for (uint32_t i = 0; i < _emitterObjects.size(); ++i) {
    auto found = _emitterObjects.find(i);
    EmitterObject* emitter = found != _emitterObjects.end() ? found->second : nullptr;
    if (!emitter || !emitter->_active)
      continue;
    if (!emitsNow(*emitter, frame))
      continue;

    // Room for every candidate at once: an emitter that fills a volume
    // would otherwise leave the arrays up to twice the size they need. Growth
    // by at least half keeps an emitter that adds a few each frame cheap.
    const size_t needed = _particlesArray.size() + emitter->_positions.size();
    if (needed > _particlesArray.capacity()) {
      const size_t room = std::max(needed, _particlesArray.capacity() + _particlesArray.capacity() / 2);
      _particlesArray.reserve(room);
      _particlesArrayMap.reserve(room);
    }
    // A stream (an emitter that emits again, with a velocity) holds its
    // particles at that velocity while they are in its volume, as the
    // nozzle of a hose does: the stream leaves at the emitter's speed
    // instead of being shaped by the pressure of the half-formed lattice.
    const bool stream = emitter->_hasEmitted && emitter->_velocity.squaredNorm() > 0.0;
    // Liquid is placed only where it fits: a candidate a diameter from every
    // particle can still be denser than the rest density among particles
    // packed closer than the emitters' cubic lattice.
    const bool liquid = fluid && (emitter->_nature & natureLiquid);
    // Too close: nearer than a diameter by more than the tolerance, less
    // what the jitter may bring two lattice neighbours closer (so that a
    // jittered fill is whole, and overlaps no more than its jitter).
    const double jitterReach = emitter->_jitter * particleRadius * std::sqrt(3.0);
    const double gap = std::max(0.0, 2.0 * particleRadius - 2.0 * jitterReach);
    double minimumGap = emitter->_jitter > 0.0 ? gap * gap : fullGap;
    const SettledFill settled = liquid && hydrostaticStart && !emitter->_hasEmitted &&
                                        emitter->_velocity.squaredNorm() == 0.0 &&
                                        emitter->_fillType == EmitterObject::cubic
                                    ? settledFill(*emitter)
                                    : SettledFill{};
    // A settled column's particles sit closer than a diameter, by design.
    minimumGap *= settled.closest * settled.closest;
    for (unsigned k = 0; k < emitter->_positions.size(); ++k) {
      // The particle would go to the candidate moved by its jitter (and
      // settled): the spacing is tested there, so that no newcomer overlaps
      // a particle.
      Eigen::Vector3d site = emitter->_positions[k];
      Eigen::Vector3d p = emittedPosition(*emitter, k);
      const double compression = settled.shift.empty() ? 0.0 : settled.compression[k];
      if (!settled.shift.empty()) {
        site.y() += settled.shift[k];
        p.y() += settled.shift[k];
      }
      Cell* cell = nullptr;
      getCellFromPos(p.x(), p.y(), p.z(), cell);
      Cell::Heads const* heads = &missingCellHeads;
      if (cell) {
        heads = &cell->neighborFirstParticles;
      } else {
        getNeighborFirstParticlesFromPos(p.x(), p.y(), p.z(), missingCellHeads);
      }
      bool free = true;
      for (int n = 0; n < 27 && (free || stream); ++n)
        for (int64_t j = (*heads)[n]; j != -1; j = _particlesArray[j].nextInCell) {
          Particle const& q = _particlesArray[j];
          if (stream && q.nature == emitter->_nature && (q.position - site).squaredNorm() < fullGap)
            _heldByEmitters.emplace_back(j, emitter->_velocity);
          if (free && minimumGap - (q.position - p).squaredNorm() > tolerance) {
            free = false;
            if (!stream)
              break;
          }
        }
      if (free && liquid && !roomForLiquid(p, cell, heads, compression))
        free = false;
      if (free && !clearOfColliders(p, jitterReach))
        free = false;
      if (free)
        addParticle(emitter, p, cell);
    }
    emitter->_hasEmitted = true;
  }
}

bool SimSystem::roomForLiquid(Eigen::Vector3d const& p, Cell const* cell, Cell::Heads const* heads,
                              double settled) const
{
  // The density a liquid particle at p would have, from the particles and
  // ghosts listed around it and itself; 2 % above the rest density (a
  // pressure of 0.15 B) is room, more is not.
  auto term = [&](Eigen::Vector3d const& q) {
    return kernelSumTerm((q - p).squaredNorm(), particlesInteractionRadius2, _unitLength2);
  };
  double sum = term(p);
  for (int n = 0; n < 27; ++n)
    for (int64_t j = (*heads)[n]; j != -1; j = _particlesArray[j].nextInCell)
      sum += term(_particlesArray[j].position);
  if (cell)
    forEachNeighborGhost(cell, [&](int64_t g) { sum += term(_ghostParticlesArray[g].position); });
  return _particleMass * _poly6Coef * sum <= restDensity * (1.0 + emittedCompression + settled);
}

bool SimSystem::clearOfColliders(Eigen::Vector3d const& p, double allowance) const
{
  // A particle placed well inside a collider's collision distance is thrown
  // out of it in its first sub-step, into the particles beside it (a liquid
  // bursts): none is placed closer than most of that, less its jitter.
  if (!objectsCollisions)
    return true;
  // A tenth of the distance is allowed: an emitter flush with a wall puts
  // its outer layer right at the collision distance, which the field's
  // interpolation gives only to within a small error.
  return nearestColliderDistance(p) >= 0.9 * _collisionDistance - allowance;
}

double SimSystem::nearestColliderDistance(Eigen::Vector3d const& p) const
{
  double nearest = std::numeric_limits<double>::infinity();
  for (auto const& [index, object] : _collisionObjects) {
    if (!object || !object->_active || !object->_asdf)
      continue;
    double d;
    Eigen::Vector3d gradient;
    object->_asdf->trilinearInterpolation(p.x(), p.y(), p.z(), d, 0.0, gradient);
    nearest = std::min(nearest, d);
  }
  return nearest;
}

SimSystem::SettledFill SimSystem::settledFill(EmitterObject const& emitter) const
{
  SettledFill fill;
  const size_t count = emitter._positions.size();
  if (gravity == 0.0 || count == 0 || !(_pressureStiffness > 0.0) || !objectsCollisions)
    return fill;
  // Heights along "up", against gravity.
  const double up = gravity < 0.0 ? 1.0 : -1.0;
  const double spacing = 2.0 * particleRadius;
  auto height = [&](unsigned k) { return up * emitter._positions[k].y(); };

  // The fill's vertical columns, keyed by the lattice step from the first
  // candidate (candidates sit whole spacings apart), each from its top down;
  // a gap of more than a spacing starts a new column (a fill with an
  // overhang).
  std::map<std::pair<int64_t, int64_t>, std::vector<unsigned>> columns;
  Eigen::Vector3d const origin = emitter._positions[0];
  for (unsigned k = 0; k < count; ++k) {
    Eigen::Vector3d const q = emitter._positions[k] - origin;
    columns[{std::llround(q.x() / spacing), std::llround(q.z() / spacing)}].push_back(k);
  }
  const double gradient = restingPressureGradient();
  const double contact = _collisionDistance + particleRadius;
  fill.shift.assign(count, 0.0);
  fill.compression.assign(count, 0.0);
  bool any = false;
  for (auto& [key, members] : columns) {
    std::sort(members.begin(), members.end(), [&](unsigned a, unsigned b) {
      return height(a) != height(b) ? height(a) > height(b) : a < b;
    });
    for (size_t top = 0, end; top < members.size(); top = end) {
      end = top + 1;
      while (end < members.size() && height(members[end - 1]) - height(members[end]) < 1.5 * spacing)
        ++end;
      const unsigned bottom = members[end - 1];
      if (!(nearestColliderDistance(emitter._positions[bottom]) < contact))
        continue;
      // From the bottom up, each gap between two neighbours shrinks to what
      // the liquid's pressure at its depth below the column's top allows;
      // the bottom stays where it is, on the collider.
      const double surface = height(members[top]);
      double settledHeight = height(bottom);
      for (size_t m = end - 1; m > top; --m) {
        const double lower = height(members[m]), upper = height(members[m - 1]);
        const double pressure = gradient * (surface - 0.5 * (lower + upper));
        const double squeeze = std::pow(1.0 + pressure / _pressureStiffness, -1.0 / 7.0);
        fill.closest = std::min(fill.closest, squeeze);
        settledHeight += (upper - lower) * squeeze;
        fill.shift[members[m - 1]] = up * (settledHeight - upper);
      }
      for (size_t m = top; m < end; ++m) {
        const double pressure = gradient * (surface - height(members[m]));
        fill.compression[members[m]] = std::pow(1.0 + pressure / _pressureStiffness, 1.0 / 7.0) - 1.0;
      }
      any = true;
    }
  }
  if (!any)
    return SettledFill{};
  return fill;
}

double SimSystem::restingPressureGradient() const
{
  const double perGradient = latticeAccelerationPerGradient();
  return perGradient > 0.0 ? std::abs(gravity) / perGradient : 0.0;
}

double SimSystem::pressureToPascals() const
{
  // A continuum accelerates by grad p / rho; the pair form gives a lattice
  // particle perGradient times grad p. The pressure that pushes as hard in a
  // continuum, in pascals, is the solver's times rho0 perGradient, with
  // lengths converted to metres.
  return restDensity * latticeAccelerationPerGradient() * _unitLength * _unitLength;
}

double SimSystem::latticeAccelerationPerGradient() const
{
  // For a pressure falling by G per scene unit of height, the pair form
  // -m (p_i + p_j) / (2 rho_i rho_j) grad W gives a lattice particle an
  // upward acceleration of G times the lattice sum below (the constant part
  // of the pressure cancels between opposite neighbours).
  const double d = 2.0 * particleRadius;
  const double h = particlesInteractionRadius;
  const double pressureCoef = -0.5 * _spikyGradCoef;
  const int n = int(std::ceil(h / d));
  double sum = 0.0;
  for (int i = -n; i <= n; ++i)
    for (int j = -n; j <= n; ++j)
      for (int k = -n; k <= n; ++k) {
        const double r2 = d * d * double(i * i + j * j + k * k);
        if (r2 == 0.0 || r2 >= h * h)
          continue;
        const double dist = std::sqrt(r2);
        const double q = (h - dist) * _unitLength;
        const double dy = j * d;
        sum += pressureCoef * q * q / dist * dy * dy;
      }
  return _particleMass * sum / (restDensity * restDensity);
}

void SimSystem::holdEmittedStreams()
{
  for (auto const& [index, velocity] : _heldByEmitters)
    if (index < int64_t(_particlesArray.size()))
      _particlesArray[size_t(index)].velocity = velocity;
}
