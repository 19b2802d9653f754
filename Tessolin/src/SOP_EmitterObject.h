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

protected:
  OP_ERROR cookMySop(OP_Context& context) override;

private:
  EmitterObject* _object = nullptr; ///< owned
  Mesh* _mesh = nullptr;            ///< owned
  int32_t _nbKdTreeReturnedVertices;
  TalunoObjects* _registry = nullptr;
  bool _rebuildMesh = true;
  bool _rebuildObject = true;
  bool _skipClearCache = false;
};
