// What a run will take, told at the rebuild: the sub-steps each stretch of
// frames needs (from the forces in use, the materials present and the speed
// of a fall across the scene), where Maximum SubSteps will stop it, and after
// the first frame the time the run will take at the pace of that frame.
#include "SOP_Taluno.h"

#include "CollisionObject.h"
#include "EmitterObject.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>

namespace {

std::string duration(double seconds)
{
  if (seconds < 90.0)
    return SOP_Taluno::number(std::ceil(seconds)) + " s";
  if (seconds < 5400.0)
    return SOP_Taluno::number(std::ceil(seconds / 60.0)) + " min";
  return SOP_Taluno::number(std::round(seconds / 360.0) / 10.0) + " h";
}

// Menu indices of the emitter's "nature" to nature bits.
constexpr char natureBits[7] = {1, 2, 4, 3, 5, 6, 7};

} // namespace

std::vector<OP_Node*> SOP_Taluno::upstreamEmitters() const
{
  std::vector<OP_Node*> found, stack;
  std::set<OP_Node const*> seen;
  stack.push_back(const_cast<SOP_Taluno*>(this));
  while (!stack.empty()) {
    OP_Node* node = stack.back();
    stack.pop_back();
    for (unsigned i = 0; i < node->getOperator()->maxInputs(); ++i) {
      OP_Node* input = node->getInput(i);
      if (!input || !seen.insert(input).second)
        continue;
      if (input->getOperator()->getName() == "EmitterObject")
        found.push_back(input);
      else
        stack.push_back(input);
    }
  }
  return found;
}

void SOP_Taluno::noteSubStepEstimate(int reset)
{
  SimSystem& s = *_system;
  CH_Manager const* channels = OPgetDirector()->getChannelManager();
  const int last = int(std::min(channels->getGlobalEndFrame(), double(reset) + 100000.0));
  _estimatedSteps.clear();
  _estimatedFrom = reset + 1;
  if (last <= reset)
    return;

  // The speed of a fall across the scene (and the emitters' speed), and the
  // liquid's compression under it: hydrostatic (2.1 rho0 g H s of pressure
  // at the depth H, in the pair form of the pressure force) or dynamic.
  const double speed = sceneSpeed();
  const double height = speed * speed / std::max(2.0 * std::abs(s.gravity), 1e-9);
  const double stiffness = std::max(s.internalPressure, 1e-12);
  SimSystem::StepState state;
  state.speed = std::max(speed, s.fastestObjectSpeed());
  state.compression =
      1.0 + std::max(2.1 * std::abs(s.gravity) * height, speed * speed) * s._unitLength / stiffness;

  char present = s.naturesPresent();
  std::vector<OP_Node*> const emitters = upstreamEmitters();
  const double least = std::max(1, _subSteps);
  struct Stretch
  {
    int first, last;
    double steps;
    char const* limit;
  };
  std::vector<Stretch> stretches;
  for (int frame = reset + 1; frame <= last; ++frame) {
    const double t = channels->getTime(frame);
    for (OP_Node* emitter : emitters)
      if (emitter->evalInt("active", 0, t) != 0) {
        const int menu = emitter->evalInt("nature", 0, t);
        present |= natureBits[menu >= 0 && menu < 7 ? menu : 0];
      }
    char const* limit = "least";
    const double stable = s.subStepLimits(state, present).shortest(&limit);
    double steps = std::ceil(double(_frameTime) / stable - 1e-9);
    if (!(steps > least)) {
      steps = least;
      limit = "least";
    }
    _estimatedSteps.push_back(steps);
    if (!stretches.empty() && stretches.back().steps == steps && stretches.back().limit == limit)
      stretches.back().last = frame;
    else
      stretches.push_back(Stretch{frame, frame, steps, limit});
  }

  const int most = std::max(_maxSubSteps, _subSteps);
  std::string text;
  for (size_t i = 0; i < stretches.size() && i < 6; ++i) {
    Stretch const& r = stretches[i];
    text += std::string(i ? "; " : "") + number(r.steps) + " a frame for frames " + std::to_string(r.first) +
            (r.last > r.first ? " to " + std::to_string(r.last) : std::string()) +
            (std::string(r.limit) == "least" ? " (SubSteps)" : " (limited by " + limitCause(r.limit) + ")");
  }
  if (stretches.size() > 6)
    text += "; and so on";
  if (_adaptiveSubSteps) {
    addError(UT_ERROR_MESSAGE, "Automatic SubSteps will take about " + text);
    for (Stretch const& r : stretches)
      if (r.steps > most) {
        addError(UT_ERROR_WARNING,
                 "Maximum SubSteps (maxSubSteps) " + std::to_string(most) + " will stop the run at frame " +
                     std::to_string(r.first) + ", which needs about " + number(r.steps) + " sub-steps (limited by " +
                     limitCause(r.limit) + "): raise Maximum SubSteps to at least " + number(r.steps) + ", or " +
                     limitAdvice(r.limit));
        break;
      }
  } else {
    // A note only: the estimate has a margin, and a count somewhat below it
    // usually runs; the guard stops a run whose sub-steps were too long.
    addError(UT_ERROR_MESSAGE, "SubSteps " + std::to_string(_subSteps) + "; the forces in use call for about " + text);
  }
  _timeNextFrame = true;
}

void SOP_Taluno::noteRunTime(double frame, double seconds)
{
  _timeNextFrame = false;
  SimSystem const& s = *_system;
  const double particles = double(s._particlesArray.size());
  const double steps = double(std::max(1u, _frameSteps.steps));
  if (!(particles > 0.0) || !(seconds > 0.0))
    return;
  const double perParticleStep = seconds / (steps * particles);
  double total = 0.0;
  const size_t from = size_t(std::max(0.0, frame - double(_estimatedFrom) + 1.0));
  for (size_t k = from; k < _estimatedSteps.size(); ++k)
    total += _estimatedSteps[k] * particles * perParticleStep;
  if (!(total > 0.0))
    return;
  addError(UT_ERROR_MESSAGE, "the run will take about " + duration(total) + " more (" +
                                 number(std::round(perParticleStep * 1e9) / 1e3) +
                                 " microseconds per particle and sub-step on frame " + number(frame) + ", " +
                                 number(particles) + " particles; emitters that keep emitting add to it)");
}
