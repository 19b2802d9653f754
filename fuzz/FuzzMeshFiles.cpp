// The mesh file readers: one target per format, chosen when compiling.
#include "GU/GU_Detail.h"
#include "GeoReader.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
  const std::string bytes(reinterpret_cast<char const*>(data), size);
  GU_Detail gdp;
  std::string problem;
  const bool read = TALUNO_FUZZ_READER(bytes, "fuzz", gdp, problem);
  // What a reader accepts must be a mesh whose every vertex names a point.
  if (read)
    for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q)
      for (GA_Offset point : gdp.getGEOPrimitive(q)->points())
        if (point < 0 || point >= gdp.getNumPoints())
          __builtin_trap();
  return 0;
}
