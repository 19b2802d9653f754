#include "UT/UT_DSO.h"

#include "OP/OP_Operator.h"
#include "UT/UT_DSOVersion.h"

#include <dlfcn.h>

#include <cstring>
#include <sys/stat.h>

bool UTloadSopPlugin(std::string const& path, OP_OperatorTable& table, std::string& error)
{
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    error = "plug-in " + path + " not found";
    return false;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    error = "plug-in " + path + " could not be loaded: " + (why ? why : "unknown reason");
    return false;
  }
  using VersionFunction = void (*)(const char**);
  using CompilerFunction = unsigned (*)();
  using RegisterFunction = void (*)(OP_OperatorTable*);
  auto version = reinterpret_cast<VersionFunction>(dlsym(library, "HoudiniDSOVersion"));
  auto compiler = reinterpret_cast<CompilerFunction>(dlsym(library, "HoudiniCompilerVersion"));
  auto registerOperators = reinterpret_cast<RegisterFunction>(dlsym(library, "newSopOperator"));
  if (!version || !compiler || !registerOperators) {
    error = "plug-in " + path + " is not a geometry-operator plug-in: it lacks " +
            (!version ? "HoudiniDSOVersion" : !compiler ? "HoudiniCompilerVersion" : "newSopOperator");
    dlclose(library);
    return false;
  }
  const char* built = nullptr;
  version(&built);
  if (!built || std::strcmp(built, UT_DSO_VERSION) != 0 || compiler() != UT_DSO_COMPILER_VERSION) {
    error = "plug-in " + path + " was built for host " + (built ? built : "(none)") + " with toolchain " +
            std::to_string(compiler()) + "; this host is " + UT_DSO_VERSION + " with toolchain " +
            std::to_string(UT_DSO_COMPILER_VERSION) + ": rebuild the plug-in against this host";
    dlclose(library);
    return false;
  }
  // The library stays loaded: its operators' code and templates live in it.
  registerOperators(&table);
  return true;
}
