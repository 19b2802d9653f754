#pragma once

#include "OP/OP_Context.h"
#include "OP/OP_Operator.h"
#include "PRM/PRM_Include.h"
#include "UT/UT_Error.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class GU_Detail;
class OP_Network;

/// Why a node is told that something it depends on changed.
enum OP_EventType
{
  OP_INPUT_REWIRED = 11,
  OP_INPUT_CHANGED = 12,
  OP_PARM_CHANGED = 15
};

/// What a modification passes along; nothing the operators read.
class OP_PropagateData
{
};

/// A node of a network: parameters built from its operator's templates,
/// evaluated at a time (numbers or expressions), inputs, error level and flags.
class OP_Node
{
public:
  OP_Node(OP_Network* network, char const* name, OP_Operator* op);
  virtual ~OP_Node();
  OP_Node(OP_Node const&) = delete;
  OP_Node& operator=(OP_Node const&) = delete;

  std::string const& getName() const { return _name; }
  OP_Operator* getOperator() const { return _operator; }
  OP_Network* getNetwork() const { return _network; }
  /// The node wired to input `index`, or null when it is not connected.
  OP_Node* getInput(unsigned index) const;

  // --- Parameters ---
  /// Allocates a parameter index cache of `size` slots, all unresolved. The
  /// cache lives as long as the process, so a class may keep it in a static.
  int* allocIndirect(int size);
  double evalFloat(char const* name, int component, double time);
  double evalFloat(char const* name, int* indirect, int component, double time);
  int evalInt(char const* name, int component, double time);
  int evalInt(char const* name, int* indirect, int component, double time);
  /// A string parameter's text, with $F (frame) and $F2 to $F9 (frame padded
  /// to that many digits) replaced by the frame of `time`.
  std::string evalString(char const* name, int component, double time);
  void setString(char const* name, int component, std::string const& text);
  /// Enables or disables a parameter; 1 when its state changed, else 0.
  unsigned enableParm(char const* name, bool state);
  bool getEnableState(char const* name) const;
  /// Sets a component to a number or an expression (replacing the other),
  /// then tells the node its parameter changed.
  void setFloat(char const* name, int component, double value);
  void setExpression(char const* name, int component, std::string const& expression);
  /// The expression of a component, empty when it holds a plain number.
  std::string getExpression(char const* name, int component) const;
  /// Index of a parameter in the template list, -1 when unknown.
  int getParmIndex(char const* name) const;
  /// Whether a component holds what a new node holds there: its template's
  /// default number and expression (the user has not set it).
  bool isParmDefault(char const* name, int component) const;
  int getNumParms() const { return int(_parms.size()); }
  PRM_Template const* getParmTemplate(int index) const { return _parms[index].tmpl; }

  // --- Errors ---
  OP_ERROR error() const { return _error; }
  void addError(OP_ERROR level, std::string const& message);
  std::vector<std::string> const& errorMessages() const { return _messages; }
  /// The level each message of errorMessages() was added with.
  std::vector<OP_ERROR> const& errorMessageLevels() const { return _messageLevels; }
  void clearErrors();

  // --- Cook state ---
  /// Whether the node's last result still stands: cleared by any change to
  /// it or upstream of it, set by a cook.
  bool isCookValid() const { return _cookValid; }
  void invalidateCook() { _cookValid = false; }

  // --- Flags ---
  void flags(unsigned bit, bool on);
  bool flag(unsigned bit) const { return (_flags & bit) != 0; }
  void setTimeDep(bool on) { _timeDependent = on; }
  bool isTimeDependent() const { return _timeDependent; }

  // --- Overridables ---
  virtual char const* inputLabel(unsigned index) const;
  /// Refreshes enabled states; returns how many changed.
  virtual bool updateParmsFlags();
  virtual unsigned disableParms();
  virtual int propagateModification(OP_Node* by, OP_EventType reason, int index, OP_PropagateData& data);
  virtual void clearCache();
  /// What the node keeps between cooks, as bytes (a simulation's state, its
  /// output so far): appended to `out`. False, the default, for a node whose
  /// result depends on the time alone and keeps nothing.
  virtual bool saveData(std::string& out) const;
  /// Gives back what saveData wrote; the node takes it in at its next cook,
  /// which must be at the time the data was saved, in place of computing it.
  /// False with the reason when the node keeps nothing or the bytes cannot
  /// be its data.
  virtual bool loadData(std::string const& in, std::string& problem);

protected:
  struct Component
  {
    double value = 0.0;
    std::string expression;
  };
  struct Parm
  {
    PRM_Template const* tmpl;
    std::vector<Component> components;
    bool enabled = true;
  };

  Parm* findParm(char const* name, int* indirect);
  double evaluate(Parm& parm, int component, double time);

  OP_Network* _network;
  std::string _name;
  OP_Operator* _operator;
  std::vector<Parm> _parms;
  std::map<std::string, int> _parmIndex;
  std::vector<std::string> _evaluating; ///< parameters being evaluated, to catch ch() cycles
  OP_ERROR _error = UT_ERROR_NONE;
  std::vector<std::string> _messages;
  std::vector<OP_ERROR> _messageLevels;
  unsigned _flags = 0;
  bool _timeDependent = false;
  bool _cookValid = false;
};
