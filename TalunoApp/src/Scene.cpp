#include "Scene.h"

#include "GeoIO.h"
#include "Presets.h"
#include "OP/OP_Network.h"
#include "OP/OP_Node.h"
#include "SOP/SOP_Node.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

using nlohmann::json;

namespace {

// Line and column of a byte offset, for messages about malformed JSON.
std::string where(std::string const& text, size_t offset)
{
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
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
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (std::tolower(a[i - 1]) == std::tolower(b[j - 1]) ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "; did you mean ...?" with the nearest candidates, or nothing.
std::string nearest(std::string const& wrong, std::vector<std::string> const& candidates)
{
  std::vector<std::pair<size_t, std::string>> ranked;
  for (auto const& c : candidates)
    ranked.emplace_back(editDistance(wrong, c), c);
  std::sort(ranked.begin(), ranked.end());
  std::string out;
  for (size_t i = 0; i < ranked.size() && i < 3 && ranked[i].first <= std::max<size_t>(3, wrong.size() / 2); ++i)
    out += (out.empty() ? "; did you mean \"" : "\", \"") + ranked[i].second;
  return out.empty() ? out : out + "\"?";
}

PRM_Template const* findTemplate(PRM_Template const* templates, std::string const& name)
{
  for (int i = 0; templates && !templates[i].isTerminator(); ++i)
    if (templates[i].getToken() && name == templates[i].getToken())
      return &templates[i];
  return nullptr;
}

std::vector<std::string> parmNames(PRM_Template const* templates)
{
  std::vector<std::string> names;
  for (int i = 0; templates && !templates[i].isTerminator(); ++i)
    if (templates[i].getToken() && templates[i].getType().basic != PRM_Type::Switcher)
      names.push_back(templates[i].getToken());
  return names;
}

// Index of a menu token, -1 when the template has no such item.
int menuIndex(PRM_Template const& t, std::string const& token)
{
  PRM_ChoiceList const* menu = t.getChoiceList();
  for (int i = 0; menu && i < menu->size(); ++i)
    if (token == menu->getItems()[i].getToken())
      return i;
  return -1;
}

// A piecewise-linear expression through keyframes [[frame, value], ...],
// taken in frame order; two keys on one frame make a step there (the second
// value from that frame on).
std::string keyframeExpression(json const& unordered)
{
  std::vector<std::pair<double, double>> keys;
  for (json const& k : unordered)
    keys.emplace_back(k[0].get<double>(), k[1].get<double>());
  std::stable_sort(keys.begin(), keys.end(),
                   [](auto const& a, auto const& b) { return a.first < b.first; });
  std::ostringstream e;
  e.precision(17);
  e << keys[0].second;
  for (size_t i = 1; i < keys.size(); ++i) {
    const double from = keys[i - 1].first, to = keys[i].first, jump = keys[i].second - keys[i - 1].second;
    if (to == from)
      // A step: 0 up to the frame before, 1 from the frame on.
      e << " + clamp($F - " << to << " + 1, 0, 1) * " << jump;
    else
      e << " + fit($F, " << from << ", " << to << ", 0, " << jump << ")";
  }
  return e.str();
}

bool isKeyframes(json const& v)
{
  if (!v.is_object() || !v.contains("keys") || !v["keys"].is_array() || v["keys"].empty())
    return false;
  for (json const& k : v["keys"])
    if (!k.is_array() || k.size() != 2 || !k[0].is_number() || !k[1].is_number())
      return false;
  return true;
}

// Why a value does not fit a parameter, or empty when it does.
std::string valueProblem(PRM_Template const& t, json const& v)
{
  const int size = std::max(t.getVectorSize(), 1);
  const bool isString = t.getType().basic == PRM_Type::String;
  std::string tokens;
  if (PRM_ChoiceList const* menu = t.getChoiceList())
    for (int i = 0; i < menu->size(); ++i)
      tokens += (tokens.empty() ? "\"" : ", \"") + std::string(menu->getItems()[i].getToken()) + "\"";
  auto scalar = [&](json const& x) -> std::string {
    if (isString)
      return x.is_string() ? "" : "expects text";
    const PRM_Type::Basic basic = t.getType().basic;
    const bool whole = basic == PRM_Type::Integer || basic == PRM_Type::Ordinal || basic == PRM_Type::Toggle;
    if (x.is_number() && whole && !(std::abs(x.get<double>()) <= 2147483647.0))
      return "is " + x.dump() + ", beyond what this whole-number parameter holds (-2147483647 to 2147483647)";
    if (x.is_number() && t.getChoiceList()) {
      // A menu takes an item's token, or its index.
      const double index = x.get<double>();
      if (index != std::floor(index) || index < 0 || index >= t.getChoiceList()->size())
        return "has no item " + x.dump() + ": give one of " + tokens + " (or its index, 0 to " +
               std::to_string(t.getChoiceList()->size() - 1) + ")";
      return "";
    }
    if (x.is_number() || isKeyframes(x))
      return "";
    if (x.is_boolean())
      return t.getType().basic == PRM_Type::Toggle ? "" : "expects a number";
    if (x.is_string()) {
      if (t.getChoiceList()) {
        std::string const s = x.get<std::string>();
        if (menuIndex(t, s) >= 0 || s.find_first_of("()+-*/$") != std::string::npos)
          return "";
        std::vector<std::string> items;
        for (int i = 0; i < t.getChoiceList()->size(); ++i)
          items.push_back(t.getChoiceList()->getItems()[i].getToken());
        return "has no menu item \"" + s + "\"" + nearest(s, items);
      }
      return ""; // an expression
    }
    return "expects a number, an expression or keyframes";
  };
  // The form a vector parameter's value takes: [x, y, z], [min, max], ...
  auto form = [size]() {
    if (size == 3)
      return std::string("[x, y, z]");
    if (size == 4)
      return std::string("[x, y, z, w]");
    if (size == 2)
      return std::string("[first, second]");
    return "a list of " + std::to_string(size) + " values";
  };
  if (v.is_array()) {
    if (int(v.size()) != size)
      return "expects " + (size == 1 ? std::string("one value") : std::to_string(size) + " values, " + form()) +
             ", not " + std::to_string(v.size());
    for (json const& x : v)
      if (std::string p = scalar(x); !p.empty())
        return p;
    return "";
  }
  if (size > 1)
    return "expects " + std::to_string(size) + " values, " + form() + ", not one";
  return scalar(v);
}

void apply(OP_Node& node, PRM_Template const& t, int component, json const& v)
{
  char const* name = t.getToken();
  if (t.getType().basic == PRM_Type::String)
    node.setString(name, component, v.get<std::string>());
  else if (v.is_number())
    node.setFloat(name, component, v.get<double>());
  else if (v.is_boolean())
    node.setFloat(name, component, v.get<bool>() ? 1 : 0);
  else if (isKeyframes(v))
    node.setExpression(name, component, keyframeExpression(v["keys"]));
  else if (v.is_string() && menuIndex(t, v.get<std::string>()) >= 0)
    node.setFloat(name, component, menuIndex(t, v.get<std::string>()));
  else if (v.is_string())
    node.setExpression(name, component, v.get<std::string>());
}

} // namespace

bool parseScene(std::string const& text, std::string const& /*origin*/, Scene& scene,
                std::vector<std::string>& problems)
{
  const size_t before = problems.size();
  json root;
  try {
    root = json::parse(text);
  } catch (json::parse_error const& e) {
    problems.push_back(std::string("malformed JSON at ") + where(text, e.byte > 0 ? e.byte - 1 : 0) + ": " +
                       e.what());
    return false;
  } catch (json::exception const& e) {
    // A number too large for any numeric type, for one.
    problems.push_back(std::string("unreadable JSON: ") + e.what());
    return false;
  }
  if (!root.is_object()) {
    problems.push_back("a scene is a JSON object with \"nodes\" and \"output\"");
    return false;
  }
  static const std::set<std::string> known = {"fps", "frames", "nodes", "output", "description", "camera", "probes"};
  for (auto const& [key, value] : root.items())
    if (!known.count(key))
      problems.push_back("unknown entry \"" + key + "\"" +
                         nearest(key, std::vector<std::string>(known.begin(), known.end())));
  if (root.contains("fps")) {
    // From a frame a minute to ten thousand a second: beyond, frame times
    // lose meaning (5e-324 would never reach the next frame).
    if (!root["fps"].is_number() || !(root["fps"].get<double>() >= 1.0 / 60.0) ||
        !(root["fps"].get<double>() <= 10000.0))
      problems.push_back("\"fps\" must be a positive number from 1/60 to 10000, not " + root["fps"].dump());
    else
      scene.fps = root["fps"].get<double>();
  }
  if (root.contains("frames")) {
    json const& f = root["frames"];
    // Frames beyond a billion would not fit the frame counters (and a run
    // over them would never end).
    auto frameNumber = [](json const& v) {
      return v.is_number_integer() && std::abs(v.get<double>()) <= 1e9;
    };
    if (!f.is_array() || f.size() != 2 || !frameNumber(f[0]) || !frameNumber(f[1]) ||
        f[0].get<int64_t>() > f[1].get<int64_t>())
      problems.push_back("\"frames\" must be [first, last], whole numbers from -1000000000 to 1000000000 with "
                         "first <= last, not " + f.dump());
    else
      scene.firstFrame = int(f[0].get<int64_t>()), scene.lastFrame = int(f[1].get<int64_t>());
  }
  if (!root.contains("nodes") || !root["nodes"].is_array() || root["nodes"].empty()) {
    problems.push_back("\"nodes\" must list at least one node");
  } else {
    for (size_t i = 0; i < root["nodes"].size(); ++i) {
      json const& n = root["nodes"][i];
      const std::string at = std::string("node ") + std::to_string(i + 1);
      if (!n.is_object() || !n.contains("name") || !n["name"].is_string() || !n.contains("type") ||
          !n["type"].is_string()) {
        problems.push_back(at + " needs a \"name\" and a \"type\"");
        continue;
      }
      Scene::Node node;
      node.name = n["name"];
      node.type = n["type"];
      static const std::vector<std::string> nodeKeys = {"name", "type", "inputs", "parms", "preset"};
      for (auto const& [key, value] : n.items())
        if (std::find(nodeKeys.begin(), nodeKeys.end(), key) == nodeKeys.end())
          problems.push_back(at + " (" + node.name + "): unknown key \"" + key + "\"" + nearest(key, nodeKeys) +
                             "; a node has \"name\", \"type\", \"inputs\", \"parms\" and \"preset\"");
      if (n.contains("preset"))
        node.preset = n["preset"];
      if (n.contains("inputs")) {
        if (!n["inputs"].is_array())
          problems.push_back(at + " (" + node.name + "): \"inputs\" must be a list of node names");
        else
          for (json const& input : n["inputs"])
            input.is_string() ? node.inputs.push_back(input.get<std::string>())
                              : problems.push_back(at + " (" + node.name + "): inputs are node names");
      }
      if (n.contains("parms")) {
        if (!n["parms"].is_object())
          problems.push_back(at + " (" + node.name + "): \"parms\" must be an object");
        else
          node.parms = n["parms"];
      }
      scene.nodes.push_back(node);
    }
  }
  // "output": one entry, or a list of them (particles and surfaces, say).
  json outputs = root.value("output", json());
  if (outputs.is_object())
    outputs = json::array({outputs});
  if (!outputs.is_array() || outputs.empty()) {
    problems.push_back("\"output\" must name a \"node\" (and may give a \"file\" pattern), or be a list of such "
                       "entries");
  } else {
    for (json const& entry : outputs) {
      if (!entry.is_object() || !entry.contains("node") || !entry["node"].is_string()) {
        problems.push_back("each output must name a \"node\" (and may give a \"file\" pattern)");
        continue;
      }
      Scene::Output output;
      output.node = entry["node"];
      for (auto const& [key, value] : entry.items())
        if (key != "node" && key != "file" && key != "ghosts")
          problems.push_back("output of \"" + output.node + "\": unknown key \"" + key + "\"" +
                             nearest(key, {"node", "file", "ghosts"}));
      if (entry.contains("file")) {
        if (!entry["file"].is_string())
          problems.push_back("the output \"file\" must be a file pattern");
        else
          output.pattern = entry["file"];
      }
      if (entry.contains("ghosts")) {
        if (!entry["ghosts"].is_boolean())
          problems.push_back("output of \"" + output.node + "\": \"ghosts\" is true or false");
        else
          output.ghosts = entry["ghosts"];
      }
      scene.outputs.push_back(output);
    }
  }
  if (root.contains("camera")) {
    json const& camera = root["camera"];
    auto vector3 = [](json const& v) {
      return v.is_array() && v.size() == 3 &&
             std::all_of(v.begin(), v.end(), [](json const& x) { return x.is_number() && std::isfinite(x.get<double>()); });
    };
    if (!camera.is_object() || !vector3(camera.value("position", json())) || !vector3(camera.value("target", json())) ||
        (camera.contains("fov") && !(camera["fov"].is_number() && camera["fov"].get<double>() > 1 &&
                                     camera["fov"].get<double>() < 170))) {
      problems.push_back("\"camera\" must be {\"position\": [x, y, z], \"target\": [x, y, z], \"fov\": degrees "
                         "from 1 to 170 (optional, 40)}");
    } else {
      scene.camera.set = true;
      for (int c = 0; c < 3; ++c) {
        scene.camera.position[c] = camera["position"][c];
        scene.camera.target[c] = camera["target"][c];
      }
      scene.camera.fov = camera.value("fov", 40.0);
      if (std::equal(scene.camera.position, scene.camera.position + 3, scene.camera.target))
        problems.push_back("\"camera\": its position and target are the same point");
    }
  }
  if (root.contains("probes")) {
    json const& probes = root["probes"];
    const std::string form = "\"probes\" must be {\"node\": a solver, \"file\": a CSV file (optional, probes.csv), "
                             "\"points\": {name: [x, y, z], ...} (optional: without points, only the collision "
                             "objects' forces are written)}";
    auto vector3 = [](json const& v) {
      return v.is_array() && v.size() == 3 &&
             std::all_of(v.begin(), v.end(), [](json const& x) { return x.is_number() && std::isfinite(x.get<double>()); });
    };
    if (!probes.is_object() || !probes.contains("node") || !probes["node"].is_string() ||
        (probes.contains("points") && !probes["points"].is_object()) ||
        (probes.contains("file") && !probes["file"].is_string())) {
      problems.push_back(form);
    } else {
      for (auto const& [key, value] : probes.items())
        if (key != "node" && key != "file" && key != "points")
          problems.push_back("\"probes\": unknown key \"" + key + "\"" + nearest(key, {"node", "file", "points"}));
      scene.probes.active = true;
      scene.probes.node = probes["node"];
      scene.probes.file = probes.value("file", scene.probes.file);
      const json points = probes.value("points", json::object());
      for (auto const& [name, at] : points.items()) {
        if (!vector3(at) || name.empty() || name.find_first_of(",\"\n") != std::string::npos) {
          problems.push_back("\"probes\": point \"" + name + "\" must be [x, y, z] under a name without commas, "
                             "quotes or line breaks");
          continue;
        }
        scene.probes.points.push_back({name, {at[0].get<double>(), at[1].get<double>(), at[2].get<double>()}});
      }
    }
  }
  return problems.size() == before;
}

bool validateScene(Scene const& scene, OP_OperatorTable const& table, std::vector<std::string>& problems)
{
  const size_t before = problems.size();
  std::vector<std::string> types;
  for (OP_Operator const* op : table.operators())
    types.push_back(op->getName());
  std::map<std::string, Scene::Node const*> byName;
  for (Scene::Node const& node : scene.nodes)
    if (!byName.emplace(node.name, &node).second)
      problems.push_back("node \"" + node.name + "\" is defined twice");

  for (Scene::Node const& node : scene.nodes) {
    OP_Operator const* op = table.getOperator(node.type);
    if (!op) {
      problems.push_back("node \"" + node.name + "\": unknown type \"" + node.type + "\"" + nearest(node.type, types));
      continue;
    }
    PRM_Template const* templates = op->getParmTemplates();
    if (!node.preset.is_null()) {
      // The preset's values must suit the node's parameters like its own.
      const json values = presetParms(node.name, node.type, node.preset, problems);
      for (auto const& [parm, value] : values.items()) {
        PRM_Template const* t = findTemplate(templates, parm);
        if (!t || !valueProblem(*t, value).empty())
          problems.push_back("node \"" + node.name + "\": its preset sets \"" + parm + "\", which this node cannot take");
      }
    }
    for (auto const& [parm, value] : node.parms.items()) {
      PRM_Template const* t = findTemplate(templates, parm);
      if (!t || t->getType().basic == PRM_Type::Switcher) {
        problems.push_back("node \"" + node.name + "\" (" + node.type + "): unknown parameter \"" + parm + "\"" +
                           nearest(parm, parmNames(templates)));
        continue;
      }
      if (std::string p = valueProblem(*t, value); !p.empty())
        problems.push_back("node \"" + node.name + "\": parameter \"" + parm + "\" " + p);
      if (t->getType().basic == PRM_Type::String && value.is_string()) {
        std::string const path = value.get<std::string>();
        // A path that exists in any form (a link loop, a device) is left to
        // the node that reads it, which says what is wrong with it.
        std::error_code missing;
        if (path.find("$F") == std::string::npos && !std::filesystem::exists(path, missing) &&
            !std::filesystem::exists(std::filesystem::symlink_status(path, missing)))
          problems.push_back("node \"" + node.name + "\": file \"" + path + "\" does not exist");
      }
    }
    if (node.inputs.size() < op->minInputs())
      problems.push_back("node \"" + node.name + "\" (" + node.type + ") needs at least " +
                         std::to_string(op->minInputs()) + " input" + (op->minInputs() == 1 ? "" : "s"));
    if (node.inputs.size() > op->maxInputs())
      problems.push_back("node \"" + node.name + "\" (" + node.type + ") takes at most " +
                         std::to_string(op->maxInputs()) + " input" + (op->maxInputs() == 1 ? "" : "s"));
    for (std::string const& input : node.inputs)
      if (!byName.count(input)) {
        std::vector<std::string> names;
        for (auto const& [name, n] : byName)
          names.push_back(name);
        problems.push_back("node \"" + node.name + "\": input \"" + input + "\" is not a node" + nearest(input, names));
      }
  }

  // Loops: a depth-first walk of the inputs without recursion (a chain of
  // tens of thousands of nodes must not exhaust the stack). A node met again
  // while it is still being walked closes a loop.
  std::map<std::string, int> state; // 1 being walked, 2 done
  std::set<std::string> looped;
  for (Scene::Node const& start : scene.nodes) {
    if (state[start.name])
      continue;
    std::vector<std::pair<std::string, size_t>> stack{{start.name, 0}};
    state[start.name] = 1;
    while (!stack.empty()) {
      auto& [name, next] = stack.back();
      auto it = byName.find(name);
      if (it == byName.end() || next >= it->second->inputs.size()) {
        state[name] = 2;
        stack.pop_back();
        continue;
      }
      std::string const& input = it->second->inputs[next++];
      if (!byName.count(input))
        continue;
      if (state[input] == 1) {
        if (looped.insert(input).second)
          problems.push_back("the network has a loop through node \"" + input + "\"");
      } else if (state[input] == 0) {
        state[input] = 1;
        stack.emplace_back(input, 0);
      }
    }
  }

  if (scene.probes.active) {
    auto found = byName.find(scene.probes.node);
    if (found == byName.end())
      problems.push_back("probes: node \"" + scene.probes.node + "\" is not a node");
    else if (found->second->type != "Taluno")
      problems.push_back("probes: node \"" + scene.probes.node + "\" is a " + found->second->type +
                         "; probes measure the liquid and the collision objects of a Taluno solver");
    else if (scene.probes.points.empty() && collisionInputs(scene, scene.probes.node).empty())
      problems.push_back("probes: no points are named and node \"" + scene.probes.node +
                         "\" has no collision object among its inputs, so there is nothing to measure: name "
                         "points under \"points\", or give the solver a collision object");

    if (std::filesystem::path(scene.probes.file).extension() != ".csv")
      problems.push_back("probes: file \"" + scene.probes.file + "\" must end in .csv");
  }

  std::set<std::string> patterns;
  for (Scene::Output const& output : scene.outputs) {
    if (!byName.count(output.node))
      problems.push_back("output node \"" + output.node + "\" is not a node");
    if (!isCacheFormat(output.pattern))
      problems.push_back("output file \"" + output.pattern + "\" must end in " + cacheFormatNames());
    if (!patterns.insert(output.pattern).second)
      problems.push_back("two outputs write \"" + output.pattern + "\": give each a file pattern of its own");
    const std::filesystem::path folder = std::filesystem::path(framePath(output.pattern, scene.firstFrame)).parent_path();
    std::error_code error;
    if (!folder.empty() && std::filesystem::exists(folder, error) && !std::filesystem::is_directory(folder, error))
      problems.push_back("output folder \"" + folder.string() + "\" is a file");
  }
  return problems.size() == before;
}

SOP_Node* buildNetwork(Scene const& scene, OP_Network& network, std::vector<std::string>& problems,
                       std::vector<SOP_Node*>* outputs)
{
  std::map<std::string, OP_Node*> nodes;
  for (Scene::Node const& n : scene.nodes) {
    OP_Node* node = network.createNode(n.type, n.name);
    if (!node) {
      problems.push_back("node \"" + n.name + "\": cannot create a \"" + n.type + "\"");
      return nullptr;
    }
    nodes[n.name] = node;
    PRM_Template const* templates = node->getOperator()->getParmTemplates();
    // The preset first, then the node's own values over it.
    json values = n.preset.is_null() ? json::object() : presetParms(n.name, n.type, n.preset, problems);
    for (auto const& [parm, value] : n.parms.items())
      values[parm] = value;
    for (auto const& [parm, value] : values.items()) {
      PRM_Template const* t = findTemplate(templates, parm);
      if (!t)
        continue;
      if (value.is_array())
        for (size_t c = 0; c < value.size(); ++c)
          apply(*node, *t, int(c), value[c]);
      else
        apply(*node, *t, 0, value);
    }
  }
  for (Scene::Node const& n : scene.nodes)
    for (size_t i = 0; i < n.inputs.size(); ++i)
      if (!network.setInput(nodes[n.name], unsigned(i), nodes[n.inputs[i]])) {
        problems.push_back("node \"" + n.name + "\": cannot connect input \"" + n.inputs[i] + "\"");
        return nullptr;
      }
  SOP_Node* first = nullptr;
  for (Scene::Output const& o : scene.outputs) {
    auto* output = dynamic_cast<SOP_Node*>(nodes[o.node]);
    if (!output) {
      problems.push_back("output node \"" + o.node + "\" makes no geometry");
      return nullptr;
    }
    if (!first)
      first = output;
    if (outputs)
      outputs->push_back(output);
  }
  return first;
}

std::string framePath(std::string const& pattern, int frame)
{
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '$' && i + 1 < pattern.size() && pattern[i + 1] == 'F') {
      int width = 0;
      size_t next = i + 2;
      if (next < pattern.size() && pattern[next] >= '2' && pattern[next] <= '9')
        width = pattern[next++] - '0';
      std::string digits = std::to_string(std::abs(frame));
      if (int(digits.size()) < width)
        digits.insert(0, size_t(width) - digits.size(), '0');
      out += (frame < 0 ? "-" : "") + digits;
      i = next - 1;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::vector<std::string> collisionInputs(Scene const& scene, std::string const& node)
{
  std::vector<std::string> found;
  for (Scene::Node const& n : scene.nodes)
    if (n.name == node)
      for (std::string const& input : n.inputs)
        for (Scene::Node const& m : scene.nodes)
          if (m.name == input && m.type == "CollisionObject") {
            found.push_back(input);
            break;
          }
  return found;
}
