// OpenVDB (.vdb): the geometry as a narrow-band level set named "surface",
// which the 3D host and Blender load as a volume (LiquidSurface.cpp).
#include "CacheFormat.h"
#include "LiquidSurface.h"

std::string encodeVdb(GU_Detail const& gdp, CacheOptions const&) { return levelSetFileBytes(gdp); }
