#include "Probes.h"

#include "OutputFiles.h"

#include "GU/GU_Detail.h"
#include "SimSystem.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

ProbeLog::ProbeLog(std::string path, std::vector<Point> points, std::vector<std::string> colliders)
    : _path(std::move(path)), _points(std::move(points)), _colliders(std::move(colliders))
{
}

namespace {

// A name as a CSV column may hold it: no commas, quotes or line breaks.
std::string columnName(std::string name)
{
  for (char& c : name)
    if (c == ',' || c == '"' || c == '\n' || c == '\r')
      c = '_';
  return name;
}

} // namespace

std::string ProbeLog::header() const
{
  std::string line = "frame,time_s";
  for (Point const& p : _points)
    line += "," + p.first + "_Pa";
  for (std::string const& node : _colliders)
    for (char axis : {'x', 'y', 'z'})
      line += "," + columnName(node) + "_F" + axis + "_N";
  return line;
}

std::array<double, 3> ProbeLog::forceOn(GU_Detail const& particles, std::string const& node)
{
  GA_Attribute const* force = particles.findAttribute(GA_ATTRIB_DETAIL, SimSystem::colliderForceAttribute(node));
  if (!force)
    return {0.0, 0.0, 0.0};
  return {force->get(0, 0), force->get(0, 1), force->get(0, 2)};
}

void ProbeLog::keepRowsBefore(int frame)
{
  _rows.clear();
  std::ifstream in(_path);
  std::string line;
  if (!std::getline(in, line) || line != header())
    return; // another scene's probes, or none: start afresh
  while (std::getline(in, line)) {
    int f = 0;
    if (std::sscanf(line.c_str(), "%d,", &f) == 1 && f < frame)
      _rows.emplace_back(f, line);
  }
}

double ProbeLog::pressureAt(GU_Detail const& particles, std::array<double, 3> const& at, double reach)
{
  GA_Attribute const* pressure = particles.findPointAttribute("pressure");
  GA_PointGroup const* liquid = particles.findPointGroup("TalunoLiquid");
  if (!pressure || !liquid || !(reach > 0.0))
    return 0.0;
  GA_Attribute const* scale = particles.findAttribute(GA_ATTRIB_DETAIL, "pressureToPascals");
  GA_PointGroup const* ghosts = particles.findPointGroup("TalunoGhostParticles");
  const double reach2 = reach * reach;
  double weights = 0.0, sum = 0.0;
  for (GA_Offset p = 0; p < particles.getNumPoints(); ++p) {
    if (!liquid->contains(p) || (ghosts && ghosts->contains(p)))
      continue;
    const UT_Vector3 x = particles.getPos3(p);
    const double dx = x[0] - at[0], dy = x[1] - at[1], dz = x[2] - at[2];
    const double r2 = dx * dx + dy * dy + dz * dz;
    if (!(r2 < reach2))
      continue;
    // A smooth weight that falls to zero at the reach (the poly6 shape).
    const double w = std::pow(1.0 - r2 / reach2, 3);
    weights += w;
    sum += w * pressure->get(p, 0);
  }
  if (!(weights > 0.0))
    return 0.0;
  return sum / weights * (scale ? scale->get(0, 0) : 1.0);
}

bool ProbeLog::add(int frame, double time, GU_Detail const& particles, double reach, std::string& problem)
{
  std::ostringstream line;
  line.precision(9);
  line << frame << "," << time;
  for (Point const& p : _points)
    line << "," << pressureAt(particles, p.second, reach);
  for (std::string const& node : _colliders)
    for (double component : forceOn(particles, node))
      line << "," << component;
  while (!_rows.empty() && _rows.back().first >= frame)
    _rows.pop_back();
  _rows.emplace_back(frame, line.str());
  std::string content = header() + "\n";
  for (auto const& row : _rows)
    content += row.second + "\n";
  return writeAtomically(_path, content, problem, "probes");
}
