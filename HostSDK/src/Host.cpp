// Small pieces of the host layer: the director and channel manager, contexts,
// menus, ranges, operator tables and details.
#include "CH/CH_Manager.h"
#include "OP/OP_Context.h"
#include "OP/OP_Director.h"
#include "OP/OP_Operator.h"
#include "PRM/PRM_Include.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>

OP_Director* OPgetDirector()
{
  static OP_Director director;
  return &director;
}

double CH_Manager::niceNumber(double value, int digits)
{
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", std::max(digits, 1), value);
  return std::strtod(text, nullptr);
}

double OP_Context::getFloatFrame() const { return OPgetDirector()->getChannelManager()->getSample(_time); }

int OP_Context::getFrame() const { return static_cast<int>(std::lround(getFloatFrame())); }

int PRM_ChoiceList::size() const
{
  int n = 0;
  while (_items && _items[n].getToken())
    ++n;
  return n;
}

double PRM_Range::clamp(double value) const
{
  if (minFlag == PRM_RANGE_RESTRICTED)
    value = std::max(value, min);
  if (maxFlag == PRM_RANGE_RESTRICTED)
    value = std::min(value, max);
  return value;
}

OP_OperatorTable::~OP_OperatorTable()
{
  for (OP_Operator* op : _operators)
    delete op;
}

bool OP_OperatorTable::addOperator(OP_Operator* op)
{
  if (!op)
    return false;
  if (getOperator(op->getName())) {
    delete op;
    return false;
  }
  _operators.push_back(op);
  return true;
}

OP_Operator* OP_OperatorTable::getOperator(std::string const& name) const
{
  for (OP_Operator* op : _operators)
    if (op->getName() == name)
      return op;
  return nullptr;
}
