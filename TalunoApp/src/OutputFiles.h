#pragma once

#include <string>

/// Writes `content` to `path` through a temporary file in the same folder,
/// renamed into place when complete: a failed or interrupted write never
/// leaves a truncated file. The temporary is created new (never through an
/// existing file or a symbolic link planted under its name) and named
/// `<path>.part-<host>-<pid>`. On failure says why, naming `what` and the path.
bool writeAtomically(std::string const& path, std::string const& content, std::string& problem,
                     char const* what = "");

/// The name of the temporary `writeAtomically` writes for `path`:
/// `<path>.part-<host>-<pid>`, which `removeAbandonedTemporaries` recognises.
std::string temporaryName(std::string const& path);

/// Removes from `folder` the temporaries that writers which are gone left
/// behind: those of this host whose process no longer runs, and any older
/// than an hour (a writer on another machine sharing the folder finishes a
/// file in far less). Returns how many were removed; names each unless quiet.
int removeAbandonedTemporaries(std::string const& folder, bool quiet);

/// The temporary being written now, or empty: a handler of a second
/// interruption removes it before the program ends at once. Safe to call
/// from a signal handler.
char const* temporaryInProgress();

/// An exclusive claim on writing into a folder under a name (an output
/// pattern): a second taluno claiming the same is refused while the first
/// runs. The claim ends with the process.
class OutputLock
{
public:
  /// Claims `name` in `folder`; false with the reason (naming the process
  /// that holds it) when another holds it.
  bool claim(std::string const& folder, std::string const& name, std::string& problem);
  ~OutputLock();

private:
  int _fd = -1;
};
