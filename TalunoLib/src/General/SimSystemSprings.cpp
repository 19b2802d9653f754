// Soft-body spring network: creation, plastic flow, breaking and forces.
// Not simulated yet: the phase keeps its place in the sub-step and does nothing.
#include "SimSystem.h"

void SimSystem::adjustSprings(bool /*firstStep*/) {}

void SimSystem::breakVeryLongSprings() {}

void SimSystem::applySpringForces() {}

