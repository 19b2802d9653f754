// Physical materials: with "physicalMaterials" on, the constants that set a
// material's stiffness and time (the liquid's Internal Pressure and Viscosity
// Factor, the contacts' and the springs' constants, all per unit mass) are
// derived at the reset frame from physical properties, the particle radius,
// gravity, Unit Length and the height the scene spans, so that the same
// material behaves alike at any scale and resolution:
// - liquid: a sound speed a fixed multiple of the fastest flow the scene can
//   reach (its emitters' speed and a fall across its height), as weakly
//   compressible SPH codes choose it (Monaghan 1994), and the kinematic
//   viscosity plus an artificial one, alpha c h / 8 (Monaghan 1992);
// - grains: the stiffness that presses grains at the bottom of a heap as
//   tall as their emitters a set share of their radius into each other
//   (without gravity, two grains meeting at the fastest flow half of it), and the
//   damping of a spring-dashpot pair of the set restitution;
// - soft bodies: the stiffness that lets a body as tall as its emitter sag a
//   set share under its weight, and a share of critical damping.
// A constant the user set (not at its default) is kept.
#include "SOP_Taluno.h"

#include "CollisionObject.h"
#include "EmitterObject.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

SOP_Taluno::SceneExtent SOP_Taluno::sceneExtent(char natures) const
{
  SimSystem const& s = *_system;
  SceneExtent e;
  const double inf = std::numeric_limits<double>::infinity();
  double top = -inf, bottom = inf, softLow = inf, softHigh = -inf;
  for (auto const& [index, emitter] : s._emitterObjects) {
    if (!emitter)
      continue;
    e.emitterSpeed = std::max(e.emitterSpeed, emitter->_velocity.norm());
    for (Eigen::Vector3d const& p : emitter->_positions) {
      top = std::max(top, p.y() + s.particleRadius);
      bottom = std::min(bottom, p.y() - s.particleRadius);
      if (emitter->_nature & natures) {
        softLow = std::min(softLow, p.y() - s.particleRadius);
        softHigh = std::max(softHigh, p.y() + s.particleRadius);
      }
    }
  }
  // Whatever falls lands on a collider: its box bounds how far.
  for (auto const& [index, object] : s._collisionObjects)
    if (object && object->_asdf)
      for (int corner = 0; corner < 8; ++corner)
        bottom = std::min(bottom, object->_asdf->worldCorner(corner, true).y());
  e.height = top > bottom ? top - bottom : 0.0;
  e.bodyHeight = softHigh > softLow ? softHigh - softLow : e.height;
  return e;
}

void SOP_Taluno::deriveMaterials(double T)
{
  _derived.clear();
  if (evalInt("physicalMaterials", 0, T) == 0)
    return;
  SimSystem const& s = *_system;
  auto property = [&](char const* name) { return double(float(evalFloat(name, 0, T))); };
  std::vector<std::string> became;
  auto derive = [&](char const* token, char const* label, double value) {
    if (!isParmDefault(token, 0)) {
      became.push_back(std::string(label) + " kept at " + number(double(float(evalFloat(token, 0, T)))) +
                       " (set by hand)");
      return;
    }
    _derived[token] = double(float(value));
    became.push_back(std::string(label) + " " + number(double(float(value))));
  };
  const double g = std::abs(s.gravity);
  const double radius = s.particleRadius;
  const double d = 2.0 * radius;
  const double unit = s._unitLength;
  SceneExtent const extent = sceneExtent(natureSoftBody);
  const double heapHeight = sceneExtent(natureGranular).bodyHeight;
  const double height = std::max(extent.height, d);
  const double fastest = extent.emitterSpeed + std::sqrt(2.0 * g * height);
  std::string why = "height " + number(height) + " units, fastest flow " + number(fastest) + " units/s";

  if (evalInt("fluid", 0, T) != 0) {
    const double c = property("soundSpeedRatio") * fastest;
    if (c > 0.0) {
      derive("internalPressure", "Internal Pressure", c * c * unit);
      const double own = property("kinematicViscosity") / (unit * unit);
      const double damping = property("liquidDamping") * c * s.particlesInteractionRadius / 8.0;
      derive("viscosityFactor", "Viscosity Factor", (own + damping) * s.restDensity * unit * unit);
      why += ", sound speed " + number(c) + " units/s";
      warnIfDampingHidesViscosity(own, damping, property("liquidDamping"), fastest * height, unit);
    } else {
      addError(UT_ERROR_WARNING, "Physical Materials: nothing moves the liquid (no gravity, no emitter speed), so "
                                 "no sound speed follows from the scene: Internal Pressure is kept");
    }
  }
  if (evalInt("interParticleCollisions", 0, T) != 0) {
    // The bottom grain of a heap as tall as the grains' emitters bears the
    // weight of the grains above it, per unit mass N g; the overlap it takes
    // under it is a set share of the radius.
    const double grains = std::max(1.0, heapHeight / d);
    // Without gravity nothing weighs: then two grains meeting at the fastest
    // flow press no more than half a radius into each other (relative
    // motion x'' = -2 kn x: overlap v / sqrt(2 kn)).
    const double kn = g > 0.0 ? grains * g / (std::max(property("grainOverlap"), 1e-6) * radius)
                              : 2.0 * fastest * fastest / (radius * radius);
    // A pair's relative motion is x'' = -2 kn x - 2 gn x': a spring-dashpot
    // of restitution e has the damping ratio -ln e / sqrt(pi^2 + ln^2 e).
    const double e = std::clamp(property("restitution"), 1e-6, 1.0);
    const double zeta = -std::log(e) / std::sqrt(M_PI * M_PI + std::log(e) * std::log(e));
    const double gn = zeta * std::sqrt(2.0 * kn);
    derive("normalConstant", "Normal Constant", kn);
    derive("normalDamping", "Normal Damping", gn);
    derive("shearConstant", "Shear Constant", property("shearStiffnessRatio") * kn);
    derive("shearDamping", "Shear Damping", property("shearDampingRatio") * gn);
  }
  if (evalInt("springs", 0, T) != 0) {
    // A column of n = H / d particles: the bottom springs (the one below
    // and the four diagonal ones, each along the load by half) bear the
    // weight n g per unit mass at a strain of the set sag.
    const double sag = std::max(property("softStrain"), 1e-6);
    const double k = g * extent.bodyHeight / (3.0 * sag * d * d);
    // A pair's relative motion x'' = -2 k x - 2 c d x' (the damping acts on
    // the unnormalised span, about d): c = zeta sqrt(2 k) / d.
    const double c = property("softDampingRatio") * std::sqrt(2.0 * k) / d;
    derive("springConstant", "Constant (springs)", k);
    derive("springDamping", "Damping (springs)", c);
  }
  std::string text;
  for (std::string const& b : became)
    text += (text.empty() ? "" : ", ") + b;
  if (!text.empty())
    addError(UT_ERROR_MESSAGE, "Physical Materials (" + why + "): " + text);
}

void SOP_Taluno::warnIfDampingHidesViscosity(double own, double damping, double alpha, double flow, double unit)
{
  // A liquid's own viscosity shapes its flow while the scene's Reynolds
  // number (fastest flow x height / viscosity) is below about 10^4; the
  // artificial viscosity that calms the particles grows with the particle
  // radius, and where it is the larger a thick liquid flows as thick as
  // the radius makes it, much as water does at that radius.
  if (!(own > 0.0))
    return;
  const double reynolds = flow / own;
  if (!(reynolds < 1e4) || !(damping > own))
    return;
  const double radius = _system->particleRadius;
  addError(UT_ERROR_WARNING,
           "Physical Materials: at Particle Radius " + number(radius) + " the liquid's artificial viscosity (Liquid "
           "Damping x sound speed x interaction radius / 8, " + number(damping * unit * unit) + " m^2/s) is " +
           number(damping / own) + " times its own (Kinematic Viscosity " + number(own * unit * unit) +
           " m^2/s), which shapes this scene's flow (Reynolds number " + number(reynolds) + "): it flows much "
           "as water does at this radius. A Particle Radius of about " + number(radius * own / damping) +
           ", or Liquid Damping of about " + number(alpha * own / damping) +
           " (a noisier liquid), lets its own viscosity show");
}
