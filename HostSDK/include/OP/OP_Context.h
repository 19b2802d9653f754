#pragma once

/// When a node is cooked: a time in seconds, and the frame it falls on.
class OP_Context
{
public:
  explicit OP_Context(double time) : _time(time) {}
  double getTime() const { return _time; }
  /// The frame number of the time, by the channel manager's rule.
  double getFloatFrame() const;
  /// The integer frame number (rounded to the nearest frame).
  int getFrame() const;

private:
  double _time;
};
