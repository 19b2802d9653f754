#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class Cell;

/// Open-addressing hash index from Morton key to cell, kept beside the
/// ordered cell map: a look-up probes a flat table instead of descending a
/// tree of scattered nodes. Linear probing; erasing shifts the entries that
/// follow back into the gap, so the table never holds tombstones.
class CellIndex
{
public:
  CellIndex() { _slots.assign(16, Slot{emptyKey, nullptr}); }

  Cell* find(uint64_t key) const
  {
    for (size_t i = slotOf(key);; i = (i + 1) & mask()) {
      if (_slots[i].key == key)
        return _slots[i].cell;
      if (_slots[i].key == emptyKey)
        return nullptr;
    }
  }

  /// Adds a key that is not in the index yet.
  void insert(uint64_t key, Cell* cell)
  {
    if (2 * (_size + 1) > _slots.size())
      grow();
    place(key, cell);
    ++_size;
  }

  void erase(uint64_t key)
  {
    size_t gap = slotOf(key);
    while (_slots[gap].key != key) {
      if (_slots[gap].key == emptyKey)
        return;
      gap = (gap + 1) & mask();
    }
    // Move back every following entry of the run that may sit in the gap:
    // one whose home slot is at least as far behind it as the gap is.
    for (size_t i = (gap + 1) & mask(); _slots[i].key != emptyKey; i = (i + 1) & mask()) {
      const size_t home = slotOf(_slots[i].key);
      if (((i - home) & mask()) >= ((i - gap) & mask())) {
        _slots[gap] = _slots[i];
        gap = i;
      }
    }
    _slots[gap] = Slot{emptyKey, nullptr};
    --_size;
  }

  size_t size() const { return _size; }
  size_t heldBytes() const { return _slots.capacity() * sizeof(Slot); }

private:
  // Keys use 63 bits at most, so the all-ones value never occurs.
  static constexpr uint64_t emptyKey = ~uint64_t(0);
  struct Slot
  {
    uint64_t key;
    Cell* cell;
  };

  size_t mask() const { return _slots.size() - 1; }
  size_t slotOf(uint64_t key) const { return size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & mask(); }

  void place(uint64_t key, Cell* cell)
  {
    size_t i = slotOf(key);
    while (_slots[i].key != emptyKey)
      i = (i + 1) & mask();
    _slots[i] = Slot{key, cell};
  }

  void grow()
  {
    std::vector<Slot> old(2 * _slots.size(), Slot{emptyKey, nullptr});
    old.swap(_slots);
    for (Slot const& s : old)
      if (s.key != emptyKey)
        place(s.key, s.cell);
  }

  std::vector<Slot> _slots;
  size_t _size = 0;
};
