// One full sub-step of a mixed scene of about 100,000 particles (a liquid
// block, a soft-body block and a granular block side by side in a tank whose
// floor samples ghost particles), with the time of every phase. Prints
// particle-substeps per second overall and per phase.
//
//   build-bench/bench/substep-bench [SUBSTEPS] [THREADS]
#include "CollisionObject.h"
#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "SimSystem.h"

#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Objects
{
  CollisionObject* box(Eigen::Vector3d const& min, Eigen::Vector3d const& max, double friction, bool ghosts)
  {
    meshes.emplace_back(makeMesh(boxSoup(min, max), 1));
    colliders.push_back(std::make_unique<CollisionObject>(meshes.back().get(), 1e-3, 6, friction, false, 0.0, 0.0,
                                                          ghosts, CollisionObject::staticGeometry, -1, 0.0));
    return colliders.back().get();
  }
  EmitterObject* emitter(Eigen::Vector3d const& min, Eigen::Vector3d const& max, char nature)
  {
    meshes.emplace_back(makeMesh(boxSoup(min, max), 1));
    emitters.push_back(std::make_unique<EmitterObject>(meshes.back().get(), nature, EmitterObject::emitOnce,
                                                       EmitterObject::cubic, 0, EmitterObject::staticGeometry, 0, 0,
                                                       0, 1, 0, 0, 0, 1.0, 4294967295u));
    return emitters.back().get();
  }
  std::vector<std::unique_ptr<Mesh>> meshes;
  std::vector<std::unique_ptr<CollisionObject>> colliders;
  std::vector<std::unique_ptr<EmitterObject>> emitters;
};

} // namespace

int main(int argc, char** argv)
{
  const int subSteps = argc > 1 ? std::atoi(argv[1]) : 20;
  if (argc > 2)
    omp_set_num_threads(std::atoi(argv[2]));

  SimSettings settings;
  settings.fluid = true;
  settings.viscosity = true;
  settings.interParticleCollisions = true;
  SimSystem system(settings);
  Objects objects;
  system.addCollisionObject(objects.box({-60, -2, -20}, {60, 0, 20}, 2000.0, true));
  system.addCollisionObject(objects.box({-60, -2, -20}, {-57, 40, 20}, 0.5, false));
  system.addCollisionObject(objects.box({57, -2, -20}, {60, 40, 20}, 0.5, false));
  // Three blocks of about 33,000 particles each.
  system.addEmitterObject(objects.emitter({-54, 0.5, -16}, {-22, 32.5, 16}, char(natureLiquid)));
  system.addEmitterObject(objects.emitter({-16, 0.5, -16}, {16, 32.5, 16}, char(natureSoftBody)));
  system.addEmitterObject(objects.emitter({22, 0.5, -16}, {54, 32.5, 16}, char(natureGranular)));
  system.initialize(1);
  system._dt = 1.0 / 96.0;
  const double n = double(system._particlesArray.size());

  // The phases of one sub-step, in the order simulStep and applyForces run them.
  std::map<std::string, double> seconds;
  auto timed = [&](char const* name, auto&& phase) {
    const auto start = Clock::now();
    phase();
    seconds[name] += std::chrono::duration<double>(Clock::now() - start).count();
  };
  const auto begin = Clock::now();
  for (int s = 0; s < subSteps; ++s) {
    timed("emission", [&] { system.emitParticles(2); });
    timed("grid", [&] {
      system.updateCellsParticles();
      system.updateCellsNeighbors();
    });
    timed("gravity", [&] {
      for (Particle& p : system._particlesArray)
        if (p.nature & natureAny) {
          p.previousPosition = p.position;
          p.velocity.y() += system.gravity * system._dt;
        }
    });
    timed("springs", [&] {
      if (system._firstStep)
        system.adjustSprings(true);
      system._firstStep = false;
      system.breakVeryLongSprings();
      system.applySpringForces();
    });
    timed("fluid", [&] { system.applyFluidSPH(); });
    timed("contact", [&] { system.resolveInterparticleCollisions_NoExplicitStaticFriction(); });
    timed("collisions and advance", [&] { system.resolveCollisionsAndAdvance(); });
    timed("sort", [&] { system.sortArrays(unsigned(s) * 100u); });
    timed("ghosts", [&] { system.updateGhostParticles(); });
  }
  const double total = std::chrono::duration<double>(Clock::now() - begin).count();

  std::printf("particles %.0f, springs %zu, ghosts %zu, threads %d, sub-steps %d\n", n, system._springs.size(),
              system._ghostParticlesArray.size(), omp_get_max_threads(), subSteps);
  std::printf("%-24s %10s %14s\n", "phase", "ms/step", "particle-steps/s");
  for (auto const& [name, time] : seconds)
    std::printf("%-24s %10.2f %14.3g\n", name.c_str(), 1e3 * time / subSteps, n * subSteps / time);
  std::printf("%-24s %10.2f %14.3g\n", "whole sub-step", 1e3 * total / subSteps, n * subSteps / total);
  return 0;
}
