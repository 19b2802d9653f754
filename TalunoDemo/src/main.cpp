// A demonstration of the simulation core without the host: a tank built from
// box meshes, and three emitters filling a liquid block, a soft-body cube and
// a granular column that fall into it. Prints one line per frame, and the
// per-phase timing lines of the first frame.
//
//   taluno-demo [FRAMES] [--quiet]
#include "BoxObjects.h"
#include "SimSystem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

int main(int argc, char** argv)
{
  unsigned frames = 48;
  bool quiet = false;
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--quiet") == 0) {
      quiet = true;
    } else if (std::atoi(argv[a]) > 0) {
      frames = static_cast<unsigned>(std::atoi(argv[a]));
    } else {
      std::cerr << "usage: taluno-demo [FRAMES] [--quiet]\n";
      return 2;
    }
  }

  SimSettings settings;
  settings.fluid = true;
  settings.viscosity = true;
  settings.interParticleCollisions = true;
  settings.springConstant = 400.0;
  settings.springsBreakForceThreshold = 1000.0;
  SimSystem system(settings);
  system.setUnitLength(0.01);

  BoxObjects objects;
  // A tank 30 x 30 units, open at the top; the floor's top face is y = 0 and
  // mirrors the liquid with ghost particles.
  system.addCollisionObject(objects.collider({-17, -2, -17}, {17, 0, 17}, 2000.0, true));
  system.addCollisionObject(objects.collider({-17, -2, -17}, {-15, 16, 17}, 0.5));
  system.addCollisionObject(objects.collider({15, -2, -17}, {17, 16, 17}, 0.5));
  system.addCollisionObject(objects.collider({-17, -2, -17}, {17, 16, -15}, 0.5));
  system.addCollisionObject(objects.collider({-17, -2, 15}, {17, 16, 17}, 0.5));
  system.addEmitterObject(objects.emitter({-13, 1, -13}, {-3, 9, -3}, char(natureLiquid)));
  system.addEmitterObject(objects.emitter({3, 6, -9}, {9, 12, -3}, char(natureSoftBody)));
  system.addEmitterObject(objects.emitter({3, 0, 3}, {8, 14, 8}, char(natureGranular), EmitterObject::crossed));
  system.initialize(1);

  std::printf("Particles: %zu (liquid, soft body, granular), cells: %zu, particle mass: %g\n",
              system._particlesArray.size(), system._cells.size(), system._particleMass);
  for (unsigned frame = 2; frame < 2 + frames; ++frame) {
    system._verbose = !quiet && frame == 2;
    system.simulStep(frame, 1.0 / 24.0, 8);
    double height[3] = {0, 0, 0};
    int count[3] = {0, 0, 0};
    for (Particle const& p : system._particlesArray) {
      const int m = p.nature & natureLiquid ? 0 : p.nature & natureSoftBody ? 1 : 2;
      height[m] += p.position.y();
      ++count[m];
    }
    size_t broken = 0;
    for (Spring const& s : system._springs)
      broken += s.broken;
    std::printf("frame %3u  mean height: liquid %6.3f  soft body %6.3f  granular %6.3f  springs %zu (%zu broken)  "
                "ghosts %zu\n",
                frame, height[0] / count[0], height[1] / count[1], height[2] / count[2], system._springs.size(),
                broken, system._ghostParticlesArray.size());
  }
  return 0;
}
