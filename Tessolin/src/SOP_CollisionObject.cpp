#include "SOP_CollisionObject.h"

#include "CollisionObject.h"
#include "Mesh.h"
#include "Memory.h"
#include "OP/OP_Director.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

namespace {

PRM_Name names[] = {
    {"active", "Active"},
    {"hint", "Hint"},
    {"translation", "Translation"},
    {"rotation", "Rotation"},
    {"tabsLevel0", nullptr},
    {"friction", "Friction"},
    {"sticky", "Sticky"},
    {"stickiness", "Stickiness"},
    {"stickDist", "Stick Distance Ratio"},
    {"nbKdTreeReturnedVertices", "Number KdTree Returned Vertices"},
    {"errorThreshold", "Error Threshold"},
    {"maxDepth", "Maximum Depth"},
    {"guide", "Guide Geometry"},
    {"ghostParticles", "Ghost Particles"},
};
PRM_Name hintItems[] = {{"staticGeometry", "Static Geometry"},
                        {"movingGeometry", "Moving Geometry"},
                        {"deformingGeometry", "Deforming Geometry"},
                        {}};
PRM_Name guideItems[] = {{"none", "None"}, {"isoSurface", "ISO Surface"}, {"ASDF", "ASDF"}, {}};
PRM_ChoiceList hintMenu(PRM_CHOICELIST_SINGLE, hintItems);
PRM_ChoiceList guideMenu(PRM_CHOICELIST_SINGLE, guideItems);

PRM_Default on(1);
PRM_Default off(0);
PRM_Default zeros[] = {0, 0, 0};
PRM_Default folders[] = {{4, "Response"}, {4, "ASDF"}, {1, "Fluid"}};
PRM_Default stickinessDefault(10);
PRM_Default stickDistDefault(0.25);
PRM_Default one(1);
PRM_Default errorThresholdDefault(0.01);
PRM_Default maxDepthDefault(5);
PRM_Range frictionRange(PRM_RANGE_RESTRICTED, 0, PRM_RANGE_UI, 1000);
PRM_Range stickDistRange(PRM_RANGE_RESTRICTED, 0, PRM_RANGE_UI, 1);

} // namespace

PRM_Template SOP_CollisionObject::myTemplateList[] = {
    PRM_Template(PRM_TOGGLE, 1, &names[0], &on),
    PRM_Template(PRM_ORD, 1, &names[1], &off, &hintMenu),
    PRM_Template(PRM_FLT_J, 3, &names[2], zeros),
    PRM_Template(PRM_FLT_J, 3, &names[3], zeros),
    PRM_Template(PRM_SWITCHER, 3, &names[4], folders),
    PRM_Template(PRM_FLT_J, 1, &names[5], &off, nullptr, &frictionRange, nullptr, nullptr, 1,
                 "Defines the friction coefficient, doesn't represent a real physical quantity, the higher it goes "
                 "the more friction is applied."),
    PRM_Template(PRM_TOGGLE, 1, &names[6], &off),
    PRM_Template(PRM_FLT_J, 1, &names[7], &stickinessDefault),
    PRM_Template(PRM_FLT_J, 1, &names[8], &stickDistDefault, nullptr, &stickDistRange, nullptr, nullptr, 1,
                 "Defines the distance from the surface, below which the stickiness will be active. This number is "
                 "a percentage of the particle radius."),
    PRM_Template(PRM_INT, 1, &names[9], &one),
    PRM_Template(PRM_FLT, 1, &names[10], &errorThresholdDefault),
    PRM_Template(PRM_INT, 1, &names[11], &maxDepthDefault),
    PRM_Template(PRM_ORD, 1, &names[12], &off, &guideMenu),
    PRM_Template(PRM_TOGGLE, 1, &names[13], &off),
    PRM_Template(),
};

int* SOP_CollisionObject::myOffsets = nullptr;

OP_Node* SOP_CollisionObject::myConstructor(OP_Network* network, const char* name, OP_Operator* op)
{
  return new SOP_CollisionObject(network, name, op);
}

SOP_CollisionObject::SOP_CollisionObject(OP_Network* network, const char* name, OP_Operator* op)
    : SOP_Node(network, name, op)
{
  if (!myOffsets)
    myOffsets = allocIndirect(32);
  _nbKdTreeReturnedVertices = evalInt("nbKdTreeReturnedVertices", &myOffsets[9], 0, 0.0);
  _maxDepth = evalInt("maxDepth", &myOffsets[11], 0, 0.0);
  _errorThreshold = static_cast<float>(evalFloat("errorThreshold", &myOffsets[10], 0, 0.0));
  _registry = TalunoObjects::getInstance();
  flags(4, true);
}

SOP_CollisionObject::~SOP_CollisionObject()
{
  if (_registry)
    _registry->removeObject(_object); // no lookup may return the object destroyed here
  delete _object;
  delete _mesh;
  if (_registry)
    TalunoObjects::release();
}

char const* SOP_CollisionObject::inputLabel(unsigned index) const
{
  return index == 0 ? "Source Geometry" : "Unknown source";
}

unsigned SOP_CollisionObject::disableParms()
{
  const double t = OPgetDirector()->getChannelManager()->getEvaluateTime();
  const bool moving = evalInt("hint", &myOffsets[1], 0, t) == CollisionObject::movingGeometry;
  const bool sticky = evalInt("sticky", &myOffsets[6], 0, t) != 0;
  return enableParm("translation", moving) + enableParm("rotation", moving) + enableParm("stickiness", sticky) +
         enableParm("stickDist", sticky);
}

int SOP_CollisionObject::propagateModification(OP_Node* by, OP_EventType reason, int index, OP_PropagateData& data)
{
  _rebuildMesh = _rebuildObject = false;
  if (reason == OP_PARM_CHANGED) {
    const int nearest = evalInt("nbKdTreeReturnedVertices", &myOffsets[9], 0, 0.0);
    if (nearest != _nbKdTreeReturnedVertices) {
      _rebuildMesh = _rebuildObject = true;
      _nbKdTreeReturnedVertices = nearest;
    }
    const int depth = evalInt("maxDepth", &myOffsets[11], 0, 0.0);
    const float threshold = floatParm("errorThreshold", 10, 0, 0.0);
    if (depth == _maxDepth && threshold == _errorThreshold) {
      _skipClearCache = true;
      return SOP_Node::propagateModification(by, reason, index, data);
    }
    _rebuildObject = true;
    _maxDepth = depth;
    _errorThreshold = threshold;
  } else if (reason == OP_INPUT_REWIRED || reason == OP_INPUT_CHANGED) {
    _rebuildMesh = _rebuildObject = true;
  }
  _skipClearCache = true;
  return SOP_Node::propagateModification(by, reason, index, data);
}

void SOP_CollisionObject::clearCache()
{
  if (!_skipClearCache)
    _rebuildMesh = _rebuildObject = true;
  else
    _skipClearCache = false;
}

CollisionObject* SOP_CollisionObject::newObject(int id, double t)
{
  const int hint = evalInt("hint", &myOffsets[1], 0, 0.0);
  return new CollisionObject(_mesh, double(floatParm("errorThreshold", 10, 0, 0.0)),
                             evalInt("maxDepth", &myOffsets[11], 0, 0.0), double(floatParm("friction", 5, 0, t)),
                             evalInt("sticky", &myOffsets[6], 0, t) != 0, double(floatParm("stickiness", 7, 0, t)),
                             double(floatParm("stickDist", 8, 0, t)),
                             evalInt("ghostParticles", &myOffsets[13], 0, 0.0) != 0,
                             static_cast<CollisionObject::behaviour>(hint), id, t);
}

OP_ERROR SOP_CollisionObject::cookMySop(OP_Context& context)
{
  if (lockInputs(context) >= UT_ERROR_ABORT)
    return error();
  const double t = double(float(OPgetDirector()->getChannelManager()->getEvaluateTime()));
  duplicateSource(0, context);
  const int32_t uid = stampObjectUid(*gdp);
  GU_Detail const* input = inputGeo(0);
  // A mesh with non-finite points has no inside or distance: refuse it and
  // keep the object as it was.
  const int nearestParm = evalInt("nbKdTreeReturnedVertices", &myOffsets[9], 0, 0.0);
  if (!checkMeshInput(*this, input, "this collision object has nothing to collide with") ||
      !checkKdTreeVertices(*this, nearestParm) || !checkFieldSettings(input)) {
    unlockInputs();
    return error();
  }
  const unsigned nearest = static_cast<unsigned>(nearestParm);
  const int hint = evalInt("hint", &myOffsets[1], 0, 0.0);

  if (hint == CollisionObject::staticGeometry || hint == CollisionObject::movingGeometry) {
    if (_rebuildMesh) {
      delete _mesh;
      _mesh = nullptr;
    }
    if (!_mesh)
      _mesh = buildMesh(input, nearest);
    if (_rebuildObject && _object) {
      if (_registry)
        _registry->removeObject(_object);
      delete _object;
      _object = nullptr;
    }
    const auto b = static_cast<CollisionObject::behaviour>(hint);
    if (_object) {
      _object->updateCollisionObjectParms(double(floatParm("friction", 5, 0, t)),
                                          evalInt("sticky", &myOffsets[6], 0, t) != 0,
                                          double(floatParm("stickiness", 7, 0, t)),
                                          double(floatParm("stickDist", 8, 0, t)),
                                          evalInt("ghostParticles", &myOffsets[13], 0, 0.0) != 0, b);
    } else {
      _object = newObject(-1, t);
      if (_registry)
        _registry->addObject(uid, _object);
    }
    if (hint == CollisionObject::movingGeometry) {
      double tr[3], rot[3];
      for (int c = 0; c < 3; ++c) {
        tr[c] = double(floatParm("translation", 2, c, t));
        rot[c] = double(floatParm("rotation", 3, c, t));
      }
      Eigen::Matrix4d m = buildTransform(tr[0], tr[1], tr[2], rot[0], rot[1], rot[2]);
      _object->setTransfoMatrix(m);
      _object->setVelocities(t, tr[0], tr[1], tr[2], rot[0], rot[1], rot[2]);
      toHostMatrix(m, _transform);
      gdp->transform(_transform);
    }
    _rebuildMesh = _rebuildObject = false;
  } else if (hint == CollisionObject::deformingGeometry) {
    delete _mesh;
    _mesh = buildMesh(input, nearest);
    const int id = _object ? _object->_id : -1;
    if (_object) {
      if (_registry)
        _registry->removeObject(_object);
      delete _object;
    }
    _object = newObject(id, t);
    if (_registry)
      _registry->addObject(uid, _object);
  }
  if (_object)
    _object->_active = evalInt("active", &myOffsets[0], 0, 0.0) != 0;
  // Active is read at the start of the run only, so an animated Active (a
  // gate meant to open) would silently stay as it began.
  if (!getExpression("active", 0).empty())
    addError(UT_ERROR_WARNING, "Active (active) is read once, at time 0: its expression or keys do not open or close "
                               "the object during the run; to take it out of the way, set Hint to Moving Geometry "
                               "and animate its Translation");
  warnOpenSurface(*this, _mesh, "particles can pass through it");
  unlockInputs();
  return error();
}

bool SOP_CollisionObject::checkFieldSettings(GU_Detail const* input)
{
  const double threshold = double(floatParm("errorThreshold", 10, 0, 0.0));
  const int depth = evalInt("maxDepth", &myOffsets[11], 0, 0.0);
  if (!(threshold > 0.0) || !std::isfinite(threshold)) {
    addError(UT_ERROR_ABORT, "Error Threshold (errorThreshold) is " + std::to_string(threshold) +
                                 ": it must be greater than 0; at 0 the distance field would refine every cell "
                                 "the surface crosses down to Maximum Depth (0.01 is usual)");
    return false;
  }
  if (depth < 0 || depth > maxFieldDepth) {
    addError(UT_ERROR_ABORT, "Maximum Depth (maxDepth) is " + std::to_string(depth) + ": it must be from 0 to " +
                                 std::to_string(maxFieldDepth) + "; each level halves the field's cells (5 to 7 is usual)");
    return false;
  }
  if (!input)
    return true;
  // At worst the field refines every cell the surface crosses to the
  // deepest level: about 1.5 cells per cell-sized patch of surface, each
  // about 350 bytes with its share of corners and parents.
  double area = 0.0;
  UT_Vector3 lo(1e30f, 1e30f, 1e30f), hi(-1e30f, -1e30f, -1e30f);
  for (GA_Offset p = 0; p < input->getNumPoints(); ++p)
    for (int c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], input->getPos3(p)[c]);
      hi[c] = std::max(hi[c], input->getPos3(p)[c]);
    }
  for (GA_Offset q = 0; q < input->getNumPrimitives(); ++q) {
    GEO_Primitive const* prim = input->getGEOPrimitive(q);
    if (prim->getTypeId() != GA_PRIMPOLY || prim->getVertexCount() != 3)
      continue;
    const UT_Vector3 a = input->getPos3(prim->getPointOffset(0)), b = input->getPos3(prim->getPointOffset(1)),
                     c = input->getPos3(prim->getPointOffset(2));
    const Eigen::Vector3d u(b[0] - a[0], b[1] - a[1], b[2] - a[2]), v(c[0] - a[0], c[1] - a[1], c[2] - a[2]);
    area += 0.5 * u.cross(v).norm();
  }
  const double extent = std::max({double(hi[0] - lo[0]), double(hi[1] - lo[1]), double(hi[2] - lo[2]), 1e-9});
  const double cell = extent / std::ldexp(1.0, depth);
  const double leaves = std::min(std::ldexp(1.0, 3 * depth), 1.5 * area / (cell * cell) + 8.0);
  const double bytes = leaves * 350.0;
  const double memory = availableMemory();
  if (bytes <= memory)
    return true;
  const double GiB = 1024.0 * 1024.0 * 1024.0;
  addError(UT_ERROR_ABORT, "Maximum Depth (maxDepth) " + std::to_string(depth) +
                               " may need up to " + std::to_string(bytes / GiB) +
                               " GiB for this mesh's distance field, more than the " + std::to_string(memory / GiB) +
                               " GiB this process may still use: lower Maximum Depth or raise Error Threshold");
  return false;
}

void SOP_CollisionObject::guideRecursion(ASDFCell const* cell)
{
  if (!cell->isLeaf()) {
    for (ASDFCell const* child : cell->_children)
      guideRecursion(child);
    return;
  }
  Corner const* c0 = cell->_corners[0];
  Corner const* c7 = cell->_corners[7];
  myGuide1->meshCube(2, 2, 2, float(c0->x), float(c7->x), float(c0->y), float(c7->y), float(c0->z), float(c7->z));
}

OP_ERROR SOP_CollisionObject::cookMyGuide1(OP_Context& context)
{
  const int guide = evalInt("guide", &myOffsets[12], 0, 0.0);
  if (guide == 0) {
    myGuide1->clearAndDestroy();
    return error();
  }
  if (lockInputs(context) >= UT_ERROR_ABORT)
    return error();
  myGuide1->clearAndDestroy();
  if (error() < UT_ERROR_ABORT && _object && _object->_asdf && _object->_asdf->_root) {
    if (guide == 1) {
      std::vector<TriangleIS> triangles;
      _object->getIsoSurfaceTriangles(triangles);
      for (TriangleIS const& triangle : triangles) {
        GEO_PrimPoly* poly = GU_PrimPoly::build(myGuide1, 3, false, true);
        for (int v = 0; v < 3; ++v)
          myGuide1->setPos3(poly->getPointOffset(v),
                            UT_Vector3(float(triangle.p[v].x()), float(triangle.p[v].y()), float(triangle.p[v].z())));
      }
    } else if (guide == 2) {
      guideRecursion(_object->_asdf->_root);
    }
  }
  if (evalInt("hint", &myOffsets[1], 0, 0.0) == CollisionObject::movingGeometry)
    myGuide1->transform(_transform);
  unlockInputs();
  return error();
}
