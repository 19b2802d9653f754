#pragma once

#include <string>
#include <vector>

class OP_Network;
class OP_Node;
class PRM_Template;

using OP_Constructor = OP_Node* (*)(OP_Network*, char const*, class OP_Operator*);

/// An operator type: how to make its nodes, their parameters and inputs.
class OP_Operator
{
public:
  OP_Operator(char const* name, char const* label, OP_Constructor construct, PRM_Template* templates,
              unsigned minInputs, unsigned maxInputs, void* variables = nullptr, unsigned flags = 0)
      : _name(name), _label(label), _construct(construct), _templates(templates), _minInputs(minInputs),
        _maxInputs(maxInputs)
  {
    (void)variables;
    (void)flags;
  }

  std::string const& getName() const { return _name; }
  std::string const& getLabel() const { return _label; }
  OP_Constructor getConstructor() const { return _construct; }
  PRM_Template* getParmTemplates() const { return _templates; }
  unsigned minInputs() const { return _minInputs; }
  unsigned maxInputs() const { return _maxInputs; }

private:
  std::string _name;
  std::string _label;
  OP_Constructor _construct;
  PRM_Template* _templates;
  unsigned _minInputs;
  unsigned _maxInputs;
};

/// The operator types a host knows; it owns them.
class OP_OperatorTable
{
public:
  OP_OperatorTable() = default;
  ~OP_OperatorTable();
  OP_OperatorTable(OP_OperatorTable const&) = delete;
  OP_OperatorTable& operator=(OP_OperatorTable const&) = delete;

  /// Takes ownership; refuses (and deletes) a type whose name is taken.
  bool addOperator(OP_Operator* op);
  OP_Operator* getOperator(std::string const& name) const;
  std::vector<OP_Operator*> const& operators() const { return _operators; }

private:
  std::vector<OP_Operator*> _operators;
};
