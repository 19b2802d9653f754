// Contact between rigid sub-particle clusters.
// Not simulated yet: the phase keeps its place in the sub-step and does nothing.
#include "SimSystem.h"

void SimSystem::resolveInterparticleCollisions_SubParticles() {}

