#pragma once

/// The host's channel manager: the frame rate and the time-to-frame rule.
class CH_Manager
{
public:
  double getSamplesPerSec() const { return _fps; }
  void setSamplesPerSec(double fps) { _fps = fps; }
  /// Offset added to times before they are turned into frames.
  double getTimeOffset() const { return _offset; }
  void setTimeOffset(double offset) { _offset = offset; }
  /// Frame number of a time: (time + offset) * fps + 1.
  double getSample(double time) const { return (time + _offset) * _fps + 1.0; }
  /// Time of a frame number, the inverse of getSample.
  double getTime(double frame) const { return (frame - 1.0) / _fps - _offset; }
  /// A value rounded to `digits` significant digits, as the host shows it.
  static double niceNumber(double value, int digits = 7);
  /// The time at which the host currently evaluates parameters outside a cook.
  double getEvaluateTime() const { return _evaluateTime; }
  void setEvaluateTime(double time) { _evaluateTime = time; }
  /// The frame range of the playbar: the frames a user plays or renders.
  double getGlobalStartFrame() const { return _startFrame; }
  double getGlobalEndFrame() const { return _endFrame; }
  void setGlobalFrameRange(double start, double end)
  {
    _startFrame = start;
    _endFrame = end;
  }

private:
  double _fps = 24.0;
  double _offset = 0.0;
  double _evaluateTime = 0.0;
  double _startFrame = 1.0;
  double _endFrame = 240.0;
};
