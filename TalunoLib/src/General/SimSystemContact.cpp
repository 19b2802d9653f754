// Granular contact between spheres: a damped normal spring for overlapping
// pairs, and a tangential force that is either shear damping capped by the
// Coulomb limit or, with static friction, a tangential spring anchored where
// the contact began to stick.
#include "SimSystem.h"

#include <algorithm>
#include <cmath>

bool SimSystem::contactEligible(char a, char b)
{
  if ((a & natureGranular) && (b & natureGranular))
    return true;
  return !sandSoftBodyInteraction &&
         (((a & natureGranular) && (b & natureSoftBody)) || ((a & natureSoftBody) && (b & natureGranular)));
}

void SimSystem::snapshotVelocities()
{
  _velocitySnapshot.resize(_particlesArray.size());
  _angularVelocitySnapshot.resize(_particlesArray.size());
  sweepAndUpdatePairLists(_contactPairs, 2.0 * particleRadius, "contact", [this](int64_t i) {
    Particle const& p = _particlesArray[size_t(i)];
    _velocitySnapshot[size_t(i)] = p.velocity;
    _angularVelocitySnapshot[size_t(i)] = p.angularVelocity;
  });
}

namespace {

// One overlapping pair of spheres: relative position, unit normal from j to
// i, tangential relative velocity, the normal force magnitude and the arm
// from either centre to the contact point, the middle of the overlap.
struct SphereContact
{
  Eigen::Vector3d r;
  Eigen::Vector3d normal;
  Eigen::Vector3d vt;
  double fn;
  double arm;
};

// The damped normal spring of a pair closer than two radii; false for pairs
// apart or coincident.
inline bool sphereContact(SimSystem const& s, Eigen::Vector3d const& xi, Eigen::Vector3d const& xj,
                          Eigen::Vector3d const& vi, Eigen::Vector3d const& vj, SphereContact& c)
{
  c.r = xi - xj;
  const double d2 = c.r.squaredNorm();
  const double contact = 2.0 * s.particleRadius;
  if (!(d2 < contact * contact && d2 > s.squaredLengthTolerance()))
    return false;
  const double d = std::sqrt(d2);
  c.normal = c.r / d;
  c.arm = 0.5 * d;
  const Eigen::Vector3d vrel = vi - vj;
  const double vn = vrel.dot(c.normal);
  c.vt = vrel - vn * c.normal;
  c.fn = s.normalConstant * (d - contact) + s.normalDamping * vn;
  return true;
}

// A sticking force past the Coulomb limit is cut to it, and a spring
// stretched past what the limit allows is shortened to that length by moving
// its anchor (the record is the owning particle's, written only by its
// thread): the contact slips by the excess, as a Coulomb contact does.
inline void holdToCoulombLimit(Eigen::Vector3d& ft, Eigen::Vector3d& anchor, Eigen::Vector3d const& r,
                               Eigen::Vector3d const& deltaT, double limit, double shearConstant)
{
  const double force = ft.norm();
  if (!(force > limit))
    return;
  ft *= limit / force;
  const double stretch = deltaT.norm();
  if (shearConstant > 0.0 && shearConstant * stretch > limit)
    anchor = r - deltaT * (limit / (shearConstant * stretch));
}

// With turning spheres, the slip at the contact point: there each grain's
// surface also moves with its spin, at -a n from i and at a n from j.
inline void addSpinToSlip(SphereContact& c, Eigen::Vector3d const& wi, Eigen::Vector3d const& wj)
{
  c.vt -= c.arm * (wi + wj).cross(c.normal);
}

// The spin a contact gives grain i, per unit mass: its tangential force acts
// at the contact point, -a n x ft (with the arm a on both sides the pair's
// angular momentum is kept).
inline Eigen::Vector3d frictionTorque(SphereContact const& c, Eigen::Vector3d const& ft)
{
  return -c.arm * c.normal.cross(ft);
}

// The pair's relative rolling: their relative spin about an axis in the
// contact plane (twisting about the normal is not rolling).
inline Eigen::Vector3d relativeRolling(SphereContact const& c, Eigen::Vector3d const& wi, Eigen::Vector3d const& wj)
{
  const Eigen::Vector3d w = wi - wj;
  return w - w.dot(c.normal) * c.normal;
}

// Rolling resistance stands for the grains' corners, which spheres lack. Its
// limit is mu_r R* |Fn|, R* = R / 2 being the rolling radius of two equal
// spheres, as discrete-element codes define it (Ai et al. 2011).
inline double rollingLimit(SphereContact const& c, double rollingFriction, double radius)
{
  return rollingFriction * 0.5 * radius * std::abs(c.fn);
}

// Without a contact record (no static friction, or a contact that has not
// stuck yet): a torque against the relative rolling at the
// limit, but never more than an eighth of what would stop that rolling
// within the sub-step, so that it neither reverses it nor rings between
// many contacts.
inline Eigen::Vector3d rollingDrag(Eigen::Vector3d const& rolling, double limit, double inertia, double dt)
{
  const double rate = rolling.norm();
  if (!(rate > 0.0))
    return Eigen::Vector3d::Zero();
  return -std::min(limit, inertia * rate / (16.0 * dt)) * rolling / rate;
}

// With contact records: a rolling spring that the relative rolling winds up
// (stiffness 2.25 kn mu_r^2 R*^2), held to the limit and damped at 0.3 of
// critical while below it, the elastic-plastic spring-dashpot model of Ai
// et al. (2011). Unlike a drag it holds a grain still on a slope. Its
// stiffness is capped at kn I, so that it never rings faster than the
// normal spring, whose period sets the sub-steps. The record is the
// owner's: only its thread writes it.
inline Eigen::Vector3d rollingSpring(Eigen::Vector3d& spring, SphereContact const& c, Eigen::Vector3d const& rolling,
                                     double limit, double normalConstant, double rollingFriction, double radius,
                                     double inertia, double dt)
{
  const double reach = 0.5 * radius * rollingFriction;
  const double kr = std::min(2.25 * normalConstant * reach * reach, normalConstant * inertia);
  spring -= spring.dot(c.normal) * c.normal; // it turns with the contact plane
  spring -= kr * dt * rolling;
  const double torque = spring.norm();
  if (torque > limit) {
    spring *= limit / torque; // rolling on at the limit: the spring slips
    return spring;
  }
  // Relative motion I t'' = -2 kr t - 2 cr t': cr = zeta sqrt(2 kr I).
  return spring - 0.3 * std::sqrt(2.0 * kr * inertia) * rolling;
}

} // namespace

double SimSystem::sphereInertia() const
{
  return 0.4 * particleRadius * particleRadius;
}

void SimSystem::gatherContactView()
{
  const double dv = gravity * _dt;
  const bool withGravity = _gravityPass == GravityPass::contactView;
  _contactView.resize(_particlesArray.size());
  _spinView.resize(spheresTurn() ? _particlesArray.size() : 0);
  sweepAndUpdatePairLists(_contactPairs, 2.0 * particleRadius, "contact", [&](int64_t j) {
    Particle& p = _particlesArray[size_t(j)];
    if (withGravity)
      applyGravity(p, dv);
    _contactView[size_t(j)] = ContactEntry{p.position, p.velocity, p.id, p.nature};
    if (spheresTurn())
      _spinView[size_t(j)] = (p.nature & natureGranular) ? p.angularVelocity : Eigen::Vector3d::Zero();
  });
}

void SimSystem::resolveInterparticleCollisions_NoExplicitStaticFriction()
{
  gatherContactView();
  const int64_t n = static_cast<int64_t>(_particlesArray.size());

  // Each particle's own position, velocity and nature come from the view
  // too: the pass then touches a particle record only to add a force.
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    ContactEntry const& pi = _contactView[size_t(i)];
    if (!(pi.nature & (natureSoftBody | natureGranular)))
      continue;
    Eigen::Vector3d force = Eigen::Vector3d::Zero();
    Eigen::Vector3d torque = Eigen::Vector3d::Zero();
    bool touched = false;
    Eigen::Vector3d const& vi = pi.velocity;
    const bool spins = spheresTurn() && (pi.nature & natureGranular);
    forEachContactCandidate(i, [&](int64_t j, ContactEntry const& pj) {
      SphereContact c;
      if (!contactEligible(pi.nature, pj.nature) ||
          !sphereContact(*this, pi.position, pj.position, vi, pj.velocity, c))
        return;
      touched = true;
      if (spheresTurn())
        addSpinToSlip(c, _spinView[size_t(i)], _spinView[size_t(j)]);
      const Eigen::Vector3d& vt = c.vt;
      const double fn = c.fn;
      const Eigen::Vector3d& normal = c.normal;
      Eigen::Vector3d ft = Eigen::Vector3d::Zero();
      const double vt2 = vt.squaredNorm();
      if (vt2 > 0) {
        const double vtLength = std::sqrt(vt2);
        ft = -std::min(shearDamping * vtLength, coulombConstant * std::abs(fn)) * vt / vtLength;
      }
      force += -fn * normal + ft;
      if (spins)
        torque += frictionTorque(c, ft) +
                  rollingDrag(relativeRolling(c, _spinView[size_t(i)], _spinView[size_t(j)]),
                              rollingLimit(c, rollingFriction, particleRadius), sphereInertia(), _dt);
    });
    if (touched)
      applyContact(_particlesArray[size_t(i)], force, torque, spins);
  }
}

void SimSystem::resolveInterparticleCollisions_SpringBased()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  const double contact2 = 4.0 * particleRadius * particleRadius;

  // Mark records whose particles have parted.
  const int64_t records = static_cast<int64_t>(_demTangentialSprings.size());
#pragma omp parallel for schedule(static)
  for (int64_t k = 0; k < records; ++k) {
    DEMTangentialSpring& spring = _demTangentialSprings[k];
    Particle const& p1 = _particlesArray[_particlesArrayMap[spring.id1]];
    Particle const& p2 = _particlesArray[_particlesArrayMap[spring.id2]];
    if ((p1.position - p2.position).squaredNorm() > contact2)
      spring.marked = true;
  }
  dropSeparatedTangentialSprings();

  _newDemTangentialSprings.clear();
  gatherContactView();

#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i) {
    ContactEntry const& pi = _contactView[size_t(i)];
    if (!(pi.nature & (natureSoftBody | natureGranular)))
      continue;
    Eigen::Vector3d force = Eigen::Vector3d::Zero();
    Eigen::Vector3d torque = Eigen::Vector3d::Zero();
    bool touched = false;
    Eigen::Vector3d const& vi = pi.velocity;
    const bool spins = spheresTurn() && (pi.nature & natureGranular);
    forEachContactCandidate(i, [&](int64_t j, ContactEntry const& pj) {
      SphereContact c;
      if (!contactEligible(pi.nature, pj.nature) ||
          !sphereContact(*this, pi.position, pj.position, vi, pj.velocity, c))
        return;
      touched = true;
      if (spheresTurn())
        addSpinToSlip(c, _spinView[size_t(i)], _spinView[size_t(j)]);
      const Eigen::Vector3d& r = c.r;
      const Eigen::Vector3d& normal = c.normal;
      const Eigen::Vector3d& vt = c.vt;
      const double fn = c.fn;
      const double vtLength = vt.norm();
      const uint64_t key = pairKey(pi.id, pj.id);
      auto found = _demTangentialSpringsMap.find(key);

      Eigen::Vector3d ft = Eigen::Vector3d::Zero();
      if (shearDamping * vtLength > coulombConstant * std::abs(fn)) {
        // Sliding: the stick restarts from here next time.
        if (found != _demTangentialSpringsMap.end())
          _demTangentialSprings[found->second].displacement = r;
        if (vtLength > 0)
          ft = -coulombConstant * std::abs(fn) * vt / vtLength;
      } else if (found == _demTangentialSpringsMap.end()) {
        // Sticking for the first time: anchor here, no tangential force yet.
        DEMTangentialSpring spring(pi.id, pj.id);
        spring.displacement = r;
#pragma omp critical
        _newDemTangentialSprings.push_back(spring);
      } else {
        // Sticking: the tangential spring pulls back towards the anchor.
        // The anchor keeps r minus the slip so far; rolling moves the
        // contact point without slip, so the anchor follows it.
        Eigen::Vector3d& anchor = _demTangentialSprings[found->second].displacement;
        if (spheresTurn())
          anchor += _dt * c.arm * (_spinView[size_t(i)] + _spinView[size_t(j)]).cross(normal);
        const Eigen::Vector3d delta = r - anchor;
        const Eigen::Vector3d deltaT = delta - delta.dot(normal) * normal;
        ft = -shearConstant * deltaT - shearDamping * vt;
        if (limitStaticFriction)
          holdToCoulombLimit(ft, anchor, r, deltaT, coulombConstant * std::abs(fn), shearConstant);
      }
      force += -fn * normal + ft;
      if (spins) {
        torque += frictionTorque(c, ft);
        // A contact that has stuck at least once has its record, and with it
        // a rolling spring; before that a drag resists its rolling.
        if (found != _demTangentialSpringsMap.end())
          torque += rollingSpring(_demTangentialSprings[found->second].rolling, c,
                                  relativeRolling(c, _spinView[size_t(i)], _spinView[size_t(j)]),
                                  rollingLimit(c, rollingFriction, particleRadius), normalConstant, rollingFriction,
                                  particleRadius, sphereInertia(), _dt);
        else
          torque += rollingDrag(relativeRolling(c, _spinView[size_t(i)], _spinView[size_t(j)]),
                                rollingLimit(c, rollingFriction, particleRadius), sphereInertia(), _dt);
      }
    });
    if (touched)
      applyContact(_particlesArray[size_t(i)], force, torque, spins);
  }

  // Threads entered the critical section in any order: merge the new records
  // by their pair key, so that indices repeat from run to run.
  std::sort(_newDemTangentialSprings.begin(), _newDemTangentialSprings.end(),
            [](DEMTangentialSpring const& a, DEMTangentialSpring const& b) {
              return pairKey(a.id1, a.id2) < pairKey(b.id1, b.id2);
            });
  for (DEMTangentialSpring const& spring : _newDemTangentialSprings) {
    _demTangentialSpringsMap.emplace(pairKey(spring.id1, spring.id2),
                                     static_cast<uint32_t>(_demTangentialSprings.size()));
    _demTangentialSprings.push_back(spring);
  }
}

void SimSystem::applyContact(Particle& p, Eigen::Vector3d const& force, Eigen::Vector3d const& torque,
                             bool spins) const
{
  p.velocity += force * _dt;
  if (spins)
    p.angularVelocity += torque * (_dt / sphereInertia());
}

void SimSystem::dropSeparatedTangentialSprings()
{
  // From the highest marked index down, the last record fills each hole: the
  // records above a hole are unmarked by then, so one pass removes them all.
  // Serial and in index order, so the layout repeats for any thread count.
  for (int64_t k = int64_t(_demTangentialSprings.size()) - 1; k >= 0; --k) {
    DEMTangentialSpring const& spring = _demTangentialSprings[size_t(k)];
    if (!spring.marked)
      continue;
    _demTangentialSpringsMap.erase(pairKey(spring.id1, spring.id2));
    const size_t last = _demTangentialSprings.size() - 1;
    if (size_t(k) != last) {
      DEMTangentialSpring const& moved = _demTangentialSprings[last];
      _demTangentialSpringsMap[pairKey(moved.id1, moved.id2)] = static_cast<uint32_t>(k);
      _demTangentialSprings[size_t(k)] = moved;
    }
    _demTangentialSprings.pop_back();
  }
}
