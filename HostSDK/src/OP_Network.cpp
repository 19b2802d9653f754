#include "OP/OP_Network.h"

#include "OP/OP_Node.h"

#include <unordered_set>

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
  _index[node] = _nodes.size();
  _nodes.push_back(Entry{std::unique_ptr<OP_Node>(node), {}});
  node->updateParmsFlags();
  return node;
}

void OP_Network::destroyNode(OP_Node* node)
{
  Entry* entry = find(node);
  if (!entry)
    return;
  // Its readers lose the input and hear of it.
  std::vector<std::pair<OP_Node*, unsigned>> readers = _readers[node];
  for (auto const& [reader, index] : readers)
    if (Entry* e = find(reader); e && index < e->inputs.size() && e->inputs[index] == node)
      e->inputs[index] = nullptr;
  for (OP_Node* input : entry->inputs)
    forgetReader(input, node);
  _readers.erase(node);
  for (auto const& [reader, index] : readers)
    modified(reader, 11, int(index));
  const size_t at = _index[node];
  _nodes.erase(_nodes.begin() + long(at));
  _index.erase(node);
  for (size_t i = at; i < _nodes.size(); ++i)
    _index[_nodes[i].node.get()] = i;
}

OP_Network::Entry* OP_Network::find(OP_Node const* node)
{
  auto at = _index.find(node);
  return at == _index.end() ? nullptr : &_nodes[at->second];
}

OP_Network::Entry const* OP_Network::find(OP_Node const* node) const
{
  auto at = _index.find(node);
  return at == _index.end() ? nullptr : &_nodes[at->second];
}

void OP_Network::forgetReader(OP_Node const* source, OP_Node const* reader)
{
  if (!source)
    return;
  auto at = _readers.find(source);
  if (at == _readers.end())
    return;
  auto& list = at->second;
  for (size_t i = 0; i < list.size();)
    if (list[i].first == reader)
      list.erase(list.begin() + long(i));
    else
      ++i;
}

bool OP_Network::closesLoop(OP_Node const* node, OP_Node const* source) const
{
  // A node may not feed itself, directly or through its inputs: the loop
  // exists when `node` is upstream of `source`. Two searches advance in
  // turn, upstream from the source and downstream from the node; the first
  // to run out proves there is none, so wiring a long chain in either order
  // costs what the shorter side costs.
  if (!source)
    return false;
  std::vector<OP_Node const*> up{source}, down{node};
  std::unordered_set<OP_Node const*> seenUp{source}, seenDown{node};
  while (!up.empty() && !down.empty()) {
    OP_Node const* a = up.back();
    up.pop_back();
    if (a == node)
      return true;
    if (Entry const* e = find(a))
      for (OP_Node const* input : e->inputs)
        if (input && seenUp.insert(input).second)
          up.push_back(input);
    OP_Node const* b = down.back();
    down.pop_back();
    if (b == source)
      return true;
    if (auto readers = _readers.find(b); readers != _readers.end())
      for (auto const& [reader, index] : readers->second)
        if (seenDown.insert(reader).second)
          down.push_back(reader);
  }
  return false;
}

bool OP_Network::setInput(OP_Node* node, unsigned index, OP_Node* source)
{
  Entry* entry = find(node);
  if (!entry || index >= node->getOperator()->maxInputs())
    return false;
  if (closesLoop(node, source))
    return false;
  if (entry->inputs.size() <= index)
    entry->inputs.resize(index + 1, nullptr);
  if (OP_Node* old = entry->inputs[index]) {
    auto& list = _readers[old];
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].first == node && list[i].second == index) {
        list.erase(list.begin() + long(i));
        break;
      }
  }
  entry->inputs[index] = source;
  if (source)
    _readers[source].emplace_back(node, index);
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

std::vector<OP_Node*> OP_Network::upstreamOrder(OP_Node* node) const
{
  // Depth first without recursion: a node is listed once all its inputs are.
  std::vector<OP_Node*> order;
  std::unordered_set<OP_Node const*> done, entered;
  std::vector<OP_Node*> stack{node};
  while (!stack.empty()) {
    OP_Node* at = stack.back();
    if (done.count(at)) {
      stack.pop_back();
      continue;
    }
    if (entered.insert(at).second) {
      if (Entry const* e = find(at))
        for (OP_Node* input : e->inputs)
          if (input && !done.count(input))
            stack.push_back(input);
      continue;
    }
    stack.pop_back();
    done.insert(at);
    order.push_back(at);
  }
  return order;
}

unsigned OP_Network::nInputs(OP_Node const* node) const
{
  Entry const* entry = find(node);
  return entry ? unsigned(entry->inputs.size()) : 0;
}

void OP_Network::modified(OP_Node* node, int eventType, int index)
{
  // The node, then every node downstream of it, each once and without
  // recursion: a long chain of nodes must not exhaust the stack.
  std::vector<std::tuple<OP_Node*, int, int>> pending{{node, eventType, index}};
  std::unordered_set<OP_Node const*> told;
  while (!pending.empty()) {
    auto [at, event, input] = pending.back();
    pending.pop_back();
    if (!told.insert(at).second)
      continue;
    at->invalidateCook();
    OP_PropagateData data;
    at->propagateModification(at, static_cast<OP_EventType>(event), input, data);
    at->clearCache();
    at->updateParmsFlags();
    // Nodes reading this one see their input's geometry change. A reader
    // whose result is already out of date heard of an earlier change that
    // it has not cooked since, and so did everything below it: the news
    // stops there (wiring a long chain from its far end is then linear).
    if (auto readers = _readers.find(at); readers != _readers.end())
      for (auto const& [reader, i] : readers->second)
        if (reader != at && reader->isCookValid())
          pending.emplace_back(reader, 12, int(i));
  }
}
