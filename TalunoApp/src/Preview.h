#pragma once

#include <string>
#include <vector>

class GU_Detail;

/// Where the pictures are seen from. Unset (the default), the camera frames
/// what the first picture shows from the front, above and to the right.
struct PreviewView
{
  bool set = false;
  double position[3] = {0, 0, 0};
  double target[3] = {0, 0, 0};
  double fov = 40.0; ///< vertical field of view, degrees
};

/// Draws frames into 640 x 480 PNG pictures with a perspective camera and a
/// depth buffer: particles as shaded spheres of their radius ("pscale", or
/// the fallback) in their colour ("Cd", or their material's), meshes as
/// shaded triangles. Solid meshes (liquid surfaces) hide what is behind them;
/// see-through ones (collision objects: tanks, walls) are drawn opaque where
/// nothing is behind them and as tinted glass over the particles behind them,
/// so that what is inside a container shows. The camera is fixed at the
/// first picture, so that motion shows.
class PreviewCamera
{
public:
  explicit PreviewCamera(PreviewView const& view = {}) : _view(view) {}

  /// One mesh to draw and its colour.
  struct Mesh
  {
    GU_Detail const* geometry;
    float colour[3];
    bool seeThrough = false;
  };

  /// Frames the camera (unless the view is set) on the particles and the
  /// meshes, with a margin, on its first call; then draws them.
  bool write(GU_Detail const& particles, std::vector<Mesh> const& meshes, std::string const& path,
             std::string& problem);

  /// The camera as bytes once framed (empty before), and back: a resumed
  /// run keeps the camera of the run it continues.
  std::string saveView() const;
  bool loadView(std::string const& bytes);

  /// Leaves the particles of a point group out of the pictures: the liquid
  /// that a drawn surface already shows, whose spheres would poke through it.
  void hideGroup(std::string const& group) { _hiddenGroups.push_back(group); }

  static constexpr int width = 640;
  static constexpr int height = 480;

private:
  PreviewView _view;
  std::vector<std::string> _hiddenGroups;
  bool _framed = false;
  double _eye[3] = {0, 0, 0};
  double _forward[3] = {0, 0, 1}, _right[3] = {1, 0, 0}, _up[3] = {0, 1, 0};
  double _focal = 1.0; ///< pixels per unit at unit depth
};
