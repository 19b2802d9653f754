// Ghost particles mirrored across collision surfaces.
// Not simulated yet: the phase keeps its place in the sub-step and does nothing.
#include "SimSystem.h"

void SimSystem::updateGhostParticles() {}

