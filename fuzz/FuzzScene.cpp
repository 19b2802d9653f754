// Scene files: JSON parsing, then the checks of node types, parameters,
// values, inputs, loops and the output, against the real operator table.
#include "GeometryNodes.h"
#include "OP/OP_Operator.h"
#include "Scene.h"
#include "UT/UT_DSO.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>

namespace {

OP_OperatorTable& operators()
{
  static OP_OperatorTable* table = [] {
    auto* t = new OP_OperatorTable;
    std::string error;
    if (!UTloadSopPlugin(TALUNO_PLUGIN_BUILD_PATH, *t, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    registerGeometryOperators(*t);
    return t;
  }();
  return *table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
  const std::string text(reinterpret_cast<char const*>(data), size);
  Scene scene;
  std::vector<std::string> problems;
  if (parseScene(text, "fuzz", scene, problems))
    validateScene(scene, operators(), problems);
  return 0;
}
