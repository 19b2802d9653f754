#pragma once

#include "Cell.h"
#include "CellIndex.h"
#include "PairCodes.h"
#include "PairMoves.h"
#include "Particle.h"
#include "RandomSequence.h"
#include "SimSettings.h"
#include "Spring.h"
#include "subParticle.h"

#include <Eigen/Core>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CollisionObject;
class EmitterObject;
class StateReader;
class StateWriter;

/// The whole state of one particle simulation and its only entry point. A
/// solver builds one from its settings, hands it collision objects and
/// emitters, calls initialize() at the reset frame and simulStep() once per
/// frame. Members are public: the phases, each in a source file of its own,
/// and the output read and write them directly.
class SimSystem
{
public:
  SimSystem(double gravity, double particlesInteractionRadius, bool springs, bool fluid, double restDensity,
            double internalPressure, bool automaticSpringRestLength, double springsNeighborSearchRadius,
            double springRestLength, double springConstant, double springDamping, bool plasticDeformation,
            double yieldRatio, double plasticityConstant, bool springsCanBreak, double springsBreakLengthThreshold,
            double springsBreakForceThreshold, bool springsCanReconnect, bool objectsCollisions,
            double particleRadius, bool viscosity, double viscosityFactor, bool surfaceTension,
            double surfaceTensionThreshold, double surfaceTensionScale, bool interParticleCollisions,
            int32_t interParticlesCollMode, subParticleShape interParticlesCollShape, bool enableRotations,
            bool randInitRotations, double normalConstant, double normalDamping, double shearConstant,
            double shearDamping, double coulombConstant, bool enforceStaticFriction);
  explicit SimSystem(SimSettings const& s);
  ~SimSystem();

  SimSystem(SimSystem const&) = delete;
  SimSystem& operator=(SimSystem const&) = delete;

  // --- Construction and step sequence (SimSystem.cpp) ---
  void setUnitLength(double s);
  void initialize(unsigned frame);
  void simulStep(unsigned frame, double frameDt, unsigned iterations);
  void applyForces();

  // --- Grid (SimSystemGrid.cpp) ---
  uint64_t cellKeyOf(double x, double y, double z) const;
  uint64_t cellKeyOf(Eigen::Vector3d const& p) const { return cellKeyOf(p.x(), p.y(), p.z()); }
  /// Integer cell coordinate of a scene coordinate, kept inside the key range.
  int32_t cellCoordinate(double v) const;
  void updateCellsParticles();
  /// Refreshes every cell's neighbour snapshots to the current heads. Only
  /// what changed since the last refresh is redone: the heads of cells whose
  /// heads changed or that are new are pushed into their neighbours'
  /// snapshots, deleted cells push -1, and cells marked stale take theirs
  /// whole; the outcome is that of refreshing every cell.
  void updateCellsNeighbors();
  void sortArrays(unsigned n);
  static bool particlesArrayCompare(Particle const& a, Particle const& b) { return a.cellKey < b.cellKey; }
  void getCellFromPos(double x, double y, double z, Cell*& cell) const;
  void getNeighborFirstParticlesFromPos(double x, double y, double z, Cell::Heads& heads) const;
  void deleteEmptyCells();
  /// Pushes array index `index` at the front of the particle (or ghost) list of
  /// the cell under `key`, creating the cell when it does not exist.
  Cell* linkToCell(uint64_t key, int64_t index, bool ghost);

  // --- Stability (SimSystemStability.cpp) ---
  /// The longest stable sub-step (seconds) allowed by each force in use, and
  /// by particles moving at `speed` (scene units per second) not travelling
  /// more than half their radius per sub-step; infinite where nothing limits.
  struct SubStepLimits
  {
    double travel;       ///< particles moving at the given speed
    double sound;        ///< liquid: sound waves crossing the interaction radius
    double viscosity;    ///< liquid: viscous relaxation
    double springs;      ///< soft bodies: spring stiffness and damping
    double contact;      ///< grains: contact stiffness and damping
    double acceleration; ///< the largest acceleration of the last sub-step
    /// The smallest of them, and its name ("travel", "sound", ...) in `which`.
    double shortest(char const** which = nullptr) const;
  };
  /// What the state says about the next sub-step, beyond the settings.
  struct StepState
  {
    double speed = 0.0;        ///< fastest particle, emitter or moving surface (scene units / s)
    double compression = 1.0;  ///< densest liquid particle over the rest density, at least 1
    double acceleration = 0.0; ///< largest acceleration of the last sub-step (scene units / s^2)
  };
  /// `natures`: the nature bits of the particles to allow for (all three
  /// by default); a force none of them feels does not limit.
  SubStepLimits subStepLimits(StepState const& state, char natures = natureAny) const;
  SubStepLimits subStepLimits(double speed, char natures = natureAny) const
  {
    StepState state;
    state.speed = speed;
    return subStepLimits(state, natures);
  }
  /// The smallest of subStepLimits(speed, natures).
  double stableSubStep(double speed, char natures = natureAny) const;
  /// The nature bits some particle has now.
  char naturesPresent() const;
  /// Speed of the fastest moving particle now (scene units per second).
  double fastestSpeed() const;
  /// Fastest speed at which an active moving collision object's surface
  /// moves, and at which an active emitter sends its particles.
  double fastestObjectSpeed() const;

  // --- Automatic sub-steps (SimSystemStepControl.cpp) ---
  /// How a frame of automatic sub-steps went.
  struct FrameSteps
  {
    unsigned steps = 0;        ///< sub-steps taken
    double shortest = 0.0;     ///< the shortest of them (s)
    char const* limit = "";    ///< what chose the shortest: "least" (SubSteps), or a SubStepLimits name
    bool capped = false;       ///< stopped: the frame needed more than `most` sub-steps
    double needed = 0.0;       ///< with capped: sub-steps the frame would need at the rate it stopped at
    double stoppedAt = 0.0;    ///< with capped: seconds into the frame
  };
  /// One frame whose sub-steps follow the state: before every sub-step (after
  /// its emission) the step is chosen from the limits of the forces in use
  /// and the state (fastest particle, densest liquid, last accelerations),
  /// at most frameDt / least, and shortened so that the sub-steps left
  /// divide the rest of the frame evenly. A frame that would need more than
  /// `most` sub-steps stops before taking them (capped). The steps depend
  /// only on the state, so they are the same for any number of threads and
  /// after a resume.
  FrameSteps simulStepAdaptive(unsigned frame, double frameDt, unsigned least, unsigned most);
  /// The state measured for the next sub-step now (a sweep over the particles).
  StepState measureStepState();
  /// Largest acceleration of the last sub-step, which carries over from one
  /// sub-step (and frame) to the next (checkpoints keep it), and the fastest
  /// rate at which drag relaxed a grain and the liquid towards each other:
  /// integrated exactly over the sub-step, the drag does not limit it.
  double _lastAcceleration = 0.0;
  double _lastDragRate = 0.0;
  /// Densest liquid particle of the last density pass over the rest
  /// density (1 until then): the sound speed rises with it.
  double _lastCompression = 1.0;

  // --- Guard (SimSystemGuard.cpp) ---
  /// Energy of the particles per unit mass, summed: kinetic, gravity's
  /// (height above the account's level) and what the liquid's compression
  /// or stretch stores (scene units^2 / s^2).
  struct Energy
  {
    double kinetic = 0.0;
    double height = 0.0;
    double internal = 0.0;
    int64_t particles = 0;
  };
  Energy energy() const;
  /// Internal energy per unit mass of a liquid particle of that inverse density.
  double internalEnergy(double invDensity) const;
  /// The energy account of a run: what the particles had at the start, what
  /// emission and moving colliders gave since, and gravity's changes; a run
  /// whose kinetic and height energy grows well beyond it gained energy no
  /// force can give: it blew up.
  struct EnergyCheck
  {
    Energy now;
    double budget = 0.0;  ///< what the run could have by now
    double allowed = 0.0; ///< beyond which the guard stops it
    bool gained = false;  ///< kinetic + height energy above `allowed`
  };
  /// Opens the account with the particles there are (after the reset frame's emission).
  void openEnergyAccount();
  /// After a frame: adds what emission and colliders gave and checks.
  EnergyCheck settleEnergyAccount();
  double _energyLevel = 0.0;   ///< height from which gravity's energy is measured
  double _energyBudget = 0.0;  ///< kinetic and height energy the run could have (without stored energy)
  double _energyStored = 0.0;  ///< the most energy the liquid stored at a frame's end
  double _energyGravity = 0.0; ///< gravity when the account was last settled
  double _energyHeights = 0.0; ///< the sum of heights above the level then
  /// Kinetic and height energy (height from 0) the particles emitted since
  /// the account was last settled had at birth, and how many they were; the
  /// kinetic energy moving collision objects gave the particles they pushed.
  double _emittedEnergy = 0.0;
  int64_t _emittedCount = 0;
  double _colliderWork = 0.0;
  /// Particles deeper than `depth` inside an active collision object.
  struct Leak
  {
    uint32_t object = 0;   ///< the object's index
    int64_t count = 0;
    double deepest = 0.0;  ///< its signed distance (negative)
    Eigen::Vector3d where = Eigen::Vector3d::Zero();
    char nature = 0;
  };
  std::vector<Leak> findLeaks(double depth) const;
  /// How far the liquid is squeezed: the mean of rho / rho0 - 1 over the
  /// particles above the rest density, and the densest.
  struct Compression
  {
    int64_t liquid = 0;
    int64_t compressed = 0;
    double mean = 0.0;
    double densest = 1.0; ///< rho / rho0
    Eigen::Vector3d where = Eigen::Vector3d::Zero();
  };
  Compression liquidCompression() const;

  // --- Objects (SimSystemObjects.cpp) ---
  /// Registers an active collision object under its _id (a new index when it
  /// has none yet) and widens its field to the collision distance.
  void addCollisionObject(CollisionObject const* object);
  /// Forgets the object, leaving its index with a null entry for a
  /// replacement: its owner calls this before destroying it while the system
  /// lives on.
  void removeCollisionObject(CollisionObject const* object);
  /// Registers the emitter under its _id (a new index when it has none yet),
  /// fills it for particleRadius and places moving emitters at their initial transform.
  void addEmitterObject(EmitterObject const* emitter);
  /// Forgets every entry pointing to the emitter: its owner calls this before
  /// destroying it while the system lives on. Its particles stay.
  void removeEmitterObject(EmitterObject const* emitter);

  // --- Emission (SimSystemEmission.cpp) ---
  void emitParticles(unsigned frame);
  /// Creates a particle of the emitter at `position` (a candidate, moved by
  /// the emitter's jitter and its settling); `cell` is a hint only.
  void addParticle(EmitterObject const* emitter, Eigen::Vector3d const& position, Cell* cell);
  /// How a liquid fill at rest on a collider starts settled: per candidate,
  /// its move along y and the compression it then has over the rest density
  /// (both empty when no column rests on a collider), and the smallest
  /// share of the spacing left between two of them.
  struct SettledFill
  {
    std::vector<double> shift, compression;
    double closest = 1.0;
  };
  SettledFill settledFill(EmitterObject const& emitter) const;
  /// The pressure rise per scene unit of depth that holds a particle of the
  /// emitters' cubic lattice still against gravity, through the liquid's
  /// pair form of the pressure force.
  double restingPressureGradient() const;
  /// The factor that turns the liquid's pressure into pascals: the pair form
  /// of the pressure force pushes a lattice particle less hard than a
  /// continuum's -grad p / rho, so the solver's pressure runs higher than the
  /// pressure the liquid exerts on what it touches.
  double pressureToPascals() const;
  /// A lattice particle's acceleration per unit of pressure gradient.
  double latticeAccelerationPerGradient() const;
  /// The mass in kilograms of a particle of the nature: its material's
  /// density (restDensity, grainDensity, softBodyDensity) times its lattice
  /// cell, (2 particleRadius)^3 in cubic metres.
  double particleMassKg(char nature) const;
  /// The mean force, in newtons, that the particles put on each collision
  /// object (by its index) since the previous call, while
  /// measureColliderLoads is on: what the collision responses take from the
  /// particles they push back and what the object's ghosts push the liquid
  /// with, turned round. Every held object is listed; the sums restart.
  std::map<int64_t, Eigen::Vector3d> takeColliderForces();
  /// The name of the attribute that carries the force on the collision
  /// object of node `node`: force_<node>, with every character other than a
  /// letter, a digit or '_' made '_'.
  static std::string colliderForceAttribute(std::string const& node);
  /// The pair form's pressure term as a multiple of r (the pair's offset),
  /// before the densities: coef q pressureSum / dist; a neighbour at the
  /// same place has no direction.
  static double pressurePairFactor(double coef, double dist, double q, double pressureSum)
  {
    return dist > 0.0 ? coef * q * pressureSum / dist : 0.0;
  }
  /// The tolerance on squared lengths that tells coincident particles, a
  /// spring at rest and a too-close candidate: the single-precision 1e-6 for
  /// particles a unit across or larger, a millionth of the diameter squared
  /// below, so that at a fine radius it does not swallow whole contacts
  /// (at radius 0.0005 the fixed 1e-6 is a full diameter squared).
  double squaredLengthTolerance() const
  {
    const double diameter2 = 4.0 * particleRadius * particleRadius;
    return double(1e-6f) * std::min(1.0, diameter2);
  }
  /// The distance from p to the nearest active collision object (infinite
  /// without one).
  double nearestColliderDistance(Eigen::Vector3d const& p) const;
  /// Where candidate `index` of the emitter puts the next particle: the
  /// candidate moved by the emitter's jitter for the next id.
  Eigen::Vector3d emittedPosition(EmitterObject const& emitter, unsigned index) const;
  /// Whether a liquid particle at p stays within emittedCompression of the
  /// rest density, beyond the compression `settled` it is placed with on
  /// purpose, among the particles listed in `heads` (and the ghosts around
  /// `cell`, when it exists).
  bool roomForLiquid(Eigen::Vector3d const& p, Cell const* cell, Cell::Heads const* heads, double settled) const;
  /// Whether p is at least 0.9 of the collision distance, less `allowance`
  /// (the emitter's jitter), outside every active collision object:
  /// emission places no particle closer.
  bool clearOfColliders(Eigen::Vector3d const& p, double allowance) const;
  /// The most a newly emitted liquid particle may be compressed.
  static constexpr double emittedCompression = 0.02;
  /// The share of its lattice cell a solid particle of `nature` fills with
  /// matter: a grain is a sphere (pi / 6), a soft body fills it. The liquid's
  /// drag on grains sees the pores this leaves.
  static double solidFraction(char nature);
  /// Particles in the volume of a stream emitter this sub-step, with the
  /// emitter's velocity: the advance moves them at it. Indices, valid until
  /// the sub-step's sort.
  std::vector<std::pair<int64_t, Eigen::Vector3d>> _heldByEmitters;
  /// Gives the particles held by stream emitters their emitter's velocity.
  void holdEmittedStreams();
  /// A pseudo-random offset in [-1, 1)^3 for particle `id`, the same in every run.
  static Eigen::Vector3d jitterOffset(uint32_t id);
  /// Appends a new particle at p with velocity v, links it into its cell and
  /// maps its id; returns the id. Neighbour snapshots see it at the next refresh.
  uint32_t placeParticle(Eigen::Vector3d const& p, Eigen::Vector3d const& v, char nature,
                         EmitterObject const* emitter = nullptr);

  /// Calls visit(j) for every particle index j listed in the 27 cells around
  /// `cell`, as of the last neighbour refresh.
  template <typename Visit>
  void forEachNeighbor(Cell const* cell, Visit&& visit) const
  {
    for (int64_t head : cell->neighborFirstParticles)
      for (int64_t j = head; j != -1; j = _particlesArray[j].nextInCell)
        visit(j);
  }
  /// The same over the ghost lists of the 27 cells.
  template <typename Visit>
  void forEachNeighborGhost(Cell const* cell, Visit&& visit) const
  {
    for (int64_t head : cell->neighborFirstGhostParticles)
      for (int64_t g = head; g != -1; g = _ghostParticlesArray[g].nextInCell)
        visit(g);
  }
  /// How many times the SPH and contact pair lists have been made so far.
  uint64_t pairListRemakes() const { return _sphPairs.remakes + _contactPairs.remakes; }
  /// The narrowest skin of pair lists, as a fraction of the reach (LAMMPS's
  /// usual 0.1 h for SPH).
  static constexpr double pairSkinFraction = 0.1;
  /// The widest skin of the contact lists, as a fraction of the reach.
  static constexpr double contactWidestSkinFraction = 0.2;
  /// Lists whose skin may widen under fast motion aim to last this many
  /// passes between remakes.
  static constexpr unsigned pairSkinLife = 4;
  /// The narrowest skin of lists of `reach`.
  static double pairSkin(double reach) { return pairSkinFraction * reach; }
  /// The skin the contact lists were last made with, and how many times.
  double contactPairSkin() const { return _contactPairs.skin; }
  uint64_t contactPairRemakes() const { return _contactPairs.remakes; }
  /// Calls visit(j) for every candidate j of particle i's contact list, in
  /// ascending order; how far its references may lie from the true places
  /// (0 when kept whole).
  template <typename Visit> void forEachListedContact(int64_t i, Visit&& visit) const
  {
    _contactPairs.forEach(i, visit);
  }
  double contactReferenceError() const { return _contactPairs.referenceError; }
  /// Throws the pair lists away: the next passes make them afresh, with the
  /// narrowest skin. Never needed for correctness (tests compare with it).
  void discardPairLists() { _sphPairs.reach = _contactPairs.reach = -1.0; }

  // --- Springs (SimSystemSprings.cpp) ---
  /// Joins nearby eligible particles (on the first step, or always while
  /// springs can reconnect), restores broken springs and lets rest lengths flow.
  void adjustSprings(bool createNew);
  /// Joins the particles made since the last spring pass (ids from
  /// _springsBuiltFor up) to their eligible neighbours, as the first step
  /// joins those there from the start: a soft body that an emitter makes
  /// later is a body too, not a heap of loose particles. Existing pairs are
  /// left as they are.
  void joinNewcomers();
  /// Breaks springs stretched beyond the stretch limit.
  void breakVeryLongSprings();
  /// Spring and damping forces as velocity changes; breaks springs by force.
  void applySpringForces();
  /// Both of the above as a sub-step runs them, in one sweep over the springs
  /// (breakLong: springsCanBreak). Works on the spring view: gatherSpringView
  /// before, scatterSpringVelocities after.
  void springPass(bool breakLong);
  /// Copies every particle's position, velocity and nature into the spring
  /// view, by id, applying gravity on the way when withGravity.
  void gatherSpringView(double dv, bool withGravity);
  /// Copies the velocities the spring pass wrote back to the particles.
  void scatterSpringVelocities();
  /// Stretched beyond the break length, d being the spring's span.
  bool springTooLong(Spring const& spring, Eigen::Vector3d const& d) const
  {
    return d.squaredNorm() > springsBreakLengthThreshold2 * spring.restLength * spring.restLength;
  }
  /// Key of a particle pair, the first id in the upper half: springs key
  /// their pair by (lower id, higher id), contact records by (owner, other).
  static uint64_t pairKey(uint32_t first, uint32_t second)
  {
    return (static_cast<uint64_t>(first) << 32) | second;
  }
  /// Whether particles of natures a and b are joined by springs.
  static bool springEligible(char a, char b);
  /// Process-wide: soft-body and granular particles are joined by springs
  /// (and skip contact) instead of meeting through contact. Off by default.
  static bool sandSoftBodyInteraction;

  // --- Fluid (SimSystemFluid.cpp) ---
  /// Poly6 kernel sum term (s^2 (h^2 - r^2))^3 for squared distances below
  /// h^2, 0 beyond: W = _poly6Coef times it.
  static double kernelSumTerm(double r2, double h2, double s2)
  {
    if (!(r2 < h2))
      return 0.0;
    const double a = s2 * (h2 - r2);
    return a * a * a;
  }
  void updateParticleMass(bool fromKernelSum);
  void updateMaxSurfaceTensionNormal();
  void applyFluidSPH();
  /// A solid particle's factor on the liquid's pair forces: a liquid
  /// particle's mass over its own (the liquid's pull on it per unit of the
  /// pull on a liquid particle in its place).
  double solidShare(char nature) const;
  /// A grain's mass over a liquid particle's.
  double grainMassRatio() const;
  /// Coupling of the solids in the liquid (SimSystemLiquidSolids.cpp): for
  /// every solid particle, the liquid's pressure and density where it is,
  /// and for a grain the drag of the liquid flowing past it.
  void coupleSolidsToLiquid();
  /// Relaxation rate (1 / s) of a grain's velocity towards the liquid's
  /// flowing past it at `slip` m/s, among solids leaving `porosity` of the
  /// space (Di Felice 1994, with Dallavalle's drag coefficient), for a
  /// sphere of the volume of the grain's lattice cell.
  double grainDragRate(double slip, double porosity) const;

  // --- Contact (SimSystemContact.cpp, SimSystemSubParticles.cpp) ---
  /// Sphere contact with shear damping capped by Coulomb friction.
  void resolveInterparticleCollisions_NoExplicitStaticFriction();
  /// Sphere contact with tangential springs that hold sticking contacts.
  void resolveInterparticleCollisions_SpringBased();
  /// Forgets the tangential springs of pairs marked as parted, so that a
  /// contact that forms again starts from a fresh anchor and the records
  /// follow the live contacts.
  void dropSeparatedTangentialSprings();
  /// Whether grains turn: rollingSpheres, in spheres mode.
  bool spheresTurn() const { return rollingSpheres && interParticlesCollMode == 0; }
  /// A sphere's moment of inertia per unit mass, 2/5 R^2.
  double sphereInertia() const;
  /// Adds a contact pass's sum to a particle: the force to its velocity and,
  /// for a grain that turns, the torque to its angular velocity.
  void applyContact(Particle& p, Eigen::Vector3d const& force, Eigen::Vector3d const& torque, bool spins) const;
  /// Contact between the rigid sub-sphere clusters of neighbouring particles.
  void resolveInterparticleCollisions_SubParticles();
  /// Whether particle i (nature a) is pushed by neighbour j (nature b).
  static bool contactEligible(char a, char b);
  /// Rotation matrix of a unit quaternion.
  static Eigen::Matrix3d rotationOf(Eigen::Quaterniond const& q);

  // --- Collision response and advance (SimSystemCollisions.cpp) ---
  /// Moves the particles, keeps them outside the collision objects and
  /// re-derives their velocities; turns rotating clusters.
  void resolveCollisionsAndAdvance();
  /// Sphere response of one particle to one object whose field reported
  /// distance d and outward normal n; false when the object does not act.
  bool sphereResponse(Particle& p, CollisionObject const& object, double d, Eigen::Vector3d const& n) const;
  /// Response of a rotating cluster: per sub-sphere contacts, forces and torque.
  bool clusterResponse(Particle& p, CollisionObject const& object, double dq) const;
  /// One step of every rotating particle's orientation by its angular velocity.
  void integrateOrientations();

  // --- Ghost particles (SimSystemGhosts.cpp) ---
  /// Mirrors liquid particles near ghost-enabled objects across their
  /// surfaces (and across square corners' walls together): makes the
  /// ghosts anew, then relinks their lists.
  void updateGhostParticles();
  /// Creates the ghost of particle `index` at the given position and velocity;
  /// `cell` is a hint only.
  void addGhostParticle(double x, double y, double z, double vx, double vy, double vz, Cell* cell, int index);
  /// Gives every ghost its particle's density and pressure, and below its
  /// particle the weight of the liquid between them.
  void refreshGhostPressures();

  /// Offset added to every cell coordinate so that encoded coordinates are non-negative.
  static constexpr int32_t _minDomain = 50000;
  /// Cell coordinates are clamped into this range: keys stay unique and every
  /// cell keeps one cell of margin for its neighbour snapshot.
  static constexpr int32_t _minCellCoordinate = -_minDomain + 1;
  static constexpr int32_t _maxCellCoordinate = (1 << 21) - 2 - _minDomain;

  // --- Checkpoints (SimSystemState.cpp) ---
  /// Appends everything that carries over from one frame to the next: the
  /// records, the grid's lists, springs, counters and the random sequence.
  void saveState(StateWriter& out) const;
  /// Replaces the state with one saveState wrote. The system must have been
  /// built from the same settings and handed the same objects under the same
  /// indices. Throws std::runtime_error, naming what is damaged, when the
  /// bytes are not a consistent state.
  void loadState(StateReader& in);

  /// The friction multiplier of the emitter that created p (1 without one),
  /// as it was when p was created: emitters may change or go while their
  /// particles live on.
  double frictionMultiplierOf(Particle const& p) const { return _frictionMultipliers[p.frictionSlot]; }
  /// The slot of `multiplier` in the table, added when it is new. Throws
  /// std::runtime_error when 65,536 different multipliers are already held.
  uint16_t frictionSlotOf(double multiplier);

  // --- Memory held (SimSystemMemory.cpp) ---
  /// Bytes the system holds now, by what holds them ("particle records",
  /// "cells", "pair lists", ...), counting container capacities and an
  /// estimate of each heap node's bookkeeping. For profiles: it tells what a
  /// particle costs where the process's resident size only gives the total.
  std::vector<std::pair<std::string, size_t>> heldBytes() const;

  // --- Containers and counters ---
  std::vector<Particle> _particlesArray;        ///< all simulated particles
  std::vector<int32_t> _particlesArrayMap;      ///< particle id -> index in _particlesArray
  std::vector<Particle> _ghostParticlesArray;   ///< ghost particles mirrored across walls
  std::vector<int32_t> _ghostParticlesArrayMap; ///< ghost id -> index, -1 for a deleted ghost
  std::vector<Spring> _springs;                 ///< soft-body springs
  std::map<uint64_t, Cell*> _cells;             ///< occupied grid cells by Morton key (owning)
  /// The same cells as a flat list in no particular order, for the passes
  /// over every cell: walking the ordered map costs a pointer chase per cell.
  std::vector<Cell*> _cellList;
  CellIndex _cellIndex;                 ///< the same cells by key, for fast look-ups
  std::vector<uint64_t> _deletedCellKeys; ///< keys of cells deleted since the last neighbour refresh
  /// Keys of cells whose heads changed or that were made since the last
  /// neighbour refresh (repeats allowed): the refresh and the deletion of
  /// empty cells look at these instead of at every cell. When
  /// _allCellsTouched is set (after a sort, a load, or too many changes)
  /// they look at every cell.
  std::vector<uint64_t> _touchedCellKeys;
  bool _allCellsTouched = true;
  /// Scratch of the re-binning: per thread, the particles whose key changed, with their new keys.
  std::vector<std::vector<std::pair<int64_t, uint64_t>>> _rebinMovers;
  /// Notes that cell `key`'s heads changed.
  void touchCell(uint64_t key)
  {
    if (_allCellsTouched)
      return;
    if (_touchedCellKeys.size() > _cellList.size() / 4 + 64) {
      _allCellsTouched = true; // cheaper to look at every cell
      _touchedCellKeys.clear();
      return;
    }
    _touchedCellKeys.push_back(key);
  }
  std::map<uint32_t, CollisionObject const*> _collisionObjects; ///< borrowed, by index
  std::map<uint32_t, EmitterObject*> _emitterObjects;           ///< borrowed, by index
  std::map<uint64_t, uint32_t> _springsMap;                ///< particle pair key -> spring index
  std::map<uint64_t, uint32_t> _demTangentialSpringsMap;   ///< particle pair key -> shear spring index
  std::vector<DEMTangentialSpring> _demTangentialSprings;    ///< granular shear springs of touching pairs
  std::vector<DEMTangentialSpring> _newDemTangentialSprings; ///< shear springs made in this sub-step
  /// Every friction multiplier the particles were created with, each once,
  /// by slot (Particle::frictionSlot); slot 0 holds 1.
  std::vector<double> _frictionMultipliers{1.0};
  subParticle _subParticle;          ///< cluster template shared by all particles
  uint32_t _nbParticles = 0;         ///< particles created so far; the next id
  uint32_t _nbGhostParticles = 0;    ///< ghosts now; the next ghost id
  uint32_t _nbCollisionObjects = 0;  ///< next collision-object index
  uint32_t _nbEmitterObjects = 0;    ///< next emitter index
  int32_t _verbose = 0;              ///< 0 silent; otherwise timing lines on standard output
  /// When set, simulStep polls it before every sub-step and stops the frame
  /// early when it is true, setting _interrupted: a frame that takes minutes
  /// can be stopped. Null by default.
  std::atomic<bool> const* _interrupt = nullptr;
  bool _interrupted = false; ///< the last simulStep stopped before its last sub-step
  /// When set (by benchmarks), simulStep adds the wall-clock seconds of each
  /// of its phases here, by phase name; null in normal runs.
  std::map<std::string, double>* _phaseSeconds = nullptr;

  // --- State and derived constants ---
  bool _firstStep = true;            ///< cleared after the first force pass with springs on
  uint32_t _springsBuiltFor = 0;     ///< particles with lower ids have been offered springs
  double _dt = double(0.04f);        ///< sub-step length (s)
  double _unitLength = 0.01;         ///< scene unit length s (m)
  double _unitLength2 = 0.0001;      ///< s^2
  double _cellSize;                  ///< edge of a grid cell (scene units)
  double _particleMass = double(0.001f); ///< mass of one particle
  double _collisionDistance;         ///< distance kept between a particle centre and a surface
  double _poly6Coef;                 ///< 315 / (64 pi hs^9)
  double _spikyGradCoef;             ///< -45 / (pi hs^6)
  double _viscLaplacianCoef;         ///< 45 / (pi hs^6)
  double _colorGradCoef;             ///< -6 poly6 s^4
  double _surfaceTensionCoef;        ///< 6 poly6 sigma s^4
  double _pressureStiffness;         ///< Tait B = rho0 c / 7
  double _invRestDensity7;           ///< (1 / rho0)^7
  double _normalScale = 1.0;         ///< 1 / |reference surface normal|
  double _normalScale2 = 1.0;        ///< 1 / |reference surface normal|^2
  double _invRandMax = 4.656612875245797e-10; ///< 1 / 2147483647, scales rand() to [0, 1]
  /// The sequence random initial rotations draw from: rand()'s after
  /// srand(0), owned by this system so that a checkpoint can continue it.
  RandomSequence _random;

  // --- Settings, named after the solver parameters ---
  double gravity;
  double particlesInteractionRadius;
  double particlesInteractionRadius2;
  bool springs;
  bool fluid;
  double restDensity;
  double internalPressure;
  bool automaticSpringRestLength;
  double springsNeighborSearchRadius2;
  double springRestLength;
  double springConstant;
  double springDamping;
  bool plasticDeformation;
  double yieldRatio;
  double plasticityConstant;
  bool springsCanBreak;
  double springsBreakLengthThreshold2;
  double springsBreakForceThreshold;
  bool springsCanReconnect;
  bool objectsCollisions;
  double particleRadius;
  bool viscosity;
  double viscosityFactor;
  bool surfaceTension;
  double surfaceTensionThreshold2;
  double surfaceTensionScale;
  bool interParticleCollisions;
  int32_t interParticlesCollMode;
  subParticleShape interParticlesCollShape;
  bool enableRotations;
  bool randInitRotations;
  double normalConstant;
  double normalDamping;
  double shearConstant;
  double shearDamping;
  double coulombConstant;
  bool enforceStaticFriction;
  /// Beyond the construction settings: the densities (kg/m^3, as
  /// restDensity) of the solids a liquid meets, which set how the liquid's
  /// pressure and drag move them. A grain is a sphere of particleRadius; a
  /// soft-body particle fills its lattice cell.
  double grainDensity = 2650.0;
  /// The liquid's pressure is never below zero: a liquid does not pull
  /// itself together (cohesion is the surface tension's), which keeps free
  /// surfaces from clumping. Off: the Tait pressure with its negative side.
  bool clampNegativePressure = false;
  double softBodyDensity = 1000.0;
  /// A liquid's cubic fill emitted at rest onto a collider starts at the
  /// density its depth holds at rest, each column of the fill squeezed from
  /// its bottom up, instead of at the rest density throughout: a tank left
  /// alone then stays still, where it would settle through a slow breathing
  /// that viscosity hardly damps. Off: every fill at the rest spacing.
  bool hydrostaticStart = false;
  /// A sticking contact's tangential spring is held to the Coulomb limit,
  /// coulombConstant |Fn|: beyond it the force stays at the limit and the
  /// anchor is drawn along so that the spring keeps no more than the limit,
  /// as discrete-element codes do (Cundall & Strack 1979). Grains then yield
  /// at their friction angle at any speed. Off: a sticking spring grows
  /// without bound until the contact slides fast enough for its damping
  /// alone to pass the limit, so slow grains hold together past it.
  bool limitStaticFriction = false;
  /// Spheres turn (spheres mode): a contact's tangential force spins both
  /// grains, its slip is measured at the contact point, where each surface
  /// moves with its spin too, and a rolling resistance of rollingFriction
  /// R |Fn| opposes their relative rolling (Ai et al. 2011); a rough collider
  /// stops a grain's spin as it stops its sliding. Grains then relieve a
  /// contact by rolling, as sand does through an opening, instead of having
  /// to slide. Off: spheres keep the angular velocity they were made with.
  bool rollingSpheres = false;
  double rollingFriction = 0.0;
  /// Sum, per collision object, what the particles put on it, for
  /// takeColliderForces (a little work in the collision pass and, with
  /// ghosts, a walk over the liquid next to walls). Off: nothing is summed.
  bool measureColliderLoads = false;

private:
  /// While automatic sub-steps run: each particle's velocity at the start of
  /// the sub-step, from which the advance measures the largest acceleration.
  std::vector<Eigen::Vector3f> _stepStartVelocity;
  bool _measuringSteps = false;
  char _naturesMeasured = 0; ///< nature bits present at the last measureStepState
  /// The advance's share of measureStepState: the largest acceleration of
  /// the sub-step that just ended, from the velocities the forces left.
  void measureAcceleration();
  std::vector<Eigen::Vector3d> _velocitySnapshot; ///< velocities at the start of a pass that writes them
  std::vector<Eigen::Vector3d> _angularVelocitySnapshot; ///< the same for angular velocities
  /// The walls a ghost mirrors its particle across (one, or two or three
  /// in a corner), by object index, with their normals: kept beside the
  /// ghosts while collider loads are measured.
  struct GhostWalls
  {
    int count = 0;
    int64_t object[3] = {-1, -1, -1};
    Eigen::Vector3d normal[3];
  };
  /// A ghost the ghost update makes: the particle it mirrors, and where and
  /// how fast the mirror image is.
  struct GhostChange
  {
    int64_t particle;
    Eigen::Vector3d position, velocity;
  };
  std::vector<std::vector<GhostChange>> _ghostChanges; ///< ghost update: per thread, in particle order
  /// While collider loads are measured, beside each thread's ghost changes:
  /// the walls of each.
  std::vector<std::vector<GhostWalls>> _ghostWallChanges;
  std::vector<GhostWalls> _ghostWalls;
  /// Collider loads: impulses in kg scene units / s given to the particles, per object
  /// index, and the simulated time they were summed over.
  std::map<int64_t, Eigen::Vector3d> _loadImpulse;
  double _loadTime = 0.0;
  std::vector<Eigen::Vector3d> _loadBlocks; ///< per block of particles, per object slot
  /// The indices of the held collision objects, in order: the slots of a
  /// pass's block sums (each gets an entry in _loadImpulse).
  std::vector<int64_t> loadSlots();
  /// Sizes the block sums for n particles and the slots; returns the blocks.
  int64_t loadBlocks(int64_t n, size_t slots);
  static int64_t loadBlockSize();
  /// Adds the block sums to _loadImpulse, block after block.
  void addBlockLoads(std::vector<int64_t> const& slots);
  /// The ghosts' pushes on the liquid next to each wall, after the SPH pass.
  void measureGhostLoads();

  /// For each particle, the ghosts closer than the interaction radius, in
  /// the order the 27-cell walk meets them: the SPH passes read these instead
  /// of walking every candidate of the 27 cells again. Particle i's entries
  /// are [begin[i], begin[i + 1]).
  struct NeighborLists
  {
    /// One buffer per range of particles, kept from pass to pass: particles
    /// firsts[t] to firsts[t + 1] - 1 list their neighbours in buffers[t],
    /// each from begin[i] up to the next particle's begin (or the buffer's end).
    std::vector<std::vector<int32_t>> buffers;
    std::vector<int64_t> firsts;
    std::vector<int64_t> begin;

    /// Particle i's neighbours, as a range [first, last).
    std::pair<int32_t const*, int32_t const*> of(int64_t i) const
    {
      size_t t = 0;
      while (firsts[t + 1] <= i)
        ++t;
      std::vector<int32_t> const& buffer = buffers[t];
      const int64_t end = i + 1 < firsts[t + 1] ? begin[size_t(i) + 1] : int64_t(buffer.size());
      return {buffer.data() + begin[size_t(i)], buffer.data() + end};
    }
  };
  NeighborLists _sphGhosts;     ///< ghosts near each particle

  /// Pair candidates with a skin (Verlet lists): for each particle, every
  /// particle, itself included, that was closer than reach + skin when the
  /// lists were made, in ascending index order. They hold every pair closer
  /// than `reach` until two particles may have closed in by the skin (see
  /// PairMoves), or particles were added or reordered. A pass that acts only on
  /// pairs closer than `reach` (and adds nothing for the others) then meets
  /// the same pairs in the same order whenever the lists were made: results
  /// do not depend on when they are remade, so a resumed run, which makes
  /// them afresh, continues exactly as the uninterrupted one.
  struct PairLists
  {
    /// Widest skin, as a fraction of the reach, that fast motion may give
    /// these lists (the narrowest, pairSkinFraction, to keep it fixed).
    explicit PairLists(double widestSkinFraction) : widestSkinFraction(widestSkinFraction) {}
    double widestSkinFraction;
    /// Particle i's list is count[i] codes (PairCodes.h) from first[i]. The
    /// codes live in blocks that each thread fills in turn and keeps for the
    /// next remake: no list is copied as storage grows, and none is left half used.
    std::vector<uint16_t const*> first;
    std::vector<uint32_t> count;
    static constexpr size_t blockEntries = size_t(1) << 17;
    struct Block
    {
      std::unique_ptr<uint16_t[]> data;
      size_t capacity = 0;
    };
    std::vector<std::vector<Block>> blocks; ///< per thread
    /// Calls visit(j) for every j of particle i's list, in ascending order.
    template <typename Visit> void forEach(int64_t i, Visit&& visit) const
    {
      uint16_t const* code = first[size_t(i)];
      forEachPairCode(i, code, code + count[size_t(i)], visit);
    }
    /// Positions when the lists were made, as offsets from `origin` in
    /// single precision (half the bytes): each lies within `referenceError`
    /// of the true place, and the lists hold every pair whose true distance
    /// was within reach + skin. Where particles spread so far that single
    /// precision cannot resolve a fraction of the skin, the positions are
    /// kept whole in `wideReference` instead (and `reference` is empty).
    std::vector<Eigen::Vector3f> reference;
    std::vector<Eigen::Vector3d> wideReference;
    Eigen::Vector3d origin = Eigen::Vector3d::Zero();
    double referenceError = 0.0;
    size_t references() const { return reference.empty() ? wideReference.size() : reference.size(); }
    /// How far particle i, now at x, moved since the lists were made, to
    /// within referenceError. Taken between offsets from the origin, so that
    /// a scene far from zero adds no rounding of its own.
    Eigen::Vector3d moveSince(int64_t i, Eigen::Vector3d const& x) const
    {
      return reference.empty() ? Eigen::Vector3d(x - wideReference[size_t(i)])
                               : Eigen::Vector3d((x - origin) - reference[size_t(i)].cast<double>());
    }
    double reach = -1.0;     ///< the reach they were made for; never one until made
    double skin = 0.0;       ///< the skin they were made with
    unsigned age = 0;        ///< passes they have served since they were made
    uint64_t generation = 0; ///< _arrayGeneration when the lists were made
    uint64_t remakes = 0;    ///< how many times they were made (for tests and profiles)
  };
  /// SPH: pairs within the interaction radius. A fixed skin: the SPH passes
  /// work through every candidate, so a wider skin costs them more than the
  /// remakes it saves.
  PairLists _sphPairs{pairSkinFraction};
  /// Contact: pairs within two particle radii. The skin widens (up to
  /// contactWidestSkinFraction of the reach) when grains move fast, as in a
  /// falling or flowing heap, where remaking the lists at every pass would
  /// cost more than the contact pass itself.
  PairLists _contactPairs{contactWidestSkinFraction};
  /// Bumped whenever particles are added to the array or reordered: lists of
  /// indices made before are out of date.
  uint64_t _arrayGeneration = 0;
  /// Whether `pairs` must be remade whatever the particles' moves: never
  /// made, made for another reach, or particles added or reordered since.
  bool pairListsStale(PairLists const& pairs, double reach) const;
  /// The skin that lets `pairs` last about pairSkinLife passes at the pace of
  /// the `moves` they have seen, within the narrowest and widest skins.
  static double adaptedSkin(PairLists const& pairs, double reach, PairMoves const& moves);
  /// Remakes `pairs` for `reach` if they are stale or the `moves` since they
  /// were made may have brought a pair within reach; or narrower, when they
  /// have served long with a skin far wider than the motion needs. Which
  /// skin the lists have never changes a result, only when they are remade.
  void updatePairLists(PairLists& pairs, double reach, bool stale, PairMoves const& moves);
  /// The sweep that opens a force pass: fill(i) for every particle i (in
  /// parallel; it fills the pass's view), gathering on the way how far the
  /// particles moved since `pairs` were made; then marks `phase`, brings the
  /// lists up to date and marks "neighbour lists".
  template <typename Fill>
  void sweepAndUpdatePairLists(PairLists& pairs, double reach, char const* phase, Fill&& fill)
  {
    const bool stale = pairListsStale(pairs, reach);
    const int64_t n = static_cast<int64_t>(_particlesArray.size());
    PairMoves moves;
#pragma omp parallel for schedule(static) reduction(mergeMoves : moves)
    for (int64_t i = 0; i < n; ++i) {
      fill(i);
      if (!stale)
        moves.add(pairs.moveSince(i, _particlesArray[size_t(i)].position));
    }
    markPhase(phase);
    updatePairLists(pairs, reach, stale, moves);
    markPhase("neighbour lists");
  }
  void makePairLists(PairLists& pairs, double reach, double skin);
  /// Scratch of the last remake: the particles binned by cell (a counting
  /// sort), kept to avoid reallocating.
  std::vector<uint32_t> _pairBinEnd;
  std::vector<int32_t> _pairBinOrder;
  /// Fills _sphGhosts with, for every particle, the ghosts within the
  /// interaction radius, walking the ghost snapshots of its cell in order.
  void buildGhostLists();
  /// Positions and list links of the particles or ghosts being walked, side
  /// by side; kept between sub-steps so that it is not allocated anew.
  struct WalkEntry
  {
    Eigen::Vector3d position;
    int32_t next;
  };
  std::vector<WalkEntry> _walkView;

  /// What the SPH passes read of each neighbour, one cache line each (the
  /// natures apart, a byte each). Filled at the start of applyFluidSPH; the
  /// density pass adds its results.
  struct alignas(64) FluidEntry
  {
    Eigen::Vector3d position;
    Eigen::Vector3d velocity;
    double pressure;
    double invDensity;
  };
  std::vector<FluidEntry> _fluidView;
  std::vector<char> _fluidNatures;
  /// What the coupling pass found for each grain among the liquid: the
  /// drag's acceleration over this sub-step, the rate at which grain and
  /// liquid relax towards each other, and the liquid volume around (sum of
  /// V W, 0 for none), which shares its pull-back out.
  struct DragEntry
  {
    Eigen::Vector3d acceleration = Eigen::Vector3d::Zero();
    double rate = 0.0;
    double liquid = 0.0;
  };
  std::vector<DragEntry> _dragView;

  /// What the sphere contact passes read of each particle, side by side: its
  /// position, its velocity at the start of the pass (the passes write
  /// velocities, and neighbours must see the old ones), id and
  /// nature. A candidate then costs one cache line instead of a whole
  /// particle record. Filled by gatherContactView, kept between sub-steps.
  struct ContactEntry
  {
    Eigen::Vector3d position;
    Eigen::Vector3d velocity;
    uint32_t id;
    char nature;
  };
  std::vector<ContactEntry> _contactView;
  /// With rollingSpheres: each grain's angular velocity at the start of the
  /// contact pass (zero for other natures), beside _contactView.
  std::vector<Eigen::Vector3d> _spinView;

  /// What the spring passes read and write of each particle, indexed by id.
  struct SpringEntry
  {
    Eigen::Vector3d position;
    Eigen::Vector3d velocity;
    char nature;
  };
  std::vector<SpringEntry> _springView;
  void gatherContactView();
  /// Set by applyForces: which sweep applies gravity, its own or the view
  /// fill of the first force pass (springs, SPH or sphere contact).
  enum class GravityPass { own, springView, fluidView, contactView };
  GravityPass _gravityPass = GravityPass::own;
  /// The gravity pass's work on particle p: remembers where it starts the
  /// sub-step and adds gravity's pull.
  static void applyGravity(Particle& p, double dv)
  {
    if (p.nature & natureAny) {
      p.previousPosition = p.position;
      p.velocity.y() += dv;
    }
  }
  /// Visits (j, entry) for every contact candidate j of particle i, in
  /// ascending index order, through the contact view.
  template <typename Visit> void forEachContactCandidate(int64_t i, Visit&& visit) const
  {
    _contactPairs.forEach(i, [&](int64_t j) { visit(j, _contactView[size_t(j)]); });
  }

  /// Copies every particle's velocity and angular velocity before the
  /// cluster contact pass, whose iterations read neighbours' values while
  /// writing their own; the sweep also keeps the contact lists up to date.
  void snapshotVelocities();

  /// Whether the caller asked to stop; sets _interrupted when it did.
  bool interruptRequested();
  /// A sub-step's opening: its frame line and emission.
  void emitForSubStep(unsigned frame, unsigned iteration);
  /// The rest of a sub-step of length _dt: grid, forces, advance, the
  /// periodic sort (with its counter) and the ghosts.
  void finishSubStep(unsigned sortCounter);
  std::clock_t _subStepClock = 0; ///< start of the phase being timed (verbose)

  void computeKernelConstants();
  /// Writes one timing line (label, clock ticks since `start`, "ms") when
  /// verbose, then restarts the clock so the next line covers the next phase.
  void reportPhase(char const* label, std::clock_t& start) const;
  /// With a phase profile attached, adds the time since the previous mark to
  /// phase `name` and starts the next phase's time.
  void markPhase(char const* name);
  std::chrono::steady_clock::time_point _phaseMark;
};
