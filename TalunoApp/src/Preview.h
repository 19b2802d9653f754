#pragma once

#include <string>

class GU_Detail;

/// Draws a frame's points as shaded discs into a PNG picture, seen from a
/// camera above and in front of the scene that frames all points; discs are
/// coloured by the colour attribute "Cd", or light blue without one.
class PreviewCamera
{
public:
  /// Frames the points of the first picture; later pictures keep the camera
  /// so that motion shows.
  bool write(GU_Detail const& gdp, std::string const& path, std::string& problem);

private:
  bool _framed = false;
  float _centre[3] = {0, 0, 0};
  float _extent = 1.0f;
};
