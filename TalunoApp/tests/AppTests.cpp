// End-to-end tests of the taluno program: scenes in, caches out, and the
// messages and exit codes of bad input.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Result
{
  int status;
  std::string output; ///< standard output and standard error together
};

// Runs a shell command, collecting its output and exit status.
Result runCommand(std::string const& command)
{
  Result result{0, {}};
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// Runs taluno in `folder` with the given arguments.
Result taluno(fs::path const& folder, std::string const& arguments)
{
  return runCommand("cd '" + folder.string() + "' && '" TALUNO_PROGRAM "' " + arguments + " 2>&1");
}

// Starts taluno in `folder` without waiting for it; returns its process id.
pid_t startTaluno(fs::path const& folder, std::string const& arguments)
{
  const std::string command = "cd '" + folder.string() + "' && exec '" TALUNO_PROGRAM "' " + arguments;
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

// Frame files with extension `extension` in `folder` (none while it does not exist).
int countFiles(fs::path const& folder, std::string const& extension)
{
  int n = 0;
  std::error_code error;
  for (auto const& entry : fs::directory_iterator(folder, error))
    n += entry.path().extension() == extension;
  return n;
}

// Waits, up to about ten seconds, until `folder` holds `count` such files.
void waitForFiles(fs::path const& folder, std::string const& extension, int count)
{
  for (int i = 0; i < 400 && countFiles(folder, extension) < count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

struct Folder
{
  Folder()
  {
    path = fs::temp_directory_path() / ("taluno-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~Folder() { fs::remove_all(path); }
  void write(std::string const& name, std::string const& text) const { std::ofstream(path / name) << text; }
  fs::path path;
  static inline int counter = 0;
};

// A floor and a granular block over it; `frames` and the output file vary.
std::string grainScene(std::string const& file, int last = 6, std::string const& extra = "")
{
  return R"({"fps": 24, "frames": [1, )" + std::to_string(last) + R"(],
 "nodes": [
  {"name": "floorBox", "type": "box", "parms": {"size": [12, 1, 12], "t": [0, -0.5, 0]}},
  {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"], "parms": {"friction": 2000}},
  {"name": "grainBox", "type": "box", "parms": {"size": [3, 3, 3], "t": [0, 3, 0]}},
  {"name": "grains", "type": "EmitterObject", "inputs": ["grainBox"], "parms": {"nature": "granular"}},
  {"name": "solver", "type": "Taluno", "inputs": ["floor", "grains"],
   "parms": {"interParticleCollisions": 1, "springs": 0)" + extra + R"(}}
 ],
 "output": {"node": "solver", "file": ")" + file + R"("}})";
}

std::string replaced(std::string text, std::string const& from, std::string const& to)
{
  const size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string const grainBox = R"("type": "box", "parms": {"size": [3, 3, 3], "t": [0, 3, 0]})";

json field(json const& list, std::string const& key)
{
  for (size_t i = 0; i + 1 < list.size(); i += 2)
    if (list[i] == key)
      return list[i + 1];
  return nullptr;
}

// A point attribute's values from a .geo file.
json pointValues(json const& geo, std::string const& name)
{
  for (json const& a : field(field(geo, "attributes"), "pointattributes"))
    if (field(a[0], "name") == name) {
      json values = field(a[1], "values");
      json tuples = field(values, "tuples");
      return tuples.is_null() ? field(values, "arrays")[0] : tuples;
    }
  return nullptr;
}

// Runs one of the independent readers in tests/readers with `interpreter`.
Result runReader(std::string const& interpreter, std::string const& script, fs::path const& file)
{
  return runCommand("'" + interpreter + "' '" TALUNO_READERS "/" + script + "' '" + file.string() + "' 2>&1");
}

// Whether two decoded geometry trees are equal; numbers are compared as the
// single-precision values both encodings store. Reports the first difference.
bool sameTree(json const& a, json const& b, std::string const& where = "")
{
  if (a.is_number() && b.is_number()) {
    if (a.get<double>() == b.get<double>() || float(a.get<double>()) == float(b.get<double>()))
      return true;
  } else if (a.type() == b.type() && a.size() == b.size() && (a.is_array() || a.is_object())) {
    if (a.is_array()) {
      for (size_t i = 0; i < a.size(); ++i)
        if (!sameTree(a[i], b[i], where + "/" + std::to_string(i)))
          return false;
      return true;
    }
    for (auto const& [key, value] : a.items())
      if (!b.contains(key) || !sameTree(value, b[key], where + "/" + key))
        return false;
    return true;
  } else if (a == b) {
    return true;
  }
  ADD_FAILURE() << "trees differ at " << (where.empty() ? "/" : where) << ": " << a.dump().substr(0, 200)
                << " against " << b.dump().substr(0, 200);
  return false;
}

} // namespace

TEST(TalunoProgram, WritesAGeoFileForEveryFrame)
{
  Folder folder;
  folder.write("scene.json", grainScene("out/grains.$F4.geo"));
  const Result r = taluno(folder.path, "run scene.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  for (int f = 1; f <= 6; ++f) {
    char name[64];
    std::snprintf(name, sizeof name, "out/grains.%04d.geo", f);
    ASSERT_TRUE(fs::exists(folder.path / name)) << name;
  }
  std::ifstream in(folder.path / "out/grains.0006.geo");
  const json geo = json::parse(in);
  const int64_t n = field(geo, "pointcount");
  ASSERT_EQ(n, 27); // 3 x 3 x 3 grains
  const json ids = pointValues(geo, "ID");
  const json positions = pointValues(geo, "P");
  ASSERT_EQ(int64_t(ids.size()), n);
  for (int64_t i = 0; i < n; ++i) {
    EXPECT_EQ(ids[i], i);
    EXPECT_GE(positions[i][1].get<double>(), 0.5 - 1e-4); // on or above the floor
  }
  EXPECT_EQ(pointValues(geo, "v").size(), size_t(n));
  // A particle system lists every point.
  EXPECT_EQ(field(geo, "vertexcount"), n);
  EXPECT_TRUE(fs::is_empty(folder.path / "out") == false);
  for (auto const& entry : fs::directory_iterator(folder.path / "out"))
    if (entry.path().filename().string()[0] != '.' && entry.path().filename() != "checkpoints") { // the lock file
      EXPECT_EQ(entry.path().extension(), ".geo") << "a temporary file was left behind";
    }
}

TEST(TalunoProgram, WritesBinaryPlyWithNamedProperties)
{
  Folder folder;
  folder.write("scene.json", grainScene("grains.$F.ply", 3, R"(, "colorData": "velocity")"));
  const Result r = taluno(folder.path, "run scene.json --quiet --frames 2-3");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(fs::exists(folder.path / "grains.1.ply"));
  std::ifstream in(folder.path / "grains.3.ply", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t end = bytes.find("end_header\n");
  ASSERT_NE(end, std::string::npos);
  const std::string header = bytes.substr(0, end);
  EXPECT_NE(header.find("format binary_little_endian 1.0"), std::string::npos);
  EXPECT_NE(header.find("element vertex 27"), std::string::npos);
  int properties = 0;
  for (char const* p : {"float x", "float v_x", "int ID", "uchar red", "uchar blue"})
    properties += header.find(std::string("property ") + p) != std::string::npos;
  EXPECT_EQ(properties, 5) << header;
  for (char const* p : {"float pscale", "int material", "float density", "float pressure", "float age"})
    EXPECT_NE(header.find(std::string("property ") + p), std::string::npos) << p;
  // 3 position, 3 velocity, 1 id and 5 render values of 4 bytes, and 3
  // colour bytes and the 3 material groups of 1 byte, per point.
  EXPECT_EQ(bytes.size() - (end + 11), size_t(27 * (12 * 4 + 3 + 3)));
}

TEST(TalunoProgram, ReportsBadScenesAndFails)
{
  Folder folder;
  folder.write("broken.json", "{\"nodes\": [\n  {\"name\": \"a\",, }]}");
  Result r = taluno(folder.path, "check broken.json");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("malformed JSON at line 2, column"), std::string::npos) << r.output;

  std::string scene = grainScene("out.$F.geo");
  scene.replace(scene.find("\"box\""), 5, "\"boks\"");
  scene.replace(scene.find("\"friction\""), 10, "\"fricton\"");
  scene.replace(scene.find("\"granular\""), 10, "\"granite\"");
  folder.write("bad.json", scene);
  r = taluno(folder.path, "check bad.json");
  EXPECT_NE(r.status, 0);
  for (char const* expected : {"unknown type \"boks\"; did you mean \"box\"", "unknown parameter \"fricton\"; did you mean \"friction\"",
                               "has no menu item \"granite\"", "3 problems"})
    EXPECT_NE(r.output.find(expected), std::string::npos) << expected << "\n" << r.output;

  std::string loop = grainScene("out.$F.geo");
  loop.replace(loop.find("\"type\": \"box\", \"parms\": {\"size\": [3"), 0,
               "\"type\": \"transform\", \"inputs\": [\"grains\"], \"parms\": {}}, {\"name\": \"x\", ");
  folder.write("loop.json", loop);
  r = taluno(folder.path, "check loop.json");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("loop"), std::string::npos) << r.output;

  folder.write("missing.json", replaced(grainScene("out.$F.geo"), grainBox,
                                        R"("type": "file", "parms": {"file": "nowhere/cube.obj"})"));
  r = taluno(folder.path, "check missing.json");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("\"nowhere/cube.obj\" does not exist"), std::string::npos) << r.output;

  folder.write("wrongtype.json", grainScene("out.$F.geo", 3, R"(, "gravity": {"a": 1}, "subSteps": [1, 2])"));
  r = taluno(folder.path, "check wrongtype.json");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("\"gravity\" expects a number"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"subSteps\" expects one value, not 2"), std::string::npos) << r.output;
}

TEST(TalunoProgram, ReadsObjMeshesAndReportsBrokenOnes)
{
  Folder folder;
  folder.write("cube.obj", "v 0 3 0\nv 3 3 0\nv 3 6 0\nv 0 6 0\nv 0 3 3\nv 3 3 3\nv 3 6 3\nv 0 6 3\n"
                           "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 4 8 7 3\nf 1 5 8 4\nf 2 3 7 6\n");
  folder.write("obj.json",
               replaced(grainScene("out/o.$F.geo", 2), grainBox, R"("type": "file", "parms": {"file": "cube.obj"})"));
  Result r = taluno(folder.path, "run obj.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream in(folder.path / "out/o.2.geo");
  EXPECT_EQ(field(json::parse(in), "pointcount"), 27); // the OBJ cube's quads, triangulated, emit 3 x 3 x 3

  folder.write("cube.obj", "v 0 0 0\nf 1 2 3\n");
  r = taluno(folder.path, "run obj.json --quiet");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("cube.obj"), std::string::npos) << r.output;
}

TEST(TalunoProgram, UnwritableOutputFailsClearly)
{
  Folder folder;
  folder.write("blocker", "a file where the output folder should be");
  folder.write("scene.json", grainScene("blocker/frame.$F.geo", 2));
  const Result r = taluno(folder.path, "run scene.json --quiet");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("blocker"), std::string::npos) << r.output;
}

TEST(TalunoProgram, InterruptedRunsKeepTheirCompletedFrames)
{
  Folder folder;
  folder.write("scene.json", grainScene("out/f.$F5.geo", 100000));
  const pid_t child = startTaluno(folder.path, "run scene.json --quiet");
  // Wait for a few frames, then interrupt.
  waitForFiles(folder.path / "out", ".geo", 5);
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  int frames = 0;
  for (auto const& entry : fs::directory_iterator(folder.path / "out")) {
    if (entry.path().filename().string()[0] == '.' || entry.path().filename() == "checkpoints")
      continue; // the run's hidden lock file, its saved states
    ASSERT_EQ(entry.path().extension(), ".geo") << entry.path();
    std::ifstream in(entry.path());
    ASSERT_NO_THROW(json::parse(in)) << entry.path();
    ++frames;
  }
  EXPECT_GE(frames, 5);
  // Frames are written in order with none missing.
  for (int f = 1; f <= frames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "out/f.%05d.geo", f);
    EXPECT_TRUE(fs::exists(folder.path / name)) << name;
  }
}

TEST(TalunoProgram, ListsOperatorsAndChecksScenes)
{
  Folder folder;
  Result r = taluno(folder.path, "params");
  ASSERT_EQ(r.status, 0) << r.output;
  for (char const* type : {"CollisionObject", "Taluno", "EmitterObject", "box", "merge", "file"})
    EXPECT_NE(r.output.find(type), std::string::npos) << type;
  r = taluno(folder.path, "params Taluno");
  EXPECT_NE(r.output.find("particlesInteractionRadius"), std::string::npos);
  EXPECT_NE(r.output.find("\"4*ch(particleRadius)\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("subParticles"), std::string::npos);
  EXPECT_NE(taluno(folder.path, "params Nope").status, 0);
  folder.write("scene.json", grainScene("x.$F.geo"));
  r = taluno(folder.path, "check scene.json");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("OK"), std::string::npos);
}

TEST(TalunoProgram, ReadsPlyMeshesAndDrawsPreviews)
{
  Folder folder;
  // An ASCII PLY cube of quads from (0, 3, 0) to (3, 6, 3).
  folder.write("cube.ply", "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\nproperty float y\n"
                           "property float z\nelement face 6\nproperty list uchar int vertex_indices\nend_header\n"
                           "0 3 0\n3 3 0\n3 6 0\n0 6 0\n0 3 3\n3 3 3\n3 6 3\n0 6 3\n"
                           "4 0 3 2 1\n4 4 5 6 7\n4 0 1 5 4\n4 3 7 6 2\n4 0 4 7 3\n4 1 2 6 5\n");
  folder.write("ply.json",
               replaced(grainScene("out/p.$F.geo", 2), grainBox, R"("type": "file", "parms": {"file": "cube.ply"})"));
  Result r = taluno(folder.path, "run ply.json --quiet --preview pictures");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream in(folder.path / "out/p.2.geo");
  EXPECT_EQ(field(json::parse(in), "pointcount"), 27);
  for (char const* name : {"pictures/frame.0001.png", "pictures/frame.0002.png"}) {
    std::ifstream png(folder.path / name, std::ios::binary);
    char signature[8] = {};
    png.read(signature, 8);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG") << name;
  }

  folder.write("cube.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nend_header\n0\n");
  r = taluno(folder.path, "run ply.json --quiet");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("no x, y and z"), std::string::npos) << r.output;
}

// The RGB pixels of a PNG picture, row by row; empty when it cannot be read.
std::vector<unsigned char> readPicture(fs::path const& path, int& width, int& height)
{
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  std::vector<unsigned char> pixels;
  if (!png_image_begin_read_from_file(&image, path.c_str()))
    return pixels;
  image.format = PNG_FORMAT_RGB;
  pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
    pixels.clear();
  width = int(image.width);
  height = int(image.height);
  return pixels;
}

TEST(TalunoProgram, ProbesWriteTheLiquidsPressureInPascalsFrameByFrame)
{
  // Water 0.4 m deep in a tank of walls, in metres. Averaged over the last
  // half second (the pressure of a weakly compressible liquid rings at its
  // sound speed), the pressure grows with depth as rho g does: a gauge that
  // read the solver's own pressure, which the pair force form makes about
  // twice the continuum's, would read twice the rise. A gauge in the air
  // reads nothing. The tank's objects carry the water's weight, and its
  // walls the push of its depth, 1/2 rho g H^2 across their width (the
  // fill's 9 x 13 x 9 particles, each a 3 cm cube of water, settle 0.316 m
  // deep over the tank's 0.3 m square).
  Folder folder;
  std::string nodes;
  auto box = [&nodes](std::string const& name, std::array<double, 3> lo, std::array<double, 3> hi,
                      std::string const& type, std::string const& preset) {
    nodes += R"({"name": ")" + name + R"(Box", "type": "box", "parms": {"size": [)" + std::to_string(hi[0] - lo[0]) +
             "," + std::to_string(hi[1] - lo[1]) + "," + std::to_string(hi[2] - lo[2]) + R"(], "t": [)" +
             std::to_string((hi[0] + lo[0]) / 2) + "," + std::to_string((hi[1] + lo[1]) / 2) + "," +
             std::to_string((hi[2] + lo[2]) / 2) + R"(]}},
      {"name": ")" + name + R"(", "type": ")" + type + R"(", "inputs": [")" + name + R"(Box"], "preset": ")" +
             preset + R"("},)";
  };
  const double w = 0.15, t = 0.1;
  box("floor", {-w - t, -t, -w - t}, {w + t, 0, w + t}, "CollisionObject", "wall");
  box("west", {-w - t, -t, -w - t}, {-w, 0.6, w + t}, "CollisionObject", "wall");
  box("east", {w, -t, -w - t}, {w + t, 0.6, w + t}, "CollisionObject", "wall");
  box("north", {-w - t, -t, -w - t}, {w + t, 0.6, -w}, "CollisionObject", "wall");
  box("south", {-w - t, -t, w}, {w + t, 0.6, w + t}, "CollisionObject", "wall");
  box("water", {-w, 0, -w}, {w, 0.4, w}, "EmitterObject", "water");
  folder.write("scene.json", R"({"fps": 96, "frames": [1, 96], "nodes": [)" + nodes + R"(
     {"name": "solver", "type": "Taluno", "inputs": ["floor", "west", "east", "north", "south", "water"],
      "preset": "water", "parms": {"particleRadius": 0.015, "sceneScale": 1}}],
    "output": {"node": "solver", "file": "out/f.$F4.ply"},
    "probes": {"node": "solver", "file": "gauges/p.csv",
               "points": {"deep": [0, 0.1, 0], "shallow": [0, 0.25, 0], "air": [0, 0.5, 0]}}})");
  const Result r = taluno(folder.path, "run scene.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream in(folder.path / "gauges/p.csv");
  std::string line;
  std::getline(in, line);
  std::string header = "frame,time_s,air_Pa,deep_Pa,shallow_Pa";
  for (char const* object : {"floor", "west", "east", "north", "south"})
    for (char const* axis : {"x", "y", "z"})
      header += std::string(",") + object + "_F" + axis + "_N";
  EXPECT_EQ(line, header);
  int rows = 0;
  // Means over the last half second of each column after the time.
  std::vector<double> late(3 + 15, 0.0);
  while (std::getline(in, line)) {
    std::vector<double> row;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');)
      row.push_back(std::stod(cell));
    ASSERT_EQ(row.size(), 2 + late.size()) << line;
    EXPECT_EQ(int(row[0]), ++rows);
    EXPECT_NEAR(row[1], (row[0] - 1) / 96.0, 1e-6);
    if (row[0] > 48)
      for (size_t k = 0; k < late.size(); ++k)
        late[k] += row[2 + k] / 48;
  }
  EXPECT_EQ(rows, 96);
  const double air = late[0], deep = late[1], shallow = late[2];
  EXPECT_EQ(air, 0.0);
  const double rise = (deep - shallow) / (1000 * 9.80665 * 0.15);
  EXPECT_GT(rise, 0.8) << deep << " " << shallow;
  EXPECT_LT(rise, 1.25) << deep << " " << shallow;

  std::ifstream first(folder.path / "out/f.0001.ply", std::ios::binary);
  int particles = 0;
  for (std::string word; first >> word && word != "end_header";)
    if (word == "vertex")
      first >> particles;
  ASSERT_EQ(particles, 9 * 13 * 9);
  const double volume = particles * 0.03 * 0.03 * 0.03, depth = volume / ((2 * w) * (2 * w));
  const double weight = 998 * volume * 9.80665;
  double down = 0.0;
  for (int object = 0; object < 5; ++object)
    down += late[3 + 3 * object + 1];
  EXPECT_NEAR(down, -weight, 0.05 * weight);
  const double push = 0.5 * 998 * 9.80665 * depth * depth * (2 * w);
  EXPECT_NEAR(late[3 + 3 * 1 + 0], -push, 0.15 * push); // west, outwards along -x
  EXPECT_NEAR(late[3 + 3 * 2 + 0], push, 0.15 * push);  // east
  EXPECT_NEAR(late[3 + 3 * 3 + 2], -push, 0.15 * push); // north, along -z
  EXPECT_NEAR(late[3 + 3 * 4 + 2], push, 0.15 * push);  // south
}

TEST(TalunoProgram, PreviewsFrameScenesOfAnySize)
{
  // A 12 cm block of grains seen from where the preview puts its camera: the
  // block fills a good part of the picture, as a 12 m block does.
  for (double size : {0.12, 12.0}) {
    Folder folder;
    const std::string s = std::to_string(size), r = std::to_string(size / 24);
    folder.write("scene.json", R"({"fps": 24, "frames": [1, 1], "nodes": [
      {"name": "grainBox", "type": "box", "parms": {"size": [)" + s + ", " + s + ", " + s + R"(]}},
      {"name": "grains", "type": "EmitterObject", "inputs": ["grainBox"], "parms": {"nature": "granular"}},
      {"name": "solver", "type": "Taluno", "inputs": ["grains"], "parms": {"particleRadius": )" + r + R"(}}],
      "output": {"node": "solver", "file": "out/g.$F.geo"}})");
    const Result run = taluno(folder.path, "run scene.json --quiet --preview auto");
    ASSERT_EQ(run.status, 0) << run.output;
    int width = 0, height = 0;
    const auto pixels = readPicture(folder.path / "out/preview/frame.0001.png", width, height);
    ASSERT_EQ(pixels.size(), size_t(640 * 480 * 3));
    size_t sand = 0;
    for (size_t p = 0; p < pixels.size(); p += 3)
      sand += pixels[p] > pixels[p + 2] + 40;
    EXPECT_GT(double(sand) / (640 * 480), 0.1) << "block of " << size;
  }
}

TEST(TalunoProgram, PreviewsShowCollidersAndParticlesWhereTheyAre)
{
  Folder folder;
  // Seen from straight ahead at 10 units with a 40 degree field: a point
  // (x, y, z) is at pixel (320 + f x / (10 - z), 240 - f y / (10 - z)).
  const double f = 240 / std::tan(20 * 3.14159265358979 / 180);
  folder.write("scene.json", R"({"fps": 24, "frames": [1, 1],
   "nodes": [
    {"name": "slabBox", "type": "box", "parms": {"size": [4, 1, 1], "t": [0, -2, 0]}},
    {"name": "slab", "type": "CollisionObject", "inputs": ["slabBox"]},
    {"name": "grainBox", "type": "box", "parms": {"size": [1.5, 1.5, 1.5], "t": [2, 2, 0]}},
    {"name": "grains", "type": "EmitterObject", "inputs": ["grainBox"], "parms": {"nature": "granular"}},
    {"name": "behindBox", "type": "box", "parms": {"size": [1, 0.6, 0.6], "t": [-1.2, -2, -2]}},
    {"name": "behind", "type": "EmitterObject", "inputs": ["behindBox"], "parms": {"nature": "granular"}},
    {"name": "solver", "type": "Taluno", "inputs": ["slab", "grains", "behind"],
     "parms": {"particleRadius": 0.1, "springs": 0, "gravity": 0}}],
   "output": {"node": "solver", "file": "out/g.$F.geo"},
   "camera": {"position": [0, 0, 10], "target": [0, 0, 0], "fov": 40}})");
  Result r = taluno(folder.path, "run scene.json --quiet --preview auto");
  ASSERT_EQ(r.status, 0) << r.output;
  int width = 0, height = 0;
  const auto pixels = readPicture(folder.path / "out/preview/frame.0001.png", width, height);
  ASSERT_EQ(pixels.size(), size_t(640 * 480 * 3));
  auto at = [&](double x, double y, double z) {
    const int px = int(320 + f * x / (10 - z)), py = int(240 - f * y / (10 - z));
    unsigned char const* p = &pixels[(size_t(py) * width + px) * 3];
    return std::array<int, 3>{p[0], p[1], p[2]};
  };
  auto grey = [](std::array<int, 3> c) { return std::abs(c[0] - c[2]) < 12 && c[0] > 80; };
  auto sand = [](std::array<int, 3> c) { return c[0] > c[2] + 40; };
  auto background = [](std::array<int, 3> c) { return c[0] < 70 && c[2] > c[0]; };
  // The collider's face, with nothing behind it, is opaque grey.
  EXPECT_TRUE(grey(at(1.5, -2, 0.5))) << at(1.5, -2, 0.5)[0];
  // The grains in front of nothing, where they were emitted.
  EXPECT_TRUE(sand(at(2, 2, 0.75))) << at(2, 2, 0.75)[0] << " " << at(2, 2, 0.75)[2];
  // Grains behind the collider show through it, tinted.
  const auto tinted = at(-1.2, -2, -2);
  EXPECT_GT(tinted[0], tinted[2] + 15) << tinted[0] << " " << tinted[2];
  // And nothing elsewhere.
  EXPECT_TRUE(background(at(-3, 3, 0)));
  EXPECT_TRUE(background(at(0, 0, 0)));

  // A movie needs ffmpeg: without it the run is refused before simulating.
  r = runCommand("cd '" + folder.path.string() + "' && PATH=/nonexistent '" TALUNO_PROGRAM
                 "' run scene.json --quiet --movie m.mp4 2>&1");
  EXPECT_EQ(r.status, 4) << r.output;
  EXPECT_NE(r.output.find("needs ffmpeg"), std::string::npos) << r.output;
  r = taluno(folder.path, "run scene.json --quiet --movie m.avi");
  EXPECT_EQ(r.status, 2) << r.output;
  if (runCommand("command -v ffmpeg").status != 0)
    GTEST_SKIP() << "ffmpeg is not installed: the movie itself is not checked";
  r = taluno(folder.path, "run scene.json --quiet --frames 1-3 --movie m.mp4");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream movie(folder.path / "m.mp4", std::ios::binary);
  char head[12] = {};
  movie.read(head, 12);
  EXPECT_EQ(std::string(head + 4, 4), "ftyp");
  EXPECT_EQ(countFiles(folder.path / "out/preview", ".png"), 3);
}

TEST(TalunoProgram, TubesEmitAndMergesKeepObjectIds)
{
  Folder folder;
  folder.write("scene.json", R"({"frames": [1, 2], "nodes": [
    {"name": "floorBox", "type": "box", "parms": {"size": [12, 1, 12], "t": [0, -0.5, 0]}},
    {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"]},
    {"name": "t", "type": "tube", "parms": {"t": [0, 4, 0], "radius": 2, "height": 4, "divisions": 24}},
    {"name": "e", "type": "EmitterObject", "inputs": ["t"], "parms": {"nature": "granular"}},
    {"name": "both", "type": "merge", "inputs": ["floor", "e"]},
    {"name": "s", "type": "Taluno", "inputs": ["both"], "parms": {"springs": 0}}],
    "output": {"node": "s", "file": "o.$F.geo"}})");
  const Result r = taluno(folder.path, "run scene.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream in(folder.path / "o.1.geo");
  // The merge keeps the first input's object id, as the host's merge does;
  // the emitter behind it is not seen, so nothing is emitted.
  EXPECT_EQ(field(json::parse(in), "pointcount"), 0);

  folder.write("scene2.json", R"({"frames": [1, 2], "nodes": [
    {"name": "t", "type": "tube", "parms": {"t": [0, 4, 0], "radius": 2, "height": 4, "divisions": 24}},
    {"name": "e", "type": "EmitterObject", "inputs": ["t"], "parms": {"nature": "granular"}},
    {"name": "moved", "type": "merge", "inputs": ["e"]},
    {"name": "s", "type": "Taluno", "inputs": ["moved"], "parms": {"springs": 0}}],
    "output": {"node": "s", "file": "p.$F.geo"}})");
  ASSERT_EQ(taluno(folder.path, "run scene2.json --quiet").status, 0);
  std::ifstream in2(folder.path / "p.1.geo");
  EXPECT_EQ(field(json::parse(in2), "pointcount"), 27); // the emitter's UID reached the solver through the merge
}

TEST(TalunoProgram, WritesVtkFramesAndATimeSeries)
{
  Folder folder;
  folder.write("scene.json", grainScene("vtk/grains.$F4.vtp", 3));
  const Result r = taluno(folder.path, "run scene.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream pvd(folder.path / "vtk/grains.pvd");
  std::stringstream collection;
  collection << pvd.rdbuf();
  for (char const* file : {"grains.0001.vtp", "grains.0002.vtp", "grains.0003.vtp"})
    EXPECT_NE(collection.str().find(std::string("file=\"") + file + "\""), std::string::npos) << collection.str();
  EXPECT_NE(collection.str().find("timestep=\"0.0833333\""), std::string::npos);
  std::ifstream vtp(folder.path / "vtk/grains.0003.vtp");
  std::stringstream text;
  text << vtp.rdbuf();
  for (char const* expected : {"type=\"PolyData\"", "NumberOfPoints=\"27\"", "NumberOfVerts=\"27\"", "Name=\"v\"",
                               "Name=\"ID\"", "Name=\"connectivity\"", "Name=\"offsets\"", "</VTKFile>"})
    EXPECT_NE(text.str().find(expected), std::string::npos) << expected;
}

TEST(TalunoProgram, VtkReadsEveryFrameOfTheSeries)
{
  Folder folder;
  folder.write("scene.json", grainScene("vtk/grains.$F4.vtp", 3, R"(, "colorData": "velocity")"));
  const Result r = taluno(folder.path, "run scene.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  // VTK's Python module comes with Debian's python3-vtk9, for Debian's own interpreter.
  for (std::string interpreter : {std::string(TALUNO_PYTHON), std::string("/usr/bin/python3")}) {
    if (interpreter.empty() || !fs::exists(interpreter))
      continue;
    const Result read = runReader(interpreter, "vtk_series.py", folder.path / "vtk/grains.pvd");
    if (read.status == 3)
      continue;
    ASSERT_EQ(read.status, 0) << read.output;
    const json frames = json::parse(read.output);
    ASSERT_EQ(frames.size(), 3u);
    for (int f = 0; f < 3; ++f) {
      EXPECT_NEAR(frames[f]["time"].get<double>(), f / 24.0, 1e-5); // frame 1 is time 0
      EXPECT_EQ(frames[f]["points"], 27);
      EXPECT_EQ(frames[f]["verts"], 27);
      EXPECT_EQ(frames[f]["arrays"], json({"Cd", "ID", "TalunoGranular", "TalunoLiquid", "TalunoSoftBody", "age",
                                           "density", "material", "pressure", "pscale", "v"}));
    }
    return;
  }
  GTEST_SKIP() << "VTK's Python module is not installed (Debian package python3-vtk9); the .vtp series was not "
                  "opened with VTK";
}

TEST(TalunoProgram, BinaryGeoHoldsTheTreeOfTheTextGeo)
{
  Folder folder;
  // Spheres, colours and rotation attributes: every kind of attribute and primitive the solver writes.
  const std::string extra = R"(, "type": "spheres", "colorData": "velocity", "enableRotations": 1, )"
                            R"("addRotAttribs": 1, "interParticlesCollMode": "subParticles")";
  folder.write("text.json", grainScene("text.$F.geo", 3, extra));
  folder.write("binary.json", grainScene("binary.$F.bgeo", 3, extra));
  ASSERT_EQ(taluno(folder.path, "run text.json --quiet").status, 0);
  const Result r = taluno(folder.path, "run binary.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream bytes(folder.path / "binary.3.bgeo", std::ios::binary);
  char magic[5] = {};
  bytes.read(magic, 5);
  EXPECT_EQ(std::string(magic, 5), "\x7fNSJb");
  std::ifstream text(folder.path / "text.3.geo");
  const json geo = json::parse(text);
  EXPECT_FALSE(pointValues(geo, "rot").is_null());
  EXPECT_FALSE(pointValues(geo, "Cd").is_null());

  if (std::string(TALUNO_PYTHON).empty()) {
    GTEST_SKIP() << "no Python interpreter; the .bgeo frames were not decoded independently";
  }
  for (int f = 1; f <= 3; ++f) {
    const Result decoded =
        runReader(TALUNO_PYTHON, "bgeo_to_json.py", folder.path / ("binary." + std::to_string(f) + ".bgeo"));
    ASSERT_EQ(decoded.status, 0) << decoded.output;
    std::ifstream in(folder.path / ("text." + std::to_string(f) + ".geo"));
    EXPECT_TRUE(sameTree(json::parse(decoded.output), json::parse(in))) << "frame " << f;
  }
}

TEST(TalunoProgram, FileNodesReadBinaryGeo)
{
  Folder folder;
  auto scene = [](std::string const& input, std::string const& output) {
    return R"({"frames": [1, 1], "nodes": [)" + input + R"(], "output": {"node": "in", "file": ")" + output + "\"}}";
  };
  folder.write("box.json", scene(R"({"name": "in", "type": "tube", "parms": {"radius": 2, "divisions": 7}})",
                                 "tube.bgeo"));
  folder.write("copy.json", scene(R"({"name": "in", "type": "file", "parms": {"file": "tube.bgeo"}})", "copy.geo"));
  folder.write("text.json", scene(R"({"name": "in", "type": "tube", "parms": {"radius": 2, "divisions": 7}})",
                                  "tube.geo"));
  for (char const* run : {"run box.json --quiet", "run copy.json --quiet", "run text.json --quiet"}) {
    const Result r = taluno(folder.path, run);
    ASSERT_EQ(r.status, 0) << run << ": " << r.output;
  }
  std::ifstream copy(folder.path / "copy.geo"), direct(folder.path / "tube.geo");
  const json a = json::parse(copy), b = json::parse(direct);
  EXPECT_EQ(field(a, "pointcount"), field(b, "pointcount"));
  EXPECT_EQ(field(a, "primitivecount"), field(b, "primitivecount"));
  EXPECT_TRUE(sameTree(pointValues(a, "P"), pointValues(b, "P")));

  // A damaged file is refused with its name, not read past its end.
  std::string damaged;
  {
    std::ifstream in(folder.path / "tube.bgeo", std::ios::binary);
    damaged.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::ofstream(folder.path / "tube.bgeo", std::ios::binary) << damaged.substr(0, damaged.size() / 2);
  const Result r = taluno(folder.path, "run copy.json --quiet");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("tube.bgeo"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("not valid binary .geo"), std::string::npos) << r.output;
}

TEST(TalunoProgram, CheckReportsUnusableSettingsBeforeARun)
{
  struct Case
  {
    std::string scene;
    int status;
    char const* message;
  };
  const std::string grains = grainScene("out/g.$F.geo");
  const std::vector<Case> cases = {
      {grainScene("out/g.$F.geo", 6, R"(, "reset": 10)"), 2,
       "node \"solver\": its reset frame 10 is after the last frame 6, so its simulation would never start"},
      {replaced(grains, R"("fps": 24)", R"("fps": 0)"), 2, "\"fps\" must be a positive number"},
      {grainScene("out/g.$F.geo", 6, R"(, "particleRadius": 0)"), 5,
       "node \"solver\": Particle Radius (particleRadius) is 0: it must be greater than 0"},
      {grainScene("out/g.$F.geo", 6, R"(, "particlesInteractionRadius": -1)"), 5,
       "Interaction Radius (particlesInteractionRadius) is -1"},
      {grainScene("out/g.$F.geo", 6, R"(, "subSteps": 0)"), 5, "SubSteps (subSteps) is 0: it must be at least 1"},
      {grainScene("out/g.$F.geo", 6, R"(, "particleRadius": 0.00001)"), 5,
       "node \"solver\": emitter \"grains\": filling it at Particle Radius 1e-05 would test"},
      {replaced(grains, R"("size": [12, 1, 12])", R"("size": [1e39, 1, 12])"), 5,
       "node \"floor\": the input geometry has 8 points with non-finite coordinates"},
      {replaced(grains, R"("friction": 2000)", R"("friction": 2000, "nbKdTreeReturnedVertices": -1)"), 5,
       "node \"floor\": Number KdTree Returned Vertices (nbKdTreeReturnedVertices) is -1: it must be 0"},
      {replaced(grains, R"("nature": "granular")", R"("nature": "granular", "nbKdTreeReturnedVertices": -3)"), 5,
       "node \"grains\": Number KdTree Returned Vertices (nbKdTreeReturnedVertices) is -3"},
  };
  for (Case const& c : cases) {
    Folder folder;
    folder.write("scene.json", c.scene);
    const Result checked = taluno(folder.path, "check scene.json");
    EXPECT_EQ(checked.status, c.status) << checked.output;
    EXPECT_NE(checked.output.find(c.message), std::string::npos) << checked.output;
    // A run stops on the same problem before writing anything.
    const Result ran = taluno(folder.path, "run scene.json --quiet");
    EXPECT_EQ(ran.status, c.status) << ran.output;
    EXPECT_TRUE(!fs::exists(folder.path / "out") || fs::is_empty(folder.path / "out")) << c.message;
  }

  // A mesh without triangles is accepted, with a warning said once.
  Folder folder;
  folder.write("points.obj", "v 0 0 0\nv 1 0 0\n");
  folder.write("scene.json", replaced(grains, R"("name": "floorBox", "type": "box", "parms": {"size": [12, 1, 12], "t": [0, -0.5, 0]})",
                                      R"("name": "floorBox", "type": "file", "parms": {"file": "points.obj"})"));
  const Result checked = taluno(folder.path, "check scene.json");
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_NE(checked.output.find("warning: node \"floor\": the input geometry has no triangles"), std::string::npos)
      << checked.output;
  const Result ran = taluno(folder.path, "run scene.json --quiet");
  EXPECT_EQ(ran.status, 0) << ran.output;
  const std::string warning = "warning: node \"floor\"";
  EXPECT_EQ(ran.output.find(warning), ran.output.rfind(warning)) << ran.output;
}

TEST(TalunoProgram, KilledRunsLeaveOnlyCompleteFilesAndRerunsContinue)
{
  Folder folder;
  folder.write("scene.json", grainScene("out/f.$F5.bgeo", 100000));
  // Files left by writers that no longer run, as a kill mid-write leaves
  // them: one of this machine whose process is gone, one of another machine
  // an hour old. A recent one of another machine may be a live run's.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string token;
  for (char const* c = host; *c; ++c)
    token += (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-') ? *c : '_';
  fs::create_directories(folder.path / "out");
  const std::string gone = "out/f.00099.bgeo.part-" + token + "-4194303";
  folder.write(gone, "unfinished");
  folder.write("out/f.00098.bgeo.part-elsewhere-77", "unfinished");
  folder.write("out/f.00097.bgeo.part-elsewhere-78", "unfinished");
  fs::last_write_time(folder.path / "out/f.00097.bgeo.part-elsewhere-78",
                      fs::file_time_type::clock::now() - std::chrono::hours(2));
  const pid_t child = startTaluno(folder.path, "run scene.json --quiet");
  auto frameFiles = [&] { return countFiles(folder.path / "out", ".bgeo"); };
  waitForFiles(folder.path / "out", ".bgeo", 8);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(fs::exists(folder.path / gone)) << "the unfinished file was not removed";
  EXPECT_FALSE(fs::exists(folder.path / "out/f.00097.bgeo.part-elsewhere-78")) << "an hour old: abandoned";
  EXPECT_TRUE(fs::exists(folder.path / "out/f.00098.bgeo.part-elsewhere-77")) << "perhaps another machine's live run";
  fs::remove(folder.path / "out/f.00098.bgeo.part-elsewhere-77");

  int last = 0;
  for (auto const& entry : fs::directory_iterator(folder.path / "out"))
    if (entry.path().extension() == ".bgeo")
      last = std::max(last, std::stoi(entry.path().stem().string().substr(2)));
  ASSERT_GE(last, 8);
  EXPECT_EQ(frameFiles(), last) << "frames are written in order with none missing";
  // Every file with a final name is complete: the independent decoder reads
  // it to its end. The newest are the ones a kill could have cut short.
  char name[32];
  for (int f = std::max(1, last - 3); f <= last && !std::string(TALUNO_PYTHON).empty(); ++f) {
    std::snprintf(name, sizeof name, "out/f.%05d.bgeo", f);
    const Result decoded = runReader(TALUNO_PYTHON, "bgeo_to_json.py", folder.path / name);
    ASSERT_EQ(decoded.status, 0) << name << ": " << decoded.output;
    EXPECT_EQ(field(json::parse(decoded.output), "pointcount"), 27) << name;
  }

  // A rerun from the last frame written continues cleanly: it rewrites that
  // frame exactly as it was, and goes on from there.
  std::string before;
  std::snprintf(name, sizeof name, "out/f.%05d.bgeo", last);
  {
    std::ifstream in(folder.path / name, std::ios::binary);
    before.assign(std::istreambuf_iterator<char>(in), {});
  }
  const Result rerun =
      taluno(folder.path, "run scene.json --quiet --frames " + std::to_string(last) + "-" + std::to_string(last + 3));
  ASSERT_EQ(rerun.status, 0) << rerun.output;
  std::ifstream again(folder.path / name, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), before);
  EXPECT_EQ(frameFiles(), last + 3);
  for (auto const& entry : fs::directory_iterator(folder.path / "out"))
    if (entry.path().filename().string()[0] != '.' && entry.path().filename() != "checkpoints") {
      EXPECT_EQ(entry.path().extension(), ".bgeo") << entry.path();
    }
}

TEST(TalunoProgram, ExampleScenesPassTheirChecks)
{
  const fs::path root = fs::path(TALUNO_READERS).parent_path().parent_path().parent_path();
  std::vector<fs::path> scenes;
  for (auto const& entry : fs::directory_iterator(root / "examples"))
    scenes.push_back(entry.path());
  scenes.push_back(root / "bench/soak/soak.json");
  ASSERT_GE(scenes.size(), 5u);
  Folder folder;
  for (fs::path const& scene : scenes) {
    const Result r = taluno(folder.path, "check '" + scene.string() + "'");
    EXPECT_EQ(r.status, 0) << scene << ": " << r.output;
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << scene << ": " << r.output;
  }
}

namespace {

// The definition of a point attribute of a .geo file: its metadata list.
json attributeDefinition(json const& geo, std::string const& name)
{
  for (json const& a : field(field(geo, "attributes"), "pointattributes"))
    if (field(a[0], "name") == name)
      return a[0];
  return nullptr;
}

} // namespace

TEST(TalunoProgram, GeoFilesTypeTheirAttributesAndKeepDetailsWhereTheHostReadsThem)
{
  Folder folder;
  const std::string extra = R"(, "colorData": "velocity", "enableRotations": 1, "addRotAttribs": 1, )"
                            R"("interParticlesCollMode": "subParticles")";
  folder.write("scene.json", grainScene("g.$F.geo", 2, extra));
  ASSERT_EQ(taluno(folder.path, "run scene.json --quiet").status, 0);
  std::ifstream in(folder.path / "g.2.geo");
  const json geo = json::parse(in);
  json const attributes = field(geo, "attributes");
  EXPECT_FALSE(field(attributes, "globalattributes").is_null());
  EXPECT_TRUE(field(attributes, "detailattributes").is_null());
  for (auto const& [name, type] : std::map<std::string, std::string>{
           {"P", "point"}, {"v", "vector"}, {"Cd", "color"}, {"rot", "quaternion"}, {"av", "vector"}}) {
    const json options = field(attributeDefinition(geo, name), "options");
    ASSERT_TRUE(options.is_object()) << name;
    EXPECT_EQ(options.value("type", json::object()).value("value", ""), type) << name;
  }
  EXPECT_EQ(field(attributeDefinition(geo, "ID"), "options"), json::object()); // a plain number

  // A mesh read from a .geo with typed attributes and details under
  // "globalattributes" (the host's own layout) fills an emitter.
  folder.write("tetra.geo", R"(["fileversion","18.5.0","hasindex",false,"pointcount",4,"vertexcount",12,"primitivecount",4,
    "info",{},"topology",["pointref",["indices",[0,2,1,0,1,3,1,2,3,0,3,2]]],
    "attributes",["pointattributes",[[["scope","public","type","numeric","name","P","options",
      {"type":{"type":"string","value":"point"}}],["size",3,"storage","fpreal32","values",["size",3,"storage","fpreal32",
      "tuples",[[-3,0,-3],[3,0,-3],[0,0,3],[0,5,0]]]]]],
     "globalattributes",[[["scope","public","type","numeric","name","note","options",{}],["size",1,"storage","int32",
      "values",["size",1,"storage","int32","arrays",[[7]]]]]]],
    "primitives",[[["type","Poly"],["vertex",[0,1,2],"closed",true]],[["type","Poly"],["vertex",[3,4,5],"closed",true]],
      [["type","Poly"],["vertex",[6,7,8],"closed",true]],[["type","Poly"],["vertex",[9,10,11],"closed",true]]]])");
  folder.write("read.json", replaced(grainScene("r.$F.geo", 1), grainBox,
                                     R"("type": "file", "parms": {"file": "tetra.geo"})"));
  const Result read = taluno(folder.path, "run read.json --quiet");
  ASSERT_EQ(read.status, 0) << read.output;
  std::ifstream back(folder.path / "r.1.geo");
  EXPECT_GT(field(json::parse(back), "pointcount").get<int>(), 10);
}

TEST(TalunoProgram, PlyColoursAreBytesThatEveryReaderShows)
{
  Folder folder;
  folder.write("scene.json", grainScene("g.$F.ply", 4, R"(, "colorData": "velocity", "colorDataInterval": [0, 8])"));
  ASSERT_EQ(taluno(folder.path, "run scene.json --quiet").status, 0);
  const fs::path ply = folder.path / "g.4.ply";
  if (std::string(TALUNO_PYTHON).empty())
    GTEST_SKIP() << "no Python interpreter; the PLY file was not parsed independently";
  // A strict parser written from the format's description.
  const Result strict = runReader(TALUNO_PYTHON, "ply_strict.py", ply);
  ASSERT_EQ(strict.status, 0) << strict.output;
  const json parsed = json::parse(strict.output);
  ASSERT_EQ(parsed["elements"].size(), 1u);
  std::map<std::string, std::string> types;
  for (json const& p : parsed["elements"][0]["properties"])
    types[p["name"]] = p["type"];
  for (char const* c : {"red", "green", "blue"}) {
    EXPECT_EQ(types[c], "uchar") << c;
    const json range = parsed["ranges"][c];
    EXPECT_GE(range[0].get<int>(), 0);
    EXPECT_LE(range[1].get<int>(), 255);
  }
  EXPECT_GT(parsed["ranges"]["red"][1].get<int>(), 0) << "falling grains: some red";
  EXPECT_EQ(parsed["ranges"]["green"], json({0, 0}));

  // VTK's PLY reader, the one ParaView uses, keeps the colour.
  for (std::string interpreter : {std::string(TALUNO_PYTHON), std::string("/usr/bin/python3")}) {
    if (!fs::exists(interpreter))
      continue;
    const Result vtk = runReader(interpreter, "vtk_ply.py", ply);
    if (vtk.status == 3)
      continue;
    ASSERT_EQ(vtk.status, 0) << vtk.output;
    const json read = json::parse(vtk.output);
    EXPECT_EQ(read["points"], 27);
    ASSERT_TRUE(read["arrays"].contains("RGB")) << read.dump();
    EXPECT_EQ(read["arrays"]["RGB"]["type"], "unsigned char");
    EXPECT_EQ(read["arrays"]["RGB"]["components"], 3);
    return;
  }
  GTEST_SKIP() << "VTK's Python module is not installed (Debian package python3-vtk9); the PLY file was not opened "
                  "with VTK";
}

TEST(TalunoProgram, CheckRefusesSetupsThatCannotWorkWithWhatToChange)
{
  struct Case
  {
    std::string scene;
    std::string arguments;
    int status;
    char const* message;
  };
  const std::string grains = grainScene("out/g.$F.geo");
  const std::vector<Case> cases = {
      {replaced(grains, R"("t": [0, 3, 0])", R"("t": 5)"), "", 2,
       "parameter \"t\" expects 3 values, [x, y, z], not one"},
      {replaced(grains, R"("nature": "granular")", R"("nature": 9)"), "", 2,
       "parameter \"nature\" has no item 9: give one of \"softBody\", \"liquid\", \"granular\""},
      {grainScene("out/g.geo"), "", 2, "output file \"out/g.geo\" has no $F, so frames 1 to 6 would each overwrite it"},
      {grainScene("out/g.$F.geo", 6, R"(, "subSteps": {"keys": [[1, 4], [5, 0]]})"), "", 5,
       "node \"solver\": SubSteps (subSteps) is 0 at frame 5: it must be at least 1 at every frame"},
      {grainScene("out/g.$F.geo", 6, R"(, "gravity": {"keys": [[1, -9.8], [4, -1e39]]})"), "", 5,
       "node \"solver\": Gravity (gravity) is -inf as the simulation reads it at frame 3"},
  };
  for (Case const& c : cases) {
    Folder folder;
    folder.write("scene.json", c.scene);
    const Result checked = taluno(folder.path, "check scene.json");
    EXPECT_EQ(checked.status, c.status) << checked.output;
    EXPECT_NE(checked.output.find(c.message), std::string::npos) << checked.output;
    const Result ran = taluno(folder.path, "run scene.json --quiet");
    EXPECT_EQ(ran.status, c.status) << ran.output;
    EXPECT_TRUE(!fs::exists(folder.path / "out") || fs::is_empty(folder.path / "out")) << c.message;
  }
  // One frame to one file is fine.
  Folder single;
  single.write("scene.json", grainScene("one.geo"));
  EXPECT_EQ(taluno(single.path, "run scene.json --quiet --frames 3-3").status, 0);
  EXPECT_TRUE(fs::exists(single.path / "one.geo"));
}

TEST(TalunoProgram, CheckWarnsAboutOpenSurfacesAndInputsThatAreNotObjects)
{
  Folder folder;
  std::string scene = replaced(grainScene("out/g.$F.geo"),
                               R"("name": "floorBox", "type": "box", "parms": {"size": [12, 1, 12], "t": [0, -0.5, 0]})",
                               R"("name": "floorBox", "type": "grid", "parms": {"size": [12, 12], "rows": 4})");
  scene = replaced(scene, R"("inputs": ["floor", "grains"])", R"("inputs": ["floor", "grains", "grainBox"])");
  folder.write("scene.json", scene);
  const Result checked = taluno(folder.path, "check scene.json");
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_NE(checked.output.find("warning: node \"floor\": the input geometry is an open surface: 16 of its edges "
                                "border a single triangle"),
            std::string::npos)
      << checked.output;
  EXPECT_NE(checked.output.find("warning: node \"solver\": input 3 (node \"grainBox\") is neither a collision object "
                                "nor an emitter, and is ignored"),
            std::string::npos)
      << checked.output;
  // Notes: what each emitter makes and what it costs.
  EXPECT_NE(checked.output.find("node \"solver\": emitter \"grains\" makes 27 particles at the reset frame"),
            std::string::npos)
      << checked.output;
  EXPECT_NE(checked.output.find("27 particles at the reset frame need about"), std::string::npos) << checked.output;
}

TEST(TalunoProgram, CommandLineMistakesExitTwoAndTheVersionIsOneFlagAway)
{
  Folder folder;
  folder.write("scene.json", grainScene("out/g.$F.geo"));
  const Result version = taluno(folder.path, "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("taluno ", 0), 0u) << version.output;
  for (char const* arguments : {"run scene.json --bogus", "check", "run scene.json --frames", "frobnicate"}) {
    const Result r = taluno(folder.path, arguments);
    EXPECT_EQ(r.status, 2) << arguments << ": " << r.output;
  }
  for (char const* threads : {"0", "-3", "100000", "two"}) {
    const Result r = taluno(folder.path, std::string("run scene.json --threads ") + threads);
    EXPECT_EQ(r.status, 2) << threads;
    EXPECT_NE(r.output.find("must be a whole number from 1 to 1024, not " + std::string(threads)), std::string::npos)
        << r.output;
  }
}

TEST(TalunoProgram, LogsGetAProgressLineWhenOneIsOverdue)
{
  Folder folder;
  folder.write("scene.json", grainScene("out/g.$F.geo", 5));
  // Standard error is a pipe here, not a terminal: a log.
  const Result every = taluno(folder.path, "run scene.json");
  EXPECT_EQ(std::count(every.output.begin(), every.output.end(), '\n'), 3) << every.output; // frames 1 and 5, the end
  const Result overdue = runCommand("cd '" + folder.path.string() + "' && TALUNO_PROGRESS_SECONDS=0 '" TALUNO_PROGRAM
                                    "' run scene.json 2>&1");
  EXPECT_NE(overdue.output.find("frame 3 (3 of 5)"), std::string::npos) << overdue.output;
}

TEST(TalunoProgram, TheJellyExampleWritesTheSphereRadiusItsDescriptionPromises)
{
  Folder folder;
  const fs::path examples = fs::path(TALUNO_READERS).parent_path().parent_path().parent_path() / "examples";
  const Result r = taluno(folder.path, "run '" + (examples / "jelly-slope.json").string() + "' --frames 1-1 --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream in(folder.path / "jelly-slope/frame.0001.ply", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find("property float pscale"), std::string::npos);
}

TEST(TalunoProgram, OddPathsAreRefusedSayingWhatTheyAre)
{
  Folder folder;
  fs::create_directories(folder.path / "folder.obj");
  fs::create_symlink(folder.path / "loopB.obj", folder.path / "loopA.obj");
  fs::create_symlink(folder.path / "loopA.obj", folder.path / "loopB.obj");
  ASSERT_EQ(mkfifo((folder.path / "pipe.obj").c_str(), 0644), 0);
  struct Case
  {
    std::string path;
    char const* why;
  };
  for (Case const& c : {Case{"folder.obj", "it is a folder, not a file"},
                        Case{"loopA.obj", "its symbolic links form a loop"},
                        Case{"/dev/zero", "it is a device, not a regular file"},
                        Case{"pipe.obj", "it is a pipe (FIFO), not a regular file"}}) {
    // As a scene: a bad scene, status 2.
    const Result scene = runCommand("cd '" + folder.path.string() + "' && timeout 20 '" TALUNO_PROGRAM "' check '" +
                                    c.path + "' 2>&1");
    EXPECT_EQ(scene.status, 2) << c.path << ": " << scene.output;
    EXPECT_NE(scene.output.find(std::string("cannot read scene ") + c.path + ": " + c.why), std::string::npos)
        << scene.output;
    // As a mesh of a file node: that node fails, status 5.
    folder.write("scene.json", replaced(grainScene("out/g.$F.geo"), grainBox,
                                        R"("type": "file", "parms": {"file": ")" + c.path + "\"}"));
    const Result mesh = runCommand("cd '" + folder.path.string() + "' && timeout 20 '" TALUNO_PROGRAM
                                   "' check scene.json 2>&1");
    EXPECT_EQ(mesh.status, 5) << c.path << ": " << mesh.output;
    EXPECT_NE(mesh.output.find(std::string("cannot read geometry file ") + c.path + ": " + c.why), std::string::npos)
        << mesh.output;
  }
  // An empty TALUNO_PLUGIN is as if it were unset.
  folder.write("ok.json", grainScene("out/g.$F.geo"));
  EXPECT_EQ(runCommand("cd '" + folder.path.string() + "' && TALUNO_PLUGIN= '" TALUNO_PROGRAM "' check ok.json 2>&1")
                .status,
            0);
}

TEST(TalunoProgram, UnboundedObjectSettingsAreRefusedOrBounded)
{
  struct Case
  {
    std::string extra;
    int status;
    char const* message;
  };
  for (Case const& c : {
           Case{R"(, "errorThreshold": 0)", 5, "Error Threshold (errorThreshold) is 0.000000: it must be greater than 0"},
           Case{R"(, "maxDepth": 31)", 5, "Maximum Depth (maxDepth) is 31: it must be from 0 to 16"},
           Case{R"(, "maxDepth": 16, "errorThreshold": 0.0001)", 5, "may need up to"},
           Case{R"(, "nbKdTreeReturnedVertices": 1000000000)", 0, ""}, // as many as the mesh has
       }) {
    Folder folder;
    folder.write("scene.json",
                 replaced(grainScene("out/g.$F.geo"), R"("friction": 2000)", R"("friction": 2000)" + c.extra));
    const Result r = taluno(folder.path, "check scene.json");
    EXPECT_EQ(r.status, c.status) << c.extra << ": " << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
  }
}

TEST(TalunoProgram, FillsAreMeasuredAgainstTheMemoryTheProcessMayUse)
{
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves terabytes of address space and cannot start under ulimit -v";
#endif
  Folder folder;
  // Millions of lattice points, some GiB, under an address-space limit of
  // 2 GiB of which the program itself takes part: refused before filling.
  folder.write("scene.json", grainScene("out/g.$F.geo", 6, R"(, "particleRadius": 0.01)"));
  const Result r = runCommand("cd '" + folder.path.string() + "' && ulimit -v 2000000 && '" TALUNO_PROGRAM
                              "' check scene.json 2>&1");
  EXPECT_EQ(r.status, 5) << r.output;
  EXPECT_NE(r.output.find("GiB of memory this process may still use"), std::string::npos) << r.output;
}

TEST(TalunoProgram, SlowFramesStopAtCtrlCAndSignalsEndRunsAtOnce)
{
  // A frame of two million sub-steps takes seconds; the first Ctrl-C stops
  // it at its next sub-step, keeps the frames before it and writes nothing
  // of it.
  Folder folder;
  folder.write("scene.json", grainScene("out/g.$F.geo", 4, R"(, "subSteps": 2000000)"));
  pid_t child = startTaluno(folder.path, "run scene.json --quiet");
  waitForFiles(folder.path / "out", ".geo", 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto sent = std::chrono::steady_clock::now();
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_LT(waited, 30.0) << "the frame ran to its end";
  EXPECT_EQ(countFiles(folder.path / "out", ".geo"), 1);
  for (auto const& entry : fs::directory_iterator(folder.path / "out"))
    EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();

  // SIGTERM ends the run at once.
  Folder other;
  other.write("scene.json", grainScene("out/g.$F.geo", 4, R"(, "subSteps": 2000000)"));
  child = startTaluno(other.path, "run scene.json --quiet");
  waitForFiles(other.path / "out", ".geo", 1);
  kill(child, SIGTERM);
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
}

TEST(TalunoProgram, ASecondWriterOfTheSameOutputIsRefused)
{
  Folder folder;
  folder.write("scene.json", grainScene("out/g.$F.geo", 100000));
  const pid_t first = startTaluno(folder.path, "run scene.json --quiet");
  waitForFiles(folder.path / "out", ".geo", 2);
  const Result second = taluno(folder.path, "run scene.json --quiet");
  kill(first, SIGKILL);
  int status = 0;
  waitpid(first, &status, 0);
  EXPECT_EQ(second.status, 4) << second.output;
  EXPECT_NE(second.output.find("another taluno (process " + std::to_string(first)), std::string::npos)
      << second.output;
  // Once the first is gone, its claim is too.
  const Result third = taluno(folder.path, "run scene.json --quiet --frames 1-2");
  EXPECT_EQ(third.status, 0) << third.output;
}

TEST(TalunoProgram, OneRunWritesParticlesAndTheLiquidSurfaceLeavingGhostsOutOfPly)
{
  Folder folder;
  folder.write("scene.json", R"({"frames": [1, 3], "nodes": [
    {"name": "floorBox", "type": "box", "parms": {"size": [12, 1, 12], "t": [0, -0.5, 0]}},
    {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"], "preset": "wall"},
    {"name": "waterBox", "type": "box", "parms": {"size": [3, 2, 3], "t": [0, 1.25, 0]}},
    {"name": "water", "type": "EmitterObject", "inputs": ["waterBox"], "preset": "water"},
    {"name": "solver", "type": "Taluno", "inputs": ["floor", "water"], "preset": "water",
     "parms": {"particleRadius": 0.25, "showGhostParticles": true}},
    {"name": "surface", "type": "surface", "inputs": ["solver"]}],
   "output": [{"node": "solver", "file": "out/p.$F.ply"}, {"node": "solver", "file": "out/all.$F.ply", "ghosts": true},
              {"node": "surface", "file": "out/s.$F.ply"}, {"node": "surface", "file": "out/s.$F.vdb"}]})");
  const Result r = taluno(folder.path, "run scene.json --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  auto header = [&](std::string const& name) {
    std::ifstream in(folder.path / "out" / name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.substr(0, bytes.find("end_header"));
  };
  auto count = [](std::string const& text, std::string const& element) {
    const size_t at = text.find("element " + element + " ");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + 9 + element.size()));
  };
  const long particles = count(header("p.3.ply"), "vertex");
  const long withGhosts = count(header("all.3.ply"), "vertex");
  EXPECT_GT(particles, 0);
  EXPECT_GT(withGhosts, particles) << "the liquid on the floor has ghosts";
  EXPECT_GT(count(header("s.3.ply"), "face"), 100) << "the surface as PLY faces";
  EXPECT_TRUE(fs::exists(folder.path / "out/s.3.vdb"));
}

namespace {

// All three materials in one solver, ghosts shown, a static, a moving and a
// deforming collider, and a continuous emitter: everything a checkpoint must
// carry. `extra` adds solver parameters.
std::string everythingScene(std::string const& file, std::string const& extra = "")
{
  return R"({"fps": 24, "frames": [1, 12],
 "nodes": [
  {"name": "floorBox", "type": "box", "parms": {"size": [10, 1, 10], "t": [0, -0.5, 0]}},
  {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"], "preset": "wall"},
  {"name": "paddleBox", "type": "box", "parms": {"size": [1, 1, 4], "t": [0, 0.5, 0]}},
  {"name": "paddle", "type": "CollisionObject", "inputs": ["paddleBox"],
   "parms": {"hint": "movingGeometry", "maxDepth": 5, "translation": ["sin($F * 20) * 2", 0, 0]}},
  {"name": "bumpBox", "type": "box", "parms": {"size": [2, 1, 2], "t": [3, 0.5, 3]}},
  {"name": "bumpMoved", "type": "transform", "inputs": ["bumpBox"], "parms": {"t": [0, "$F * 0.02", 0]}},
  {"name": "bump", "type": "CollisionObject", "inputs": ["bumpMoved"], "parms": {"hint": "deformingGeometry", "maxDepth": 5}},
  {"name": "waterBox", "type": "box", "parms": {"size": [2, 2, 2], "t": [-2.5, 2, -2.5]}},
  {"name": "water", "type": "EmitterObject", "inputs": ["waterBox"], "preset": "water"},
  {"name": "jellyBox", "type": "box", "parms": {"size": [1.5, 1.5, 1.5], "t": [2.5, 3, -2.5]}},
  {"name": "jelly", "type": "EmitterObject", "inputs": ["jellyBox"], "preset": "jelly"},
  {"name": "spout", "type": "box", "parms": {"size": [1, 1, 1], "t": [0, 4, 2.5]}},
  {"name": "sand", "type": "EmitterObject", "inputs": ["spout"], "preset": "sand",
   "parms": {"emit": "continuousEmission", "v": [0, -3, 0]}},
  {"name": "solver", "type": "Taluno", "inputs": ["floor", "paddle", "bump", "water", "jelly", "sand"],
   "preset": ["water", "jelly", "sand"], "parms": {"particleRadius": 0.2, "showGhostParticles": 1)" +
         extra + R"(}}
 ],
 "output": {"node": "solver", "file": ")" + file + R"("}})";
}

std::string fileBytes(fs::path const& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every frame file of `reference` has a byte-identical twin in `resumed`.
void expectSameFrames(fs::path const& reference, fs::path const& resumed, int frames)
{
  for (int f = 1; f <= frames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "f.%04d.bgeo", f);
    ASSERT_TRUE(fs::exists(resumed / name)) << name;
    EXPECT_TRUE(fileBytes(reference / name) == fileBytes(resumed / name)) << name << " differs";
  }
}

} // namespace

TEST(Checkpoints, AKilledRunResumesWritingTheFramesAnUninterruptedRunWrites)
{
  Folder folder;
  // Many sub-steps make frames slow enough to kill a run between them.
  const std::string slow = R"(, "subSteps": 150)";
  folder.write("reference.json", everythingScene("ref/f.$F4.bgeo", slow));
  folder.write("scene.json", everythingScene("out/f.$F4.bgeo", slow));
  Result r = taluno(folder.path, "run reference.json --quiet --threads 2 --checkpoint-every 0 --preview auto");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(fs::exists(folder.path / "ref/checkpoints")) << "--checkpoint-every 0 writes none";

  // Killed between frames after its checkpoint at frame 3, on two threads;
  // resumed on one.
  pid_t child = startTaluno(folder.path, "run scene.json --quiet --threads 2 --checkpoint-every 3 --preview auto");
  for (int i = 0; i < 4800 && countFiles(folder.path / "out", ".bgeo") < 5; ++i) // sanitizer builds are slow
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";
  ASSERT_LT(countFiles(folder.path / "out", ".bgeo"), 12);
  ASSERT_TRUE(fs::exists(folder.path / "out/checkpoints/scene.0003.ckpt"));
  // A checkpoint killed while being written is a temporary the resume
  // ignores; one cut short under its final name is skipped with a message.
  const std::string newest = fileBytes(folder.path / "out/checkpoints/scene.0003.ckpt");
  folder.write("out/checkpoints/scene.0009.ckpt", newest.substr(0, newest.size() / 2));
  folder.write("out/checkpoints/scene.0010.ckpt.part-host-1", newest.substr(0, 100));
  r = taluno(folder.path, "run scene.json --threads 1 --resume --preview auto");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("skipping checkpoint out/checkpoints/scene.0009.ckpt: damaged or cut short"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("resuming after frame"), std::string::npos) << r.output;
  expectSameFrames(folder.path / "ref", folder.path / "out", 12);
  // The pictures keep the camera of the run they continue.
  EXPECT_TRUE(fileBytes(folder.path / "ref/preview/frame.0012.png") ==
              fileBytes(folder.path / "out/preview/frame.0012.png"));

  // The run's end leaves a checkpoint, so a longer range continues it.
  EXPECT_TRUE(fs::exists(folder.path / "out/checkpoints/scene.0012.ckpt"));
  r = taluno(folder.path, "run scene.json --resume");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("nothing is left to simulate"), std::string::npos) << r.output;
  // Older ones are pruned to the newest two.
  EXPECT_EQ(countFiles(folder.path / "out/checkpoints", ".ckpt"), 2);
}

TEST(Checkpoints, DamagedForeignOrOutdatedCheckpointsAreRefusedWithTheReason)
{
  Folder folder;
  folder.write("scene.json", everythingScene("out/f.$F4.bgeo"));
  Result r = taluno(folder.path, "run scene.json --resume");
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("no checkpoint of this scene"), std::string::npos) << r.output;

  r = taluno(folder.path, "run scene.json --quiet --frames 1-4 --checkpoint-every 2");
  ASSERT_EQ(r.status, 0) << r.output;
  const fs::path saved = folder.path / "out/checkpoints/scene.0004.ckpt";
  const std::string good = fileBytes(saved);
  ASSERT_GT(good.size(), 1000u);

  // A flipped byte anywhere fails the checksum; the one before is used.
  std::string flipped = good;
  flipped[flipped.size() / 3] ^= 0x20;
  folder.write("out/checkpoints/scene.0004.ckpt", flipped);
  r = taluno(folder.path, "run scene.json --resume --frames 1-6 --quiet");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("scene.0004.ckpt: damaged or cut short"), std::string::npos) << r.output;

  // Nothing usable at all: refused, never a crash.
  for (auto const& entry : fs::directory_iterator(folder.path / "out/checkpoints"))
    fs::remove(entry.path());
  folder.write("out/checkpoints/scene.0004.ckpt", "TALUNOCK");
  folder.write("out/checkpoints/scene.0002.ckpt", std::string(5000, '\0'));
  r = taluno(folder.path, "run scene.json --resume --frames 1-6 --quiet");
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("not a taluno checkpoint"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("no usable checkpoint"), std::string::npos) << r.output;

  // A changed scene: refused naming the change, or with --force resumed
  // saying what differs.
  folder.write("out/checkpoints/scene.0004.ckpt", good);
  folder.write("scene.json", replaced(everythingScene("out/f.$F4.bgeo"), R"("particleRadius": 0.2)",
                                      R"("particleRadius": 0.25)"));
  r = taluno(folder.path, "run scene.json --resume --frames 1-6 --quiet");
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("node \"solver\": particleRadius was 0.2, is 0.25"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("--force"), std::string::npos) << r.output;
  r = taluno(folder.path, "run scene.json --resume --force --frames 1-6 --quiet");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("although the scene changed"), std::string::npos) << r.output;

  // check says where checkpoints go and how big they are.
  r = taluno(folder.path, "check scene.json");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("out/checkpoints/scene.0010.ckpt"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("MiB each"), std::string::npos) << r.output;
}

TEST(TalunoProgram, CheckEstimatesTheSubStepsAndTimeAndWarnsWhereTheCapWillStopTheRun)
{
  // A spout that switches on at frame 12: the estimate follows the liquid in.
  Folder folder;
  auto scene = [](std::string const& extra) {
    return R"({"fps": 24, "frames": [1, 20], "nodes": [
      {"name": "floorBox", "type": "box", "parms": {"size": [8, 1, 8], "t": [0, -0.5, 0]}},
      {"name": "floor", "type": "CollisionObject", "inputs": ["floorBox"], "preset": "wall"},
      {"name": "grainBox", "type": "box", "parms": {"size": [1, 1, 1], "t": [2, 1, 0]}},
      {"name": "grains", "type": "EmitterObject", "inputs": ["grainBox"], "preset": "sand"},
      {"name": "spoutBox", "type": "box", "parms": {"size": [0.8, 0.8, 0.8], "t": [0, 4, 0]}},
      {"name": "spout", "type": "EmitterObject", "inputs": ["spoutBox"], "preset": "water",
       "parms": {"emit": "continuousEmission", "v": [0, -3, 0], "active": {"keys": [[11, 0], [12, 1]]}}},
      {"name": "solver", "type": "Taluno", "inputs": ["floor", "grains", "spout"], "preset": ["water", "sand"],
       "parms": {"particleRadius": 0.15, "sceneScale": 1)" + extra + R"(}}],
      "output": {"node": "solver", "file": "f.$F4.geo"}})";
  };
  folder.write("scene.json", scene(""));
  Result r = taluno(folder.path, "check scene.json");
  EXPECT_EQ(r.status, 0) << r.output;
  std::smatch before, after;
  ASSERT_TRUE(std::regex_search(r.output, before, std::regex(R"(Automatic SubSteps will take about (\d+) a frame for frames 2 to 11)")))
      << r.output;
  ASSERT_TRUE(std::regex_search(r.output, after, std::regex(R"((\d+) a frame for frames 12 to 20 \(limited by the liquid's sound speed)")))
      << r.output;
  EXPECT_GT(std::stoi(after[1]), std::stoi(before[1]));
  const std::string needed = after[1]; // the matches point into r.output, replaced below
  EXPECT_NE(r.output.find("the run will take about"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;

  // Below what the liquid needs, the cap is named where it will bind.
  folder.write("scene.json", scene(R"(, "maxSubSteps": 30)"));
  r = taluno(folder.path, "check scene.json");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("warning: node \"solver\": Maximum SubSteps (maxSubSteps) 30 will stop the run at frame 12, "
                          "which needs about " + needed),
            std::string::npos)
      << r.output;
  // And the run stops there, saying so.
  r = taluno(folder.path, "run scene.json --quiet");
  EXPECT_EQ(r.status, 5) << r.output;
  EXPECT_NE(r.output.find("frame 12 failed to cook"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("more than Maximum SubSteps (maxSubSteps) 30"), std::string::npos) << r.output;
}
