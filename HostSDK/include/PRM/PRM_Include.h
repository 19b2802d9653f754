#pragma once

// Parameter templates: what a node's parameters are called, their types,
// defaults (numbers or expressions), menus, ranges and folders.
#include <string>
#include <vector>

/// Token and label of a parameter or menu item; a null token ends a list.
class PRM_Name
{
public:
  PRM_Name() = default;
  PRM_Name(char const* token, char const* label = nullptr) : _token(token), _label(label ? label : token) {}
  char const* getToken() const { return _token; }
  char const* getLabel() const { return _label; }

private:
  char const* _token = nullptr;
  char const* _label = nullptr;
};

/// A default value: a number, or an expression string whose number is kept beside it.
class PRM_Default
{
public:
  PRM_Default(double value = 0.0, char const* expression = nullptr) : _value(value), _expression(expression) {}
  double getFloat() const { return _value; }
  int getOrdinal() const { return static_cast<int>(_value); }
  char const* getString() const { return _expression; }

private:
  double _value;
  char const* _expression;
};

/// Menu kinds; the single-selection menu of the operators is 4097.
enum PRM_ChoiceListType
{
  PRM_CHOICELIST_SINGLE = 4097
};

/// A menu: items ended by a null-token PRM_Name.
class PRM_ChoiceList
{
public:
  PRM_ChoiceList(PRM_ChoiceListType type, PRM_Name const* items) : _type(type), _items(items) {}
  PRM_ChoiceListType getType() const { return _type; }
  PRM_Name const* getItems() const { return _items; }
  int size() const;

private:
  PRM_ChoiceListType _type;
  PRM_Name const* _items;
};

/// How a range bound applies: 1 restricts the slider only, 3 is enforced.
enum PRM_RangeFlag
{
  PRM_RANGE_FREE = 0,
  PRM_RANGE_UI = 1,
  PRM_RANGE_RESTRICTED = 3
};

class PRM_Range
{
public:
  PRM_Range(PRM_RangeFlag minFlag = PRM_RANGE_UI, double min = 0.0, PRM_RangeFlag maxFlag = PRM_RANGE_UI,
            double max = 1.0)
      : minFlag(minFlag), min(min), maxFlag(maxFlag), max(max)
  {
  }
  /// A value brought inside the enforced bounds.
  double clamp(double value) const;

  PRM_RangeFlag minFlag;
  double min;
  PRM_RangeFlag maxFlag;
  double max;
};

/// Parameter types. The _J variants differ only in how the host draws them.
class PRM_Type
{
public:
  enum Basic
  {
    Terminator,
    Integer,
    Float,
    Toggle,
    Ordinal,
    Switcher,
    FloatMinMax,
    String
  };
  constexpr PRM_Type(Basic basic, bool joined) : basic(basic), joined(joined) {}
  bool operator==(PRM_Type const& o) const { return basic == o.basic && joined == o.joined; }
  Basic basic;
  bool joined;
};

inline constexpr PRM_Type PRM_INT{PRM_Type::Integer, false};
inline constexpr PRM_Type PRM_INT_J{PRM_Type::Integer, true};
inline constexpr PRM_Type PRM_FLT{PRM_Type::Float, false};
inline constexpr PRM_Type PRM_FLT_J{PRM_Type::Float, true};
inline constexpr PRM_Type PRM_TOGGLE{PRM_Type::Toggle, false};
inline constexpr PRM_Type PRM_TOGGLE_J{PRM_Type::Toggle, true};
inline constexpr PRM_Type PRM_ORD{PRM_Type::Ordinal, false};
inline constexpr PRM_Type PRM_ORD_J{PRM_Type::Ordinal, true};
inline constexpr PRM_Type PRM_SWITCHER{PRM_Type::Switcher, false};
inline constexpr PRM_Type PRM_FLT_MINMAX{PRM_Type::FloatMinMax, false};
inline constexpr PRM_Type PRM_STRING{PRM_Type::String, false};
inline constexpr PRM_Type PRM_FILE{PRM_Type::String, true};
/// The type of the template that ends a list: PRM_Template(PRM_LIST_TERMINATOR).
inline constexpr PRM_Type PRM_LIST_TERMINATOR{PRM_Type::Terminator, false};

class PRM_SpareData;
class PRM_ConditionalBase;
using PRM_Callback = int (*)(void*, int, double, class PRM_Template const*);

/// One parameter of an operator's list. A switcher's defaults give, per
/// folder, the number of parameters that follow it in the folder (number) and
/// the folder's label (expression string).
class PRM_Template
{
public:
  PRM_Template() : _type(PRM_LIST_TERMINATOR) {}
  PRM_Template(PRM_Type type, int vectorSize = 0, PRM_Name* name = nullptr, PRM_Default* defaults = nullptr,
               PRM_ChoiceList* choices = nullptr, PRM_Range* range = nullptr, PRM_Callback callback = nullptr,
               PRM_SpareData* spare = nullptr, int group = 1, char const* help = nullptr,
               PRM_ConditionalBase* condition = nullptr)
      : _type(type), _vectorSize(vectorSize), _name(name), _defaults(defaults), _choices(choices), _range(range),
        _callback(callback), _spare(spare), _group(group), _help(help), _condition(condition)
  {
  }

  PRM_Type getType() const { return _type; }
  bool isTerminator() const { return _type.basic == PRM_Type::Terminator; }
  int getVectorSize() const { return _vectorSize; }
  char const* getToken() const { return _name ? _name->getToken() : nullptr; }
  char const* getLabel() const { return _name ? _name->getLabel() : nullptr; }
  PRM_Default const* getDefault(int component) const { return _defaults ? _defaults + component : nullptr; }
  PRM_ChoiceList const* getChoiceList() const { return _choices; }
  PRM_Range const* getRange() const { return _range; }
  char const* getHelpText() const { return _help; }
  int getGroup() const { return _group; }
  PRM_Callback getCallback() const { return _callback; }
  PRM_SpareData const* getSparePtr() const { return _spare; }
  PRM_ConditionalBase const* getConditionalBasePtr() const { return _condition; }

private:
  PRM_Type _type;
  int _vectorSize = 0;
  PRM_Name* _name = nullptr;
  PRM_Default* _defaults = nullptr;
  PRM_ChoiceList* _choices = nullptr;
  PRM_Range* _range = nullptr;
  PRM_Callback _callback = nullptr;
  PRM_SpareData* _spare = nullptr;
  int _group = 1;
  char const* _help = nullptr;
  PRM_ConditionalBase* _condition = nullptr;
};
