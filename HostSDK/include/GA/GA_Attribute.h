#pragma once

#include "GA/GA_Types.h"

#include <map>
#include <string>
#include <vector>

/// Default values of a new attribute's components.
class GA_Defaults
{
public:
  GA_Defaults(double value = 0.0) : _values{value} {}
  GA_Defaults(std::vector<double> values) : _values(std::move(values)) {}
  double get(int component) const
  {
    return _values.empty() ? 0.0 : _values[size_t(component) < _values.size() ? component : _values.size() - 1];
  }

private:
  std::vector<double> _values;
};

/// Named options of an attribute, such as "export_on_merge".
class GA_AttributeOptions
{
public:
  void setOptionB(std::string const& name, bool value) { _bools[name] = value; }
  bool getOptionB(std::string const& name) const
  {
    auto found = _bools.find(name);
    return found != _bools.end() && found->second;
  }

private:
  std::map<std::string, bool> _bools;
};

/// An attribute: a tuple of integers or floats per element of its owner.
class GA_Attribute
{
public:
  GA_Attribute(GA_AttributeOwner owner, std::string name, int tupleSize, GA_Storage storage, GA_Defaults defaults)
      : _owner(owner), _name(std::move(name)), _tupleSize(tupleSize), _storage(storage),
        _defaults(std::move(defaults))
  {
  }

  GA_AttributeOwner getOwner() const { return _owner; }
  std::string const& getName() const { return _name; }
  int getTupleSize() const { return _tupleSize; }
  GA_Storage getStorage() const { return _storage; }
  GA_Defaults const& getDefaults() const { return _defaults; }
  GA_AttributeOptions& getOptions() { return _options; }
  GA_AttributeOptions const& getOptions() const { return _options; }

  double get(GA_Offset element, int component) const
  {
    const size_t at = size_t(element) * _tupleSize + component;
    return at < _values.size() ? _values[at] : _defaults.get(component);
  }
  void set(GA_Offset element, int component, double value)
  {
    grow(element + 1);
    _values[size_t(element) * _tupleSize + component] = _storage == GA_STORE_INT32 ? double(int32_t(value))
                                                                                     : double(float(value));
  }
  /// Makes room for `elements` elements, new ones at the defaults.
  void grow(GA_Size elements)
  {
    const size_t old = _values.size() / _tupleSize;
    if (size_t(elements) <= old)
      return;
    _values.resize(size_t(elements) * _tupleSize);
    for (size_t e = old; e < size_t(elements); ++e)
      for (int c = 0; c < _tupleSize; ++c)
        _values[e * _tupleSize + c] = _defaults.get(c);
  }
  /// Keeps the elements whose `keep` flag is set, in order.
  void compact(std::vector<char> const& keep)
  {
    size_t out = 0;
    for (size_t e = 0; e < keep.size(); ++e)
      if (keep[e]) {
        for (int c = 0; c < _tupleSize; ++c)
          _values[out * _tupleSize + c] = _values[e * _tupleSize + c];
        ++out;
      }
    _values.resize(out * _tupleSize);
  }

private:
  GA_AttributeOwner _owner;
  std::string _name;
  int _tupleSize;
  GA_Storage _storage;
  GA_Defaults _defaults;
  GA_AttributeOptions _options;
  std::vector<double> _values; ///< values narrowed to their storage, held as doubles
};
