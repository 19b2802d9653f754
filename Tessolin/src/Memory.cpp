#include "Memory.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// A number from a file such as /sys/fs/cgroup/memory.max; infinite for
// "max", a missing file or anything else.
double numberIn(char const* path)
{
  std::ifstream in(path);
  std::string word;
  if (!(in >> word) || word.find_first_not_of("0123456789") != std::string::npos)
    return std::numeric_limits<double>::infinity();
  return std::stod(word);
}

// A "Name: value kB" line of /proc/meminfo or /proc/self/status, in bytes.
double kilobytesLine(char const* path, std::string const& name)
{
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, name.size() + 1, name + ":") == 0) {
      try {
        return std::stod(line.substr(name.size() + 1)) * 1024.0;
      } catch (std::exception const&) {
        break;
      }
    }
  return std::numeric_limits<double>::infinity();
}

} // namespace

double availableMemory()
{
  double available = kilobytesLine("/proc/meminfo", "MemAvailable");
  if (!std::isfinite(available))
    available = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const double used = kilobytesLine("/proc/self/status", "VmSize");
    available = std::min(available, double(limit.rlim_cur) - (std::isfinite(used) ? used : 0.0));
  }
  // Control groups: version 2, then version 1.
  const double v2 = numberIn("/sys/fs/cgroup/memory.max") - numberIn("/sys/fs/cgroup/memory.current");
  if (std::isfinite(v2))
    available = std::min(available, v2);
  const double v1 = numberIn("/sys/fs/cgroup/memory/memory.limit_in_bytes");
  if (std::isfinite(v1) && v1 < 1e18)
    available = std::min(available, v1 - numberIn("/sys/fs/cgroup/memory/memory.usage_in_bytes"));
  return std::max(available, 0.0);
}
