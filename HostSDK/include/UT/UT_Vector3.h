#pragma once

/// Three single-precision components, the host's point position type.
class UT_Vector3
{
public:
  UT_Vector3() = default;
  UT_Vector3(float x, float y, float z) : v{x, y, z} {}
  float& operator[](int i) { return v[i]; }
  float operator[](int i) const { return v[i]; }
  float x() const { return v[0]; }
  float y() const { return v[1]; }
  float z() const { return v[2]; }
  bool operator==(UT_Vector3 const& o) const { return v[0] == o.v[0] && v[1] == o.v[1] && v[2] == o.v[2]; }

  float v[3] = {0, 0, 0};
};
using UT_Vector3F = UT_Vector3;

/// A 4x4 single-precision matrix in the host's layout: points are row vectors
/// multiplied on the left, so the translation is the last row.
class UT_Matrix4F
{
public:
  UT_Matrix4F() { identity(); }
  void identity()
  {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        m[r][c] = r == c ? 1.0f : 0.0f;
  }
  float* operator[](int row) { return m[row]; }
  float const* operator[](int row) const { return m[row]; }
  /// p * M for a point (w = 1).
  UT_Vector3 transformPoint(UT_Vector3 const& p) const
  {
    UT_Vector3 out;
    for (int c = 0; c < 3; ++c)
      out[c] = p[0] * m[0][c] + p[1] * m[1][c] + p[2] * m[2][c] + m[3][c];
    return out;
  }

  float m[4][4];
};
