// Scene files read into networks: presets and the keys a node may have.
#include "GeometryNodes.h"
#include "Operators.h"
#include "OP/OP_Network.h"
#include "OP/OP_Operator.h"
#include "Presets.h"
#include "Probes.h"
#include "SOP_CollisionObject.h"
#include "SOP_EmitterObject.h"
#include "SOP_Taluno.h"
#include "Scene.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

// Parses and checks scene text; the problems found, joined.
std::string problemsOf(std::string const& text, Operators const& ops, Scene& scene)
{
  std::vector<std::string> problems;
  if (parseScene(text, "scene", scene, problems))
    validateScene(scene, ops.table, problems);
  std::string all;
  for (std::string const& p : problems)
    all += p + "\n";
  return all;
}

std::string sceneWith(std::string const& solver, std::string const& emitter, std::string const& floor)
{
  return R"({"nodes": [
    {"name": "b", "type": "box"},
    {"name": "floor", "type": "CollisionObject", "inputs": ["b"])" + floor + R"(},
    {"name": "pour", "type": "EmitterObject", "inputs": ["b"])" + emitter + R"(},
    {"name": "solver", "type": "Taluno", "inputs": ["floor", "pour"])" + solver + R"(}],
   "output": {"node": "solver", "file": "out/f.$F4.geo"}})";
}

} // namespace

TEST(ScenePresets, AreAppliedFirstAndNodeParmsOverrideThem)
{
  Operators ops;
  Scene scene;
  const std::string text = sceneWith(R"(, "preset": ["water", "sand"], "parms": {"internalPressure": 100})",
                                     R"(, "preset": "sand")", R"(, "preset": "ground", "parms": {"friction": 5})");
  ASSERT_EQ(problemsOf(text, ops, scene), "");
  OP_Network network(ops.table);
  std::vector<std::string> problems;
  ASSERT_NE(buildNetwork(scene, network, problems), nullptr);
  OP_Node* solver = nullptr;
  OP_Node* pour = nullptr;
  OP_Node* floor = nullptr;
  for (OP_Node* n : network.nodes())
    (n->getName() == "solver" ? solver : n->getName() == "pour" ? pour : n->getName() == "floor" ? floor : n) = n;
  ASSERT_TRUE(solver && pour && floor);
  EXPECT_EQ(solver->evalInt("fluid", 0, 0.0), 1);                      // water
  EXPECT_EQ(solver->evalFloat("viscosity", 0, 0.0), 1);
  EXPECT_EQ(solver->evalFloat("internalPressure", 0, 0.0), 100);       // overridden
  EXPECT_EQ(solver->evalInt("interParticleCollisions", 0, 0.0), 1);    // sand
  EXPECT_EQ(solver->evalInt("enforceStaticFriction", 0, 0.0), 1);
  EXPECT_EQ(solver->evalInt("subSteps", 0, 0.0),
            std::max(findPreset("Taluno", "water")->parms["subSteps"].get<int>(),
                     findPreset("Taluno", "sand")->parms["subSteps"].get<int>())); // the larger
  EXPECT_EQ(solver->evalInt("adaptiveSubSteps", 0, 0.0), 1);
  EXPECT_EQ(pour->evalInt("nature", 0, 0.0), 2); // the menu's "granular"
  EXPECT_GT(pour->evalFloat("jitter", 0, 0.0), 0.0);
  EXPECT_EQ(floor->evalFloat("friction", 0, 0.0), 5);
  EXPECT_EQ(floor->evalInt("ghostParticles", 0, 0.0), 1);
}

TEST(ScenePresets, AndNodeKeysAreCheckedWithTheNearestNames)
{
  Operators ops;
  struct Case
  {
    std::string text;
    char const* message;
  };
  for (Case const& c : {
           Case{sceneWith(R"(, "preset": "watr")", "", ""),
                "node \"solver\" (Taluno): unknown preset \"watr\"; did you mean \"water\"?"},
           Case{sceneWith(R"(, "preset": ["water", "honey"])", "", ""),
                "presets \"water\" and \"honey\" both set the parameters of liquid particles: choose one of them"},
           Case{sceneWith("", R"(, "preset": ["sand"])", ""), "node \"pour\" (EmitterObject): \"preset\" must be a preset name"},
           Case{sceneWith("", "", R"(, "preset": "water")"), "node \"floor\" (CollisionObject): unknown preset \"water\""},
           Case{R"({"nodes": [{"name": "b", "type": "box", "preset": "water"}], "output": {"node": "b"}})",
                "node \"b\" (box): has no presets"},
           Case{sceneWith(R"(, "param": {"fluid": 1})", "", ""), "node 4 (solver): unknown key \"param\"; did you mean \"parms\"?"},
           Case{sceneWith(R"(, "input": ["floor"])", "", ""), "unknown key \"input\"; did you mean \"inputs\"?"},
       }) {
    Scene scene;
    const std::string problems = problemsOf(c.text, ops, scene);
    EXPECT_NE(problems.find(c.message), std::string::npos) << problems;
  }
}

#include "GeoIO.h"
#include "GeoReader.h"
#include "GU/GU_Detail.h"
#include "OutputFiles.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

TEST(SceneKeyframes, AreTakenInFrameOrderAndTwoOnOneFrameMakeAStep)
{
  Operators ops;
  Scene scene;
  const std::string text = sceneWith("", R"(, "parms": {"active": {"keys": [[1, 0], [3, 0], [3, 1]]},
                                                        "v": [{"keys": [[5, 10], [1, 0]]}, 0, 0]})",
                                     "");
  ASSERT_EQ(problemsOf(text, ops, scene), "");
  OP_Network network(ops.table);
  std::vector<std::string> problems;
  ASSERT_NE(buildNetwork(scene, network, problems), nullptr);
  OP_Node* pour = nullptr;
  for (OP_Node* n : network.nodes())
    if (n->getName() == "pour")
      pour = n;
  auto at = [](int frame) { return (frame - 1) / 24.0; };
  EXPECT_EQ(pour->evalInt("active", 0, at(1)), 0);
  EXPECT_EQ(pour->evalInt("active", 0, at(2)), 0);
  EXPECT_EQ(pour->evalInt("active", 0, at(3)), 1); // the jump
  EXPECT_EQ(pour->evalInt("active", 0, at(9)), 1);
  EXPECT_DOUBLE_EQ(pour->evalFloat("v", 0, at(3)), 5.0); // keys given out of order
  EXPECT_DOUBLE_EQ(pour->evalFloat("v", 0, at(7)), 10.0);
}

TEST(SceneNumbers, BeyondWhatAParameterOrTheFrameCountersHoldAreRefusedNamingTheValue)
{
  Operators ops;
  struct Case
  {
    std::string text;
    char const* message;
  };
  const std::string base = sceneWith("", "", "");
  for (Case const& c : {
           Case{sceneWith(R"(, "parms": {"subSteps": 4294967297})", "", ""),
                "parameter \"subSteps\" is 4294967297, beyond what this whole-number parameter holds"},
           Case{sceneWith(R"(, "parms": {"reset": 1e300})", "", ""), "parameter \"reset\" is 1e+300, beyond"},
           Case{base.substr(0, base.rfind('}')) + R"(, "frames": [1, 4294967297]})",
                "\"frames\" must be [first, last], whole numbers from -1000000000 to 1000000000"},
           Case{base.substr(0, base.rfind('}')) + R"(, "fps": 5e-324})", "\"fps\" must be a positive number from 1/60"},
           Case{base.substr(0, base.rfind('}')) + R"(, "fps": 1e308})", "not 1e+308"},
       }) {
    Scene scene;
    const std::string problems = problemsOf(c.text, ops, scene);
    EXPECT_NE(problems.find(c.message), std::string::npos) << problems;
  }
}

namespace {

std::string readAll(std::string const& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(MeshFiles, PlyElementsAreReadInHeaderOrderAndBadValuesSaySo)
{
  // Faces before vertices, an element of its own between them, and a face
  // property beside the corner list: a valid file all the same.
  const std::string tetrahedron = "ply\nformat ascii 1.0\nelement face 4\nproperty list uchar int vertex_indices\n"
                                  "property uchar flag\nelement material 1\nproperty float shine\n"
                                  "element vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
                                  "property float confidence\nend_header\n"
                                  "3 0 2 1 7\n3 0 1 3 7\n3 1 2 3 7\n3 0 3 2 7\n0.5\n"
                                  "0 0 0 1\n1 0 0 1\n0 0 1 1\n0 1 0 1\n";
  GU_Detail gdp;
  std::string problem;
  ASSERT_TRUE(readPlyBytes(tetrahedron, "t.ply", gdp, problem)) << problem;
  EXPECT_EQ(gdp.getNumPoints(), 4);
  EXPECT_EQ(gdp.getNumPrimitives(), 4);
  EXPECT_EQ(gdp.getPos3(3).y(), 1.0f);

  struct Case
  {
    std::string text;
    char const* message;
  };
  for (Case const& c : {
           Case{"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                "end_header\n0 nan 0\n",
                "vertex 0 has a coordinate that is not a finite single-precision number"},
           Case{"ply\nformat ascii 1.0\nelement vertex -5\nproperty float x\nproperty float y\nproperty float z\n"
                "end_header\n",
                "element vertex has the count \"-5\", not a whole number from 0"},
           Case{"ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\nproperty float z\n"
                "end_header\n0 0 0\n",
                "it ends before its 2 vertex elements"},
       }) {
    GU_Detail bad;
    EXPECT_FALSE(readPlyBytes(c.text, "bad.ply", bad, problem));
    EXPECT_NE(problem.find(c.message), std::string::npos) << problem;
  }
  for (char const* coordinate : {"nan", "inf", "-inf"}) {
    GU_Detail bad;
    EXPECT_FALSE(readObjText(std::string("v 0 0 0\nv 1 ") + coordinate + " 0\nv 0 1 0\nf 1 2 3\n", "t.obj", bad,
                             problem));
    EXPECT_NE(problem.find("vertex 1 has the coordinate \"" + std::string(coordinate) + "\", not a finite number"),
              std::string::npos)
        << problem;
  }
}

TEST(MeshFiles, BinaryGeoCannotExpandFarBeyondItsSize)
{
  // Eight megabytes declaring 64 million packed booleans: refused before
  // they are expanded (2 GB as a document).
  std::string bytes = "\x7f";
  const uint32_t magic = 0x624a534e;
  bytes.append(reinterpret_cast<char const*>(&magic), 4);
  bytes += char(0x40); // a uniform array
  bytes += char(0x10); // of booleans
  bytes += char(0xf8);
  const uint64_t count = 64ull << 20;
  bytes.append(reinterpret_cast<char const*>(&count), 8);
  bytes.append(count / 8, '\xff');
  nlohmann::json document;
  std::string problem;
  EXPECT_FALSE(decodeBinaryJson(bytes, document, problem));
  EXPECT_NE(problem.find("more values than bytes"), std::string::npos) << problem;
}

TEST(OutputFiles, TemporariesNeverFollowALinkAndCollectionsEscapeNames)
{
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("taluno-outfiles-" + std::to_string(getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string victim = (folder / "victim.txt").string();
  std::ofstream(victim) << "keep me";
  const std::string frame = (folder / "frame.1.geo").string();
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string token;
  for (char const* c = host; *c; ++c)
    token += (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-') ? *c : '_';
  // A link planted under the temporary's name, pointing at another file.
  std::filesystem::create_symlink(victim, frame + ".part-" + token + "-" + std::to_string(getpid()));
  std::string problem;
  ASSERT_TRUE(writeAtomically(frame, "frame data", problem)) << problem;
  EXPECT_EQ(readAll(victim), "keep me");
  EXPECT_EQ(readAll(frame), "frame data");

  const std::string pvd = (folder / "frames.pvd").string();
  ASSERT_TRUE(writeCollection(pvd, {{0.0, "a&b<c>\"d'.vtp"}}, problem)) << problem;
  EXPECT_NE(readAll(pvd).find("file=\"a&amp;b&lt;c&gt;&quot;d&apos;.vtp\""), std::string::npos) << readAll(pvd);
  std::filesystem::remove_all(folder);
}

#include "CacheFormat.h"
#include "LiquidSurface.h"

#include <map>
#include <openvdb/openvdb.h>

TEST(LiquidSurfaces, AStillBlockGivesAClosedMeshOfItsVolumeAndAVdbOpenVdbReads)
{
  // A block of 6 x 4 x 8 particles of radius 0.25 on the emitters' lattice:
  // the liquid it stands for fills 3 x 2 x 4 units.
  GU_Detail particles;
  GA_Attribute* pscale = particles.addFloatTuple(GA_ATTRIB_POINT, "pscale", 1);
  GA_PointGroup* liquid = particles.newPointGroup("TalunoLiquid");
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 8; ++k) {
        const GA_Offset p = particles.appendPointOffset();
        particles.setPos3(p, UT_Vector3(0.25f + 0.5f * i, 0.25f + 0.5f * j, 0.25f + 0.5f * k));
        pscale->set(p, 0, 0.25);
        liquid->add(p);
      }
  const GA_Offset stray = particles.appendPointOffset(); // not liquid: left out
  particles.setPos3(stray, UT_Vector3(20, 20, 20));
  pscale->set(stray, 0, 0.25);

  GU_Detail surface;
  std::string problem;
  ASSERT_TRUE(surfaceParticles(particles, "TalunoLiquid", 0.5, SurfaceSettings{}, surface, problem)) << problem;
  ASSERT_GT(surface.getNumPrimitives(), 100);
  // Closed and consistently wound: every edge is met once each way.
  std::map<std::pair<long, long>, int> edges;
  double volume = 0.0;
  for (GA_Offset q = 0; q < surface.getNumPrimitives(); ++q) {
    GEO_Primitive const* t = surface.getGEOPrimitive(q);
    ASSERT_EQ(t->getVertexCount(), 3);
    // The host's order is clockwise from outside: reversed, counter-clockwise.
    const UT_Vector3 a = surface.getPos3(t->getPointOffset(2)), b = surface.getPos3(t->getPointOffset(1)),
                     c = surface.getPos3(t->getPointOffset(0));
    volume += (double(a.x()) * (double(b.y()) * c.z() - double(b.z()) * c.y()) -
               double(a.y()) * (double(b.x()) * c.z() - double(b.z()) * c.x()) +
               double(a.z()) * (double(b.x()) * c.y() - double(b.y()) * c.x())) /
              6.0;
    for (int e = 0; e < 3; ++e)
      ++edges[{long(t->getPointOffset(e)), long(t->getPointOffset((e + 1) % 3))}];
    for (int v = 0; v < 3; ++v)
      ASSERT_LT(surface.getPos3(t->getPointOffset(v)).x(), 10.0f) << "the stray grain is not liquid";
  }
  for (auto const& [edge, count] : edges) {
    ASSERT_EQ(count, 1);
    ASSERT_EQ(edges.count({edge.second, edge.first}), 1u) << "an open or inconsistent edge";
  }
  EXPECT_NEAR(volume, 24.0, 0.03 * 24.0);

  // The surface as a .vdb: a level set OpenVDB reads, inside below zero.
  const std::filesystem::path file = std::filesystem::temp_directory_path() / ("taluno-surface-" + std::to_string(getpid()) + ".vdb");
  {
    std::ofstream out(file, std::ios::binary);
    const std::string bytes = encodeVdb(surface, {});
    out.write(bytes.data(), std::streamsize(bytes.size()));
  }
  openvdb::initialize();
  openvdb::io::File vdb(file.string());
  vdb.open();
  openvdb::GridBase::Ptr base = vdb.readGrid("surface");
  vdb.close();
  std::filesystem::remove(file);
  auto grid = openvdb::gridPtrCast<openvdb::FloatGrid>(base);
  ASSERT_TRUE(grid);
  EXPECT_EQ(grid->getGridClass(), openvdb::GRID_LEVEL_SET);
  auto sample = [&](double x, double y, double z) {
    return grid->tree().getValue(grid->transform().worldToIndexCellCentered(openvdb::Vec3d(x, y, z)));
  };
  EXPECT_LT(sample(1.5, 1.0, 2.0), 0.0f);  // inside
  EXPECT_GT(sample(1.5, 1.0, -0.6), 0.0f); // outside, near
}

TEST(SceneProbes, NameASolverAndPointsAndAreCheckedLikeTheRest)
{
  Operators ops;
  Scene scene;
  const std::string base = sceneWith("", "", "");
  auto with = [&base](std::string const& probes) {
    return base.substr(0, base.rfind('}')) + R"(, "probes": )" + probes + "}";
  };
  EXPECT_EQ(problemsOf(with(R"({"node": "solver", "file": "out/p.csv", "points": {"P1": [0, 1, 2], "P2": [3, 4, 5]}})"),
                       ops, scene),
            "");
  ASSERT_EQ(scene.probes.points.size(), 2u);
  EXPECT_EQ(scene.probes.points[1].first, "P2");
  EXPECT_EQ(scene.probes.points[1].second[2], 5.0);
  EXPECT_EQ(scene.probes.file, "out/p.csv");

  Scene other;
  const std::string wrongNode = problemsOf(with(R"({"node": "floor", "points": {"P1": [0, 0, 0]}})"), ops, other);
  EXPECT_NE(wrongNode.find("probes measure the liquid and the collision objects of a Taluno solver"),
            std::string::npos)
      << wrongNode;
  const std::string missing = problemsOf(with(R"({"node": "solvr", "points": {"P1": [0, 0, 0]}})"), ops, other);
  EXPECT_NE(missing.find("\"solvr\" is not a node"), std::string::npos) << missing;
  const std::string badPoint = problemsOf(with(R"({"node": "solver", "points": {"a,b": [0, 0], "c": [0, 0, 1]}})"),
                                          ops, other);
  EXPECT_NE(badPoint.find("point \"a,b\" must be [x, y, z]"), std::string::npos) << badPoint;
  // Without points a probe log holds the forces on the solver's collision
  // objects alone.
  Scene forcesOnly;
  EXPECT_EQ(problemsOf(with(R"({"node": "solver"})"), ops, forcesOnly), "");
  EXPECT_TRUE(forcesOnly.probes.active);
  EXPECT_TRUE(forcesOnly.probes.points.empty());
  EXPECT_EQ(collisionInputs(forcesOnly, "solver"), std::vector<std::string>{"floor"});
  Scene bare;
  const std::string nothing =
      problemsOf(R"({"nodes": [{"name": "b", "type": "box"},
                    {"name": "pour", "type": "EmitterObject", "inputs": ["b"]},
                    {"name": "solver", "type": "Taluno", "inputs": ["pour"]}],
                   "output": {"node": "solver", "file": "out/f.$F4.geo"}, "probes": {"node": "solver"}})",
                 ops, bare);
  EXPECT_NE(nothing.find("nothing to measure"), std::string::npos) << nothing;
  const std::string notObject = problemsOf(with(R"({"node": "solver", "points": [0, 0, 0]})"), ops, other);
  EXPECT_NE(notObject.find("\"probes\" must be"), std::string::npos) << notObject;
  const std::string notCsv = problemsOf(with(R"({"node": "solver", "file": "p.txt", "points": {"P": [0, 0, 0]}})"),
                                        ops, other);
  EXPECT_NE(notCsv.find("must end in .csv"), std::string::npos) << notCsv;
  const std::string typo = problemsOf(with(R"({"node": "solver", "pionts": {}, "points": {"P": [0, 0, 0]}})"), ops,
                                      other);
  EXPECT_NE(typo.find("unknown key \"pionts\""), std::string::npos) << typo;
}

TEST(ProbeLogFile, AResumedRunKeepsTheRowsBeforeItAndAnotherScenesFileIsReplaced)
{
  const std::string path =
      (std::filesystem::temp_directory_path() / ("taluno-probes-" + std::to_string(getpid()) + ".csv")).string();
  auto contents = [&path]() {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  std::ofstream(path) << "frame,time_s,A_Pa\n1,0,5\n2,0.5,6\n3,1,7\n4,1.5,8\n";
  GU_Detail dry;
  std::string problem;
  ProbeLog resumed(path, {{"A", {0, 0, 0}}});
  resumed.keepRowsBefore(3);
  ASSERT_TRUE(resumed.add(3, 1.0, dry, 0.1, problem)) << problem;
  EXPECT_EQ(contents(), "frame,time_s,A_Pa\n1,0,5\n2,0.5,6\n3,1,0\n");

  ProbeLog other(path, {{"B", {0, 0, 0}}});
  other.keepRowsBefore(3);
  ASSERT_TRUE(other.add(3, 1.0, dry, 0.1, problem)) << problem;
  EXPECT_EQ(contents(), "frame,time_s,B_Pa\n3,1,0\n");
  std::filesystem::remove(path);
}
