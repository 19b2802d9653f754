#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class OP_Network;
class OP_OperatorTable;
class SOP_Node;

/// A scene file: frames, a network of nodes with parameter values, and the
/// node whose geometry is written, frame by frame, to a file pattern.
struct Scene
{
  struct Node
  {
    std::string name;
    std::string type;
    std::vector<std::string> inputs;
    nlohmann::json preset;                          ///< a preset name, a list of them, or null
    nlohmann::json parms = nlohmann::json::object(); ///< applied after the preset's values
  };

  /// A node whose geometry is written every frame to a file pattern.
  struct Output
  {
    std::string node;
    std::string pattern = "taluno-out/frame.$F4.geo";
    bool ghosts = false; ///< keep ghost points in formats for other programs
  };
  /// Where the preview pictures are seen from; unset: framed automatically.
  struct Camera
  {
    bool set = false;
    double position[3] = {0, 0, 0};
    double target[3] = {0, 0, 0};
    double fov = 40.0; ///< vertical field of view, degrees
  };

  /// Gauges: points at which a run writes the liquid's pressure, and the
  /// force on each collision object of the solver, frame by frame, to a CSV
  /// file.
  struct Probes
  {
    bool active = false; ///< the scene has probes
    std::string node;    ///< the solver whose liquid and colliders are measured
    std::string file = "probes.csv";
    std::vector<std::pair<std::string, std::array<double, 3>>> points; ///< may be none: forces only
  };

  double fps = 24.0;
  int firstFrame = 1;
  int lastFrame = 48;
  std::vector<Node> nodes;
  std::vector<Output> outputs; ///< the first is the run's main output (its progress, its previews)
  Camera camera;
  Probes probes;
};

/// Reads a scene from JSON text; `origin` names it in messages. Problems are
/// appended to `problems` (all of them, with line and column for malformed
/// JSON); returns false when there are any.
bool parseScene(std::string const& text, std::string const& origin, Scene& scene, std::vector<std::string>& problems);

/// Checks the scene against the operator types of `table`: node types,
/// parameter names and value types, inputs, loops, files and the output.
bool validateScene(Scene const& scene, OP_OperatorTable const& table, std::vector<std::string>& problems);

/// The CollisionObject nodes among the inputs of node `node`, in input order.
std::vector<std::string> collisionInputs(Scene const& scene, std::string const& node);

/// Builds the scene's network; returns the main output's node, or null with
/// problems. `outputs`, when given, receives every output's node in order.
SOP_Node* buildNetwork(Scene const& scene, OP_Network& network, std::vector<std::string>& problems,
                       std::vector<SOP_Node*>* outputs = nullptr);

/// The output file of a frame: $F is the frame, $F2 to $F9 pad it.
std::string framePath(std::string const& pattern, int frame);

/// The built-in default scene: a tank with a liquid block, a soft-body cube
/// and a granular column falling into it.
std::string defaultSceneText();
