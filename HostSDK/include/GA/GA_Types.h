#pragma once

#include <cstdint>

using GA_Offset = int64_t;
using GA_Size = int64_t;
inline constexpr GA_Offset GA_INVALID_OFFSET = -1;

/// Which elements an attribute belongs to.
enum GA_AttributeOwner
{
  GA_ATTRIB_POINT,
  GA_ATTRIB_PRIMITIVE,
  GA_ATTRIB_DETAIL
};

/// Storage of an attribute's values.
enum GA_Storage
{
  GA_STORE_INT32,
  GA_STORE_REAL32
};

/// Primitive types.
enum GA_PrimitiveTypeId
{
  GA_PRIMPOLY = 1,
  GA_PRIMSPHERE = 2,
  GA_PRIMPART = 8
};
