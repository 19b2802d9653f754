// The solver operator's parameter list: tokens, labels, types, defaults
// (expressions where a default follows another parameter), menus and folders.
#include "SOP_Taluno.h"

namespace {

PRM_Name names[] = {
    {"reset", "Reset Frame"},
    {"particlesInteractionRadius", "Interaction Radius"},
    {"gridCellSize", "Grid Cell Size"},
    {"subSteps", "SubSteps"},
    {"gravity", "Gravity"},
    {"particleRadius", "Particle Radius"},
    {"sceneScale", "Unit Length (m)"},
    {"type", "Type"},
    {"verbose", "Verbose"},
    {"mainTabs", nullptr},
    // Springs
    {"springs", "Enable"},
    {"springsNeighborSearchRadius", "Search Radius"},
    {"automaticSpringRestLength", "Automatic Rest Length"},
    {"springRestLength", "Rest Length"},
    {"springConstant", "Constant"},
    {"springDamping", "Damping"},
    {"plasticDeformation", "Plastic Deformation"},
    {"yieldRatio", "Yield Ratio"},
    {"plasticityConstant", "Plasticity Constant"},
    {"springsCanBreak", "Springs Can Break"},
    {"springsBreakLengthThreshold", "Stretch Limit"},
    {"springsBreakForceThreshold", "Force Limit"},
    {"springsCanReconnect", "Springs Can Reconnect"},
    // Fluid
    {"fluid", "Enable"},
    {"showGhostParticles", "Show Ghost Particles"},
    {"fluidTabs", nullptr},
    {"restDensity", "Rest Density"},
    {"internalPressure", "Internal Pressure"},
    {"surfaceTension", "Enable"},
    {"surfaceTensionThreshold", "Threshold"},
    {"surfaceTensionScale", "Scale"},
    {"addPointsNormals", "Add Points Normals"},
    {"viscosity", "Enable"},
    {"viscosityFactor", "Viscosity Factor"},
    // Collisions
    {"objectsCollisions", "Collide With Objects"},
    {"interParticleCollisions", "Inter-Particle Collisions"},
    {"interParticlesCollMode", "Mode"},
    {"interParticlesCollShape", "Shape"},
    {"enableRotations", "Enable Rotations"},
    {"randInitRotations", "Random Initial Rotations"},
    {"addRotAttribs", "Add Rotation Attributes"},
    {"normalConstant", "Normal Constant"},
    {"normalDamping", "Normal Damping"},
    {"shearDamping", "Shear Damping"},
    {"coulombConstant", "Coulomb's Constant"},
    {"enforceStaticFriction", "Enforce Static Friction"},
    {"shearConstant", "Shear Constant"},
    // Colors
    {"colorData", "Data"},
    {"colorDataInterval", "Interval"},
    // Sub-steps, beyond the 49 parameters above
    {"adaptiveSubSteps", "Automatic SubSteps"},
    {"maxSubSteps", "Maximum SubSteps"},
    // Materials: how a liquid meets itself and the solids in it
    {"clampNegativePressure", "Clamp Negative Pressure"},
    {"grainDensity", "Grain Density"},
    {"softBodyDensity", "Soft Body Density"},
    {"physicalMaterials", "Physical Materials"},
    {"soundSpeedRatio", "Sound Speed Ratio"},
    {"kinematicViscosity", "Kinematic Viscosity (m2/s)"},
    {"liquidDamping", "Liquid Damping"},
    {"grainOverlap", "Grain Overlap Under Load"},
    {"restitution", "Restitution"},
    {"shearStiffnessRatio", "Shear Stiffness Ratio"},
    {"shearDampingRatio", "Shear Damping Ratio"},
    {"softStrain", "Soft Body Sag"},
    {"softDampingRatio", "Soft Body Damping Ratio"},
    {"hydrostaticStart", "Start Resting Liquid Settled"},
    {"limitStaticFriction", "Limit Static Friction"},
    {"rollingSpheres", "Spheres Roll"},
    {"rollingFriction", "Rolling Friction"},
    // Reports, below the folders
    {"colliderForces", "Collider Forces"},
};

PRM_Name typeItems[] = {{"points", "Points"}, {"particles", "Particles"}, {"spheres", "Spheres"}, {}};
PRM_Name verboseItems[] = {{"off", "Off"},         {"level1", "Level 1"}, {"level2", "Level 2"}, {"level3", "Level 3"},
                           {"level4", "Level 4"}, {"level5", "Level 5"}, {}};
PRM_Name modeItems[] = {{"spheres", "Spheres"}, {"subParticles", "Sub-Particles"}, {}};
PRM_Name shapeItems[] = {{"tetrahedron", "Tetrahedron"}, {}};
PRM_Name colorItems[] = {{"off", "Off"}, {"velocity", "Velocity"}, {"pressure", "Pressure"}, {}};

PRM_ChoiceList typeMenu(PRM_CHOICELIST_SINGLE, typeItems);
PRM_ChoiceList verboseMenu(PRM_CHOICELIST_SINGLE, verboseItems);
PRM_ChoiceList modeMenu(PRM_CHOICELIST_SINGLE, modeItems);
PRM_ChoiceList shapeMenu(PRM_CHOICELIST_SINGLE, shapeItems);
PRM_ChoiceList colorMenu(PRM_CHOICELIST_SINGLE, colorItems);

PRM_Default resetDefault(1);
PRM_Default interactionRadiusDefault(2.0, "4*ch(particleRadius)");
PRM_Default gridCellSizeDefault(2.0, "ch(particlesInteractionRadius)");
PRM_Default subStepsDefault(2);
PRM_Default gravityDefault(-9.80665);
PRM_Default particleRadiusDefault(0.5);
PRM_Default sceneScaleDefault(0.01);
PRM_Default typeDefault(1);
PRM_Default off(0);
PRM_Default on(1);
PRM_Default mainFolders[] = {{13, "Springs"},  {3, "Fluid"},     {13, "Collisions"},
                             {2, "Colors"},    {2, "Sub-Steps"}, {17, "Materials"}};
PRM_Default maxSubStepsDefault(200);
PRM_Default grainDensityDefault(2650);
PRM_Default softBodyDensityDefault(1000);
PRM_Default soundSpeedRatioDefault(10);
PRM_Default kinematicViscosityDefault(1e-6);
PRM_Default liquidDampingDefault(0.02);
PRM_Default grainOverlapDefault(0.05);
PRM_Default restitutionDefault(0.35);
PRM_Default shearStiffnessRatioDefault(0.025);
PRM_Default shearDampingRatioDefault(1);
PRM_Default softStrainDefault(0.04);
PRM_Default rollingFrictionDefault(0.1);
PRM_Default softDampingRatioDefault(0.4);
PRM_Default searchRadiusDefault(1.5, "3*ch(particleRadius)");
PRM_Default restLengthDefault(1.0);
PRM_Default springConstantDefault(100);
PRM_Default springDampingDefault(1.0);
PRM_Default yieldRatioDefault(0.1);
PRM_Default plasticityDefault(0.3);
PRM_Default stretchLimitDefault(1.3);
PRM_Default forceLimitDefault(10);
PRM_Default fluidFolders[] = {{2, "Basic"}, {4, "Surface Tension"}, {2, "Viscosity"}};
PRM_Default restDensityDefault(998);
PRM_Default internalPressureDefault(1.5);
PRM_Default thresholdDefault(0.85);
PRM_Default scaleDefault(1.0);
PRM_Default viscosityFactorDefault(0.5);
PRM_Default normalConstantDefault(1000);
PRM_Default dampingDefault(10);
PRM_Default coulombDefault(0.5);
PRM_Default shearConstantDefault(10);
PRM_Default colorIntervalDefault[] = {0, 300};

} // namespace

PRM_Template SOP_Taluno::myTemplateList[] = {
    PRM_Template(PRM_INT, 1, &names[0], &resetDefault),
    PRM_Template(PRM_FLT_J, 1, &names[1], &interactionRadiusDefault),
    PRM_Template(PRM_FLT_J, 1, &names[2], &gridCellSizeDefault),
    PRM_Template(PRM_INT_J, 1, &names[3], &subStepsDefault),
    PRM_Template(PRM_FLT_J, 1, &names[4], &gravityDefault),
    PRM_Template(PRM_FLT, 1, &names[5], &particleRadiusDefault),
    PRM_Template(PRM_FLT, 1, &names[6], &sceneScaleDefault),
    PRM_Template(PRM_ORD, 1, &names[7], &typeDefault, &typeMenu),
    PRM_Template(PRM_ORD, 1, &names[8], &off, &verboseMenu),
    PRM_Template(PRM_SWITCHER, 6, &names[9], mainFolders),
    // Springs
    PRM_Template(PRM_TOGGLE_J, 1, &names[10], &on),
    PRM_Template(PRM_FLT_J, 1, &names[11], &searchRadiusDefault),
    PRM_Template(PRM_TOGGLE_J, 1, &names[12], &on),
    PRM_Template(PRM_FLT_J, 1, &names[13], &restLengthDefault),
    PRM_Template(PRM_FLT_J, 1, &names[14], &springConstantDefault),
    PRM_Template(PRM_FLT_J, 1, &names[15], &springDampingDefault),
    PRM_Template(PRM_TOGGLE_J, 1, &names[16], &off),
    PRM_Template(PRM_FLT_J, 1, &names[17], &yieldRatioDefault),
    PRM_Template(PRM_FLT_J, 1, &names[18], &plasticityDefault),
    PRM_Template(PRM_TOGGLE_J, 1, &names[19], &on),
    PRM_Template(PRM_FLT_J, 1, &names[20], &stretchLimitDefault),
    PRM_Template(PRM_FLT_J, 1, &names[21], &forceLimitDefault),
    PRM_Template(PRM_TOGGLE_J, 1, &names[22], &off),
    // Fluid
    PRM_Template(PRM_TOGGLE_J, 1, &names[23], &off),
    PRM_Template(PRM_TOGGLE_J, 1, &names[24], &off),
    PRM_Template(PRM_SWITCHER, 3, &names[25], fluidFolders),
    PRM_Template(PRM_FLT_J, 1, &names[26], &restDensityDefault),
    PRM_Template(PRM_FLT_J, 1, &names[27], &internalPressureDefault),
    PRM_Template(PRM_TOGGLE_J, 1, &names[28], &off),
    PRM_Template(PRM_FLT_J, 1, &names[29], &thresholdDefault),
    PRM_Template(PRM_FLT_J, 1, &names[30], &scaleDefault),
    PRM_Template(PRM_TOGGLE_J, 1, &names[31], &off),
    PRM_Template(PRM_TOGGLE_J, 1, &names[32], &off),
    PRM_Template(PRM_FLT_J, 1, &names[33], &viscosityFactorDefault),
    // Collisions
    PRM_Template(PRM_TOGGLE_J, 1, &names[34], &on),
    PRM_Template(PRM_TOGGLE_J, 1, &names[35], &off),
    PRM_Template(PRM_ORD, 1, &names[36], &off, &modeMenu),
    PRM_Template(PRM_ORD, 1, &names[37], &off, &shapeMenu),
    PRM_Template(PRM_TOGGLE_J, 1, &names[38], &off),
    PRM_Template(PRM_TOGGLE, 1, &names[39], &off),
    PRM_Template(PRM_TOGGLE, 1, &names[40], &off),
    PRM_Template(PRM_FLT_J, 1, &names[41], &normalConstantDefault),
    PRM_Template(PRM_FLT_J, 1, &names[42], &dampingDefault),
    PRM_Template(PRM_FLT_J, 1, &names[43], &dampingDefault),
    PRM_Template(PRM_FLT_J, 1, &names[44], &coulombDefault),
    PRM_Template(PRM_TOGGLE_J, 1, &names[45], &off),
    PRM_Template(PRM_FLT_J, 1, &names[46], &shearConstantDefault),
    // Colors
    PRM_Template(PRM_ORD, 1, &names[47], &off, &colorMenu),
    PRM_Template(PRM_FLT_MINMAX, 2, &names[48], colorIntervalDefault),
    // Sub-Steps: off by default, so that stored scenes step as they always did.
    PRM_Template(PRM_TOGGLE_J, 1, &names[49], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "Choose each frame's sub-steps from the fastest particle and the stiffest force in use (sound "
                 "speed of liquids, viscosity, springs, contacts), with SubSteps as the least and Maximum SubSteps "
                 "as the most."),
    PRM_Template(PRM_INT_J, 1, &names[50], &maxSubStepsDefault),
    // Materials: off and at the densities of quartz sand and of water, so
    // that stored scenes keep their liquid; the liquid presets clamp.
    PRM_Template(PRM_TOGGLE_J, 1, &names[51], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "Keep the liquid's pressure at zero or above: the liquid then never pulls itself together, which "
                 "keeps free surfaces and small drops from clumping into points and bursting apart (surface "
                 "tension still holds a liquid together)."),
    PRM_Template(PRM_FLT_J, 1, &names[52], &grainDensityDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "Density of a grain's material in kg/m^3, as Rest Density (2650 for quartz sand): with the "
                 "liquid's density it sets how a grain sinks, floats and is carried by the liquid's drag."),
    PRM_Template(PRM_FLT_J, 1, &names[53], &softBodyDensityDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "Density of a soft body in kg/m^3, as Rest Density: a soft body denser than the liquid sinks in "
                 "it, a lighter one floats."),
    PRM_Template(PRM_TOGGLE_J, 1, &names[54], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "Derive the liquid's Internal Pressure and Viscosity Factor, the contacts' constants and the "
                 "springs' from the physical properties below, the particle radius, gravity, Unit Length and the "
                 "height the scene spans, at the reset frame: the same material behaves alike at any scale and "
                 "resolution. Constants set by hand (not at their defaults) are kept."),
    PRM_Template(PRM_FLT_J, 1, &names[55], &soundSpeedRatioDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "The liquid's sound speed over the fastest flow the scene can reach (its emitters' speed and a "
                 "fall across its height): 10 keeps a liquid within about 1 % of its rest density."),
    PRM_Template(PRM_FLT_J, 1, &names[56], &kinematicViscosityDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "The liquid's kinematic viscosity in m^2/s (water 1e-6, honey about 3e-3)."),
    PRM_Template(PRM_FLT_J, 1, &names[57], &liquidDampingDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "Artificial viscosity of the liquid, as SPH codes add it (alpha: a viscosity of alpha c h / 8), "
                 "which calms the particles' own noise; added to the kinematic viscosity."),
    PRM_Template(PRM_FLT_J, 1, &names[58], &grainOverlapDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "How far, in particle radii, grains at the bottom of a heap as tall as their emitters press into "
                 "each other under its weight: sets Normal Constant."),
    PRM_Template(PRM_FLT_J, 1, &names[59], &restitutionDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "The share of their approach speed two grains part with: sets Normal Damping."),
    PRM_Template(PRM_FLT_J, 1, &names[60], &shearStiffnessRatioDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "Shear Constant over Normal Constant."),
    PRM_Template(PRM_FLT_J, 1, &names[61], &shearDampingRatioDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "Shear Damping over Normal Damping."),
    PRM_Template(PRM_FLT_J, 1, &names[62], &softStrainDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "How much a soft body as tall as its emitter sags under its own weight, as a share of its "
                 "height: sets the springs' Constant."),
    PRM_Template(PRM_FLT_J, 1, &names[63], &softDampingRatioDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "The springs' damping as a share of critical damping: sets their Damping."),
    // Off by default, so that stored scenes fill as they did; the liquid
    // presets turn it on.
    PRM_Template(PRM_TOGGLE_J, 1, &names[64], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "A liquid filled at rest onto a collider (a tank, the column of a dam break) starts squeezed to "
                 "the density its depth holds at rest, instead of at the rest density throughout: it then stays "
                 "still, where it would settle by a slow breathing that viscosity hardly calms."),
    // Off by default, so that stored scenes keep their grains; the sand
    // preset turns it on.
    PRM_Template(PRM_TOGGLE_J, 1, &names[65], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "With Enforce Static Friction: a sticking contact never holds more than Coulomb Constant times "
                 "its normal force, slipping by the excess, so grains give way at their friction angle however "
                 "slowly they are pushed (a column collapses, a heap settles at its angle of repose). Off, a "
                 "sticking contact holds any load until it slides fast."),
    // Off by default, so that stored scenes keep their grains; the sand
    // preset turns it on.
    PRM_Template(PRM_TOGGLE_J, 1, &names[66], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "Grains turn: a contact's friction spins them as well as slowing them, so that they relieve a "
                 "contact by rolling past each other, as sand does flowing through an opening, where spheres "
                 "that cannot turn have to slide. Rolling Friction then sets how steep a heap stands."),
    PRM_Template(PRM_FLT_J, 1, &names[67], &rollingFrictionDefault, nullptr, nullptr, nullptr, nullptr, 1,
                 "With Spheres Roll: the torque that resists two grains rolling on each other, as a share of "
                 "their normal force times the radius (about 0.1 for sand, more for angular grains): it stands "
                 "for the grains' corners, which round spheres lack."),
    PRM_Template(PRM_TOGGLE, 1, &names[68], &off, nullptr, nullptr, nullptr, nullptr, 1,
                 "Measure the force, in newtons, that the particles put on each collision object over each frame "
                 "(what its collisions take from them and, for a liquid, what its ghost particles push with) and "
                 "write it as a detail attribute force_<node> of three floats: what a load cell holding the "
                 "object would read, averaged over the frame. taluno's probes turn it on."),
    PRM_Template(),
};
