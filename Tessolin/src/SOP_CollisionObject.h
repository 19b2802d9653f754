#pragma once

#include "PRM/PRM_Include.h"
#include "SOP/SOP_Node.h"
#include "ASDFObject.h"
#include "TalunoObjects.h"

#include "MeshBuilder.h"
#include "UT/UT_Vector3.h"

class ASDFCell;
class CollisionObject;
class Mesh;

/// The operator "CollisionObject": turns its input triangles into a collision
/// object with a distance field, registered for the solver under its UID.
class SOP_CollisionObject : public SOP_Node
{
public:
  static OP_Node* myConstructor(OP_Network* network, const char* name, OP_Operator* op);
  static PRM_Template myTemplateList[];
  static int* myOffsets; ///< parameter index cache of the class (32 slots)

  SOP_CollisionObject(OP_Network* network, const char* name, OP_Operator* op);
  ~SOP_CollisionObject() override;

  char const* inputLabel(unsigned index) const override;
  unsigned disableParms() override;
  int propagateModification(OP_Node* by, OP_EventType reason, int index, OP_PropagateData& data) override;
  void clearCache() override;

  CollisionObject const* object() const { return _object; }
  Mesh const* mesh() const { return _mesh; }

protected:
  OP_ERROR cookMySop(OP_Context& context) override;
  OP_ERROR cookMyGuide1(OP_Context& context) override;

private:
  /// Refuses an Error Threshold of 0 or less, a Maximum Depth outside 0 to
  /// maxFieldDepth, and a depth whose field could not fit in memory for the
  /// input's surface. False when refused.
  bool checkFieldSettings(GU_Detail const* input);
  static constexpr int maxFieldDepth = ASDFObject::deepestLevel;
  float floatParm(char const* name, int slot, int component, double time)
  {
    return static_cast<float>(evalFloat(name, &myOffsets[slot], component, time));
  }
  CollisionObject* newObject(int id, double t);
  void guideRecursion(ASDFCell const* cell);

  CollisionObject* _object = nullptr; ///< owned
  Mesh* _mesh = nullptr;              ///< owned
  int32_t _nbKdTreeReturnedVertices;
  int32_t _maxDepth;
  float _errorThreshold;
  TalunoObjects* _registry = nullptr;
  bool _rebuildMesh = true;
  bool _rebuildObject = true;
  bool _skipClearCache = false;
  UT_Matrix4F _transform; ///< the moving object's transform, host layout
};
