#include "OP/OP_Network.h"

#include "OP/OP_Node.h"

OP_Network::~OP_Network()
{
  // Destroy dependents first is not needed: nodes only borrow their inputs.
  while (!_nodes.empty())
    _nodes.pop_back();
}

OP_Node* OP_Network::createNode(std::string const& type, std::string const& name)
{
  OP_Operator* op = _table.getOperator(type);
  if (!op)
    return nullptr;
  OP_Node* node = op->getConstructor()(this, name.c_str(), op);
  if (!node)
    return nullptr;
  _nodes.push_back(Entry{std::unique_ptr<OP_Node>(node), {}});
  node->updateParmsFlags();
  return node;
}

void OP_Network::destroyNode(OP_Node* node)
{
  for (Entry& entry : _nodes)
    for (OP_Node*& input : entry.inputs)
      if (input == node)
        input = nullptr;
  for (auto it = _nodes.begin(); it != _nodes.end(); ++it)
    if (it->node.get() == node) {
      _nodes.erase(it);
      return;
    }
}

OP_Network::Entry* OP_Network::find(OP_Node const* node)
{
  for (Entry& entry : _nodes)
    if (entry.node.get() == node)
      return &entry;
  return nullptr;
}

OP_Network::Entry const* OP_Network::find(OP_Node const* node) const
{
  for (Entry const& entry : _nodes)
    if (entry.node.get() == node)
      return &entry;
  return nullptr;
}

bool OP_Network::setInput(OP_Node* node, unsigned index, OP_Node* source)
{
  Entry* entry = find(node);
  if (!entry || index >= node->getOperator()->maxInputs())
    return false;
  // A node may not feed itself, directly or through its inputs.
  std::vector<OP_Node const*> upstream{source};
  while (!upstream.empty()) {
    OP_Node const* at = upstream.back();
    upstream.pop_back();
    if (!at)
      continue;
    if (at == node)
      return false;
    if (Entry const* e = find(at))
      upstream.insert(upstream.end(), e->inputs.begin(), e->inputs.end());
  }
  if (entry->inputs.size() <= index)
    entry->inputs.resize(index + 1, nullptr);
  entry->inputs[index] = source;
  modified(node, 11, int(index));
  return true;
}

OP_Node* OP_Network::getInput(OP_Node const* node, unsigned index) const
{
  Entry const* entry = find(node);
  return entry && index < entry->inputs.size() ? entry->inputs[index] : nullptr;
}

std::vector<OP_Node*> OP_Network::nodes() const
{
  std::vector<OP_Node*> out;
  for (Entry const& entry : _nodes)
    out.push_back(entry.node.get());
  return out;
}

unsigned OP_Network::nInputs(OP_Node const* node) const
{
  Entry const* entry = find(node);
  return entry ? unsigned(entry->inputs.size()) : 0;
}

void OP_Network::modified(OP_Node* node, int eventType, int index)
{
  OP_PropagateData data;
  node->propagateModification(node, static_cast<OP_EventType>(eventType), index, data);
  node->clearCache();
  node->updateParmsFlags();
  // Nodes reading this one see their input's geometry change.
  for (Entry& entry : _nodes)
    for (unsigned i = 0; i < entry.inputs.size(); ++i)
      if (entry.inputs[i] == node && entry.node.get() != node)
        modified(entry.node.get(), 12, int(i));
}
