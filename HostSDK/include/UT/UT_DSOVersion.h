#pragma once

// Version identification a plug-in reports to the host when it is loaded.
// The host layer stands in for host version 13.0 built with toolchain 1700.
#define UT_DSO_VERSION "13.0"
#define UT_DSO_COMPILER_VERSION 1700u

#define UT_DSO_EXPORT extern "C" __attribute__((visibility("default")))
