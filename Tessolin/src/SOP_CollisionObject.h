#pragma once

#include "PRM/PRM_Include.h"
#include "SOP/SOP_Node.h"
#include "TalunoObjects.h"

#include <Eigen/Core>

class CollisionObject;
class Mesh;

/// Translation times rotations about z, y and x (degrees), for column vectors.
Eigen::Matrix4d buildTransform(double tx, double ty, double tz, double rx, double ry, double rz);

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

protected:
  OP_ERROR cookMySop(OP_Context& context) override;

private:
  CollisionObject* _object = nullptr; ///< owned
  Mesh* _mesh = nullptr;              ///< owned
  int32_t _nbKdTreeReturnedVertices;
  int32_t _maxDepth;
  float _errorThreshold;
  TalunoObjects* _registry = nullptr;
  bool _rebuildMesh = true;
  bool _rebuildObject = true;
  bool _skipClearCache = false;
};
