#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

/// A named set of parameter values for one operator type: a material for
/// the solver or an emitter, a surface for a collision object. A scene node
/// names presets under "preset"; its own "parms" then override them.
struct Preset
{
  std::string name;
  std::string nodeType;   ///< "Taluno", "EmitterObject" or "CollisionObject"
  std::string material;   ///< solver presets: the material whose parameters they set
  std::string summary;    ///< what it is, in a line
  std::string validated;  ///< what it was measured against (VALIDATION.md)
  nlohmann::json parms;   ///< parameter values, as a scene's "parms"
};

/// Every preset, in the order `taluno params --presets` lists them.
std::vector<Preset> const& presets();

/// The preset of that name for that operator type, or null.
Preset const* findPreset(std::string const& nodeType, std::string const& name);

/// The parameter values a node's "preset" entry (a name, or for the solver
/// a list of names) stands for: each preset's values in turn; with several
/// solver presets the sub-step counts are the largest of theirs. Problems
/// (unknown names with the nearest ones, a list where one name is expected,
/// two presets for one material) are appended to `problems`, naming `node`.
nlohmann::json presetParms(std::string const& node, std::string const& nodeType, nlohmann::json const& entry,
                           std::vector<std::string>& problems);
