#pragma once

// Independent references for mesh queries: closest point on a triangle by
// Voronoi regions in barycentric form, and inside/outside by winding number.
#include <Eigen/Core>
#include <Eigen/Geometry>

#include "MeshShapes.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace meshchecks {

/// Closest point to p on triangle abc (Ericson, Real-Time Collision Detection 5.1.5).
inline Eigen::Vector3d closestOnTriangle(Eigen::Vector3d const& p, Eigen::Vector3d const& a, Eigen::Vector3d const& b,
                                         Eigen::Vector3d const& c)
{
  const Eigen::Vector3d ab = b - a, ac = c - a, ap = p - a;
  const double d1 = ab.dot(ap), d2 = ac.dot(ap);
  if (d1 <= 0 && d2 <= 0)
    return a;
  const Eigen::Vector3d bp = p - b;
  const double d3 = ab.dot(bp), d4 = ac.dot(bp);
  if (d3 >= 0 && d4 <= d3)
    return b;
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0 && d1 >= 0 && d3 <= 0)
    return a + d1 / (d1 - d3) * ab;
  const Eigen::Vector3d cp = p - c;
  const double d5 = ab.dot(cp), d6 = ac.dot(cp);
  if (d6 >= 0 && d5 <= d6)
    return c;
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0 && d2 >= 0 && d6 <= 0)
    return a + d2 / (d2 - d6) * ac;
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0)
    return b + (d4 - d3) / ((d4 - d3) + (d5 - d6)) * (c - b);
  const double denom = 1.0 / (va + vb + vc);
  return a + ab * (vb * denom) + ac * (vc * denom);
}

/// Unsigned distance from p to the soup, by brute force over every triangle.
inline double bruteForceDistance(TriangleSoup const& soup, Eigen::Vector3d const& p)
{
  double best = std::numeric_limits<double>::infinity();
  for (auto const& t : soup.triangles) {
    const Eigen::Vector3d q = closestOnTriangle(p, soup.points[t[0]], soup.points[t[1]], soup.points[t[2]]);
    best = std::min(best, (q - p).norm());
  }
  return best;
}

/// Winding number of a closed soup around p (solid angles, van Oosterom and Strackee).
inline double windingNumber(TriangleSoup const& soup, Eigen::Vector3d const& p)
{
  double total = 0.0;
  for (auto const& t : soup.triangles) {
    const Eigen::Vector3d a = soup.points[t[0]] - p, b = soup.points[t[1]] - p, c = soup.points[t[2]] - p;
    const double la = a.norm(), lb = b.norm(), lc = c.norm();
    const double numerator = a.dot(b.cross(c));
    const double denominator = la * lb * lc + a.dot(b) * lc + b.dot(c) * la + c.dot(a) * lb;
    total += 2.0 * std::atan2(numerator, denominator);
  }
  return total / (4.0 * 3.14159265358979323846);
}

} // namespace meshchecks
