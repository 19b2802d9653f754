// Parameter expressions, with channel references that resolve, fail or refer
// back to themselves.
#include "OP_Expression.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
  const std::string text(reinterpret_cast<char const*>(data), size);
  ExpressionScope scope;
  scope.frame = 12;
  scope.time = 0.5;
  int depth = 0;
  scope.channel = [&](std::string const& name) -> double {
    if (name == "self" && depth < 2) {
      // A channel whose value is the expression itself, two levels deep (a
      // node refuses real cycles; deeper nesting only multiplies the work).
      ++depth;
      const double v = evaluateExpression(text, scope);
      --depth;
      return v;
    }
    if (name.empty() || name[0] == 'x')
      throw ExpressionError("no parameter " + name);
    return double(name.size());
  };
  try {
    evaluateExpression(text, scope);
  } catch (ExpressionError const&) {
  }
  return 0;
}
