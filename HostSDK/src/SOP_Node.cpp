#include "SOP/SOP_Node.h"

#include "OP/OP_Network.h"

#include <algorithm>
#include <new>
#include <stdexcept>

OP_ERROR SOP_Node::cook(OP_Context& context)
{
  if (_cookValid && _cookedAt == context.getTime())
    return error();
  clearErrors();
  _cooking = true;
  OP_ERROR result = UT_ERROR_NONE;
  try {
    result = cookMySop(context);
  } catch (std::bad_alloc const&) {
    // A cook that asks for more memory than there is fails like any other:
    // the node says so and the host goes on.
    addError(UT_ERROR_ABORT, "ran out of memory while cooking");
    result = error();
  } catch (std::exception const& e) {
    addError(UT_ERROR_ABORT, std::string("failed while cooking: ") + e.what());
    result = error();
  }
  _cooking = false;
  _cookedAt = context.getTime();
  _cookValid = true;
  return result;
}

OP_ERROR SOP_Node::lockInputs(OP_Context& context)
{
  OP_ERROR worst = UT_ERROR_NONE;
  if (!_network)
    return worst;
  const unsigned n = _network->nInputs(this);
  unsigned connected = 0;
  for (unsigned i = 0; i < n; ++i)
    if (auto* input = dynamic_cast<SOP_Node*>(_network->getInput(this, i))) {
      ++connected;
      worst = std::max(worst, input->cook(context));
    }
  if (connected < _operator->minInputs()) {
    addError(UT_ERROR_ABORT, "Not enough sources specified.");
    worst = UT_ERROR_ABORT;
  }
  return worst;
}

GU_Detail const* SOP_Node::inputGeo(unsigned index) const
{
  if (!_network)
    return nullptr;
  auto* input = dynamic_cast<SOP_Node*>(_network->getInput(this, index));
  return input ? input->getCookedGeo() : nullptr;
}

OP_ERROR SOP_Node::cookGuide(OP_Context& context)
{
  myGuide1->clearAndDestroy();
  return cookMyGuide1(context);
}

OP_ERROR SOP_Node::duplicateSource(unsigned index, OP_Context&, GU_Detail* detail)
{
  GU_Detail const* source = inputGeo(index);
  if (!source) {
    addError(UT_ERROR_ERROR, "Input " + std::to_string(index) + " of " + _name + " is not connected");
    return error();
  }
  (detail ? detail : gdp)->copy(*source);
  return error();
}
