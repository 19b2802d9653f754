#pragma once

#include "GA/GA_Attribute.h"
#include "UT/UT_Vector3.h"

/// Four single-precision components (a quaternion or a colour with alpha).
struct UT_Vector4F
{
  float v[4] = {0, 0, 0, 0};
  float& operator[](int i) { return v[i]; }
  float operator[](int i) const { return v[i]; }
};

/// Typed access to an attribute's values; invalid when made from null.
template <typename T> class GA_RWHandleT
{
public:
  GA_RWHandleT(GA_Attribute* attribute = nullptr) : _attribute(attribute) {}
  bool isValid() const { return _attribute != nullptr; }
  GA_Attribute* getAttribute() const { return _attribute; }

  T get(GA_Offset element) const;
  void set(GA_Offset element, T const& value);

private:
  GA_Attribute* _attribute;
};

template <> inline float GA_RWHandleT<float>::get(GA_Offset e) const { return float(_attribute->get(e, 0)); }
template <> inline void GA_RWHandleT<float>::set(GA_Offset e, float const& v) { _attribute->set(e, 0, v); }
template <> inline int GA_RWHandleT<int>::get(GA_Offset e) const { return int(_attribute->get(e, 0)); }
template <> inline void GA_RWHandleT<int>::set(GA_Offset e, int const& v) { _attribute->set(e, 0, v); }
template <> inline UT_Vector3 GA_RWHandleT<UT_Vector3>::get(GA_Offset e) const
{
  return UT_Vector3(float(_attribute->get(e, 0)), float(_attribute->get(e, 1)), float(_attribute->get(e, 2)));
}
template <> inline void GA_RWHandleT<UT_Vector3>::set(GA_Offset e, UT_Vector3 const& v)
{
  for (int c = 0; c < 3; ++c)
    _attribute->set(e, c, v[c]);
}
template <> inline UT_Vector4F GA_RWHandleT<UT_Vector4F>::get(GA_Offset e) const
{
  UT_Vector4F out;
  for (int c = 0; c < 4; ++c)
    out[c] = float(_attribute->get(e, c));
  return out;
}
template <> inline void GA_RWHandleT<UT_Vector4F>::set(GA_Offset e, UT_Vector4F const& v)
{
  for (int c = 0; c < 4; ++c)
    _attribute->set(e, c, v[c]);
}

using GA_RWHandleF = GA_RWHandleT<float>;
using GA_RWHandleI = GA_RWHandleT<int>;
using GA_RWHandleV3 = GA_RWHandleT<UT_Vector3>;
using GA_RWHandleV4 = GA_RWHandleT<UT_Vector4F>;
using GA_ROHandleI = GA_RWHandleT<int>;
