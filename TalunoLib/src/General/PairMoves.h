#pragma once

#include <Eigen/Core>

#include <algorithm>

/// How far particles moved since pair lists were made, gathered over a
/// sweep (a reduction: the same for any thread count).
struct PairMoves
{
  double farthest2 = 0.0; ///< the largest squared move
  /// The box of all moves: no two particles moved apart or together by
  /// more than its diagonal (a block that falls as one keeps its lists).
  double low[3] = {0.0, 0.0, 0.0}, high[3] = {0.0, 0.0, 0.0};
  bool any = false;
  bool unusable = false; ///< some move was not a number
  void add(Eigen::Vector3d const& move)
  {
    const double d2 = move.squaredNorm();
    if (!(d2 == d2)) {
      unusable = true;
      return;
    }
    farthest2 = std::max(farthest2, d2);
    for (int a = 0; a < 3; ++a) {
      low[a] = any ? std::min(low[a], move[a]) : move[a];
      high[a] = any ? std::max(high[a], move[a]) : move[a];
    }
    any = true;
  }
  void merge(PairMoves const& other)
  {
    unusable = unusable || other.unusable;
    farthest2 = std::max(farthest2, other.farthest2);
    for (int a = 0; a < 3; ++a) {
      low[a] = !any ? other.low[a] : other.any ? std::min(low[a], other.low[a]) : low[a];
      high[a] = !any ? other.high[a] : other.any ? std::max(high[a], other.high[a]) : high[a];
    }
    any = any || other.any;
  }
  /// Whether lists with this skin still hold every pair within reach: no
  /// two particles closed in by the skin, either because none moved half
  /// of it or because all moves lie in a box of smaller diagonal (with a
  /// hundredth to spare for rounding).
  bool keep(double skin) const
  {
    if (unusable)
      return false;
    if (farthest2 <= 0.25 * skin * skin)
      return true;
    double diagonal2 = 0.0;
    for (int a = 0; a < 3; ++a)
      diagonal2 += (high[a] - low[a]) * (high[a] - low[a]);
    return diagonal2 < 0.98 * skin * skin;
  }
};

// Merges the moves gathered by each thread of a sweep.
#pragma omp declare reduction(mergeMoves:PairMoves : omp_out.merge(omp_in)) initializer(omp_priv = PairMoves())
