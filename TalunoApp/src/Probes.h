#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

class GU_Detail;

/// The liquid's pressure at named points of a scene and the force on each
/// collision object, one row per frame, in a CSV file: what a gauge at each
/// point and a load cell holding each object would read.
class ProbeLog
{
public:
  using Point = std::pair<std::string, std::array<double, 3>>;

  /// `colliders`: the collision-object nodes whose forces the solver writes
  /// (its Collider Forces), three columns each.
  ProbeLog(std::string path, std::vector<Point> points, std::vector<std::string> colliders = {});

  /// Keeps the rows of an earlier run for frames before `frame` (a resumed
  /// run goes on from there); a missing or foreign file keeps none.
  void keepRowsBefore(int frame);

  /// Adds the frame's row, read from the solver's output, and writes the
  /// whole file anew through a temporary; false with the reason when it
  /// cannot be written. `reach` is the liquid's interaction radius.
  bool add(int frame, double time, GU_Detail const& particles, double reach, std::string& problem);

  /// The pressure in pascals at `at`: the kernel-weighted mean of the liquid
  /// particles' pressure within `reach`, 0 where no liquid is within reach
  /// (a dry gauge reads the air's pressure, taken as zero).
  static double pressureAt(GU_Detail const& particles, std::array<double, 3> const& at, double reach);

  /// The force in newtons on the collision object of node `node`, from the
  /// solver's detail attribute force_<node>; zero without it.
  static std::array<double, 3> forceOn(GU_Detail const& particles, std::string const& node);

  std::string const& path() const { return _path; }

private:
  std::string header() const;

  std::string _path;
  std::vector<Point> _points;
  std::vector<std::string> _colliders;
  std::vector<std::pair<int, std::string>> _rows; ///< frame, line
};
