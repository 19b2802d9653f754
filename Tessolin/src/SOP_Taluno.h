#pragma once

#include "OP/OP_Director.h"
#include "PRM/PRM_Include.h"
#include "SOP/SOP_Node.h"
#include "TalunoObjects.h"

#include "GA/GA_Attribute.h"
#include "GA/GA_ElementGroup.h"
#include "GEO/GEO_Primitive.h"

#include <map>
#include <memory>
#include <string>

class EmitterObject;
class SimSystem;

/// The solver operator "Taluno": owns one particle simulation, rebuilds it at
/// its reset frame and steps it frame by frame as the host's time advances.
class SOP_Taluno : public SOP_Node
{
public:
  static OP_Node* myConstructor(OP_Network* network, const char* name, OP_Operator* op);
  static PRM_Template myTemplateList[];
  static int* myOffsets; ///< parameter index cache of the class (50 slots)

  SOP_Taluno(OP_Network* network, const char* name, OP_Operator* op);
  ~SOP_Taluno() override;

  char const* inputLabel(unsigned index) const override;
  unsigned disableParms() override;
  void clearCache() override { _initialized = false; }

  SimSystem const* system() const { return _system.get(); }
  int64_t frameCounter() const { return _frameCounter; }

protected:
  OP_ERROR cookMySop(OP_Context& context) override;

private:
  /// Builds a new system from the parameters and prepares the output.
  void initSystem();
  /// Refreshes the per-frame settings and hands the system the objects found
  /// on the inputs; at a reset, also initialises it at the reset frame.
  void updateSimulationSystem(bool reset);
  /// Unless `reset`, advances the system by one frame; then writes the output.
  void simStep(float time, bool reset);
  /// Refuses, as node errors, settings no simulation can run with: lengths
  /// that are not positive, fewer than one sub-step. True when all are usable.
  bool checkSettings(double time);
  /// Refuses an emitter whose fill would need more memory than the machine
  /// has, before it is filled. `node` names the emitter in the message.
  bool emitterFits(EmitterObject const& emitter, std::string const& node);
  /// After a frame: stops the run when particles were left with non-finite
  /// positions or velocities, naming the settings most likely responsible.
  bool checkFinite(double frame);
  /// Appends one output point.
  void birthParticle(float const* position, float const* velocity, int32_t id, bool ghost);
  void prepareOutput(double resetTime);
  void writeOutput(float time);
  double real(char const* name, int slot, double time, int component = 0)
  {
    return double(float(evalFloat(name, &myOffsets[slot], component, time)));
  }

  /// Current evaluation time of the host, for the enabling rules.
  static double now() { return OPgetDirector()->getChannelManager()->getEvaluateTime(); }
  int toggle(char const* name, int slot, double time) { return evalInt(name, &myOffsets[slot], 0, time); }

  std::unique_ptr<SimSystem> _system; ///< the simulation; replaced at every rebuild
  TalunoObjects* _registry = nullptr;
  int64_t _frameCounter = 0;          ///< the next frame the stepping loop simulates
  bool _initialized = false;          ///< true after a rebuild, until a cook after the reset frame
  float _frameTime = 0.04f;           ///< seconds per frame
  int32_t _subSteps = 5;              ///< sub-steps per frame
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
  GA_PointGroup* _particlesGroup = nullptr;
  GA_PointGroup* _ghostsGroup = nullptr;
  GA_PointGroup* _ghostsToDeleteGroup = nullptr;

  /// What the system was handed under each input UID since the rebuild: an
  /// object replaced by its node is handed over again under the same index,
  /// and one no longer on the inputs is withdrawn before it can be destroyed.
  struct HandedOver
  {
    TalunoObject const* object;
    int32_t kind;   ///< _objectType
    int64_t index;  ///< the system's index of the object
  };
  std::map<int32_t, HandedOver> _handedOver;
};
