#pragma once

#include "OP/OP_Director.h"
#include "PRM/PRM_Include.h"
#include "SOP/SOP_Node.h"
#include "SimSystem.h"
#include "TalunoObjects.h"

#include "GA/GA_Attribute.h"
#include "GA/GA_ElementGroup.h"
#include "GEO/GEO_Primitive.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

class EmitterObject;

/// The solver operator "Taluno": owns one particle simulation, rebuilds it at
/// its reset frame and steps it frame by frame as the host's time advances.
class SOP_Taluno : public SOP_Node, private TalunoObjectsListener
{
public:
  static OP_Node* myConstructor(OP_Network* network, const char* name, OP_Operator* op);
  static PRM_Template myTemplateList[];
  static int* myOffsets; ///< parameter index cache of the class (96 slots)

  SOP_Taluno(OP_Network* network, const char* name, OP_Operator* op);
  ~SOP_Taluno() override;

  char const* inputLabel(unsigned index) const override;
  unsigned disableParms() override;
  void clearCache() override { _initialized = false; }

  SimSystem const* system() const { return _system.get(); }
  /// A number as messages show it, to `digits` significant digits.
  static std::string number(double value, int digits = 6)
  {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
  }
  bool saveData(std::string& out) const override;
  bool loadData(std::string const& in, std::string& problem) override;
  int64_t frameCounter() const { return _frameCounter; }
  /// How the last simulated frame was divided into sub-steps.
  SimSystem::FrameSteps const& frameSteps() const { return _frameSteps; }

protected:
  OP_ERROR cookMySop(OP_Context& context) override;

private:
  /// The cook proper; cookMySop reports running out of memory.
  OP_ERROR cookSimulation(OP_Context& context);
  /// Builds a new system from the parameters and prepares the output.
  void initSystem();
  /// Refreshes the per-frame settings and hands the system the objects found
  /// on the inputs; at a reset, also initialises it at the reset frame.
  void updateSimulationSystem(bool reset);
  /// Unless `reset`, advances the system by one frame; then writes the output.
  /// The frame number comes from the cook time in double precision.
  void simStep(double time, bool reset);
  /// Refuses, as node errors, settings no simulation can run with: lengths
  /// that are not positive, fewer than one sub-step. True when all are usable.
  bool checkSettings(double time);
  /// Refuses an emitter whose fill would need more memory than the machine
  /// has, before it is filled. `node` names the emitter in the message.
  bool emitterFits(EmitterObject const& emitter, std::string const& node);
  /// What limits a sub-step of the kind `limit` (a SubStepLimits name), with
  /// the settings behind it, and what to change to lengthen it.
  std::string limitCause(char const* limit) const;
  std::string limitAdvice(char const* limit) const;
  /// Stops the run at a frame that needed more automatic sub-steps than
  /// Maximum SubSteps allows, saying what limited them and what to change.
  void reportCapped(double frame);
  /// After a frame: stops the run when particles were left with non-finite
  /// positions or velocities, moved farther in one sub-step than the
  /// interaction radius or left the grid, naming the settings most likely
  /// responsible and a sub-step count that keeps them stable.
  bool checkStable(double frame, double step);
  /// The guard's other checks after a frame, each stopping the run with the
  /// cause, where and when, and the fix: energy that nothing supplied,
  /// particles deeper than a radius inside a collider, a liquid squeezed
  /// beyond maxLiquidCompression.
  bool checkEnergy(double frame);
  bool checkLeaks(double frame);
  bool checkCompression(double frame);
  /// The most a liquid may be squeezed on average, over its compressed particles.
  static constexpr double maxLiquidCompression = 0.10;
  /// The speed scale of the scene, for advice on sub-steps: the emitters'
  /// fastest initial speed plus that of a fall across the height the
  /// objects span.
  double sceneSpeed() const;
  /// Appends one output point.
  void birthParticle(float const* position, float const* velocity, int32_t id, bool ghost);
  void prepareOutput(double resetTime);
  void writeOutput(float time);
  /// A real parameter as the simulation reads it (through single
  /// precision), or the value Physical Materials derived for it.
  double real(char const* name, int slot, double time, int component = 0)
  {
    if (!_derived.empty()) {
      auto derived = _derived.find(name);
      if (derived != _derived.end())
        return derived->second;
    }
    return double(float(evalFloat(name, &myOffsets[slot], component, time)));
  }
  /// What the scene spans, for Physical Materials and the sub-step advice:
  /// the height from the lowest collider to the top of the highest emitter,
  /// the emitters' fastest speed, and the height of the emitters of `natures`.
  struct SceneExtent
  {
    double height = 0.0;
    double emitterSpeed = 0.0;
    double bodyHeight = 0.0;
  };
  SceneExtent sceneExtent(char natures) const;
  /// At a rebuild, with Physical Materials on: derives the material
  /// constants not set by hand into _derived, and notes what they became
  /// (SOP_TalunoMaterials.cpp).
  void deriveMaterials(double resetTime);
  /// Warns when a liquid's own viscosity matters to the scene's flow (its
  /// Reynolds number, `flow` = fastest flow x height over the viscosity,
  /// below 10^4) but the artificial viscosity of its damping (Liquid
  /// Damping `alpha`) is larger at this radius (all in scene units).
  void warnIfDampingHidesViscosity(double own, double damping, double alpha, double flow, double unit);
  std::map<std::string, double> _derived; ///< constants Physical Materials derived, by token
  /// Refreshes the system's per-frame settings from the parameters at time t.
  void refreshSettings(double t);

  /// Current evaluation time of the host, for the enabling rules.
  static double now() { return OPgetDirector()->getChannelManager()->getEvaluateTime(); }
  int toggle(char const* name, int slot, double time) { return evalInt(name, &myOffsets[slot], 0, time); }

  std::unique_ptr<SimSystem> _system; ///< the simulation; replaced at every rebuild
  TalunoObjects* _registry = nullptr;
  int64_t _frameCounter = 0;          ///< the next frame the stepping loop simulates
  bool _initialized = false;          ///< true after a rebuild, until a cook after the reset frame
  float _frameTime = 0.04f;           ///< seconds per frame
  int32_t _subSteps = 5;              ///< sub-steps per frame
  bool _adaptiveSubSteps = false;     ///< choose each frame's sub-steps from the stability estimate
  int32_t _maxSubSteps = 200;         ///< most sub-steps a frame may take with _adaptiveSubSteps
  SimSystem::FrameSteps _frameSteps;  ///< how the last frame was divided
  /// With Collider Forces: the last simulated frame's mean force, in
  /// newtons, on each collision object, by its index in the system.
  std::map<int64_t, Eigen::Vector3d> _colliderForces;
  bool _showGhostParticles = false;
  bool _addNormals = false;
  bool _addRotAttribs = false;
  GEO_PrimParticle* _particlePrimitive = nullptr;
  GA_Attribute* _velocityAttribute = nullptr;
  GA_Attribute* _idAttribute = nullptr;
  GA_Attribute* _colorAttribute = nullptr;
  GA_Attribute* _normalAttribute = nullptr;
  GA_Attribute* _rotationAttribute = nullptr;
  GA_Attribute* _angularVelocityAttribute = nullptr;
  // Beyond the specified output, for renderers: radius, material, liquid
  // state and age of every point, and a group per material.
  GA_Attribute* _pscaleAttribute = nullptr;
  GA_Attribute* _materialAttribute = nullptr;
  GA_Attribute* _densityAttribute = nullptr;
  GA_Attribute* _pressureAttribute = nullptr;
  GA_Attribute* _ageAttribute = nullptr;
  GA_PointGroup* _materialGroups[3] = {nullptr, nullptr, nullptr}; ///< soft body, liquid, granular
  std::vector<float> _birthTimes; ///< by particle id: the output time at which its point was made
  GA_PointGroup* _particlesGroup = nullptr;
  GA_PointGroup* _ghostsGroup = nullptr;
  GA_PointGroup* _ghostsToDeleteGroup = nullptr;

  /// One object node whose object the system was handed since the rebuild,
  /// named by the UID on the node's output. Its replacements are handed over
  /// under the same index, an emitter's with its emitted state; an object
  /// its node withdraws (to destroy or replace it) leaves the system at once.
  /// Entries stay until the next rebuild, also when their node is unwired.
  struct HandedOver
  {
    int32_t uid;
    int32_t kind;                         ///< _objectType
    int64_t index = -1;                   ///< the system's index of the object; -1 while it has none
    TalunoObject const* object = nullptr; ///< the object last handed over; null once withdrawn
    bool hasEmitted = false;              ///< a withdrawn emitter's state, for its replacement
    std::string node;                     ///< the object node's name, for messages
  };
  std::vector<HandedOver> _handedOver; ///< in the order of hand-over: input order at the rebuild

  /// Hands `object` (found on input `node`) to the system under the entry's
  /// index, or a new index when the entry has none. False when an emitter
  /// was refused because its fill cannot fit in memory.
  bool handOver(HandedOver& entry, TalunoObject* object, bool reset, std::string const& node);
  /// Whether the system holds `object` under the entry's index.
  bool holds(HandedOver const& entry, TalunoObject const* object) const;
  void objectWithdrawn(TalunoObject const* object) override;
  /// One object found on the inputs: its UID, the object and the input node.
  struct InputObject
  {
    int32_t uid;
    TalunoObject* object;
    std::string node;
  };
  /// The objects on the inputs in input order, each once; notes their UIDs
  /// in _inputUids.
  std::vector<InputObject> inputObjects();
  std::vector<int32_t> _inputUids; ///< UIDs of the objects on the inputs at the last cook
  /// State that loadData accepted, taken in at the next cook.
  std::string _pendingState;
  /// Takes in the state saveData wrote: rebuilds the system from the
  /// settings, hands it the objects on the inputs under the saved indices,
  /// and replaces the simulation and the output. Throws std::runtime_error
  /// when the bytes or the inputs do not fit.
  void restoreState(std::string const& bytes);
  /// Finds the output's attributes and groups again after the output was read back.
  void bindOutput();
  /// After a rebuild: notes, per emitter, the particles it made at the reset
  /// frame, and the memory that many particles take.
  void noteEmission();
  /// After a rebuild: notes the sub-steps each stretch of frames up to the
  /// playbar's end will need, and warns where Maximum SubSteps will stop
  /// automatic sub-steps (SOP_TalunoEstimate.cpp).
  void noteSubStepEstimate(int reset);
  /// After the first frame simulated since a rebuild, which took `seconds`:
  /// notes the time the rest of the run will take at its pace.
  void noteRunTime(double frame, double seconds);
  /// The EmitterObject nodes upstream of this one.
  std::vector<OP_Node*> upstreamEmitters() const;
  std::vector<double> _estimatedSteps; ///< estimated sub-steps of each frame from _estimatedFrom on
  int64_t _estimatedFrom = 0;
  bool _timeNextFrame = false;         ///< the next frame's time makes the run-time estimate
};
