#pragma once

// The plug-in's operators and the program's geometry operators in one
// table, for tests that build networks in-process.
#include "GeometryNodes.h"
#include "OP/OP_Operator.h"
#include "SOP_CollisionObject.h"
#include "SOP_EmitterObject.h"
#include "SOP_Taluno.h"

struct Operators
{
  Operators()
  {
    table.addOperator(new OP_Operator("CollisionObject", "Collision Object", SOP_CollisionObject::myConstructor,
                                      SOP_CollisionObject::myTemplateList, 1, 1));
    table.addOperator(
        new OP_Operator("Taluno", "Taluno", SOP_Taluno::myConstructor, SOP_Taluno::myTemplateList, 1, 9999));
    table.addOperator(new OP_Operator("EmitterObject", "Emitter Object", SOP_EmitterObject::myConstructor,
                                      SOP_EmitterObject::myTemplateList, 1, 1));
    registerGeometryOperators(table);
  }
  OP_OperatorTable table;
};
