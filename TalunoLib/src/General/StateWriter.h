#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

/// Appends values to a byte string in the machine's own representation:
/// doubles bit for bit, so that a state read back continues exactly.
class StateWriter
{
public:
  explicit StateWriter(std::string& out) : _out(out) {}

  template <typename T> void value(T const& v)
  {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    _out.append(reinterpret_cast<char const*>(&v), sizeof v);
  }

  /// A count, then the elements' bytes.
  template <typename T> void values(std::vector<T> const& v)
  {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    value(uint64_t(v.size()));
    if (!v.empty())
      _out.append(reinterpret_cast<char const*>(v.data()), v.size() * sizeof(T));
  }

  void text(std::string const& s)
  {
    value(uint64_t(s.size()));
    _out.append(s);
  }

private:
  std::string& _out;
};
