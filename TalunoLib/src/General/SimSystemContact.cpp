// Inter-particle sphere contact with Coulomb friction.
// Not simulated yet: the phase keeps its place in the sub-step and does nothing.
#include "SimSystem.h"

void SimSystem::resolveInterparticleCollisions_NoExplicitStaticFriction() {}

void SimSystem::resolveInterparticleCollisions_SpringBased() {}

