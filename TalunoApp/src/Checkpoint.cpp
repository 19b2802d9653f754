// Checkpoint files: the nodes' saved states framed by a header that says
// which run they belong to and a checksum that says they are whole.
#include "Checkpoint.h"

#include "Scene.h"
#include "StateReader.h"
#include "StateWriter.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

namespace {

constexpr char magic[9] = "TALUNOCK";

} // namespace

std::string simulatedPart(Scene const& scene)
{
  nlohmann::json nodes = nlohmann::json::array();
  for (Scene::Node const& node : scene.nodes)
    nodes.push_back({{"name", node.name}, {"type", node.type}, {"inputs", node.inputs}, {"preset", node.preset},
                     {"parms", node.parms}});
  return nlohmann::json{{"fps", scene.fps}, {"nodes", nodes}}.dump();
}

uint64_t hashBytes(char const* data, size_t size)
{
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t k = 0; k < size; ++k) {
    h ^= static_cast<unsigned char>(data[k]);
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string encodeCheckpoint(Checkpoint const& c)
{
  std::string bytes(magic, 8);
  StateWriter out(bytes);
  out.value(Checkpoint::formatVersion);
  out.text(c.programVersion);
  out.value(c.sceneHash);
  out.text(c.scene);
  out.value(int32_t(c.frame));
  out.value(c.points);
  out.value(uint64_t(c.nodes.size()));
  for (auto const& [name, state] : c.nodes) {
    out.text(name);
    out.text(state);
  }
  out.text(c.previewView);
  out.value(hashBytes(bytes));
  return bytes;
}

bool decodeCheckpoint(std::string const& bytes, Checkpoint& c, std::string& problem)
{
  if (bytes.size() < 8 + 4 + 8 || bytes.compare(0, 8, magic) != 0) {
    problem = "not a taluno checkpoint";
    return false;
  }
  // The checksum first: a file cut short or damaged anywhere says so here.
  uint64_t stored;
  std::copy(bytes.end() - 8, bytes.end(), reinterpret_cast<char*>(&stored));
  const size_t body = bytes.size() - 8; // checked in place: a checkpoint may be gigabytes
  if (hashBytes(bytes.data(), body) != stored) {
    problem = "damaged or cut short (its checksum does not match)";
    return false;
  }
  try {
    StateReader in(bytes.data() + 8, body - 8);
    const uint32_t version = in.value<uint32_t>("the format version");
    if (version != Checkpoint::formatVersion) {
      problem = "format version " + std::to_string(version) + ", which this taluno (format " +
                std::to_string(Checkpoint::formatVersion) + ") does not read";
      return false;
    }
    c.programVersion = in.text(256, "the program version");
    c.sceneHash = in.value<uint64_t>("the scene hash");
    c.scene = in.text(~uint64_t(0), "the scene");
    c.frame = in.value<int32_t>("the frame");
    c.points = in.value<uint64_t>("the point count");
    const uint64_t nodes = in.count(1u << 20, 16, "nodes");
    c.nodes.clear();
    for (uint64_t k = 0; k < nodes; ++k) {
      std::string name = in.text(4096, "a node's name");
      c.nodes.emplace_back(std::move(name), in.text(~uint64_t(0), "a node's state"));
    }
    c.previewView = in.text(4096, "the preview camera");
    if (in.left() != 0)
      throw std::runtime_error(std::to_string(in.left()) + " bytes follow the last node");
  } catch (std::runtime_error const& e) {
    problem = e.what();
    return false;
  }
  return true;
}

std::vector<std::string> sceneDifferences(std::string const& saved, std::string const& now)
{
  std::vector<std::string> lines;
  nlohmann::json a, b;
  try {
    a = nlohmann::json::parse(saved);
    b = nlohmann::json::parse(now);
  } catch (nlohmann::json::exception const&) {
    lines.push_back("the saved scene cannot be read");
    return lines;
  }
  if (a.value("fps", 0.0) != b.value("fps", 0.0))
    lines.push_back("fps was " + a["fps"].dump() + ", is " + b["fps"].dump());
  std::map<std::string, nlohmann::json> before, after;
  for (auto const& n : a.value("nodes", nlohmann::json::array()))
    before[n.value("name", "")] = n;
  for (auto const& n : b.value("nodes", nlohmann::json::array()))
    after[n.value("name", "")] = n;
  for (auto const& [name, node] : before) {
    auto found = after.find(name);
    if (found == after.end()) {
      lines.push_back("node \"" + name + "\" was removed");
      continue;
    }
    for (char const* key : {"type", "inputs", "preset"})
      if (node[key] != found->second[key])
        lines.push_back("node \"" + name + "\": " + key + " was " + node[key].dump() + ", is " +
                        found->second[key].dump());
    nlohmann::json const& p = node["parms"];
    nlohmann::json const& q = found->second["parms"];
    std::set<std::string> keys;
    for (auto const& item : p.items())
      keys.insert(item.key());
    for (auto const& item : q.items())
      keys.insert(item.key());
    for (std::string const& key : keys) {
      const nlohmann::json was = p.contains(key) ? p[key] : nlohmann::json("(unset)");
      const nlohmann::json is = q.contains(key) ? q[key] : nlohmann::json("(unset)");
      if (was != is)
        lines.push_back("node \"" + name + "\": " + key + " was " + was.dump() + ", is " + is.dump());
    }
  }
  for (auto const& [name, node] : after)
    if (!before.count(name))
      lines.push_back("node \"" + name + "\" was added");
  if (lines.empty() && saved != now)
    lines.push_back("the nodes are listed in another order");
  return lines;
}

std::string checkpointPath(std::string const& folder, std::string const& stem, int frame)
{
  char name[32];
  std::snprintf(name, sizeof name, ".%04d.ckpt", frame);
  return (std::filesystem::path(folder) / (stem + name)).string();
}

std::vector<std::pair<int, std::string>> listCheckpoints(std::string const& folder, std::string const& stem)
{
  std::vector<std::pair<int, std::string>> found;
  std::error_code error;
  for (auto const& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= stem.size() + 6 || name.compare(0, stem.size() + 1, stem + ".") != 0 ||
        name.compare(name.size() - 5, 5, ".ckpt") != 0)
      continue;
    const std::string number = name.substr(stem.size() + 1, name.size() - stem.size() - 6);
    if (number.empty() || number.size() > 10 ||
        number.find_first_not_of("-0123456789") != std::string::npos)
      continue;
    try {
      found.emplace_back(std::stoi(number), entry.path().string());
    } catch (std::exception const&) {
    }
  }
  std::sort(found.begin(), found.end(), [](auto const& a, auto const& b) { return a.first > b.first; });
  return found;
}
