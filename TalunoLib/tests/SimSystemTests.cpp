#include "GridChecks.h"
#include "SimSystem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::vector<std::string> lines(std::string const& text)
{
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

// Compares captured output with expected lines; "#" in an expected line stands
// for the unsigned tick count of a timing line.
void expectLines(std::string const& captured, std::vector<std::string> const& expected)
{
  const auto got = lines(captured);
  ASSERT_EQ(got.size(), expected.size()) << captured;
  for (size_t i = 0; i < got.size(); ++i) {
    const size_t hash = expected[i].find('#');
    if (hash == std::string::npos) {
      EXPECT_EQ(got[i], expected[i]) << "line " << i;
    } else {
      const std::string prefix = expected[i].substr(0, hash), suffix = expected[i].substr(hash + 1);
      ASSERT_GE(got[i].size(), prefix.size() + suffix.size() + 1) << "line " << i << ": " << got[i];
      EXPECT_EQ(got[i].substr(0, prefix.size()), prefix) << "line " << i;
      EXPECT_EQ(got[i].substr(got[i].size() - suffix.size()), suffix) << "line " << i;
      const std::string ticks = got[i].substr(prefix.size(), got[i].size() - prefix.size() - suffix.size());
      EXPECT_TRUE(!ticks.empty() && std::all_of(ticks.begin(), ticks.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
          << "line " << i << ": " << got[i];
    }
  }
}

} // namespace

TEST(SimSystemConstruction, DerivedConstantsUseSinglePrecisionLiterals)
{
  SimSystem system{SimSettings()};
  EXPECT_EQ(system._dt, 0.03999999910593033);
  EXPECT_EQ(system._invRandMax, 4.656612875245797e-10);
  EXPECT_EQ(system._unitLength, 0.01);
  EXPECT_EQ(system._unitLength2, 0.0001);
  EXPECT_EQ(system._cellSize, 2.0); // max(2R, h)
  EXPECT_EQ(system._collisionDistance, 0.5);
  EXPECT_EQ(system.particlesInteractionRadius2, 4.0);
  EXPECT_EQ(system.springsNeighborSearchRadius2, 2.25);
  EXPECT_DOUBLE_EQ(system.springsBreakLengthThreshold2, 1.69);
  EXPECT_DOUBLE_EQ(system.surfaceTensionThreshold2, 0.85 * 0.85);

  const double hs = 2.0 * 0.01;
  EXPECT_DOUBLE_EQ(system._poly6Coef, 315.0 / (201.0619354248047 * std::pow(hs, 9)));
  EXPECT_DOUBLE_EQ(system._spikyGradCoef, -45.0 / (3.1415927410125732 * std::pow(hs, 6)));
  EXPECT_EQ(system._viscLaplacianCoef, -system._spikyGradCoef);
  EXPECT_DOUBLE_EQ(system._colorGradCoef, -6.0 * system._poly6Coef * 1e-8);
  EXPECT_DOUBLE_EQ(system._surfaceTensionCoef, 6.0 * system._poly6Coef * 1e-8);
  EXPECT_DOUBLE_EQ(system._pressureStiffness, 998.0 * 1.5 / 7.0);
  EXPECT_DOUBLE_EQ(system._invRestDensity7, std::pow(1.0 / 998.0, 7));

  // A cubic lattice of spacing 2R sits at rest density: 27 lattice points lie
  // inside h, with a kernel sum of 3.3e-10.
  EXPECT_NEAR(system._particleMass, 998.0 / (3.3e-10 * system._poly6Coef), 1e-15);
  EXPECT_NEAR(system._particleMass, 0.00098834, 5e-9);
  EXPECT_EQ(system._normalScale, 1.0); // surface tension off
  EXPECT_TRUE(system._firstStep);
}

TEST(SimSystemConstruction, UnitLengthRescalesKernelsAndMass)
{
  SimSystem system{SimSettings()};
  const double mass = system._particleMass;
  const double poly6 = system._poly6Coef;
  const double pressureStiffness = system._pressureStiffness;
  system.setUnitLength(0.02);
  EXPECT_EQ(system._unitLength2, 0.02 * 0.02);
  EXPECT_NEAR(system._poly6Coef, poly6 / 512.0, poly6 * 1e-12);
  EXPECT_NEAR(system._particleMass, mass * 8.0, mass * 1e-12); // m scales with s^3
  EXPECT_EQ(system._pressureStiffness, pressureStiffness);

  system.updateParticleMass(false);
  EXPECT_DOUBLE_EQ(system._particleMass, std::pow(1.0 * 0.02, 3) * 998.0);
}

TEST(SimSystemConstruction, ReferenceNormalScalesFollowSurfaceTension)
{
  SimSettings settings;
  settings.surfaceTension = true;
  SimSystem system(settings);
  EXPECT_TRUE(std::isfinite(system._normalScale));
  EXPECT_GT(system._normalScale, 0.0);
  EXPECT_NE(system._normalScale, 1.0);
  EXPECT_DOUBLE_EQ(system._normalScale2, system._normalScale * system._normalScale);

  // With h < 2R no lattice neighbour is in reach: the reference normal is zero
  // and the scales switch normals off instead of becoming infinite.
  settings.particlesInteractionRadius = 0.9;
  SimSystem narrow(settings);
  EXPECT_EQ(narrow._normalScale, 0.0);
  EXPECT_EQ(narrow._normalScale2, 0.0);
  EXPECT_GT(narrow._particleMass, 0.0);
  EXPECT_TRUE(std::isfinite(narrow._particleMass));
}

TEST(SimSystemConstruction, RandomRotationsNeedRotationsAndClusters)
{
  SimSettings settings;
  settings.randInitRotations = true;
  EXPECT_FALSE(SimSystem(settings).randInitRotations);
  settings.enableRotations = true;
  EXPECT_FALSE(SimSystem(settings).randInitRotations);
  settings.interParticlesCollMode = 1;
  EXPECT_TRUE(SimSystem(settings).randInitRotations);
  settings.enableRotations = false;
  EXPECT_FALSE(SimSystem(settings).randInitRotations);
}

TEST(SimSystemConstruction, StartsItsOwnRandomSequenceAndBuildsTheCluster)
{
  // The system draws rand()'s sequence after srand(0), from a state of its
  // own: the C library's generator is left as it was.
  std::srand(0);
  const int first = std::rand();
  std::srand(12345);
  const int unrelated = std::rand();
  std::srand(12345);
  SimSystem system{SimSettings()};
  EXPECT_EQ(system._random.next(), first);
  EXPECT_EQ(std::rand(), unrelated);
  EXPECT_EQ(system._subParticle.positions.size(), 4u);
  EXPECT_DOUBLE_EQ(system._subParticle.radius, 0.25); // R / 2
}

TEST(SimSystemStep, VerboseSubStepWritesPhaseLinesInOrder)
{
  SimSettings settings;
  settings.fluid = true;
  SimSystem system(settings);
  gridchecks::placeBlock(system, 3, 1.0, Eigen::Vector3d::Zero(), char(natureLiquid));
  system.initialize(1);
  system._verbose = 1;

  testing::internal::CaptureStdout();
  system.simulStep(100, 0.04, 2);
  system.simulStep(101, 0.04, 1);
  const std::string out = testing::internal::GetCapturedStdout();
  expectLines(out, {
                       "DT :0.04",
                       "Frame :100  ,Iteration :1",
                       " Emission done in: #ms",
                       " updateCellsParticles done in: #ms",
                       " Update Cells Neighbors done in: #ms",
                       "          apply gravity done in: #ms",
                       "          Adjust Springs done in: #ms",
                       "          Spring breaking done in: #ms",
                       "          Spring Displacements done in: #ms",
                       "          fluid done in: #ms",
                       " Sort _particlesArrayMap took: #ms",
                       "Frame :100  ,Iteration :2",
                       " Emission done in: #ms",
                       " updateCellsParticles done in: #ms",
                       " Update Cells Neighbors done in: #ms",
                       "          apply gravity done in: #ms",
                       "          Spring breaking done in: #ms",
                       "          Spring Displacements done in: #ms",
                       "          fluid done in: #ms",
                       " Sort _particlesArrayMap took: #ms",
                       "DT :0.02",
                       "Frame :101  ,Iteration :1",
                       " Emission done in: #ms",
                       " updateCellsParticles done in: #ms",
                       " Update Cells Neighbors done in: #ms",
                       "          apply gravity done in: #ms",
                       "          Spring breaking done in: #ms",
                       "          Spring Displacements done in: #ms",
                       "          fluid done in: #ms",
                   });
}

TEST(SimSystemStep, PhasesFollowTheirSwitches)
{
  SimSettings settings;
  settings.springs = false;
  SimSystem quiet(settings);
  gridchecks::placeBlock(quiet, 2, 1.0, Eigen::Vector3d::Zero(), char(natureSoftBody));
  quiet.initialize(1);
  testing::internal::CaptureStdout();
  quiet.simulStep(2, 0.04, 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), ""); // not verbose
  EXPECT_TRUE(quiet._firstStep);                          // no spring phase ran

  settings.springs = true;
  settings.springsCanBreak = false;
  settings.plasticDeformation = true;
  SimSystem plastic(settings);
  plastic._verbose = 3;
  testing::internal::CaptureStdout();
  plastic.simulStep(7, 0.04, 2);
  expectLines(testing::internal::GetCapturedStdout(),
              {"DT :0.04", "Frame :7  ,Iteration :1", " Emission done in: #ms",
               " updateCellsParticles done in: #ms", " Update Cells Neighbors done in: #ms",
               "          apply gravity done in: #ms", "          Adjust Springs done in: #ms",
               "          Spring Displacements done in: #ms", "Frame :7  ,Iteration :2",
               " Emission done in: #ms", " updateCellsParticles done in: #ms",
               " Update Cells Neighbors done in: #ms", "          apply gravity done in: #ms",
               "          Adjust Springs done in: #ms", "          Spring Displacements done in: #ms"});
  EXPECT_FALSE(plastic._firstStep);
}

TEST(SimSystemStep, ZeroIterationsRunNothingAndKeepTheSubStepLength)
{
  SimSystem system{SimSettings()};
  gridchecks::placeBlock(system, 2, 1.0, Eigen::Vector3d::Zero(), char(natureLiquid));
  system.initialize(1);
  system.simulStep(2, 0.04, 4);
  EXPECT_EQ(system._dt, 0.01);
  const Eigen::Vector3d velocity = system._particlesArray[0].velocity;
  system.simulStep(3, 0.04, 0);
  EXPECT_EQ(system._dt, 0.01);
  EXPECT_TRUE(system._firstStep == false);
  EXPECT_EQ(system._particlesArray[0].velocity, velocity);
}

TEST(SimSystemStep, GravityMovesOnlyParticlesWithANature)
{
  SimSettings settings;
  settings.gravity = -10.0;
  settings.springs = false;
  SimSystem system(settings);
  system.placeParticle(Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(1, 2, 3), 0);
  system.placeParticle(Eigen::Vector3d(5, 0, 0), Eigen::Vector3d(1, 2, 3), char(natureGranular));
  system.initialize(1);
  system._particlesArray[0].previousPosition = Eigen::Vector3d(9, 9, 9);
  system._particlesArray[1].previousPosition = Eigen::Vector3d(9, 9, 9);
  system.simulStep(2, 0.1, 2);

  const Particle& inert = system._particlesArray[system._particlesArrayMap[0]];
  EXPECT_EQ(inert.velocity, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(inert.previousPosition, Eigen::Vector3d(9, 9, 9));
  const Particle& grain = system._particlesArray[system._particlesArrayMap[1]];
  EXPECT_NEAR(grain.velocity.y(), 2.0 - 10.0 * 0.1, 1e-12); // re-derived from the displacement
  EXPECT_NEAR(grain.velocity.x(), 1.0, 1e-12);
  EXPECT_NEAR(grain.velocity.z(), 3.0, 1e-12);
  // previousPosition holds the start of the last sub-step.
  EXPECT_TRUE(grain.previousPosition.isApprox(grain.position - grain.velocity * 0.05, 1e-12));
  EXPECT_EQ(inert.position, Eigen::Vector3d(0, 0, 0));
}
