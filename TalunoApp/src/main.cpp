// taluno: runs particle simulation scenes without the 3D host. It loads the
// Tessolin plug-in through the host layer, builds the scene's node network
// and cooks it frame by frame, writing one cache file per frame.
#include "GeoIO.h"
#include "GeoReader.h"
#include "GeometryNodes.h"
#include "OP/OP_Director.h"
#include "Movie.h"
#include "Preview.h"
#include "Checkpoint.h"
#include "Presets.h"
#include "Probes.h"
#include "OP/OP_Network.h"
#include "OP/OP_Node.h"
#include "OP/OP_Operator.h"
#include "SOP/SOP_Node.h"
#include "Scene.h"
#include "UT/UT_DSO.h"
#include "UT/UT_Interrupt.h"
#include "OutputFiles.h"

#include <CLI/CLI.hpp>
#include <omp.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

/// More threads than this would only wait on each other (and OpenMP fails
/// on far more).
constexpr int maxThreads = 1024;

std::atomic<bool> interrupted{false};

// The first Ctrl-C stops the run after the frame being written (a slow
// frame stops at its next sub-step, and is not written); a second one, or
// SIGTERM or SIGHUP, ends the program at once, removing the temporary file
// being written. Only async-signal-safe calls here.
void onSignal(int signal)
{
  if (signal == SIGINT && !interrupted.exchange(true)) {
    UTgetInterrupt()->interrupt();
    return;
  }
  if (char const* temporary = temporaryInProgress(); temporary && *temporary)
    ::unlink(temporary);
  constexpr char message[] = "\ntaluno: stopped at once; completed frames are kept\n";
  (void)!::write(STDERR_FILENO, message, sizeof message - 1);
  ::_exit(signal == SIGINT ? 130 : 128 + signal);
}

void handleSignals()
{
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal, &action, nullptr);
}

std::string pluginPath(std::string const& requested)
{
  if (!requested.empty())
    return requested;
  if (char const* env = std::getenv("TALUNO_PLUGIN"); env && *env) // set but empty: as if unset
    return env;
  // Beside the program when installed, or in the build tree.
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  for (auto const& candidate : {self.parent_path() / "Tessolin.so", self.parent_path() / "../Tessolin/Tessolin.so"})
    if (std::filesystem::exists(candidate, error))
      return candidate.string();
  return TALUNO_PLUGIN_BUILD_PATH;
}

bool loadOperators(OP_OperatorTable& table, std::string const& plugin)
{
  std::string error;
  if (!UTloadSopPlugin(pluginPath(plugin), table, error)) {
    std::cerr << "taluno: " << error << "\n";
    return false;
  }
  registerGeometryOperators(table);
  return true;
}

bool loadScene(std::string const& path, Scene& scene, OP_OperatorTable const& table)
{
  std::string text;
  std::string origin = path.empty() ? "default scene" : path;
  if (path.empty()) {
    text = defaultSceneText();
  } else {
    std::string problem;
    if (!readFile(path, text, problem, "scene")) {
      std::cerr << "taluno: " << problem << "\n";
      return false;
    }
  }
  std::vector<std::string> problems;
  if (parseScene(text, origin, scene, problems))
    validateScene(scene, table, problems);
  for (std::string const& p : problems)
    std::cerr << "taluno: " << origin << ": " << p << "\n";
  if (!problems.empty())
    std::cerr << "taluno: " << problems.size() << " problem" << (problems.size() == 1 ? "" : "s") << " in "
              << origin << "\n";
  return problems.empty();
}

std::string typeName(PRM_Template const& t)
{
  std::string name;
  switch (t.getType().basic) {
  case PRM_Type::Integer: name = "int"; break;
  case PRM_Type::Float: name = "float"; break;
  case PRM_Type::Toggle: name = "toggle"; break;
  case PRM_Type::Ordinal: name = "menu"; break;
  case PRM_Type::Switcher: name = "folders"; break;
  case PRM_Type::FloatMinMax: name = "float range"; break;
  case PRM_Type::String: name = "text"; break;
  default: name = "?"; break;
  }
  return t.getVectorSize() > 1 && t.getType().basic != PRM_Type::Switcher
             ? name + "[" + std::to_string(t.getVectorSize()) + "]"
             : name;
}

int listParameters(OP_OperatorTable const& table, std::string const& type)
{
  if (type.empty()) {
    for (OP_Operator const* op : table.operators())
      std::printf("%-18s %s\n", op->getName().c_str(), op->getLabel().c_str());
    return 0;
  }
  OP_Operator const* op = table.getOperator(type);
  if (!op) {
    std::cerr << "taluno: unknown operator \"" << type << "\"; `taluno params` lists them\n";
    return 2;
  }
  std::printf("%s (%s), inputs %u to %u\n", op->getName().c_str(), op->getLabel().c_str(), op->minInputs(),
              op->maxInputs());
  PRM_Template const* t = op->getParmTemplates();
  for (int i = 0; t && !t[i].isTerminator(); ++i) {
    std::string defaults;
    for (int c = 0; c < std::max(t[i].getVectorSize(), 1); ++c) {
      PRM_Default const* d = t[i].getDefault(c);
      if (!d)
        continue;
      std::ostringstream s;
      if (t[i].getType().basic == PRM_Type::Switcher)
        s << d->getString() << " (" << d->getFloat() << ")";
      else if (d->getString())
        s << "\"" << d->getString() << "\"" << (t[i].getType().basic == PRM_Type::String ? "" : " (") ;
      if (t[i].getType().basic != PRM_Type::Switcher && t[i].getType().basic != PRM_Type::String)
        s << d->getFloat() << (d->getString() ? ")" : "");
      defaults += (defaults.empty() ? "" : ", ") + s.str();
    }
    std::printf("  %-30s %-30s %-12s %s\n", t[i].getToken() ? t[i].getToken() : "",
                t[i].getLabel() ? t[i].getLabel() : "", typeName(t[i]).c_str(), defaults.c_str());
    if (PRM_ChoiceList const* menu = t[i].getChoiceList())
      for (int k = 0; k < menu->size(); ++k)
        std::printf("      %d: %s (%s)\n", k, menu->getItems()[k].getToken(), menu->getItems()[k].getLabel());
  }
  return 0;
}

int listPresets(bool asJson)
{
  if (asJson) {
    nlohmann::json all = nlohmann::json::array();
    for (Preset const& p : presets())
      all.push_back({{"name", p.name}, {"nodeType", p.nodeType}, {"material", p.material}, {"summary", p.summary},
                     {"validated", p.validated}, {"parms", p.parms}});
    std::printf("%s\n", all.dump(1).c_str());
    return 0;
  }
  std::string type;
  for (Preset const& p : presets()) {
    if (p.nodeType != type) {
      type = p.nodeType;
      std::printf("%s%s presets (\"preset\": \"NAME\"%s on %s nodes; their \"parms\" override it):\n",
                  type == presets().front().nodeType ? "" : "\n", type.c_str(),
                  type == "Taluno" ? ", or a list of names, one per material," : "", type.c_str());
    }
    std::printf("  %-8s %s\n", p.name.c_str(), p.summary.c_str());
    std::printf("           validated: %s\n", p.validated.c_str());
    std::string values;
    for (auto const& [key, value] : p.parms.items())
      values += (values.empty() ? "" : ", ") + key + " " + value.dump();
    std::printf("           %s\n", values.c_str());
  }
  return 0;
}

// Checks a scene's frame range against the solvers' reset frames: a solver
// whose reset frame comes after the last frame would never start.
void checkResetFrames(Scene const& scene, OP_Network& network, std::vector<std::string>& problems)
{
  for (OP_Node* node : network.nodes()) {
    if (node->getOperator()->getName() != "Taluno")
      continue;
    const int reset = node->evalInt("reset", 0, 0.0);
    if (reset > scene.lastFrame)
      problems.push_back("node \"" + node->getName() + "\": its reset frame " + std::to_string(reset) +
                         " is after the last frame " + std::to_string(scene.lastFrame) +
                         ", so its simulation would never start: set \"reset\" to a frame from " +
                         std::to_string(scene.firstFrame) + " to " + std::to_string(scene.lastFrame) +
                         " or extend \"frames\"");
  }
}

// Gravity is in scene units per second squared and Unit Length is metres
// per scene unit, so a scene on Earth has |gravity| x Unit Length = 9.81
// m/s^2. Warns about solvers whose pair no real scene has (beyond a tenth
// of Earth's gravity or three times it), saying what each reading means.
void checkUnits(OP_Network& network, std::set<std::string>& warned)
{
  constexpr double earth = 9.80665;
  for (OP_Node* node : network.nodes()) {
    if (node->getOperator()->getName() != "Taluno")
      continue;
    const double time = OPgetDirector()->getChannelManager()->getTime(node->evalInt("reset", 0, 0.0));
    const double gravity = double(float(node->evalFloat("gravity", 0, time)));
    const double unit = double(float(node->evalFloat("sceneScale", 0, 0.0)));
    const double metres = std::abs(gravity) * unit;
    if (gravity == 0.0 || !(unit > 0.0) || (metres >= 0.1 * earth && metres <= 3.0 * earth))
      continue;
    char text[512];
    std::snprintf(text, sizeof text,
                  "gravity %g units/s^2 at Unit Length %g m is %.3g m/s^2, %.2g times Earth's: with gravity in "
                  "scene units, a scene in metres has Unit Length (sceneScale) 1 and gravity -9.80665, one in "
                  "centimetres Unit Length 0.01 and gravity -980.665 (Unit Length converts the materials' physical "
                  "properties, gravity sets how fast everything falls)",
                  gravity, unit, metres, metres / earth);
    if (warned.insert(node->getName() + "\nunits").second)
      std::cerr << "taluno: warning: node \"" << node->getName() << "\": " << text << "\n";
  }
}

// The first frame to cook: a simulation starts at its reset frame, which may
// come before the first frame written.
int firstCookedFrame(Scene const& scene, SOP_Node& output)
{
  int first = scene.firstFrame;
  if (output.getParmIndex("reset") >= 0)
    first = std::min(first, output.evalInt("reset", 0, 0.0));
  return first;
}

// Cooks the output node at a frame, then reports every node's errors, and
// each warning and note once (`warned` remembers them); false when any node
// failed. Notes (what a node measured) are printed only when `notes` is set.
bool cookFrame(std::vector<SOP_Node*> const& outputs, OP_Network& network, Scene const& scene, int frame,
               std::set<std::string>& warned, std::string const& before, bool notes = false)
{
  const double time = (frame - 1) / scene.fps;
  OPgetDirector()->getChannelManager()->setEvaluateTime(time);
  OP_Context context(time);
  // Upstream nodes first, each once: a node then finds its inputs cooked,
  // however long the chain behind it.
  for (SOP_Node* output : outputs)
    for (OP_Node* node : network.upstreamOrder(output))
      if (auto* sop = dynamic_cast<SOP_Node*>(node))
        sop->cook(context);
  bool failed = false;
  for (OP_Node* node : network.nodes()) {
    std::vector<std::string> const& messages = node->errorMessages();
    std::vector<OP_ERROR> const& levels = node->errorMessageLevels();
    if (node->error() >= UT_ERROR_ERROR) {
      if (!failed)
        std::cerr << before << "taluno: frame " << frame << " failed to cook:\n";
      failed = true;
      for (size_t i = 0; i < messages.size(); ++i)
        if (levels[i] >= UT_ERROR_ERROR)
          std::cerr << "  node \"" << node->getName() << "\": " << messages[i] << "\n";
    }
    for (size_t i = 0; i < messages.size(); ++i) {
      if (levels[i] >= UT_ERROR_ERROR || (levels[i] == UT_ERROR_MESSAGE && !notes))
        continue;
      if (warned.insert(node->getName() + "\n" + messages[i]).second)
        std::cerr << before << "taluno: " << (levels[i] == UT_ERROR_WARNING ? "warning: " : "") << "node \""
                  << node->getName() << "\": " << messages[i] << "\n";
    }
  }
  return !failed;
}

// A scene loaded, checked and built into a network, ready to cook.
struct Prepared
{
  explicit Prepared(OP_OperatorTable& operators) : table(operators), network(operators) {}
  OP_OperatorTable& table;
  Scene scene;
  OP_Network network;
  SOP_Node* output = nullptr;       ///< the main output's node
  std::vector<SOP_Node*> outputs;   ///< every output's node, the main one first
};

// Loads, checks and builds a scene; 0 when ready, else the exit status.
int prepare(Prepared& p, std::string const& scenePath, std::string const& frames, std::string const& pattern)
{
  if (!loadScene(scenePath, p.scene, p.table))
    return 2;
  Scene& scene = p.scene;
  if (!frames.empty()) {
    int a, b;
    char dash;
    std::istringstream in(frames);
    if (!(in >> a >> dash >> b) || dash != '-' || a > b) {
      std::cerr << "taluno: --frames takes FIRST-LAST, for example 1-48\n";
      return 2;
    }
    scene.firstFrame = a;
    scene.lastFrame = b;
  }
  std::vector<std::string> problems;
  if (!pattern.empty()) {
    // The scene's own pattern was checked with the scene; this one replaces it.
    scene.outputs.front().pattern = pattern;
    if (!isCacheFormat(pattern))
      problems.push_back("output file \"" + pattern + "\" must end in " + cacheFormatNames());
  }
  // One file for many frames: each frame would overwrite the last.
  for (Scene::Output const& output : scene.outputs)
    if (output.pattern.find("$F") == std::string::npos && scene.lastFrame > scene.firstFrame)
      problems.push_back("output file \"" + output.pattern + "\" has no $F, so frames " +
                         std::to_string(scene.firstFrame) + " to " + std::to_string(scene.lastFrame) +
                         " would each overwrite it: put $F4 in its name (frame.$F4" +
                         std::filesystem::path(output.pattern).extension().string() +
                         "), or write one frame with --frames N-N");
  OPgetDirector()->getChannelManager()->setSamplesPerSec(scene.fps);
  OPgetDirector()->getChannelManager()->setGlobalFrameRange(scene.firstFrame, scene.lastFrame);
  if (problems.empty())
    p.output = buildNetwork(scene, p.network, problems, &p.outputs);
  if (p.output)
    checkResetFrames(scene, p.network, problems);
  for (std::string const& problem : problems)
    std::cerr << "taluno: " << problem << "\n";
  return problems.empty() && p.output ? 0 : 2;
}

// Settings read at every frame (sub-steps, every float as the simulation
// reads it) checked over the frames a run cooks, before anything is written:
// a keyframe that goes wrong at frame 300 is found now, not hours later.
// Each problem is named at the first frame it occurs.
bool checkEveryFrame(Prepared const& p, std::vector<std::string>& problems)
{
  const size_t before = problems.size();
  Scene const& scene = p.scene;
  const int first = firstCookedFrame(scene, *p.output);
  for (OP_Node* node : p.network.nodes()) {
    const std::string type = node->getOperator()->getName();
    if (type != "Taluno" && type != "CollisionObject" && type != "EmitterObject")
      continue;
    std::set<std::string> found;
    for (int frame = first; frame <= scene.lastFrame; ++frame) {
      const double time = (frame - 1) / scene.fps;
      auto report = [&](std::string const& token, std::string const& what) {
        if (found.insert(token).second)
          problems.push_back("node \"" + node->getName() + "\": " + what);
      };
      for (int i = 0; i < node->getNumParms(); ++i) {
        PRM_Template const& parm = *node->getParmTemplate(i);
        if (parm.getType().basic != PRM_Type::Float)
          continue;
        for (int c = 0; c < parm.getVectorSize(); ++c) {
          const double value = double(float(node->evalFloat(parm.getToken(), c, time)));
          if (!std::isfinite(value))
            report(parm.getToken(), std::string(parm.getLabel()) + " (" + parm.getToken() + ") is " +
                                        (std::isnan(value) ? "not a number" : value > 0 ? "inf" : "-inf") +
                                        " as the simulation reads it at frame " + std::to_string(frame) +
                                        ": give it a finite value there");
        }
      }
      if (type == "Taluno") {
        const int subSteps = node->evalInt("subSteps", 0, time);
        if (subSteps < 1)
          report("subSteps", "SubSteps (subSteps) is " + std::to_string(subSteps) + " at frame " +
                                 std::to_string(frame) +
                                 ": it must be at least 1 at every frame; without sub-steps nothing would move");
      }
    }
  }
  return problems.size() == before;
}

// Where a run's checkpoints go, and how they are named: checkpoints/ beside
// the main output, named after the scene file.
struct CheckpointPlace
{
  std::string folder;
  std::string stem;
};

CheckpointPlace checkpointPlace(Prepared const& p, std::string const& scenePath)
{
  const std::filesystem::path output =
      std::filesystem::path(framePath(p.scene.outputs.front().pattern, p.scene.firstFrame)).parent_path();
  const std::string stem = scenePath.empty() ? std::string("default") : std::filesystem::path(scenePath).stem().string();
  return {(output.empty() ? std::filesystem::path("checkpoints") : output / "checkpoints").string(), stem};
}

// The state of every node that keeps one, after `frame`, as a checkpoint.
Checkpoint takeCheckpoint(Prepared const& p, int frame, PreviewCamera const* camera = nullptr)
{
  Checkpoint c;
  c.frame = frame;
  c.programVersion = TALUNO_VERSION;
  c.scene = simulatedPart(p.scene);
  c.sceneHash = hashBytes(c.scene);
  c.points = p.output->getCookedGeo() ? uint64_t(p.output->getCookedGeo()->getNumPoints()) : 0;
  for (OP_Node* node : p.network.nodes()) {
    std::string state;
    if (node->saveData(state))
      c.nodes.emplace_back(node->getName(), std::move(state));
  }
  if (camera)
    c.previewView = camera->saveView();
  return c;
}

struct RunOptions
{
  int checkpointEvery = 10; ///< frames between checkpoints; 0: none
  bool resume = false;      ///< continue from the newest usable checkpoint
  bool force = false;       ///< resume although the scene changed
};

// Finds the newest usable checkpoint of the scene, gives every node its
// saved state and cooks the checkpoint's frame, which takes the state in.
// Returns the frame resumed from, or -1 with the exit status in `status`.
int resumeRun(Prepared& p, CheckpointPlace const& place, RunOptions const& options, bool quiet,
              PreviewCamera& camera, int& status)
{
  status = 2;
  auto const found = listCheckpoints(place.folder, place.stem);
  if (found.empty()) {
    std::cerr << "taluno: --resume: no checkpoint of this scene in " << place.folder << " (files " << place.stem
              << ".NNNN.ckpt); run it without --resume\n";
    return -1;
  }
  const std::string scene = simulatedPart(p.scene);
  for (auto const& [frame, path] : found) {
    std::string bytes, problem;
    if (!readFile(path, bytes, problem, "checkpoint")) {
      std::cerr << "taluno: skipping checkpoint " << path << ": " << problem << "\n";
      continue;
    }
    Checkpoint c;
    if (!decodeCheckpoint(bytes, c, problem)) {
      std::cerr << "taluno: skipping checkpoint " << path << ": " << problem << "\n";
      continue;
    }
    if (c.frame != frame) {
      std::cerr << "taluno: skipping checkpoint " << path << ": it holds frame " << c.frame << ", not " << frame
                << "\n";
      continue;
    }
    if (c.sceneHash != hashBytes(scene) || c.scene != scene) {
      std::vector<std::string> const differences = sceneDifferences(c.scene, scene);
      if (!options.force) {
        std::cerr << "taluno: --resume: the scene changed since checkpoint " << path
                  << " was written, so its state does not belong to this scene:\n";
        for (std::string const& line : differences)
          std::cerr << "  " << line << "\n";
        std::cerr << "  run without --resume to start again, or add --force to resume anyway\n";
        return -1;
      }
      std::cerr << "taluno: --force: resuming from " << path << " although the scene changed:\n";
      for (std::string const& line : differences)
        std::cerr << "  " << line << "\n";
    }
    if (c.frame >= p.scene.lastFrame) {
      std::cerr << "taluno: --resume: checkpoint " << path << " is at frame " << c.frame
                << ", the scene's last frame is " << p.scene.lastFrame
                << ": nothing is left to simulate (give a later last frame with --frames)\n";
      status = 0;
      return -1;
    }
    if (c.frame < firstCookedFrame(p.scene, *p.output)) {
      std::cerr << "taluno: skipping checkpoint " << path << ": frame " << c.frame
                << " is before the solver's reset frame\n";
      continue;
    }
    for (auto const& [name, state] : c.nodes) {
      OP_Node* node = nullptr;
      for (OP_Node* candidate : p.network.nodes())
        if (candidate->getName() == name)
          node = candidate;
      if (!node || !node->loadData(state, problem)) {
        std::cerr << "taluno: --resume: checkpoint " << path << ": "
                  << (node ? problem : "node \"" + name + "\" is not in the scene") << "\n";
        return -1;
      }
    }
    if (!c.previewView.empty())
      camera.loadView(c.previewView);
    std::set<std::string> warned;
    if (!cookFrame(p.outputs, p.network, p.scene, c.frame, warned, "")) {
      status = 5;
      return -1;
    }
    if (!quiet)
      std::cerr << "taluno: resuming after frame " << c.frame << " from " << path << "\n";
    return c.frame;
  }
  std::cerr << "taluno: --resume: no usable checkpoint in " << place.folder << "; run without --resume\n";
  return -1;
}

// Writes a checkpoint after `frame` and keeps the newest two.
bool writeCheckpoint(Prepared const& p, CheckpointPlace const& place, int frame, PreviewCamera const& camera,
                     std::string& problem)
{
  std::error_code error;
  if (!std::filesystem::create_directories(place.folder, error) && error) {
    problem = "cannot create checkpoint folder " + place.folder + ": " + error.message();
    return false;
  }
  const std::string path = checkpointPath(place.folder, place.stem, frame);
  if (!writeAtomically(path, encodeCheckpoint(takeCheckpoint(p, frame, &camera)), problem, "checkpoint"))
    return false;
  auto const found = listCheckpoints(place.folder, place.stem);
  for (size_t k = 2; k < found.size(); ++k)
    std::filesystem::remove(found[k].second, error);
  return true;
}

// Checks a scene without simulating: the file, the network, and the settings
// the nodes refuse, found by cooking the first frame (nothing is written).
int check(std::string const& scenePath, std::string const& plugin)
{
  OP_OperatorTable table;
  if (!loadOperators(table, plugin))
    return 3;
  Prepared p(table);
  if (const int status = prepare(p, scenePath, "", ""))
    return status;
  std::set<std::string> warned;
  checkUnits(p.network, warned);
  if (!cookFrame(p.outputs, p.network, p.scene, firstCookedFrame(p.scene, *p.output), warned, "", true))
    return 5;
  std::vector<std::string> problems;
  if (!checkEveryFrame(p, problems)) {
    for (std::string const& problem : problems)
      std::cerr << "taluno: " << problem << "\n";
    return 5;
  }
  // What a checkpoint of this run holds now, at the reset frame; it grows
  // with the particle count.
  const CheckpointPlace place = checkpointPlace(p, scenePath);
  const Checkpoint c = takeCheckpoint(p, firstCookedFrame(p.scene, *p.output));
  const double MiB = double(encodeCheckpoint(c).size()) / (1024.0 * 1024.0);
  // A short timed trial: the first frame after the reset, whose pace the
  // solver turns into the run's time (and whose failure a run would meet).
  const int trial = firstCookedFrame(p.scene, *p.output) + 1;
  if (trial <= p.scene.lastFrame && !cookFrame(p.outputs, p.network, p.scene, trial, warned, "", true))
    return 5;
  std::cout << scenePath << ": OK (" << p.scene.nodes.size() << " nodes, frames " << p.scene.firstFrame << " to "
            << p.scene.lastFrame << ", output " << p.scene.outputs.front().pattern << ")\n";
  char size[64];
  std::snprintf(size, sizeof size, MiB < 0.1 ? "%.2f" : "%.1f", MiB);
  std::cout << "checkpoints (taluno run --checkpoint-every N, default 10; --resume continues from them): "
            << checkpointPath(place.folder, place.stem, 10) << " and so on, about " << size << " MiB each with the "
            << c.points << " points of the reset frame, more as emitters add particles; the newest two are kept\n";
  return 0;
}

int run(std::string const& scenePath, std::string const& frames, std::string const& pattern, int threads,
        bool quiet, std::string const& plugin, std::string previewFolder, std::string const& movie,
        RunOptions const& options)
{
  OP_OperatorTable table;
  if (!loadOperators(table, plugin))
    return 3;
  if (threads > 0)
    omp_set_num_threads(threads);
  Prepared prepared(table);
  if (const int status = prepare(prepared, scenePath, frames, pattern))
    return status;
  Scene const& scene = prepared.scene;
  OP_Network& network = prepared.network;
  SOP_Node* output = prepared.output;
  // A movie needs ffmpeg: say so before simulating, not after.
  if (!movie.empty() && findProgram("ffmpeg").empty()) {
    std::cerr << "taluno: --movie needs ffmpeg, which is not installed (apt-get install ffmpeg)\n";
    return 4;
  }
  {
    std::vector<std::string> problems;
    if (!checkEveryFrame(prepared, problems)) {
      for (std::string const& problem : problems)
        std::cerr << "taluno: " << problem << "\n";
      return 5;
    }
  }

  // Every output: its folder, its claim on the pattern, and for VTK frames
  // a collection file beside them, rewritten after every frame, so that
  // ParaView opens the sequence as one time series.
  struct Target
  {
    Scene::Output const* entry;
    SOP_Node* node;
    std::filesystem::path folder;
    OutputLock lock;
    std::vector<std::pair<double, std::string>> collection;
    std::string collectionPath;
  };
  std::vector<Target> targets(scene.outputs.size());
  std::error_code error;
  for (size_t i = 0; i < targets.size(); ++i) {
    Target& t = targets[i];
    t.entry = &scene.outputs[i];
    t.node = prepared.outputs[i];
    t.folder = std::filesystem::path(framePath(t.entry->pattern, scene.firstFrame)).parent_path();
    if (!t.folder.empty() && !std::filesystem::create_directories(t.folder, error) && error) {
      std::cerr << "taluno: cannot create output folder " << t.folder << ": " << error.message() << "\n";
      return 4;
    }
    std::string const& pattern = t.entry->pattern;
    if (pattern.size() > 4 && pattern.compare(pattern.size() - 4, 4, ".vtp") == 0) {
      std::string stem = std::filesystem::path(pattern).filename().string();
      for (char const* token : {"$F9", "$F8", "$F7", "$F6", "$F5", "$F4", "$F3", "$F2", "$F"})
        for (size_t at; (at = stem.find(token)) != std::string::npos;)
          stem.erase(at, std::strlen(token));
      stem = stem.substr(0, stem.size() - 4);
      while (!stem.empty() && (stem.back() == '.' || stem.back() == '_'))
        stem.pop_back();
      t.collectionPath = (t.folder / ((stem.empty() ? std::string("frames") : stem) + ".pvd")).string();
    }
  }
  const std::filesystem::path folder = targets.front().folder;

  // One writer per output: a second run writing the same frames would mix
  // them with this one's. The claims are taken before the first file is
  // written (a run refused before then leaves nothing), together with the
  // clean-up of what killed runs left.
  OutputLock previewLock;
  bool claimed = false;

  // The default scene shows a few pictures of its result at once; "auto"
  // and a movie put the pictures beside the main output.
  const bool defaultScene = scenePath.empty();
  const bool everyFrame = !defaultScene || !movie.empty() || previewFolder == "auto";
  if (previewFolder == "auto" || (previewFolder.empty() && (defaultScene || !movie.empty())))
    previewFolder = (folder.empty() ? std::filesystem::path("preview") : folder / "preview").string();
  if (!previewFolder.empty() && !std::filesystem::create_directories(previewFolder, error) && error) {
    std::cerr << "taluno: cannot create preview folder " << previewFolder << ": " << error.message() << "\n";
    return 4;
  }

  // The pictures show the particles of the main output, the collision
  // objects it simulates against (as they are at each frame) and the liquid
  // surfaces the scene writes.
  PreviewView view;
  view.set = scene.camera.set;
  std::copy(scene.camera.position, scene.camera.position + 3, view.position);
  std::copy(scene.camera.target, scene.camera.target + 3, view.target);
  view.fov = scene.camera.fov;
  PreviewCamera camera(view);
  std::vector<PreviewCamera::Mesh> drawn; // their geometry taken at each frame
  std::vector<SOP_Node*> drawnNodes;
  for (OP_Node* node : network.upstreamOrder(output))
    if (node->getOperator()->getName() == "CollisionObject")
      if (auto* sop = dynamic_cast<SOP_Node*>(node)) {
        drawn.push_back({nullptr, {0.62f, 0.62f, 0.6f}, true});
        drawnNodes.push_back(sop);
      }
  for (SOP_Node* node : prepared.outputs)
    if (node->getOperator()->getName() == "surface") {
      drawn.push_back({nullptr, {0.3f, 0.55f, 0.9f}, false});
      drawnNodes.push_back(node);
      camera.hideGroup(node->evalString("group", 0, 0.0));
    }

  // Probes read the solver's liquid and its colliders' forces at every
  // written frame: the solver must be one the outputs cook.
  SOP_Node* probeNode = nullptr;
  std::optional<ProbeLog> probes;
  if (scene.probes.active) {
    for (SOP_Node* out : prepared.outputs)
      for (OP_Node* node : network.upstreamOrder(out))
        if (node->getName() == scene.probes.node)
          probeNode = dynamic_cast<SOP_Node*>(node);
    if (!probeNode) {
      std::cerr << "taluno: probes: node \"" << scene.probes.node
                << "\" feeds none of the scene's outputs, so no frame simulates it: write it, or a node it feeds\n";
      return 2;
    }
    const std::filesystem::path probeFolder = std::filesystem::path(scene.probes.file).parent_path();
    if (!probeFolder.empty() && !std::filesystem::create_directories(probeFolder, error) && error) {
      std::cerr << "taluno: cannot create the probes' folder " << probeFolder.string() << ": " << error.message()
                << "\n";
      return 4;
    }
    // The solver measures what the particles put on its collision objects.
    std::vector<std::string> colliders = collisionInputs(scene, scene.probes.node);
    if (!colliders.empty())
      probeNode->setFloat("colliderForces", 0, 1);
    probes.emplace(scene.probes.file, scene.probes.points, std::move(colliders));
  }

  handleSignals();
  const bool terminal = isatty(STDERR_FILENO);
  const int total = scene.lastFrame - scene.firstFrame + 1;
  const auto start = std::chrono::steady_clock::now();
  auto lastLine = start;
  // Seconds after which a log gets a progress line whatever the frame.
  double progressSeconds = 30.0;
  if (char const* every = std::getenv("TALUNO_PROGRESS_SECONDS"); every && *every)
    progressSeconds = std::max(0.0, std::atof(every));
  int written = 0;
  std::set<std::string> warned;

  // Checkpoints: at every frame that is a multiple of the interval, at the
  // end, and when Ctrl-C stops the run between frames.
  const CheckpointPlace place = checkpointPlace(prepared, scenePath);
  const int resetFrame = firstCookedFrame(scene, *output);
  int startFrame = resetFrame;
  if (options.resume) {
    int status = 0;
    const int resumed = resumeRun(prepared, place, options, quiet, camera, status);
    if (resumed < 0)
      return status;
    startFrame = resumed + 1;
    // The frames written before count, and stay in the VTK collections.
    for (int frame = scene.firstFrame; frame < startFrame; ++frame) {
      ++written;
      for (Target& t : targets)
        if (!t.collectionPath.empty())
          t.collection.emplace_back((frame - 1) / scene.fps,
                                    std::filesystem::path(framePath(t.entry->pattern, frame)).filename().string());
    }
  }
  if (probes && options.resume)
    probes->keepRowsBefore(startFrame);
  const int writtenBefore = written;
  int lastCheckpoint = startFrame - 1, lastDone = startFrame - 1;
  auto checkpoint = [&](int frame) {
    std::string problem;
    if (!writeCheckpoint(prepared, place, frame, camera, problem)) {
      std::cerr << (terminal && !quiet ? "\n" : "") << "taluno: " << problem << "\n";
      return false;
    }
    lastCheckpoint = frame;
    return true;
  };
  auto checkpointDue = [&](int frame) {
    return options.checkpointEvery > 0 && frame > resetFrame && frame % options.checkpointEvery == 0;
  };

  // Frames before the first written one, from the reset frame on, are cooked,
  // not written.
  for (int frame = startFrame; frame <= scene.lastFrame && !interrupted; ++frame) {
    const double time = (frame - 1) / scene.fps;
    // Any node of the network may have failed (an unreadable mesh, a bad
    // expression, a simulation that blew up): report them all rather than
    // write a wrong frame.
    if (!cookFrame(prepared.outputs, network, scene, frame, warned, written && terminal && !quiet ? "\n" : "")) {
      if (interrupted)
        break; // the frame was stopped, not failed: it is not written
      return 5;
    }
    if (frame < scene.firstFrame) {
      lastDone = frame;
      if (checkpointDue(frame) && !checkpoint(frame))
        return 4;
      continue;
    }
    std::string problem;
    if (!claimed) {
      claimed = true;
      for (Target& t : targets)
        if (!t.lock.claim(t.folder.string(), std::filesystem::path(t.entry->pattern).filename().string(), problem)) {
          std::cerr << (terminal && !quiet ? "\n" : "") << "taluno: " << problem << "\n";
          return 4;
        }
      if (!previewFolder.empty() && !previewLock.claim(previewFolder, "preview", problem)) {
        std::cerr << (terminal && !quiet ? "\n" : "") << "taluno: " << problem << "\n";
        return 4;
      }
      for (Target const& t : targets)
        removeAbandonedTemporaries(t.folder.empty() ? std::string(".") : t.folder.string(), quiet);
      if (!previewFolder.empty())
        removeAbandonedTemporaries(previewFolder, quiet);
    }
    for (Target& t : targets) {
      const std::string path = framePath(t.entry->pattern, frame);
      CacheOptions options;
      options.ghosts = t.entry->ghosts;
      if (!writeCache(*t.node->getCookedGeo(), path, problem, options)) {
        std::cerr << (terminal && !quiet ? "\n" : "") << "taluno: " << problem << "\n";
        return 4;
      }
      if (!t.collectionPath.empty()) {
        t.collection.emplace_back(time, std::filesystem::path(path).filename().string());
        if (!writeCollection(t.collectionPath, t.collection, problem)) {
          std::cerr << (terminal && !quiet ? "\n" : "") << "taluno: " << problem << "\n";
          return 4;
        }
      }
    }
    if (probes && !probes->add(frame, time, *probeNode->getCookedGeo(),
                               probeNode->evalFloat("particlesInteractionRadius", 0, time), problem)) {
      std::cerr << (terminal && !quiet ? "\n" : "") << "taluno: " << problem << "\n";
      return 4;
    }
    ++written;
    if (!previewFolder.empty() && (everyFrame || frame % 12 == 0 || frame == scene.lastFrame)) {
      char name[32];
      std::snprintf(name, sizeof name, "frame.%04d.png", frame);
      std::vector<PreviewCamera::Mesh> meshes;
      for (size_t i = 0; i < drawn.size(); ++i)
        if ((drawn[i].geometry = drawnNodes[i]->getCookedGeo()))
          meshes.push_back(drawn[i]);
      if (!camera.write(*output->getCookedGeo(), meshes, (std::filesystem::path(previewFolder) / name).string(),
                        problem)) {
        std::cerr << (terminal && !quiet ? "\n" : "") << "taluno: " << problem << "\n";
        return 4;
      }
    }
    if (!quiet) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double perFrame = elapsed / std::max(1, written - writtenBefore);
      char line[200];
      std::snprintf(line, sizeof line, "frame %d (%d of %d), %lld points, %.2f s/frame, %.0f s left", frame, written,
                    total, static_cast<long long>(output->getCookedGeo()->getNumPoints()), perFrame,
                    perFrame * (total - written));
      // In a log: every tenth frame, and whenever a line is overdue, so that
      // frames that take minutes still show progress.
      const auto now = std::chrono::steady_clock::now();
      if (terminal) {
        std::cerr << "\r" << line << "   " << std::flush;
      } else if (written == 1 || written == total || written % 10 == 0 ||
                 std::chrono::duration<double>(now - lastLine).count() >= progressSeconds) {
        std::cerr << line << "\n";
        lastLine = now;
      }
    }
    lastDone = frame;
    if (checkpointDue(frame) && !checkpoint(frame))
      return 4;
  }
  // The last whole frame, unless a checkpoint holds it already; a frame
  // stopped part-way leaves the state between sub-steps, which no run could
  // continue from.
  std::vector<OP_Node*> const nodes = network.nodes();
  const bool stoppedInFrame = interrupted && lastDone < scene.lastFrame &&
                              std::any_of(nodes.begin(), nodes.end(), [](OP_Node* node) {
                                return node->error() >= UT_ERROR_ABORT;
                              });
  if (options.checkpointEvery > 0 && !stoppedInFrame && lastDone > lastCheckpoint && lastDone >= resetFrame &&
      !checkpoint(lastDone))
    return 4;
  if (!quiet && terminal)
    std::cerr << "\n";
  if (interrupted) {
    std::cerr << "taluno: interrupted; " << written << " complete frame" << (written == 1 ? "" : "s")
              << " kept in " << (folder.empty() ? std::string(".") : folder.string()) << "\n";
    if (lastCheckpoint >= resetFrame)
      std::cerr << "taluno: " << checkpointPath(place.folder, place.stem, lastCheckpoint) << " holds frame "
                << lastCheckpoint << ": taluno run " << (scenePath.empty() ? std::string() : scenePath + " ")
                << "--resume continues from it\n";
    return 130;
  }
  if (!quiet) {
    for (Target const& t : targets)
      std::cerr << "taluno: wrote " << written << " frames to "
                << (t.folder.empty() ? std::string(".") : t.folder.string()) << " (" << t.entry->pattern << ")\n";
    if (probes)
      std::cerr << "taluno: probe pressures and forces in " << probes->path() << "\n";
    if (!previewFolder.empty())
      std::cerr << "taluno: preview pictures in " << previewFolder << "\n";
  }
  if (!movie.empty()) {
    std::string problem;
    if (!makeMovie(previewFolder, scene.fps, movie, problem)) {
      std::cerr << "taluno: " << problem << "\n";
      return 4;
    }
    if (!quiet)
      std::cerr << "taluno: movie in " << movie << "\n";
  }
  return 0;
}

} // namespace

int main(int argc, char** argv)
{
  CLI::App app{"taluno: soft-body, liquid and granular particle simulation, run from scene files"};
  app.require_subcommand(1);
  std::string plugin;
  app.add_option("--plugin", plugin, "the Tessolin plug-in to load (default: beside the program)");

  auto* runCommand = app.add_subcommand("run", "simulate a scene and write one cache file per frame");
  std::string scenePath, frames, pattern;
  int threads = 0;
  bool quiet = false;
  runCommand->add_option("scene", scenePath, "scene file (JSON); without one, a built-in default scene")
      ->check(CLI::ExistingFile);
  runCommand->add_option("--frames", frames, "frame range FIRST-LAST, replacing the scene's");
  runCommand->add_option("--output", pattern,
                         "cache file pattern; $F is the frame, $F4 pads it to 4 digits; the extension chooses the "
                         "format: .geo (the 3D host's JSON geometry, for the host), .bgeo (the same in the host's binary "
                         "format: smaller and faster, for the host), .ply (binary PLY, for ParaView, Blender, MeshLab, "
                         "CloudCompare) or .vtp (VTK, for ParaView, with a .pvd time series beside the frames)");
  runCommand->add_option("--threads", threads, "simulation threads, 1 to " + std::to_string(maxThreads) +
                                                    " (default: all cores)")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            int n = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), n);
            if (error != std::errc() || end != value.data() + value.size() || n < 1 || n > maxThreads)
              return "must be a whole number from 1 to " + std::to_string(maxThreads) + ", not " + value;
            return {};
          },
          "1 to " + std::to_string(maxThreads)));
  runCommand->add_flag("--quiet", quiet, "no progress lines");
  std::string previewFolder;
  runCommand->add_option("--preview", previewFolder,
                         "write a PNG picture of every frame into this folder; \"auto\": into preview/ beside the "
                         "main output (the default scene writes a few there unasked)");
  std::string movie;
  runCommand->add_option("--movie", movie,
                         "also encode the pictures of every frame into this MP4 movie with ffmpeg (pictures go to "
                         "--preview, else preview/ beside the main output)")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            if (value.size() < 5 || value.compare(value.size() - 4, 4, ".mp4") != 0)
              return "must name an .mp4 file, not " + value;
            return {};
          },
          "FILE.mp4"));

  RunOptions runOptions;
  runCommand->add_option("--checkpoint-every", runOptions.checkpointEvery,
                         "write the simulation's state every N frames (default 10; 0: never), at the end and at "
                         "Ctrl-C, into checkpoints/ beside the main output, keeping the newest two")
      ->check(CLI::Range(0, 1000000));
  runCommand->add_flag("--resume", runOptions.resume,
                       "continue from the newest usable checkpoint of this scene, writing exactly the frames an "
                       "uninterrupted run would");
  runCommand->add_flag("--force", runOptions.force,
                       "with --resume: resume although the scene changed since the checkpoint, saying what differs");

  auto* checkCommand = app.add_subcommand("check", "validate a scene without simulating, reporting every problem");
  std::string checkPath;
  checkCommand->add_option("scene", checkPath, "scene file (JSON)")->required();

  auto* paramsCommand = app.add_subcommand("params", "list the operator types, or one operator's parameters");
  std::string operatorName;
  paramsCommand->add_option("operator", operatorName, "operator type");
  bool presetList = false;
  paramsCommand->add_flag("--presets", presetList,
                          "list the material and surface presets a scene node can name, with their values and what "
                          "each was validated against");
  bool presetJson = false;
  paramsCommand->add_flag("--json", presetJson, "with --presets: as JSON, for scripts");

  app.set_version_flag("--version", "taluno " TALUNO_VERSION);
  try {
    app.parse(argc, argv);
  } catch (CLI::ParseError const& e) {
    // Help and the version are answers, not errors; every mistake on the
    // command line exits 2, as the README says.
    const int status = app.exit(e);
    return status == 0 ? 0 : 2;
  }

  // Nothing escapes as an abort: what the nodes and stages did not catch
  // is reported here, and fails the run as a node failure would.
  try {
    if (*runCommand)
      return run(scenePath, frames, pattern, threads, quiet, plugin, previewFolder, movie, runOptions);
    if (*checkCommand)
      return check(checkPath, plugin);
  } catch (std::bad_alloc const&) {
    std::cerr << "\ntaluno: ran out of memory; lower the particle count (a larger Particle Radius, smaller "
                 "emitters) or run where more memory is free\n";
    return 5;
  } catch (std::exception const& e) {
    std::cerr << "\ntaluno: failed: " << e.what() << "\n";
    return 5;
  }
  if (presetList)
    return listPresets(presetJson);
  OP_OperatorTable table;
  if (!loadOperators(table, plugin))
    return 3;
  return listParameters(table, operatorName);
}
