// A small demonstration of the simulation spine: a block of particles is
// placed in a SimSystem, binned into the grid and stepped for a few frames
// with the verbose timing lines on.
#include "SimSystem.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
  const int side = argc > 1 ? std::atoi(argv[1]) : 20;
  const unsigned frames = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 3;
  if (side <= 0 || side > 400) {
    std::cerr << "usage: taluno-demo [BLOCK_SIDE 1..400] [FRAMES]\n";
    return 2;
  }

  SimSettings settings;
  settings.fluid = true;
  SimSystem system(settings);
  system.setUnitLength(0.01);
  system._verbose = 1;

  // A cube of side*side*side liquid particles on a lattice of one diameter.
  const double spacing = 2.0 * settings.particleRadius;
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j)
      for (int k = 0; k < side; ++k)
        system.placeParticle(Eigen::Vector3d(i * spacing, 10.0 + j * spacing, k * spacing), Eigen::Vector3d::Zero(),
                             char(natureLiquid));
  system.initialize(1);

  std::cout << "Particles: " << system._particlesArray.size() << ", cells: " << system._cells.size()
            << ", particle mass: " << system._particleMass << std::endl;
  for (unsigned frame = 2; frame < 2 + frames; ++frame)
    system.simulStep(frame, 1.0 / 24.0, 2);

  const Particle& p = system._particlesArray[0];
  std::cout << "After " << frames << " frames particle " << p.id << " has velocity (" << p.velocity.x() << ", "
            << p.velocity.y() << ", " << p.velocity.z() << ")" << std::endl;
  return 0;
}
