#pragma once

#include <cstdint>

/// The host's binary JSON (.bgeo): one token byte per value, little-endian
/// numbers, strings defined once as numbered tokens and referred to by number
/// after, arrays of one numeric type as a type byte, a length and the values.
namespace BinaryJson {

enum Token : char
{
  Null = 0x00,
  Bool = 0x10,
  Int8 = 0x11,
  Int16 = 0x12,
  Int32 = 0x13,
  Int64 = 0x14,
  Real16 = 0x18,
  Real32 = 0x19,
  Real64 = 0x1a,
  UInt8 = 0x21,
  UInt16 = 0x22,
  String = 0x27,
  False = 0x30,
  True = 0x31,
  TokenDefinition = 0x2b,
  TokenReference = 0x26,
  TokenUndefinition = 0x2d,
  Uniform = 0x40,
  ArrayBegin = 0x5b,
  ArrayEnd = 0x5d,
  MapBegin = 0x7b,
  MapEnd = 0x7d,
  Magic = 0x7f,
};
static constexpr uint32_t magicNumber = 0x624a534e;

} // namespace BinaryJson
