// Scenes that cook: a structure-aware target. Its mutator changes valid
// scenes the way a careless or hostile user would (parameter values, special
// numbers, expressions, keyframes, wiring, node types); the target checks the
// scene, builds the network and cooks a few frames, as `taluno run` does.
// Particle counts, sub-steps and sizes are bounded so that every input runs
// in well under a second.
#include "FuzzOperators.h"
#include "GeometryNodes.h"
#include "OP/OP_Director.h"
#include "OP/OP_Network.h"
#include "OP/OP_Operator.h"
#include "SOP/SOP_Node.h"
#include "Scene.h"
#include "UT/UT_DSO.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

using nlohmann::json;

#ifdef TALUNO_FUZZ_ENGINE
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);
#endif

namespace {

// Keeps a run small whatever the scene asks: large particles, few
// sub-steps, small shapes.
void bound(OP_Network& network)
{
  for (OP_Node* node : network.nodes()) {
    auto clampParm = [&](char const* name, double lo, double hi) {
      const int index = node->getParmIndex(name);
      if (index < 0)
        return;
      for (int c = 0; c < node->getParmTemplate(index)->getVectorSize(); ++c) {
        const double v = node->evalFloat(name, c, 0.0);
        if (!(v >= lo && v <= hi))
          node->setFloat(name, c, std::isnan(v) ? lo : std::clamp(v, lo, hi));
      }
    };
    clampParm("particleRadius", 0.5, 10);
    clampParm("particlesInteractionRadius", 0.25, 4);
    clampParm("gridCellSize", 0, 4);
    clampParm("subSteps", -2, 4);
    clampParm("maxSubSteps", 0, 8);
    clampParm("size", -8, 8);
    clampParm("radius", -4, 4);
    clampParm("height", -8, 8);
    clampParm("scale", -4, 4);
    clampParm("divisions", 0, 4);
    clampParm("rows", 0, 16);
    clampParm("maxDepth", -2, 6);
    clampParm("nbKdTreeReturnedVertices", -2, 16);
    clampParm("thickness", -1, 4);
  }
}

// A random mutation of a scene node's parameter, type or wiring.
[[maybe_unused]] void mutateScene(json& scene, std::mt19937& rng)
{
  if (!scene.is_object() || !scene.contains("nodes") || !scene["nodes"].is_array() || scene["nodes"].empty())
    return;
  json& nodes = scene["nodes"];
  json& node = nodes[rng() % nodes.size()];
  if (!node.is_object())
    return;
  static const std::vector<json> specials = {0, -1, 1, 0.5, -0.5, 1e39, -1e39, 1e300, 4294967297.0, -2147483649.0,
                                             3, 2, 7, 100};
  static const std::vector<std::string> expressions = {
      "$F", "ch(\"particleRadius\")", "sin($F*30)*2", "1/0", "min(5, 0/0)", "fit($F, 1, 3, 0, 10)", "$T*$FPS",
      "clamp($F-2, 0, 1)", "pow(2, 200)", "ch(\"nothing\")", "sqrt(-1)", "((1)"};
  static const std::vector<std::string> types = {"box", "sphere", "grid", "tube", "transform", "merge",
                                                 "CollisionObject", "EmitterObject", "Taluno"};
  switch (rng() % 7) {
  case 0:
  case 1: { // a parameter's value
    if (!node.contains("parms") || !node["parms"].is_object() || node["parms"].empty())
      return;
    auto it = node["parms"].begin();
    std::advance(it, rng() % node["parms"].size());
    json& value = it.value();
    json& target = value.is_array() && !value.empty() ? value[rng() % value.size()] : value;
    target = specials[rng() % specials.size()];
    return;
  }
  case 2: { // an expression
    if (!node.contains("parms") || !node["parms"].is_object() || node["parms"].empty())
      return;
    auto it = node["parms"].begin();
    std::advance(it, rng() % node["parms"].size());
    it.value() = expressions[rng() % expressions.size()];
    return;
  }
  case 3: { // keyframes, possibly unsorted or on one frame
    if (!node.contains("parms") || !node["parms"].is_object() || node["parms"].empty())
      return;
    auto it = node["parms"].begin();
    std::advance(it, rng() % node["parms"].size());
    json keys = json::array();
    for (unsigned k = 0; k < 1 + rng() % 4; ++k)
      keys.push_back({int(rng() % 5), specials[rng() % specials.size()]});
    it.value() = {{"keys", keys}};
    return;
  }
  case 4: { // wiring
    json inputs = json::array();
    for (unsigned k = 0; k < rng() % 4; ++k)
      inputs.push_back(nodes[rng() % nodes.size()]["name"]);
    node["inputs"] = inputs;
    return;
  }
  case 5: // the type
    node["type"] = types[rng() % types.size()];
    return;
  default: // a node copied under a new name
    if (nodes.size() < 24) {
      json copy = node;
      const std::string name = node["name"].is_string() ? node["name"].get<std::string>() : std::string("n");
      copy["name"] = name + "x" + std::to_string(rng() % 100);
      nodes.push_back(copy);
    }
    return;
  }
}

} // namespace

#ifdef TALUNO_FUZZ_ENGINE
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed)
{
  json scene = json::parse(std::string(reinterpret_cast<char*>(data), size), nullptr, false);
  std::mt19937 rng(seed);
  if (scene.is_discarded() || rng() % 8 == 0)
    return LLVMFuzzerMutate(data, size, maxSize); // bytes too, now and then
  // A scene the byte mutations bent out of the expected shape (a node that
  // is a number, a name that is null) gets byte mutations again: the
  // mutator must never be what stops the fuzzing.
  std::string text;
  try {
    mutateScene(scene, rng);
    text = scene.dump();
  } catch (json::exception const&) {
    return LLVMFuzzerMutate(data, size, maxSize);
  }
  if (text.size() > maxSize)
    return size;
  std::copy(text.begin(), text.end(), data);
  return text.size();
}
#endif

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
  const std::string text(reinterpret_cast<char const*>(data), size);
  Scene scene;
  std::vector<std::string> problems;
  if (!parseScene(text, "fuzz", scene, problems) || !validateScene(scene, fuzzOperators(), problems))
    return 0;
  OPgetDirector()->getChannelManager()->setSamplesPerSec(scene.fps);
  OP_Network network(fuzzOperators());
  SOP_Node* output = buildNetwork(scene, network, problems);
  if (!output)
    return 0;
  bound(network);
  cookFrames(network, output, scene.fps, 1, 3);
  return 0;
}
