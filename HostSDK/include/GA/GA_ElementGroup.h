#pragma once

#include "GA/GA_Types.h"

#include <string>
#include <vector>

/// A named set of elements; an internal group is hidden from the user.
class GA_ElementGroup
{
public:
  GA_ElementGroup(std::string name, bool internal) : _name(std::move(name)), _internal(internal) {}
  std::string const& getName() const { return _name; }
  bool isInternal() const { return _internal; }
  void add(GA_Offset element)
  {
    grow(element + 1);
    _members[element] = 1;
  }
  void remove(GA_Offset element)
  {
    if (element < GA_Offset(_members.size()))
      _members[element] = 0;
  }
  bool contains(GA_Offset element) const { return element < GA_Offset(_members.size()) && _members[element]; }
  GA_Size entries() const
  {
    GA_Size n = 0;
    for (char m : _members)
      n += m;
    return n;
  }
  void clear() { _members.assign(_members.size(), 0); }
  void grow(GA_Size elements)
  {
    if (GA_Size(_members.size()) < elements)
      _members.resize(elements, 0);
  }
  /// Keeps the elements whose `keep` flag is set, in order.
  void compact(std::vector<char> const& keep)
  {
    grow(GA_Size(keep.size()));
    size_t out = 0;
    for (size_t e = 0; e < keep.size(); ++e)
      if (keep[e])
        _members[out++] = _members[e];
    _members.resize(out);
  }

private:
  std::string _name;
  bool _internal;
  std::vector<char> _members;
};

using GA_PointGroup = GA_ElementGroup;
