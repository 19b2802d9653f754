#include "OutputFiles.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary being written, for a signal handler: a fixed buffer, written
// before the file is created and cleared after it is renamed.
char inProgress[4096] = {};

// This machine's name, reduced to characters safe in a file name.
std::string hostToken()
{
  static const std::string token = [] {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !*name)
      return std::string("host");
    std::string out;
    for (char const* c = name; *c; ++c)
      out += (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-') ? *c : '_';
    return out;
  }();
  return token;
}

bool writeAll(int fd, std::string const& content)
{
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += size_t(n);
  }
  return true;
}

} // namespace

char const* temporaryInProgress() { return inProgress; }

std::string temporaryName(std::string const& path) { return path + ".part-" + hostToken() + "-" + std::to_string(getpid()); }

bool writeAtomically(std::string const& path, std::string const& content, std::string& problem, char const* what)
{
  const std::string named = std::string(what) + (*what ? " " : "") + path;
  const std::string temporary = temporaryName(path);
  if (temporary.size() >= sizeof inProgress) {
    problem = "cannot write " + named + ": its path is too long";
    return false;
  }
  std::memcpy(inProgress, temporary.c_str(), temporary.size() + 1);
  auto fail = [&](int error) {
    problem = "cannot write " + named + ": " + std::strerror(error);
    inProgress[0] = '\0';
    return false;
  };
  // A new file, never an existing one nor a link planted under this name; a
  // leftover of this very process (same host and id) is removed first.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(temporary.c_str(), flags, 0644);
  if (fd < 0 && errno == EEXIST) {
    ::unlink(temporary.c_str()); // removes a link itself, never its target
    fd = ::open(temporary.c_str(), flags, 0644);
  }
  if (fd < 0)
    return fail(errno);
  if (!writeAll(fd, content)) {
    const int error = errno ? errno : EIO;
    ::close(fd);
    ::unlink(temporary.c_str());
    return fail(error);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return fail(error);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return fail(error);
  }
  inProgress[0] = '\0';
  return true;
}

int removeAbandonedTemporaries(std::string const& folder, bool quiet)
{
  namespace fs = std::filesystem;
  std::error_code error;
  int removed = 0;
  const std::string host = hostToken();
  for (auto const& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const size_t at = name.rfind(".part");
    if (at == std::string::npos || at == 0)
      continue;
    // ".part-<host>-<pid>", or ".part<pid>" from earlier versions.
    std::string rest = name.substr(at + 5);
    std::string writerHost;
    if (!rest.empty() && rest[0] == '-') {
      const size_t dash = rest.rfind('-');
      if (dash == 0)
        continue;
      writerHost = rest.substr(1, dash - 1);
      rest = rest.substr(dash + 1);
    }
    if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos || rest.size() > 9)
      continue;
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      continue;
    const long writer = std::strtol(rest.c_str(), nullptr, 10);
    const bool oursAndGone = writerHost == host && writer > 0 && kill(pid_t(writer), 0) != 0 && errno == ESRCH;
    const bool old = std::time(nullptr) - info.st_mtime > 3600;
    if (!oursAndGone && !old)
      continue;
    if (fs::remove(entry.path(), error)) {
      ++removed;
      if (!quiet)
        std::cerr << "taluno: removed " << entry.path().string() << ", left unfinished by an interrupted run\n";
    }
  }
  return removed;
}

bool OutputLock::claim(std::string const& folder, std::string const& name, std::string& problem)
{
  std::string file;
  for (char c : name)
    file += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') ? c : '_';
  const std::string path = (std::filesystem::path(folder.empty() ? "." : folder) / (".taluno-" + file + ".lock"))
                               .string();
  _fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (_fd < 0) {
    problem = "cannot lock " + path + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(_fd, LOCK_EX | LOCK_NB) != 0) {
    char holder[256] = {};
    const ssize_t n = ::pread(_fd, holder, sizeof holder - 1, 0);
    std::string who = n > 0 ? std::string(holder, size_t(n)) : std::string("another process");
    while (!who.empty() && (who.back() == '\n' || who.back() == ' '))
      who.pop_back();
    problem = "another taluno (" + who + ") is writing " + name + " in " + (folder.empty() ? "." : folder) +
              ": wait for it to finish, or write elsewhere (--output)";
    ::close(_fd);
    _fd = -1;
    return false;
  }
  const std::string me = "process " + std::to_string(getpid()) + " on " + hostToken() + "\n";
  if (::ftruncate(_fd, 0) == 0)
    (void)!::pwrite(_fd, me.data(), me.size(), 0);
  return true;
}

OutputLock::~OutputLock()
{
  if (_fd >= 0)
    ::close(_fd); // releases the claim
}
