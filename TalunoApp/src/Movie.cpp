#include "Movie.h"

#include "OutputFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

std::string findProgram(std::string const& program)
{
  char const* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate))
      return candidate;
  }
  return {};
}

bool makeMovie(std::string const& folder, double fps, std::string const& path, std::string& problem)
{
  const std::string ffmpeg = findProgram("ffmpeg");
  if (ffmpeg.empty()) {
    problem = "cannot make the movie " + path + ": ffmpeg is not installed (apt-get install ffmpeg); the pictures are in " +
              folder;
    return false;
  }
  const std::string temporary = temporaryName(path);
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.6g", fps);
  // The input as a glob: the pictures are numbered by frame, which need not
  // start at 1 nor follow without gaps. Even sizes and 4:2:0 colour keep the
  // movie playable everywhere.
  std::vector<std::string> arguments = {ffmpeg,     "-nostdin",  "-y",           "-loglevel", "error",
                                        "-framerate", rate,      "-pattern_type", "glob",      "-i",
                                        folder + "/frame.*.png", "-pix_fmt",     "yuv420p",   "-vf",
                                        "pad=ceil(iw/2)*2:ceil(ih/2)*2", "-f", "mp4", temporary};
  std::vector<char*> argv;
  for (std::string& a : arguments)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    problem = "cannot make the movie " + path + ": cannot start ffmpeg: " + std::strerror(errno);
    return false;
  }
  if (child == 0) {
    ::execv(ffmpeg.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ::unlink(temporary.c_str());
    problem = "cannot make the movie " + path + ": ffmpeg failed (see its message above); the pictures are in " + folder;
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    problem = "cannot write the movie " + path + ": " + std::strerror(error);
    return false;
  }
  return true;
}
