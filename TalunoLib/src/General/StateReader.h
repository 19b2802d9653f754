#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

/// Reads back what a StateWriter wrote. Every read is checked against the
/// bytes left, and every count against the most the caller allows: damaged
/// or hostile input ends in a std::runtime_error naming what was being read,
/// never in a read past the end or an allocation beyond the input.
class StateReader
{
public:
  StateReader(char const* data, size_t size) : _data(data), _size(size) {}

  template <typename T> T value(char const* what)
  {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    need(sizeof(T), what);
    T v;
    std::memcpy(&v, _data + _at, sizeof v);
    _at += sizeof v;
    return v;
  }

  /// A count of at most `most` elements, then their bytes.
  template <typename T> void values(std::vector<T>& v, uint64_t most, char const* what)
  {
    const uint64_t n = count(most, sizeof(T), what);
    v.resize(size_t(n));
    if (n)
      std::memcpy(v.data(), _data + _at, size_t(n) * sizeof(T));
    _at += size_t(n) * sizeof(T);
  }

  /// A count of at most `most` elements of at least `bytesEach` bytes each.
  uint64_t count(uint64_t most, size_t bytesEach, char const* what)
  {
    const uint64_t n = value<uint64_t>(what);
    if (n > most || (bytesEach && n > (_size - _at) / bytesEach))
      throw std::runtime_error(std::string("damaged state: ") + what + " count " + std::to_string(n) +
                               " is beyond what the state can hold");
    return n;
  }

  std::string text(uint64_t most, char const* what)
  {
    const uint64_t n = count(most, 1, what);
    std::string s(_data + _at, size_t(n));
    _at += size_t(n);
    return s;
  }

  size_t left() const { return _size - _at; }

private:
  void need(size_t n, char const* what) const
  {
    if (n > _size - _at)
      throw std::runtime_error(std::string("damaged state: it ends inside ") + what);
  }

  char const* _data;
  size_t _size;
  size_t _at = 0;
};
