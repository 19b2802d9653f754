#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct Scene;

/// A run's state after one frame: what each node that keeps state between
/// cooks saved, with what identifies the run it belongs to.
struct Checkpoint
{
  static constexpr uint32_t formatVersion = 3;

  int frame = 0;               ///< the last frame simulated
  std::string programVersion;  ///< the taluno that wrote it
  uint64_t sceneHash = 0;      ///< of the scene's simulated part (see simulatedPart)
  std::string scene;           ///< that part itself, to say what changed
  uint64_t points = 0;         ///< points of the main output at the frame
  /// Node name and its saved bytes, for every node that keeps state.
  std::vector<std::pair<std::string, std::string>> nodes;
  /// The preview camera, fixed at the run's first picture (empty without one).
  std::string previewView;
};

/// The part of a scene that decides what is simulated, as canonical JSON:
/// frames per second and every node with its type, inputs, preset and
/// parameters. Frame ranges and outputs may change between a run and its
/// resumption; this may not.
std::string simulatedPart(Scene const& scene);
/// A 64-bit FNV-1a hash of `size` bytes at `data`, or of a whole string.
uint64_t hashBytes(char const* data, size_t size);
inline uint64_t hashBytes(std::string const& bytes) { return hashBytes(bytes.data(), bytes.size()); }

/// The checkpoint as a file's bytes: a header (magic, format version,
/// program version, scene hash, frame, points), the nodes' states, and a
/// checksum of all that precedes it.
std::string encodeCheckpoint(Checkpoint const& checkpoint);
/// Reads a checkpoint's bytes; false with the reason when they are not a
/// whole, undamaged checkpoint of this format.
bool decodeCheckpoint(std::string const& bytes, Checkpoint& checkpoint, std::string& problem);

/// What differs between the simulated parts of two scenes, one line per
/// node or setting; empty when nothing does.
std::vector<std::string> sceneDifferences(std::string const& saved, std::string const& now);

/// Checkpoint files of a scene in a folder, named `<stem>.<frame>.ckpt`,
/// newest frame first.
std::vector<std::pair<int, std::string>> listCheckpoints(std::string const& folder, std::string const& stem);
std::string checkpointPath(std::string const& folder, std::string const& stem, int frame);
