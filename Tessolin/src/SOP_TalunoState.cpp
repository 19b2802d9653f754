// The solver node's state between cooks, for checkpoints: its own counters,
// the objects it handed over (named by their place among its inputs), the
// output geometry it grows frame by frame, and the simulation.
#include "CollisionObject.h"
#include "EmitterObject.h"
#include "SOP_Taluno.h"

#include <map>
#include "SimSystem.h"
#include "StateReader.h"
#include "StateWriter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace {

constexpr uint32_t nodeTag = 0x554c4154; // "TALU"
constexpr uint32_t nodeVersion = 2;

constexpr GA_AttributeOwner owners[] = {GA_ATTRIB_POINT, GA_ATTRIB_PRIMITIVE, GA_ATTRIB_DETAIL};

GA_Size elementsOf(GU_Detail const& gdp, GA_AttributeOwner owner)
{
  return owner == GA_ATTRIB_POINT ? gdp.getNumPoints() : owner == GA_ATTRIB_PRIMITIVE ? gdp.getNumPrimitives() : 1;
}

// The whole detail: points, primitives, attributes with their values, and
// point groups, each in its order.
void writeDetail(StateWriter& out, GU_Detail const& gdp)
{
  const GA_Size points = gdp.getNumPoints();
  out.value(uint64_t(points));
  for (GA_Offset p = 0; p < points; ++p) {
    const UT_Vector3 v = gdp.getPos3(p);
    for (int c = 0; c < 3; ++c)
      out.value(float(v[c]));
  }
  out.value(uint64_t(gdp.getNumPrimitives()));
  for (GA_Offset q = 0; q < gdp.getNumPrimitives(); ++q) {
    GEO_Primitive const* prim = gdp.getGEOPrimitive(q);
    out.value(int32_t(prim->getTypeId()));
    out.values(prim->points());
    if (prim->getTypeId() == GA_PRIMPOLY)
      out.value(static_cast<GEO_PrimPoly const*>(prim)->isClosed());
    else if (prim->getTypeId() == GA_PRIMSPHERE)
      out.value(static_cast<GEO_PrimSphere const*>(prim)->radius);
  }
  for (GA_AttributeOwner owner : owners) {
    std::vector<GA_Attribute*> const attributes = gdp.attributes(owner);
    out.value(uint64_t(attributes.size()));
    for (GA_Attribute const* a : attributes) {
      out.text(a->getName());
      out.value(int32_t(a->getTupleSize()));
      out.value(int32_t(a->getStorage()));
      out.value(a->getOptions().getOptionB("export_on_merge"));
      for (int c = 0; c < a->getTupleSize(); ++c)
        out.value(a->getDefaults().get(c));
      const GA_Size n = elementsOf(gdp, owner);
      for (GA_Offset e = 0; e < n; ++e)
        for (int c = 0; c < a->getTupleSize(); ++c)
          out.value(a->get(e, c));
    }
  }
  std::vector<GA_PointGroup*> const groups = gdp.pointGroups();
  out.value(uint64_t(groups.size()));
  for (GA_PointGroup const* g : groups) {
    out.text(g->getName());
    out.value(g->isInternal());
    std::vector<char> members(static_cast<size_t>(points));
    for (GA_Offset p = 0; p < points; ++p)
      members[size_t(p)] = g->contains(p) ? 1 : 0;
    out.values(members);
  }
}

void readDetail(StateReader& in, GU_Detail& gdp)
{
  gdp.clearAndDestroy();
  const uint64_t points = in.count(uint64_t(INT32_MAX), 12, "output points");
  for (uint64_t p = 0; p < points; ++p) {
    const GA_Offset point = gdp.appendPointOffset();
    float v[3];
    for (float& c : v)
      c = in.value<float>("an output point");
    gdp.setPos3(point, UT_Vector3(v[0], v[1], v[2]));
  }
  const uint64_t prims = in.count(uint64_t(INT32_MAX), 4 + 8, "output primitives");
  for (uint64_t q = 0; q < prims; ++q) {
    const int32_t type = in.value<int32_t>("an output primitive");
    if (type != GA_PRIMPOLY && type != GA_PRIMPART && type != GA_PRIMSPHERE)
      throw std::runtime_error("damaged state: an output primitive of unknown type " + std::to_string(type));
    GEO_Primitive* prim = gdp.insertPrimitive(static_cast<GA_PrimitiveTypeId>(type));
    in.values(prim->points(), uint64_t(INT32_MAX), "an output primitive's points");
    for (GA_Offset p : prim->points())
      if (p < 0 || uint64_t(p) >= points)
        throw std::runtime_error("damaged state: an output primitive names a point that does not exist");
    if (type == GA_PRIMPOLY)
      static_cast<GEO_PrimPoly*>(prim)->setClosed(in.value<unsigned char>("an output polygon") != 0);
    else if (type == GA_PRIMSPHERE)
      static_cast<GEO_PrimSphere*>(prim)->radius = in.value<float>("an output sphere");
  }
  for (GA_AttributeOwner owner : owners) {
    const uint64_t count = in.count(1024, 8 + 4 + 4 + 1, "output attributes");
    for (uint64_t k = 0; k < count; ++k) {
      const std::string name = in.text(4096, "an output attribute's name");
      const int32_t size = in.value<int32_t>("an output attribute");
      const int32_t storage = in.value<int32_t>("an output attribute");
      const bool exported = in.value<unsigned char>("an output attribute") != 0;
      if (size < 1 || size > 16 || (storage != GA_STORE_INT32 && storage != GA_STORE_REAL32) || name.empty() ||
          gdp.findAttribute(owner, name))
        throw std::runtime_error("damaged state: output attribute \"" + name + "\" is malformed");
      std::vector<double> defaults(static_cast<size_t>(size));
      for (double& d : defaults)
        d = in.value<double>("an output attribute's defaults");
      GA_Attribute* a = storage == GA_STORE_INT32 ? gdp.addIntTuple(owner, name, size, GA_Defaults(defaults))
                                                  : gdp.addFloatTuple(owner, name, size, GA_Defaults(defaults));
      if (exported)
        a->getOptions().setOptionB("export_on_merge", true);
      const GA_Size n = elementsOf(gdp, owner);
      if (uint64_t(n) * uint64_t(size) > in.left() / sizeof(double))
        throw std::runtime_error("damaged state: it ends inside output attribute \"" + name + "\"");
      for (GA_Offset e = 0; e < n; ++e)
        for (int c = 0; c < size; ++c) {
          // Values were narrowed to their storage when set: anything else is damage.
          const double v = in.value<double>("an output attribute's values");
          const bool fits = storage == GA_STORE_INT32 ? v >= double(INT32_MIN) && v <= double(INT32_MAX)
                                                      : !(std::isfinite(v) && std::fabs(v) > double(FLT_MAX));
          if (!fits)
            throw std::runtime_error("damaged state: output attribute \"" + name + "\" holds a value its storage cannot");
          a->set(e, c, v);
        }
    }
  }
  const uint64_t groups = in.count(1024, 8 + 1 + 8, "output groups");
  for (uint64_t k = 0; k < groups; ++k) {
    const std::string name = in.text(4096, "an output group's name");
    const bool internal = in.value<unsigned char>("an output group") != 0;
    if (name.empty() || gdp.findPointGroup(name))
      throw std::runtime_error("damaged state: output group \"" + name + "\" is malformed");
    GA_PointGroup* g = gdp.newPointGroup(name, internal);
    std::vector<char> members;
    in.values(members, points, "an output group's members");
    for (size_t p = 0; p < members.size(); ++p)
      if (members[p])
        g->add(GA_Offset(p));
  }
}

} // namespace

bool SOP_Taluno::saveData(std::string& bytes) const
{
  StateWriter out(bytes);
  out.value(nodeTag);
  out.value(nodeVersion);
  out.value(_frameCounter);
  out.value(_initialized);
  out.value(_frameTime);
  out.value(_subSteps);
  out.value(_adaptiveSubSteps);
  out.value(_maxSubSteps);
  out.value(uint64_t(_derived.size()));
  for (auto const& [token, value] : _derived) {
    out.text(token);
    out.value(value);
  }
  out.value(_showGhostParticles);
  out.value(_addNormals);
  out.value(_addRotAttribs);
  out.value(bool(_system));
  if (!_system)
    return true;
  // Each object by its place among the objects on the inputs at the last
  // cook: the same network, cooked again, finds the same objects there.
  out.value(uint64_t(_handedOver.size()));
  for (HandedOver const& entry : _handedOver) {
    const auto at = std::find(_inputUids.begin(), _inputUids.end(), entry.uid);
    out.value(int64_t(at == _inputUids.end() ? -1 : at - _inputUids.begin()));
    out.value(entry.kind);
    out.value(entry.index);
    const bool emitted = entry.kind == 1 && entry.object ? static_cast<EmitterObject const*>(entry.object)->_hasEmitted
                                                         : entry.hasEmitted;
    out.value(emitted);
    out.value(bool(entry.object != nullptr));
    out.text(entry.node);
  }
  out.values(_birthTimes);
  writeDetail(out, *gdp);
  _system->saveState(out);
  return true;
}

bool SOP_Taluno::loadData(std::string const& bytes, std::string& problem)
{
  if (bytes.size() < 8) {
    problem = "the solver's saved state is cut short";
    return false;
  }
  StateReader in(bytes.data(), bytes.size());
  if (in.value<uint32_t>("the solver's tag") != nodeTag || in.value<uint32_t>("the solver's version") != nodeVersion) {
    problem = "the saved state is not a solver's of this version";
    return false;
  }
  _pendingState = bytes;
  return true;
}

void SOP_Taluno::restoreState(std::string const& bytes)
{
  StateReader in(bytes.data(), bytes.size());
  in.value<uint32_t>("the solver's tag");
  in.value<uint32_t>("the solver's version");
  const int64_t frameCounter = in.value<int64_t>("the solver's counters");
  const bool initialized = in.value<unsigned char>("the solver's counters") != 0;
  const float frameTime = in.value<float>("the solver's counters");
  const int32_t subSteps = in.value<int32_t>("the solver's counters");
  const bool adaptive = in.value<unsigned char>("the solver's counters") != 0;
  const int32_t maxSubSteps = in.value<int32_t>("the solver's counters");
  std::map<std::string, double> derived;
  const uint64_t derivedCount = in.count(64, 8 + 8, "the solver's derived constants");
  for (uint64_t k = 0; k < derivedCount; ++k) {
    std::string token = in.text(64, "a derived constant");
    derived[token] = in.value<double>("a derived constant");
  }
  const bool ghosts = in.value<unsigned char>("the solver's output settings") != 0;
  const bool normals = in.value<unsigned char>("the solver's output settings") != 0;
  const bool rotations = in.value<unsigned char>("the solver's output settings") != 0;
  const bool hasSystem = in.value<unsigned char>("the solver's state") != 0;
  if (!hasSystem) {
    _system.reset();
    _handedOver.clear();
    _frameCounter = frameCounter;
    _initialized = initialized;
    return;
  }

  // A system built from the settings (and the constants the rebuild
  // derived), as at a rebuild, then handed the same objects under the same
  // indices.
  _derived = derived;
  initSystem();
  std::vector<InputObject> const found = inputObjects();
  const uint64_t entries = in.count(1u << 20, 8 + 4 + 8 + 1 + 1 + 8, "the solver's objects");
  for (uint64_t k = 0; k < entries; ++k) {
    const int64_t place = in.value<int64_t>("a solver object");
    const int32_t kind = in.value<int32_t>("a solver object");
    const int64_t index = in.value<int64_t>("a solver object");
    const bool emitted = in.value<unsigned char>("a solver object") != 0;
    const bool held = in.value<unsigned char>("a solver object") != 0;
    const std::string node = in.text(4096, "a solver object's node");
    if ((kind != 0 && kind != 1) || index < -1 || index > int64_t(UINT32_MAX))
      throw std::runtime_error("damaged state: a solver object is malformed");
    if (place >= int64_t(found.size()) || (place >= 0 && found[size_t(place)].object->_objectType != kind))
      throw std::runtime_error("the objects on the solver's inputs are not those the checkpoint holds (object " +
                               std::to_string(k + 1) + ", node \"" + node + "\")");
    _handedOver.push_back(HandedOver{place >= 0 ? found[size_t(place)].uid : -1, kind, index, nullptr, emitted, node});
    if (held && place >= 0 && !handOver(_handedOver.back(), found[size_t(place)].object, false, node))
      throw std::runtime_error("emitter \"" + node + "\" cannot be handed over again");
  }
  _birthTimes.clear();
  in.values(_birthTimes, uint64_t(INT32_MAX), "the particles' birth times");
  _showGhostParticles = ghosts;
  _addNormals = normals;
  _addRotAttribs = rotations;
  readDetail(in, *gdp);
  bindOutput();
  _system->loadState(in);
  if (in.left() != 0)
    throw std::runtime_error("damaged state: " + std::to_string(in.left()) + " bytes follow the simulation's state");
  _frameCounter = frameCounter;
  _initialized = initialized;
  _frameTime = frameTime;
  _subSteps = subSteps;
  _adaptiveSubSteps = adaptive;
  _maxSubSteps = maxSubSteps;
}

void SOP_Taluno::bindOutput()
{
  auto point = [this](char const* name) { return gdp->findPointAttribute(name); };
  _velocityAttribute = point("v");
  _idAttribute = point("ID");
  _rotationAttribute = point("rot");
  _angularVelocityAttribute = point("av");
  _colorAttribute = point("Cd");
  _normalAttribute = point("N");
  _pscaleAttribute = point("pscale");
  _materialAttribute = point("material");
  _densityAttribute = point("density");
  _pressureAttribute = point("pressure");
  _ageAttribute = point("age");
  _materialGroups[0] = gdp->findPointGroup("TalunoSoftBody");
  _materialGroups[1] = gdp->findPointGroup("TalunoLiquid");
  _materialGroups[2] = gdp->findPointGroup("TalunoGranular");
  _particlesGroup = gdp->findPointGroup("TalunoParticles");
  _ghostsGroup = gdp->findPointGroup("TalunoGhostParticles");
  _ghostsToDeleteGroup = gdp->findPointGroup("TalunoGhostParticlesToDelete");
  _particlePrimitive = nullptr;
  for (GA_Offset q = 0; q < gdp->getNumPrimitives(); ++q)
    if (gdp->getGEOPrimitive(q)->getTypeId() == GA_PRIMPART)
      _particlePrimitive = static_cast<GEO_PrimParticle*>(gdp->getGEOPrimitive(q));
  if (!_velocityAttribute || !_idAttribute || (_showGhostParticles && (!_particlesGroup || !_ghostsGroup)))
    throw std::runtime_error("damaged state: the solver's output lacks its velocity, ID or ghost groups");
}
