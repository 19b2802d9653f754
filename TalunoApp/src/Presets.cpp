#include "Presets.h"

#include <algorithm>
#include <map>
#include <set>

using nlohmann::json;

namespace {

// Every solver preset lets each frame take the sub-steps its forces need
// (from its "subSteps" up), so that it stays stable at any particle radius.
// The cap is a safety net against a run that would take days, not a limit
// a scene at a fine radius should meet: honey at radius 0.06 needs about
// 1400 sub-steps a frame.
json solver(json parms)
{
  parms["adaptiveSubSteps"] = true;
  parms["maxSubSteps"] = 2000;
  return parms;
}

std::vector<Preset> makePresets()
{
  return {
      // Liquids: physical properties; the solver derives Internal Pressure
      // (a sound speed ten times the fastest flow the scene can reach) and
      // Viscosity Factor from them, the radius, gravity and Unit Length.
      {"water", "Taluno", "liquid", "a thin, nearly incompressible liquid",
       "hydrostatic column (density, height, pressure against rho g h, at rest after 3 s) and dam break (Martin & "
       "Moyce 1952), each at a twentieth, once and ten times its size (VALIDATION.md)",
       solver({{"fluid", true},
               {"restDensity", 998},
               {"physicalMaterials", true},
               {"soundSpeedRatio", 10},
               {"kinematicViscosity", 1e-6},
               {"liquidDamping", 0.12},
               {"clampNegativePressure", true},
               {"hydrostaticStart", true},
               {"viscosity", true},
               {"subSteps", 16}})},
      {"honey", "Taluno", "liquid", "a thick, slow liquid (about 4 Pa s)",
       "dam break slower than water's only where its viscosity matters (Reynolds number below 10^4); a 0.6 m "
       "column 24 particles across barely so, its damping hiding it (VALIDATION.md; check warns)",
       solver({{"fluid", true},
               {"restDensity", 1420},
               {"physicalMaterials", true},
               {"soundSpeedRatio", 10},
               {"kinematicViscosity", 2.8e-3},
               {"liquidDamping", 0.12},
               {"clampNegativePressure", true},
               {"hydrostaticStart", true},
               {"viscosity", true},
               {"subSteps", 16}})},
      // Granular media: friction, restitution and how far grains press into
      // each other under a heap's weight; tangential springs hold sand at
      // rest on a slope.
      {"sand", "Taluno", "granular", "dry sand, as spheres with static friction",
       "angle of repose of a poured heap, at rest; restitution of a grain pair against the spring-dashpot value; "
       "column collapses against Lube et al. (2004), final heights within their law, runouts short of it at 16 "
       "grains across; each at three scales (VALIDATION.md)",
       solver({{"interParticleCollisions", true},
               {"interParticlesCollMode", "spheres"},
               {"enforceStaticFriction", true},
               {"physicalMaterials", true},
               {"grainOverlap", 0.137},
               {"restitution", 0.35},
               {"shearStiffnessRatio", 0.025},
               {"shearDampingRatio", 0.1},
               {"coulombConstant", 0.7},
               {"limitStaticFriction", true},
               {"grainDensity", 2650},
               {"subSteps", 8}})},
      {"gravel", "Taluno", "granular", "stones, as rotating tetrahedral clusters",
       "angle of repose of a poured heap (clusters have no static friction: a heap creeps slowly)",
       solver({{"interParticleCollisions", true},
               {"interParticlesCollMode", "subParticles"},
               {"enableRotations", true},
               {"randInitRotations", true},
               {"physicalMaterials", true},
               {"grainOverlap", 0.137},
               {"restitution", 0.08},
               {"shearDampingRatio", 2.5},
               {"coulombConstant", 1.5},
               {"grainDensity", 2650},
               {"subSteps", 8}})},
      // Soft bodies: how much a body sags under its own weight, and its damping.
      {"jelly", "Taluno", "softBody", "an elastic body that keeps its shape and bounces",
       "cube dropped on a floor: volume kept, bounces, settles, at three scales (VALIDATION.md)",
       solver({{"springs", true},
               {"automaticSpringRestLength", true},
               {"physicalMaterials", true},
               {"softStrain", 0.036},
               {"softDampingRatio", 0.395},
               {"plasticDeformation", false},
               {"springsCanBreak", false},
               {"springsCanReconnect", false},
               {"subSteps", 8}})},
      {"clay", "Taluno", "softBody", "a plastic body that keeps the dents it gets",
       "cube dropped on a floor: flattens without bouncing, keeps its volume and its new shape",
       solver({{"springs", true},
               {"automaticSpringRestLength", true},
               {"physicalMaterials", true},
               {"softStrain", 0.018},
               {"softDampingRatio", 0.447},
               {"plasticDeformation", true},
               {"yieldRatio", 0.1},
               {"plasticityConstant", 0.1},
               {"springsCanBreak", false},
               {"springsCanReconnect", false},
               {"subSteps", 8}})},

      // Emitters: the nature of the particles and how they are laid out.
      // A liquid slides along every surface, also along ground that holds
      // grains: its particles ignore the colliders' friction.
      {"water", "EmitterObject", "", "liquid particles, sliding freely along colliders",
       "with the solver preset \"water\"", {{"nature", "liquid"}, {"fill", "cubic"}, {"frictionMultiplier", 0}}},
      {"honey", "EmitterObject", "", "liquid particles, sliding freely along colliders",
       "with the solver preset \"honey\"", {{"nature", "liquid"}, {"fill", "cubic"}, {"frictionMultiplier", 0}}},
      {"sand", "EmitterObject", "", "granular particles, jittered so that pours pile up",
       "with the solver preset \"sand\"", {{"nature", "granular"}, {"fill", "cubic"}, {"jitter", 0.1}}},
      {"gravel", "EmitterObject", "", "granular particles, jittered so that pours pile up",
       "with the solver preset \"gravel\"", {{"nature", "granular"}, {"fill", "cubic"}, {"jitter", 0.1}}},
      {"jelly", "EmitterObject", "", "soft-body particles on a cubic lattice", "with the solver preset \"jelly\"",
       {{"nature", "softBody"}, {"fill", "cubic"}}},
      {"clay", "EmitterObject", "", "soft-body particles on a cubic lattice", "with the solver preset \"clay\"",
       {{"nature", "softBody"}, {"fill", "cubic"}}},

      // Collision objects.
      {"ground", "CollisionObject", "", "a rough floor that holds grains where they land, with ghost particles",
       "under the sand and gravel heaps and the jelly cube (VALIDATION.md)",
       {{"friction", 2000}, {"ghostParticles", true}}},
      {"wall", "CollisionObject", "", "a smooth wall or tank, with ghost particles for liquids",
       "the tank of the hydrostatic column and the dam break (VALIDATION.md)",
       {{"friction", 0}, {"ghostParticles", true}}},
  };
}

size_t editDistance(std::string const& a, std::string const& b)
{
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

} // namespace

std::vector<Preset> const& presets()
{
  static const std::vector<Preset> all = makePresets();
  return all;
}

Preset const* findPreset(std::string const& nodeType, std::string const& name)
{
  for (Preset const& p : presets())
    if (p.nodeType == nodeType && p.name == name)
      return &p;
  return nullptr;
}

json presetParms(std::string const& node, std::string const& nodeType, json const& entry,
                 std::vector<std::string>& problems)
{
  std::vector<std::string> names;
  for (Preset const& p : presets())
    if (p.nodeType == nodeType)
      names.push_back(p.name);
  const std::string at = "node \"" + node + "\" (" + nodeType + "): ";
  if (names.empty()) {
    problems.push_back(at + "has no presets; presets exist for Taluno, EmitterObject and CollisionObject nodes");
    return json::object();
  }
  std::string list;
  for (std::string const& n : names)
    list += (list.empty() ? "\"" : ", \"") + n + "\"";

  std::vector<std::string> requested;
  if (entry.is_string()) {
    requested.push_back(entry.get<std::string>());
  } else if (entry.is_array() && nodeType == "Taluno" && !entry.empty() &&
             std::all_of(entry.begin(), entry.end(), [](json const& e) { return e.is_string(); })) {
    for (json const& e : entry)
      requested.push_back(e.get<std::string>());
  } else {
    problems.push_back(at + "\"preset\" must be " +
                       (nodeType == "Taluno" ? std::string("a preset name or a list of names") : "a preset name") +
                       ", one of " + list);
    return json::object();
  }

  json parms = json::object();
  std::map<std::string, std::string> byMaterial;
  for (std::string const& name : requested) {
    Preset const* preset = findPreset(nodeType, name);
    if (!preset) {
      std::string nearest = names.front();
      for (std::string const& n : names)
        if (editDistance(name, n) < editDistance(name, nearest))
          nearest = n;
      problems.push_back(at + "unknown preset \"" + name + "\"; did you mean \"" + nearest + "\"? (" + list +
                         "; `taluno params --presets` lists them)");
      continue;
    }
    if (!preset->material.empty()) {
      auto [other, fresh] = byMaterial.emplace(preset->material, name);
      if (!fresh) {
        problems.push_back(at + "presets \"" + other->second + "\" and \"" + name +
                           "\" both set the parameters of " + preset->material +
                           " particles: choose one of them");
        continue;
      }
    }
    for (auto const& [key, value] : preset->parms.items()) {
      // Several materials together take the most sub-steps any of them needs.
      if ((key == "subSteps" || key == "maxSubSteps") && parms.contains(key))
        parms[key] = std::max(parms[key].get<double>(), value.get<double>());
      else
        parms[key] = value;
    }
  }
  return parms;
}
