#include "Scene.h"

std::string defaultSceneText()
{
  return R"({
  "description": "A tank with a liquid block, a soft-body cube and a granular column falling into it.",
  "fps": 24,
  "frames": [1, 48],
  "nodes": [
    {"name": "floorBox", "type": "box", "parms": {"size": [34, 2, 34], "t": [0, -1, 0]}},
    {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"],
     "parms": {"friction": 2000, "ghostParticles": 1, "maxDepth": 6}},
    {"name": "wallW", "type": "box", "parms": {"size": [2, 18, 34], "t": [-16, 7, 0]}},
    {"name": "wallE", "type": "box", "parms": {"size": [2, 18, 34], "t": [16, 7, 0]}},
    {"name": "wallN", "type": "box", "parms": {"size": [34, 18, 2], "t": [0, 7, -16]}},
    {"name": "wallS", "type": "box", "parms": {"size": [34, 18, 2], "t": [0, 7, 16]}},
    {"name": "west", "type": "CollisionObject", "inputs": ["wallW"], "parms": {"friction": 0.5}},
    {"name": "east", "type": "CollisionObject", "inputs": ["wallE"], "parms": {"friction": 0.5}},
    {"name": "north", "type": "CollisionObject", "inputs": ["wallN"], "parms": {"friction": 0.5}},
    {"name": "south", "type": "CollisionObject", "inputs": ["wallS"], "parms": {"friction": 0.5}},
    {"name": "waterBox", "type": "box", "parms": {"size": [10, 8, 10], "t": [-8, 5, -8]}},
    {"name": "water", "type": "EmitterObject", "inputs": ["waterBox"], "parms": {"nature": "liquid"}},
    {"name": "jellyBox", "type": "box", "parms": {"size": [6, 6, 6], "t": [6, 9, -6]}},
    {"name": "jelly", "type": "EmitterObject", "inputs": ["jellyBox"], "parms": {"nature": "softBody"}},
    {"name": "sandBox", "type": "box", "parms": {"size": [5, 14, 5], "t": [5.5, 7, 5.5]}},
    {"name": "sand", "type": "EmitterObject", "inputs": ["sandBox"], "parms": {"nature": "granular", "fill": "crossed"}},
    {"name": "solver", "type": "Taluno", "inputs": ["west", "east", "north", "south", "floor", "water", "jelly", "sand"],
     "parms": {"subSteps": 8, "fluid": 1, "viscosity": 1, "interParticleCollisions": 1,
               "springConstant": 400, "springsBreakForceThreshold": 1000, "colorData": "velocity",
               "colorDataInterval": [0, 10]}}
  ],
  "output": {"node": "solver", "file": "taluno-out/frame.$F4.geo"}
})";
}
