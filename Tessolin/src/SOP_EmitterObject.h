#pragma once

#include "PRM/PRM_Include.h"
#include "SOP/SOP_Node.h"
#include "TalunoObjects.h"

class EmitterObject;
class Mesh;

/// The operator "EmitterObject": turns its input's closed surface into an
/// emitter, registered for the solver under its UID.
class SOP_EmitterObject : public SOP_Node
{
public:
  static OP_Node* myConstructor(OP_Network* network, const char* name, OP_Operator* op);
  static PRM_Template myTemplateList[];
  static int* myOffsets; ///< parameter index cache of the class (32 slots)

  SOP_EmitterObject(OP_Network* network, const char* name, OP_Operator* op);
  ~SOP_EmitterObject() override;

  char const* inputLabel(unsigned index) const override;
  unsigned disableParms() override;
  int propagateModification(OP_Node* by, OP_EventType reason, int index, OP_PropagateData& data) override;
  void clearCache() override;

  EmitterObject const* object() const { return _object; }
  Mesh const* mesh() const { return _mesh; }

  // Parameter readers; real values reach the emitter in single precision.
  int nbKdTreeReturnedVertices() { return evalInt("nbKdTreeReturnedVertices", &myOffsets[7], 0, 0.0); }
  int interval(float t) { return evalInt("interval", &myOffsets[9], 0, t); }
  float thickness() { return real("thickness", 10, 0, 0.0f); }
  float vx(float t) { return real("v", 11, 0, t); }
  float vy(float t) { return real("v", 11, 1, t); }
  float vz(float t) { return real("v", 11, 2, t); }
  float px(float t) { return real("p", 6, 0, t); }
  float py(float t) { return real("p", 6, 1, t); }
  float pz(float t) { return real("p", 6, 2, t); }
  float frictionMultiplier(float t) { return real("frictionMultiplier", 12, 0, t); }

protected:
  OP_ERROR cookMySop(OP_Context& context) override;

private:
  float real(char const* name, int slot, int component, float t)
  {
    return static_cast<float>(evalFloat(name, &myOffsets[slot], component, t));
  }
  /// Deletes the object, withdrawing it from the registry first.
  void dropObject();
  EmitterObject* newObject(char nature, int emission, int fill, int behaviour, float t, unsigned id);

  EmitterObject* _object = nullptr; ///< owned
  Mesh* _mesh = nullptr;            ///< owned
  int32_t _nbKdTreeReturnedVertices;
  TalunoObjects* _registry = nullptr;
  bool _rebuildMesh = true;
  bool _rebuildObject = true;
  bool _skipClearCache = false;
};
