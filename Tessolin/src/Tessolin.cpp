// Plug-in entry points: the host checks the versions, then registers the
// three operator types.
#include "OP/OP_Operator.h"
#include "SOP_CollisionObject.h"
#include "SOP_EmitterObject.h"
#include "SOP_Taluno.h"
#include "UT/UT_DSOVersion.h"

UT_DSO_EXPORT void HoudiniDSOVersion(const char** version)
{
  static const char built[] = UT_DSO_VERSION;
  *version = built;
}

UT_DSO_EXPORT unsigned HoudiniCompilerVersion() { return UT_DSO_COMPILER_VERSION; }

UT_DSO_EXPORT void newSopOperator(OP_OperatorTable* table)
{
  table->addOperator(new OP_Operator("CollisionObject", "Collision Object", SOP_CollisionObject::myConstructor,
                                     SOP_CollisionObject::myTemplateList, 1, 1));
  table->addOperator(
      new OP_Operator("Taluno", "Taluno", SOP_Taluno::myConstructor, SOP_Taluno::myTemplateList, 1, 9999));
  table->addOperator(new OP_Operator("EmitterObject", "Emitter Object", SOP_EmitterObject::myConstructor,
                                     SOP_EmitterObject::myTemplateList, 1, 1));
}
