#pragma once

#include <string>

/// Where `program` is on the PATH, or empty when it is not there.
std::string findProgram(std::string const& program);

/// Encodes the pictures `frame.*.png` of `folder`, in name order, into an
/// H.264 MP4 movie at `fps` frames per second with ffmpeg. The movie is
/// written beside its final name and renamed when ffmpeg finished well, so
/// that a failed encoding leaves no broken movie. On failure says why.
bool makeMovie(std::string const& folder, double fps, std::string const& path, std::string& problem);
