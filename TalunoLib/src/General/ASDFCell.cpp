#include "ASDFCell.h"

#include <initializer_list>

ASDFCell::ASDFCell(double cx, double cy, double cz, double size)
{
  const double h = size / 2.0;
  for (int k = 0; k < 8; ++k)
    _corners[k] = new Corner(k & 4 ? cx + h : cx - h, k & 2 ? cy + h : cy - h, k & 1 ? cz + h : cz - h);
}

ASDFCell::ASDFCell(ASDFCell* parent) : _parent(parent) {}

namespace {

Corner* midpoint(Corner const* a, Corner const* b)
{
  return new Corner((a->x + b->x) / 2.0, (a->y + b->y) / 2.0, (a->z + b->z) / 2.0);
}

} // namespace

void ASDFCell::SubDivide()
{
  ASDFCell** c = _children;
  for (int k = 0; k < 8; ++k) {
    c[k] = new ASDFCell(this);
    c[k]->_corners[k] = _corners[k];
  }
  Corner* const* p = _corners;
  // The 19 new corners, each the midpoint of two of this cell's corners.
  for (int k = 1; k <= 7; ++k)
    c[0]->_corners[k] = c[k]->_corners[0] = midpoint(p[0], p[k]);
  for (int k : {3, 5, 7})
    c[1]->_corners[k] = midpoint(p[1], p[k]);
  for (int k : {3, 6})
    c[2]->_corners[k] = midpoint(p[2], p[k]);
  for (int k = 2; k <= 6; ++k)
    c[k]->_corners[7] = midpoint(p[7], p[k]);
  for (int k : {5, 6})
    c[4]->_corners[k] = midpoint(p[4], p[k]);

  // The remaining corners are shared.
  c[1]->_corners[2] = c[0]->_corners[3];
  c[1]->_corners[4] = c[0]->_corners[5];
  c[1]->_corners[6] = c[0]->_corners[7];
  c[2]->_corners[4] = c[0]->_corners[6];
  c[2]->_corners[5] = c[0]->_corners[7];
  c[3]->_corners[4] = c[0]->_corners[7];
  c[3]->_corners[5] = c[1]->_corners[7];
  c[3]->_corners[6] = c[2]->_corners[7];
  c[5]->_corners[6] = c[4]->_corners[7];
  for (int i = 1; i <= 7; ++i)
    for (int j = i + 1; j <= 7; ++j)
      c[j]->_corners[i] = c[i]->_corners[j];
}

ASDFCell::~ASDFCell()
{
  if (!_parent)
    for (Corner* corner : _corners)
      delete corner;
  if (!isLeaf()) {
    // The corners this cell's subdivision created.
    ASDFCell** c = _children;
    for (int k = 1; k <= 7; ++k)
      delete c[0]->_corners[k];
    for (int k : {3, 5, 7})
      delete c[1]->_corners[k];
    for (int k : {3, 6})
      delete c[2]->_corners[k];
    for (int k = 2; k <= 6; ++k)
      delete c[k]->_corners[7];
    for (int k : {5, 6})
      delete c[4]->_corners[k];
    for (ASDFCell* child : _children)
      delete child;
  }
}
