// Collision response against objects and the position advance.
// Not simulated yet: the phase keeps its place in the sub-step and does nothing.
#include "SimSystem.h"

void SimSystem::resolveCollisionsAndAdvance() {}

