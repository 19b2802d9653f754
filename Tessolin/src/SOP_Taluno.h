#pragma once

#include "OP/OP_Director.h"
#include "PRM/PRM_Include.h"
#include "SOP/SOP_Node.h"
#include "TalunoObjects.h"

#include <memory>

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

protected:
  OP_ERROR cookMySop(OP_Context& context) override;

private:
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
};
