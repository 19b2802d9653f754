// Whole files read through the file node, as a scene's mesh: the first byte
// chooses the format (OBJ, PLY, .geo or .bgeo), the rest is the file. The
// mesh then fills an emitter and the solver cooks its reset frame, with the
// particle radius bounded by the mesh's size so that no input runs long.
#include "FuzzOperators.h"
#include "GeometryNodes.h"
#include "OP/OP_Director.h"
#include "OP/OP_Network.h"
#include "OP/OP_Operator.h"
#include "SOP/SOP_Node.h"
#include "UT/UT_DSO.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
  if (size < 1)
    return 0;
  static char const* extensions[] = {".obj", ".ply", ".geo", ".bgeo"};
  const std::string path = "/tmp/taluno-fuzz-" + std::to_string(getpid()) + extensions[data[0] % 4];
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(data + 1), std::streamsize(size - 1));
  }
  OP_Network network(fuzzOperators());
  OP_Node* file = network.createNode("file", "file");
  OP_Node* emitter = network.createNode("EmitterObject", "emitter");
  OP_Node* solver = network.createNode("Taluno", "solver");
  file->setExpression("file", 0, path);
  network.setInput(emitter, 0, file);
  network.setInput(solver, 0, emitter);
  OP_Context context(0.0);
  OPgetDirector()->getChannelManager()->setEvaluateTime(0.0);
  auto* mesh = static_cast<SOP_Node*>(file);
  mesh->cook(context);
  // At most about 40 particles across the mesh's largest side.
  GU_Detail const* gdp = mesh->getCookedGeo();
  double extent = 0.0;
  for (int c = 0; c < 3; ++c) {
    double lo = 1e300, hi = -1e300;
    for (GA_Offset p = 0; p < gdp->getNumPoints(); ++p) {
      lo = std::min(lo, double(gdp->getPos3(p)[c]));
      hi = std::max(hi, double(gdp->getPos3(p)[c]));
    }
    extent = std::max(extent, hi - lo);
  }
  if (std::isfinite(extent) && extent < 1e30) {
    solver->setFloat("particleRadius", 0, std::max(0.5, extent / 80.0));
    static_cast<SOP_Node*>(solver)->cook(context);
  }
  std::remove(path.c_str());
  return 0;
}
