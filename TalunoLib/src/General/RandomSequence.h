#pragma once

#include <array>
#include <cstdint>

/// The sequence of the C library's rand() on GNU systems (the additive
/// feedback generator r[i] = r[i-3] + r[i-31], seeded by a Lehmer generator),
/// with its state held here instead of in the library. Each simulation draws
/// from its own sequence, unaffected by other users of rand(), and a
/// checkpoint can store the sequence's state and continue it exactly.
class RandomSequence
{
public:
  static constexpr int32_t max = 2147483647; ///< largest value drawn, RAND_MAX

  explicit RandomSequence(uint32_t seed = 0) { reseed(seed); }

  /// Restarts the sequence as srand(seed) does.
  void reseed(uint32_t seed)
  {
    int32_t word = seed == 0 ? 1 : int32_t(seed);
    _state[0] = uint32_t(word);
    for (int i = 1; i < degree; ++i) {
      // 16807 x word mod (2^31 - 1) without overflow (Schrage's method).
      const int32_t hi = word / 127773, lo = word % 127773;
      word = 16807 * lo - 2836 * hi;
      if (word < 0)
        word += 2147483647;
      _state[i] = uint32_t(word);
    }
    _front = separation;
    _rear = 0;
    for (int i = 0; i < 10 * degree; ++i)
      next();
  }

  /// The next value, from 0 to `max`.
  int32_t next()
  {
    _state[_front] += _state[_rear];
    const int32_t result = int32_t(_state[_front] >> 1);
    _front = _front + 1 == degree ? 0 : _front + 1;
    _rear = _rear + 1 == degree ? 0 : _rear + 1;
    return result;
  }

  static constexpr int degree = 31;    ///< words of state
  static constexpr int separation = 3; ///< distance between the two taps

  std::array<uint32_t, degree> _state{};
  int32_t _front = separation; ///< the tap that is updated, 0 .. degree - 1
  int32_t _rear = 0;           ///< the tap added to it, 0 .. degree - 1
};
