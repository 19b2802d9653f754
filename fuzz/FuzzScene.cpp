// Scene files: JSON parsing, then the checks of node types, parameters,
// values, inputs, loops and the output, against the real operator table.
#include "FuzzOperators.h"
#include "GeometryNodes.h"
#include "OP/OP_Operator.h"
#include "Scene.h"
#include "UT/UT_DSO.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
  const std::string text(reinterpret_cast<char const*>(data), size);
  Scene scene;
  std::vector<std::string> problems;
  if (parseScene(text, "fuzz", scene, problems))
    validateScene(scene, fuzzOperators(), problems);
  return 0;
}
