// Whole simulations, from emitters against collision objects, checked for
// physical outcomes. Each runs on 1 and on 2 threads and must give the same
// state bit for bit.
#include "GridChecks.h"
#include "SceneFixtures.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstring>
#include <functional>

namespace {

constexpr double fps = 24.0;

// A scene built by `build`, stepped frame by frame with `onFrame` called
// after each frame (it may move objects or inspect the state).
struct Scenario
{
  using Build = std::function<void(SimSystem&, SceneObjects&)>;
  using OnFrame = std::function<void(SimSystem&, SceneObjects&, unsigned)>;

  Scenario(SimSettings const& settings, Build const& build) : system(settings)
  {
    build(system, objects);
    system.initialize(1);
    // Perfect lattices stand as they are: break the symmetry a little, the
    // same way in every run.
    for (Particle& p : system._particlesArray)
      p.velocity += 0.05 * Eigen::Vector3d(int(p.id * 7 % 5) - 2, 0, int(p.id * 3 % 5) - 2);
  }

  void run(unsigned frames, unsigned subSteps, OnFrame const& onFrame = nullptr)
  {
    for (unsigned f = 2; f < 2 + frames; ++f) {
      system.simulStep(f, 1.0 / fps, subSteps);
      if (onFrame)
        onFrame(system, objects, f);
    }
  }

  SceneObjects objects;
  SimSystem system;
};

// Runs the scenario on 1 and on 2 threads and checks both end bit-equal;
// returns the 2-thread run for further checks.
std::unique_ptr<Scenario> runOnOneAndTwoThreads(SimSettings const& settings, Scenario::Build const& build,
                                                unsigned frames, unsigned subSteps,
                                                Scenario::OnFrame const& onFrame = nullptr)
{
  const int saved = omp_get_max_threads();
  omp_set_num_threads(1);
  Scenario single(settings, build);
  single.run(frames, subSteps, onFrame);
  omp_set_num_threads(2);
  auto dual = std::make_unique<Scenario>(settings, build);
  dual->run(frames, subSteps, onFrame);
  omp_set_num_threads(saved);

  EXPECT_EQ(single.system._particlesArray.size(), dual->system._particlesArray.size());
  for (size_t i = 0; i < single.system._particlesArray.size() && i < dual->system._particlesArray.size(); ++i) {
    Particle const& a = single.system._particlesArray[i];
    Particle const& b = dual->system._particlesArray[i];
    if (a.id != b.id || std::memcmp(a.position.data(), b.position.data(), 3 * sizeof(double)) != 0 ||
        std::memcmp(a.velocity.data(), b.velocity.data(), 3 * sizeof(double)) != 0) {
      ADD_FAILURE() << "1 and 2 threads differ at particle index " << i;
      break;
    }
  }
  return dual;
}

double highest(SimSystem const& system)
{
  double top = -1e300;
  for (Particle const& p : system._particlesArray)
    top = std::max(top, p.position.y());
  return top;
}

double meanSpeed(SimSystem const& system)
{
  double sum = 0.0;
  for (Particle const& p : system._particlesArray)
    sum += p.velocity.norm();
  return sum / double(system._particlesArray.size());
}

// A tank: the floor and four walls around [-4, 4] x [-4, 4]. Only the floor
// may sample ghosts: with several ghost objects the last in index order
// decides each particle's ghost.
void addTank(SimSystem& system, SceneObjects& objects, double friction, bool floorGhosts = false)
{
  system.addCollisionObject(objects.floor(friction, floorGhosts));
  for (auto [min, max] : {std::pair<Eigen::Vector3d, Eigen::Vector3d>{{-6, -2, -6}, {-4, 8, 6}},
                          std::pair<Eigen::Vector3d, Eigen::Vector3d>{{4, -2, -6}, {6, 8, 6}},
                          std::pair<Eigen::Vector3d, Eigen::Vector3d>{{-6, -2, -6}, {6, 8, -4}},
                          std::pair<Eigen::Vector3d, Eigen::Vector3d>{{-6, -2, 4}, {6, 8, 6}}})
    system.addCollisionObject(objects.box(min, max, friction, CollisionObject::staticGeometry, false, 5));
}

// No particle may end a frame inside the floor by more than this (scene units).
constexpr double penetrationTolerance = 1e-6;

} // namespace

TEST(Scenario, LiquidBlockSettlesInATank)
{
  SimSettings settings;
  settings.springs = false;
  settings.fluid = true;
  settings.viscosity = true;
  double lowest = 1e300;
  auto done = runOnOneAndTwoThreads(
      settings,
      [](SimSystem& system, SceneObjects& objects) {
        addTank(system, objects, 0.2);
        system.addEmitterObject(objects.emitter(Eigen::Vector3d(-3, 1, -3), Eigen::Vector3d(3, 6, 3), natureLiquid));
      },
      96, 4,
      [&](SimSystem& system, SceneObjects&, unsigned) {
        for (Particle const& p : system._particlesArray)
          lowest = std::min(lowest, floorDistance(p) - system._collisionDistance);
      });
  SimSystem const& system = done->system;
  ASSERT_EQ(system._particlesArray.size(), 125u);
  EXPECT_GT(lowest, -penetrationTolerance);
  EXPECT_LT(highest(system), 2.0);     // fallen from up to 5.5 and spread over the tank
  EXPECT_LT(meanSpeed(system), 0.15);  // at rest (a free fall of one second reaches about 10)
}

TEST(Scenario, SoftBodyCubeBouncesAndHoldsTogether)
{
  SimSettings settings;
  settings.springConstant = 400.0;
  settings.springsBreakForceThreshold = 1e6;
  std::vector<double> centreSpeed;
  size_t springs = 0;
  auto done = runOnOneAndTwoThreads(
      settings,
      [](SimSystem& system, SceneObjects& objects) {
        system.addCollisionObject(objects.floor(0.3));
        system.addEmitterObject(
            objects.emitter(Eigen::Vector3d(-2, 3, -2), Eigen::Vector3d(2, 7, 2), natureSoftBody));
      },
      48, 8,
      [&](SimSystem& system, SceneObjects&, unsigned) {
        double vy = 0.0;
        for (Particle const& p : system._particlesArray)
          vy += p.velocity.y();
        centreSpeed.push_back(vy / double(system._particlesArray.size()));
        springs = system._springs.size();
      });
  SimSystem const& system = done->system;
  ASSERT_GT(springs, 0u);
  for (Spring const& s : system._springs)
    EXPECT_FALSE(s.broken);
  // Falling first, then moving up again after the impact.
  const auto fall = std::min_element(centreSpeed.begin(), centreSpeed.end());
  EXPECT_LT(*fall, -2.0);
  EXPECT_GT(*std::max_element(fall, centreSpeed.end()), 0.2);
  for (Particle const& p : system._particlesArray)
    EXPECT_GT(floorDistance(p) - system._collisionDistance, -penetrationTolerance);
}

TEST(Scenario, GranularColumnCollapsesIntoAPile)
{
  // Surface friction grows with penetration, and grains resting on the floor
  // penetrate only by their fall in one sub-step: a high friction holds them.
  SimSettings settings;
  settings.springs = false;
  settings.interParticleCollisions = true;
  settings.coulombConstant = 0.5;
  auto done = runOnOneAndTwoThreads(
      settings,
      [](SimSystem& system, SceneObjects& objects) {
        system.addCollisionObject(objects.floor(2000.0));
        system.addEmitterObject(
            objects.emitter(Eigen::Vector3d(-1.5, 0, -1.5), Eigen::Vector3d(1.5, 12, 1.5), natureGranular));
      },
      120, 8);
  SimSystem const& system = done->system;
  ASSERT_EQ(system._particlesArray.size(), 99u);
  EXPECT_LT(highest(system), 4.0); // the 11-high column has collapsed
  double spread = 0.0;
  for (Particle const& p : system._particlesArray)
    spread = std::max(spread, std::hypot(p.position.x(), p.position.z()));
  EXPECT_GT(spread, 2.5);             // grains ran out beyond the column's footprint
  EXPECT_LT(meanSpeed(system), 0.1);  // and came to rest
  for (Particle const& p : system._particlesArray)
    EXPECT_GT(floorDistance(p) - system._collisionDistance, -penetrationTolerance);
}

TEST(Scenario, MovingPlatformCarriesAParticle)
{
  // A platform slides along x at 2 units/s and turns about y at 30 degrees/s;
  // a grain resting on it must keep its place on the platform. Friction grows
  // with penetration, and a resting grain penetrates only by its fall in one
  // sub-step, so the surface needs a high friction to hold it.
  SimSettings settings;
  settings.springs = false;
  auto pose = [](double t) {
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = Eigen::AngleAxisd(30.0 * t * M_PI / 180.0, Eigen::Vector3d::UnitY()).toRotationMatrix();
    m(0, 3) = 2.0 * t;
    return m;
  };
  auto place = [&](CollisionObject* platform, double t) {
    Eigen::Matrix4d m = pose(t);
    platform->setTransfoMatrix(m);
    platform->setVelocities(t, 2.0 * t, 0, 0, 0, 30.0 * t, 0);
  };
  auto done = runOnOneAndTwoThreads(
      settings,
      [&](SimSystem& system, SceneObjects& objects) {
        CollisionObject* platform = objects.box(Eigen::Vector3d(-4, -1, -4), Eigen::Vector3d(4, 0, 4), 2000.0,
                                                CollisionObject::movingGeometry, false, 5);
        place(platform, 0.0);
        system.addCollisionObject(platform);
        system.addEmitterObject(
            objects.emitter(Eigen::Vector3d(1.6, 0.05, 0.6), Eigen::Vector3d(2.4, 0.95, 1.4), natureGranular));
      },
      48, 4,
      [&](SimSystem&, SceneObjects& objects, unsigned frame) { place(objects.colliders[0].get(), (frame - 1) / fps); });
  SimSystem const& system = done->system;
  ASSERT_EQ(system._particlesArray.size(), 1u);
  const double t = 48 / fps;
  const Eigen::Vector3d local = (pose(t).inverse() * system._particlesArray[0].position.homogeneous()).head<3>();
  EXPECT_NEAR(local.x(), 2.0, 0.15);
  EXPECT_NEAR(local.z(), 1.0, 0.15);
  EXPECT_NEAR(local.y(), system._collisionDistance, 0.05);
  EXPECT_GT(system._particlesArray[0].position.x(), 5.0); // it travelled with the platform
}

TEST(Scenario, GhostsRaiseTheLiquidDensityAtTheWall)
{
  auto nearWallDensity = [](bool ghosts) {
    SimSettings settings;
    settings.springs = false;
    settings.fluid = true;
    auto done = runOnOneAndTwoThreads(
        settings,
        [ghosts](SimSystem& system, SceneObjects& objects) {
          addTank(system, objects, 0.2, ghosts);
          system.addEmitterObject(
              objects.emitter(Eigen::Vector3d(-3, 0, -3), Eigen::Vector3d(3, 3, 3), natureLiquid));
        },
        1, 4);
    double sum = 0.0;
    int count = 0;
    for (Particle const& p : done->system._particlesArray)
      if (floorDistance(p) < 1.0) {
        sum += 1.0 / p.invDensity;
        ++count;
      }
    EXPECT_GT(count, 10);
    if (ghosts) {
      EXPECT_FALSE(done->system._ghostParticlesArray.empty());
    }
    return sum / count;
  };
  const double without = nearWallDensity(false);
  const double with = nearWallDensity(true);
  EXPECT_GT(with, without * 1.2);
}

TEST(Scenario, CollisionObjectsCarryTheWeightOfWhatRestsOnThem)
{
  // Grains at rest on a floor, and water at rest in a tank whose walls
  // mirror it with ghosts: the objects carry the weight, in newtons, of
  // everything that rests on them; opposite walls are pushed apart alike.
  // The sums run in fixed blocks: 1 and 2 threads report the same bits.
  struct Loads
  {
    std::map<int64_t, Eigen::Vector3d> forces;
    double weight;
  };
  auto settle = [](bool liquid, int threads) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    SimSettings settings;
    settings.springs = false;
    settings.fluid = liquid;
    settings.viscosity = liquid;
    settings.interParticleCollisions = !liquid;
    settings.enforceStaticFriction = !liquid;
    Scenario scene(settings, [liquid](SimSystem& system, SceneObjects& objects) {
      system.addCollisionObject(objects.floor(liquid ? 0.0 : 0.5, liquid));
      if (liquid)
        for (auto [min, max] : {std::pair<Eigen::Vector3d, Eigen::Vector3d>{{-6, -2, -6}, {-3, 8, 6}},
                                std::pair<Eigen::Vector3d, Eigen::Vector3d>{{3, -2, -6}, {6, 8, 6}},
                                std::pair<Eigen::Vector3d, Eigen::Vector3d>{{-6, -2, -6}, {6, 8, -3}},
                                std::pair<Eigen::Vector3d, Eigen::Vector3d>{{-6, -2, 3}, {6, 8, 6}}})
          system.addCollisionObject(objects.box(min, max, 0.0, CollisionObject::staticGeometry, true, 5));
      system.addEmitterObject(objects.emitter(Eigen::Vector3d(-3, 0, -3), Eigen::Vector3d(3, 4, 3),
                                              liquid ? natureLiquid : natureGranular));
    });
    scene.run(72, 8);
    scene.system.measureColliderLoads = true;
    scene.system.takeColliderForces();
    scene.run(24, 8);
    Loads loads{scene.system.takeColliderForces(), 0.0};
    SimSystem const& system = scene.system;
    for (Particle const& p : system._particlesArray)
      loads.weight += system.particleMassKg(p.nature) * std::abs(system.gravity) * system._unitLength;
    omp_set_num_threads(saved);
    return loads;
  };
  for (bool liquid : {false, true}) {
    SCOPED_TRACE(liquid ? "water in a tank" : "grains on a floor");
    const Loads one = settle(liquid, 1), two = settle(liquid, 2);
    ASSERT_EQ(one.forces.size(), liquid ? 5u : 1u);
    Eigen::Vector3d total = Eigen::Vector3d::Zero();
    for (auto const& [index, force] : two.forces) {
      EXPECT_EQ(std::memcmp(force.data(), one.forces.at(index).data(), 3 * sizeof(double)), 0) << index;
      total += force;
    }
    EXPECT_NEAR(total.y(), -two.weight, 0.05 * two.weight);
    EXPECT_NEAR(total.x(), 0.0, 0.02 * two.weight);
    EXPECT_NEAR(total.z(), 0.0, 0.02 * two.weight);
    if (liquid) {
      // The walls (indices after the floor's) are pushed outwards.
      std::vector<Eigen::Vector3d> walls;
      for (auto const& [index, force] : two.forces)
        walls.push_back(force);
      EXPECT_LT(walls[1].x(), -0.01 * two.weight);
      EXPECT_GT(walls[2].x(), 0.01 * two.weight);
      EXPECT_LT(walls[3].z(), -0.01 * two.weight);
      EXPECT_GT(walls[4].z(), 0.01 * two.weight);
    }
  }
}
