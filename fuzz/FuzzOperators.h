#pragma once
// What the fuzz targets that build networks share: the real operator table
// (the plug-in and the program's geometry operators), loaded once, and the
// cook of a network's output over a few frames, as `taluno run` cooks it.
#include "GeometryNodes.h"
#include "OP/OP_Director.h"
#include "OP/OP_Network.h"
#include "OP/OP_Operator.h"
#include "SOP/SOP_Node.h"
#include "UT/UT_DSO.h"

#include <cstdio>
#include <cstdlib>
#include <string>

inline OP_OperatorTable& fuzzOperators()
{
  static OP_OperatorTable* table = [] {
    auto* t = new OP_OperatorTable;
    std::string error;
    if (!UTloadSopPlugin(TALUNO_PLUGIN_BUILD_PATH, *t, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    registerGeometryOperators(*t);
    return t;
  }();
  return *table;
}

/// Cooks `output` and everything upstream of it at frames `first` to `last`.
inline void cookFrames(OP_Network& network, SOP_Node* output, double fps, int first, int last)
{
  for (int frame = first; frame <= last; ++frame) {
    const double time = (frame - 1) / fps;
    OPgetDirector()->getChannelManager()->setEvaluateTime(time);
    OP_Context context(time);
    for (OP_Node* node : network.upstreamOrder(output))
      if (auto* sop = dynamic_cast<SOP_Node*>(node))
        sop->cook(context);
  }
}
