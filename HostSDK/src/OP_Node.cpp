#include "OP/OP_Node.h"

#include "OP/OP_Director.h"
#include "OP/OP_Network.h"
#include "OP_Expression.h"

#include <algorithm>
#include <cmath>
#include <deque>

OP_Node::OP_Node(OP_Network* network, char const* name, OP_Operator* op)
    : _network(network), _name(name ? name : ""), _operator(op)
{
  PRM_Template const* templates = op ? op->getParmTemplates() : nullptr;
  for (int i = 0; templates && !templates[i].isTerminator(); ++i) {
    PRM_Template const& t = templates[i];
    Parm parm{&t, std::vector<Component>(std::max(t.getVectorSize(), 1)), true};
    for (int c = 0; c < int(parm.components.size()); ++c)
      if (PRM_Default const* d = t.getDefault(c)) {
        parm.components[c].value = d->getFloat();
        // A switcher's default strings are its folder labels, not expressions;
        // a string parameter keeps its text where others keep an expression.
        if (d->getString() && t.getType().basic != PRM_Type::Switcher)
          parm.components[c].expression = d->getString();
      }
    if (t.getToken())
      _parmIndex.emplace(t.getToken(), int(_parms.size()));
    _parms.push_back(std::move(parm));
  }
}

OP_Node::~OP_Node() = default;

int* OP_Node::allocIndirect(int size)
{
  // Never released: classes keep the cache in a static for every later node.
  static std::deque<std::vector<int>> caches;
  caches.emplace_back(size_t(std::max(size, 0)), -1);
  return caches.back().data();
}

int OP_Node::getParmIndex(char const* name) const
{
  auto found = _parmIndex.find(name ? name : "");
  return found == _parmIndex.end() ? -1 : found->second;
}

OP_Node::Parm* OP_Node::findParm(char const* name, int* indirect)
{
  int index = indirect && *indirect >= 0 ? *indirect : getParmIndex(name);
  if (index < 0 || index >= int(_parms.size())) {
    addError(UT_ERROR_ERROR, std::string("Unknown parameter \"") + (name ? name : "") + "\" on " + _name);
    return nullptr;
  }
  if (indirect)
    *indirect = index;
  return &_parms[index];
}

double OP_Node::evaluate(Parm& parm, int component, double time)
{
  if (component < 0 || component >= int(parm.components.size())) {
    addError(UT_ERROR_ERROR, std::string("Parameter \"") + parm.tmpl->getToken() + "\" has no component " +
                                 std::to_string(component));
    return 0.0;
  }
  Component const& c = parm.components[component];
  if (parm.tmpl->getType().basic == PRM_Type::String)
    return 0.0;
  if (c.expression.empty())
    return parm.tmpl->getRange() ? parm.tmpl->getRange()->clamp(c.value) : c.value;

  std::string const token = parm.tmpl->getToken();
  if (std::find(_evaluating.begin(), _evaluating.end(), token) != _evaluating.end())
    throw ExpressionError("ch(\"" + token + "\") refers back to itself");
  _evaluating.push_back(token);
  CH_Manager const* channels = OPgetDirector()->getChannelManager();
  ExpressionScope scope;
  scope.time = time;
  scope.frame = channels->getSample(time);
  scope.fps = channels->getSamplesPerSec();
  scope.channel = [this, time](std::string const& name) {
    Parm* other = findParm(name.c_str(), nullptr);
    if (!other)
      throw ExpressionError("ch(\"" + name + "\"): no such parameter");
    return evaluate(*other, 0, time);
  };
  double value;
  try {
    value = evaluateExpression(c.expression, scope);
  } catch (...) {
    _evaluating.pop_back();
    throw;
  }
  _evaluating.pop_back();
  return parm.tmpl->getRange() ? parm.tmpl->getRange()->clamp(value) : value;
}

double OP_Node::evalFloat(char const* name, int* indirect, int component, double time)
{
  Parm* parm = findParm(name, indirect);
  if (!parm)
    return 0.0;
  try {
    return evaluate(*parm, component, time);
  } catch (ExpressionError const& e) {
    addError(UT_ERROR_ERROR, "Bad expression in parameter \"" + std::string(parm->tmpl->getToken()) + "\" of " +
                                 _name + ": \"" + parm->components[component].expression + "\": " + e.what());
    return 0.0;
  }
}

double OP_Node::evalFloat(char const* name, int component, double time)
{
  return evalFloat(name, nullptr, component, time);
}

int OP_Node::evalInt(char const* name, int* indirect, int component, double time)
{
  return static_cast<int>(std::lround(evalFloat(name, indirect, component, time)));
}

int OP_Node::evalInt(char const* name, int component, double time) { return evalInt(name, nullptr, component, time); }

unsigned OP_Node::enableParm(char const* name, bool state)
{
  const int index = getParmIndex(name);
  if (index < 0 || _parms[index].enabled == state)
    return 0;
  _parms[index].enabled = state;
  return 1;
}

bool OP_Node::getEnableState(char const* name) const
{
  const int index = getParmIndex(name);
  return index >= 0 && _parms[index].enabled;
}

void OP_Node::setFloat(char const* name, int component, double value)
{
  Parm* parm = findParm(name, nullptr);
  if (!parm || component < 0 || component >= int(parm->components.size()))
    return;
  parm->components[component] = Component{value, ""};
  if (_network)
    _network->modified(this, OP_PARM_CHANGED, getParmIndex(name));
}

void OP_Node::setExpression(char const* name, int component, std::string const& expression)
{
  Parm* parm = findParm(name, nullptr);
  if (!parm || component < 0 || component >= int(parm->components.size()))
    return;
  parm->components[component].expression = expression;
  if (_network)
    _network->modified(this, OP_PARM_CHANGED, getParmIndex(name));
}

bool OP_Node::isParmDefault(char const* name, int component) const
{
  const int index = getParmIndex(name);
  if (index < 0 || component < 0 || component >= int(_parms[index].components.size()))
    return false;
  Parm const& parm = _parms[index];
  Component const& now = parm.components[component];
  PRM_Default const* d = parm.tmpl->getDefault(component);
  const double value = d ? d->getFloat() : 0.0;
  const std::string expression =
      d && d->getString() && parm.tmpl->getType().basic != PRM_Type::Switcher ? d->getString() : "";
  return now.value == value && now.expression == expression;
}

std::string OP_Node::getExpression(char const* name, int component) const
{
  const int index = getParmIndex(name);
  if (index < 0 || component < 0 || component >= int(_parms[index].components.size()))
    return {};
  return _parms[index].components[component].expression;
}

void OP_Node::addError(OP_ERROR level, std::string const& message)
{
  _error = std::max(_error, level);
  _messages.push_back(message);
  _messageLevels.push_back(level);
}

void OP_Node::clearErrors()
{
  _error = UT_ERROR_NONE;
  _messages.clear();
  _messageLevels.clear();
}

void OP_Node::flags(unsigned bit, bool on) { _flags = on ? (_flags | bit) : (_flags & ~bit); }

char const* OP_Node::inputLabel(unsigned) const { return "Input"; }

bool OP_Node::updateParmsFlags() { return disableParms() != 0; }

unsigned OP_Node::disableParms() { return 0; }

int OP_Node::propagateModification(OP_Node*, OP_EventType, int, OP_PropagateData&) { return 1; }

void OP_Node::clearCache() {}

bool OP_Node::saveData(std::string&) const { return false; }

bool OP_Node::loadData(std::string const&, std::string& problem)
{
  problem = "node \"" + getName() + "\" keeps nothing between cooks";
  return false;
}

std::string OP_Node::evalString(char const* name, int component, double time)
{
  Parm* parm = findParm(name, nullptr);
  if (!parm || component < 0 || component >= int(parm->components.size()))
    return {};
  std::string text = parm->components[component].expression;
  const long frame = std::lround(OPgetDirector()->getChannelManager()->getSample(time));
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == 'F') {
      int width = 0;
      size_t next = i + 2;
      if (next < text.size() && text[next] >= '2' && text[next] <= '9') {
        width = text[next] - '0';
        ++next;
      }
      std::string digits = std::to_string(std::labs(frame));
      if (int(digits.size()) < width)
        digits.insert(0, size_t(width) - digits.size(), '0');
      out += (frame < 0 ? "-" : "") + digits;
      i = next - 1;
    } else {
      out += text[i];
    }
  }
  return out;
}

void OP_Node::setString(char const* name, int component, std::string const& text)
{
  Parm* parm = findParm(name, nullptr);
  if (!parm || component < 0 || component >= int(parm->components.size()))
    return;
  parm->components[component].expression = text;
  if (_network)
    _network->modified(this, OP_PARM_CHANGED, getParmIndex(name));
}

OP_Node* OP_Node::getInput(unsigned index) const { return _network ? _network->getInput(this, index) : nullptr; }
