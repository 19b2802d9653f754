#include "Scene.h"

std::string defaultSceneText()
{
  return R"({
  "description": "A tank into which a block of water, a jelly cube and a column of sand fall: the water floods the floor, the jelly bounces, the sand slumps into a heap. Presets water, jelly and sand; about 14,000 particles.",
  "fps": 24,
  "frames": [1, 48],
  "nodes": [
    {"name": "floorBox", "type": "box", "parms": {"size": [34, 2, 34], "t": [0, -1, 0]}},
    {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"], "preset": "ground", "parms": {"maxDepth": 6}},
    {"name": "wallW", "type": "box", "parms": {"size": [2, 18, 34], "t": [-16, 7, 0]}},
    {"name": "wallE", "type": "box", "parms": {"size": [2, 18, 34], "t": [16, 7, 0]}},
    {"name": "wallN", "type": "box", "parms": {"size": [34, 18, 2], "t": [0, 7, -16]}},
    {"name": "wallS", "type": "box", "parms": {"size": [34, 18, 2], "t": [0, 7, 16]}},
    {"name": "west", "type": "CollisionObject", "inputs": ["wallW"], "preset": "wall"},
    {"name": "east", "type": "CollisionObject", "inputs": ["wallE"], "preset": "wall"},
    {"name": "north", "type": "CollisionObject", "inputs": ["wallN"], "preset": "wall"},
    {"name": "south", "type": "CollisionObject", "inputs": ["wallS"], "preset": "wall"},
    {"name": "waterBox", "type": "box", "parms": {"size": [10, 8, 10], "t": [-9.5, 5, -9.5]}},
    {"name": "water", "type": "EmitterObject", "inputs": ["waterBox"], "preset": "water"},
    {"name": "jellyBox", "type": "box", "parms": {"size": [5, 5, 5], "t": [0, 9, 6]}},
    {"name": "jelly", "type": "EmitterObject", "inputs": ["jellyBox"], "preset": "jelly"},
    {"name": "sandBox", "type": "box", "parms": {"size": [5, 12, 5], "t": [9, 7, 0]}},
    {"name": "sand", "type": "EmitterObject", "inputs": ["sandBox"], "preset": "sand"},
    {"name": "solver", "type": "Taluno", "inputs": ["west", "east", "north", "south", "floor", "water", "jelly", "sand"],
     "preset": ["water", "jelly", "sand"],
     "parms": {"particleRadius": 0.22, "sceneScale": 1}}
  ],
  "output": {"node": "solver", "file": "taluno-out/frame.$F4.geo"}
})";
}
