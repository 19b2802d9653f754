// Checkpoint files, as `taluno run --resume` reads them: the file's framing
// and checksum, then, with the checksum made to match so that damage inside
// reaches them, the solver's saved state taken in by a small scene of every
// material and collider kind, which then simulates two more frames.
#include "Checkpoint.h"
#include "FuzzOperators.h"
#include "Scene.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// The scene the seed checkpoints were written from: this text as a scene
// file, run with `taluno run --frames 1-5 --checkpoint-every 2`.
char const* const sceneText = R"({"fps": 24, "frames": [1, 6],
 "nodes": [
  {"name": "floorBox", "type": "box", "parms": {"size": [10, 1, 10], "t": [0, -0.5, 0]}},
  {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"], "preset": "wall"},
  {"name": "paddleBox", "type": "box", "parms": {"size": [1, 1, 4], "t": [0, 0.5, 0]}},
  {"name": "paddle", "type": "CollisionObject", "inputs": ["paddleBox"],
   "parms": {"hint": "movingGeometry", "maxDepth": 4, "translation": ["sin($F * 20) * 2", 0, 0]}},
  {"name": "bumpBox", "type": "box", "parms": {"size": [2, 1, 2], "t": [3, 0.5, 3]}},
  {"name": "bumpMoved", "type": "transform", "inputs": ["bumpBox"], "parms": {"t": [0, "$F * 0.02", 0]}},
  {"name": "bump", "type": "CollisionObject", "inputs": ["bumpMoved"], "parms": {"hint": "deformingGeometry", "maxDepth": 4}},
  {"name": "waterBox", "type": "box", "parms": {"size": [1.6, 1.6, 1.6], "t": [-2.5, 2, -2.5]}},
  {"name": "water", "type": "EmitterObject", "inputs": ["waterBox"], "preset": "water"},
  {"name": "jellyBox", "type": "box", "parms": {"size": [1.2, 1.2, 1.2], "t": [2.5, 3, -2.5]}},
  {"name": "jelly", "type": "EmitterObject", "inputs": ["jellyBox"], "preset": "jelly"},
  {"name": "spout", "type": "box", "parms": {"size": [1, 1, 1], "t": [0, 4, 2.5]}},
  {"name": "sand", "type": "EmitterObject", "inputs": ["spout"], "preset": "sand",
   "parms": {"emit": "continuousEmission", "v": [0, -3, 0]}},
  {"name": "solver", "type": "Taluno", "inputs": ["floor", "paddle", "bump", "water", "jelly", "sand"],
   "preset": ["water", "jelly", "sand"], "parms": {"particleRadius": 0.25, "showGhostParticles": 1}}
 ],
 "output": {"node": "solver", "file": "out/f.$F4.bgeo"}})";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
  std::string bytes(reinterpret_cast<char const*>(data), size);
  Checkpoint checkpoint;
  std::string problem;
  decodeCheckpoint(bytes, checkpoint, problem);
  // Again with the checksum made right, to reach what it guards.
  if (bytes.size() < 8 + 8 || bytes.compare(0, 8, "TALUNOCK") != 0)
    return 0;
  const uint64_t sum = hashBytes(bytes.data(), bytes.size() - 8);
  std::copy(reinterpret_cast<char const*>(&sum), reinterpret_cast<char const*>(&sum) + 8, bytes.end() - 8);
  if (!decodeCheckpoint(bytes, checkpoint, problem))
    return 0;

  Scene scene;
  std::vector<std::string> problems;
  if (!parseScene(sceneText, "fuzz", scene, problems) || !validateScene(scene, fuzzOperators(), problems))
    std::abort(); // the fixed scene itself is broken
  OPgetDirector()->getChannelManager()->setSamplesPerSec(scene.fps);
  OP_Network network(fuzzOperators());
  SOP_Node* output = buildNetwork(scene, network, problems);
  if (!output)
    std::abort();
  for (auto const& [name, state] : checkpoint.nodes)
    for (OP_Node* node : network.nodes())
      if (node->getName() == name)
        node->loadData(state, problem);
  const int first = std::clamp(checkpoint.frame, 1, 6);
  cookFrames(network, output, scene.fps, first, first + 2);
  return 0;
}
