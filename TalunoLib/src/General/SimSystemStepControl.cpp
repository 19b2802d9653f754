// Automatic sub-steps: a frame divided by what its state needs, sub-step by
// sub-step. The step is chosen after each sub-step's emission, so particles
// born in it, an impact that compressed the liquid in the last one, or a
// collider that sped up are all allowed for before they can blow up.
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

SimSystem::FrameSteps SimSystem::simulStepAdaptive(unsigned frame, double frameDt, unsigned least, unsigned most)
{
  FrameSteps report;
  if (_verbose)
    std::cout << "DT :" << _dt << std::endl;
  least = std::max(least, 1u);
  most = std::max(most, least);
  _interrupted = false;
  if (!(frameDt > 0.0) || !std::isfinite(frameDt))
    return report;

  const double longest = frameDt / least;
  double elapsed = 0.0;
  unsigned sortCounter = frame;
  _measuringSteps = true;
  for (unsigned iteration = 1;; ++iteration) {
    if (interruptRequested())
      break;
    emitForSubStep(frame, iteration);
    StepState const state = measureStepState();
    char const* limit = "least";
    double stable = subStepLimits(state, _naturesMeasured).shortest(&limit);
    if (!(stable < longest)) { // also a limit that is not a number: the guard looks at such states
      stable = longest;
      limit = "least";
    }
    // The rest of the frame in equal pieces no longer than the stable step;
    // the tolerance keeps a rest of exactly k stable steps at k.
    const double remaining = frameDt - elapsed;
    const double left = std::max(1.0, std::ceil(remaining / stable - 1e-9));
    if (double(report.steps) + left > double(most)) {
      report.capped = true;
      report.needed = double(report.steps) + left;
      report.stoppedAt = elapsed;
      report.limit = limit;
      if (report.steps == 0 || stable < report.shortest)
        report.shortest = stable;
      break;
    }
    const bool last = left <= 1.0;
    _dt = last ? remaining : remaining / left;
    if (report.steps == 0 || _dt < report.shortest) {
      report.shortest = _dt;
      report.limit = limit;
    }
    finishSubStep(sortCounter);
    ++report.steps;
    sortCounter += frame; // frame * iteration, as with fixed sub-steps
    if (last)
      break;
    elapsed += _dt;
  }
  _measuringSteps = false;
  return report;
}

SimSystem::StepState SimSystem::measureStepState()
{
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  _stepStartVelocity.resize(size_t(n));
  double fastest2 = 0.0;
  int natures = 0;
#pragma omp parallel for schedule(static) reduction(max : fastest2) reduction(| : natures)
  for (int64_t i = 0; i < n; ++i) {
    Particle const& p = _particlesArray[size_t(i)];
    _stepStartVelocity[size_t(i)] = p.velocity.cast<float>();
    if (!(p.nature & natureAny))
      continue;
    natures |= p.nature;
    fastest2 = std::max(fastest2, p.velocity.squaredNorm());
  }
  _naturesMeasured = static_cast<char>(natures & natureAny);
  StepState state;
  state.speed = std::max(std::sqrt(fastest2), fastestObjectSpeed());
  state.compression = _lastCompression;
  state.acceleration = _lastAcceleration;
  return state;
}

void SimSystem::measureAcceleration()
{
  // Velocities before the advance: gravity and every force of the sub-step,
  // not the collision response, which sets velocities instead of
  // accelerating them (a particle stopped by the floor is not an impact
  // the next sub-step must shorten for).
  const int64_t n = static_cast<int64_t>(_particlesArray.size());
  if (_stepStartVelocity.size() != size_t(n) || !(_dt > 0.0)) {
    _lastAcceleration = 0.0;
    return;
  }
  double largest2 = 0.0;
#pragma omp parallel for schedule(static) reduction(max : largest2)
  for (int64_t i = 0; i < n; ++i) {
    Particle const& p = _particlesArray[size_t(i)];
    if (p.nature & natureAny)
      largest2 = std::max(largest2, (p.velocity - _stepStartVelocity[size_t(i)].cast<double>()).squaredNorm());
  }
  const double largest = std::sqrt(largest2) / _dt;
  _lastAcceleration = std::isfinite(largest) ? largest : 0.0;
}
