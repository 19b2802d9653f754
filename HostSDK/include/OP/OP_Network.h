#pragma once

#include "OP/OP_Operator.h"

#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

class OP_Node;

/// A network of nodes made from an operator table's types: creates and owns
/// nodes, wires inputs, and tells nodes about modifications.
class OP_Network
{
public:
  explicit OP_Network(OP_OperatorTable const& table) : _table(table) {}
  ~OP_Network();
  OP_Network(OP_Network const&) = delete;
  OP_Network& operator=(OP_Network const&) = delete;

  /// A new node of the named type, or null when the type is unknown.
  OP_Node* createNode(std::string const& type, std::string const& name);
  void destroyNode(OP_Node* node);
  /// Connects `source` (or nothing, when null) to input `index` of `node`;
  /// false beyond the operator's maximum inputs or when it would close a loop.
  bool setInput(OP_Node* node, unsigned index, OP_Node* source);
  OP_Node* getInput(OP_Node const* node, unsigned index) const;
  unsigned nInputs(OP_Node const* node) const;
  /// Every node of the network, in creation order.
  std::vector<OP_Node*> nodes() const;
  /// The node and everything upstream of it, each once, every node after
  /// its inputs: an order in which cooking never waits on an input.
  std::vector<OP_Node*> upstreamOrder(OP_Node* node) const;
  /// Tells a node and, through them, its dependents that something changed:
  /// propagateModification with the event, then clearCache.
  void modified(OP_Node* node, int eventType, int index);

private:
  struct Entry
  {
    std::unique_ptr<OP_Node> node;
    std::vector<OP_Node*> inputs;
  };
  Entry* find(OP_Node const* node);
  Entry const* find(OP_Node const* node) const;
  void forgetReader(OP_Node const* source, OP_Node const* reader);
  /// Whether wiring `source` into `node` would make a loop.
  bool closesLoop(OP_Node const* node, OP_Node const* source) const;

  OP_OperatorTable const& _table;
  std::vector<Entry> _nodes;
  std::unordered_map<OP_Node const*, size_t> _index; ///< node -> its entry in _nodes
  /// node -> the nodes reading it, with the input each reads it on
  std::unordered_map<OP_Node const*, std::vector<std::pair<OP_Node*, unsigned>>> _readers;
};
