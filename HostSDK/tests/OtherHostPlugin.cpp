// A plug-in that claims to be built for an older host.
#include "OP/OP_Operator.h"
#include "UT/UT_DSOVersion.h"

UT_DSO_EXPORT void HoudiniDSOVersion(const char** version) { *version = "12.1"; }
UT_DSO_EXPORT unsigned HoudiniCompilerVersion() { return 1500u; }
UT_DSO_EXPORT void newSopOperator(OP_OperatorTable*) {}
