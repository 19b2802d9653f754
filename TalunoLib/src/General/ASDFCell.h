#pragma once

/// A sample point of a distance field, shared by the cells that meet there.
class Corner
{
public:
  Corner(double x, double y, double z) : x(x), y(y), z(z) {}

  /// Value of a corner whose distance has not been computed.
  static constexpr double unset = double(3.4e38f);

  double x, y, z;          ///< object-space position
  double distance = unset; ///< signed distance, positive outside
};

/// A cubic cell of the adaptive distance field's octree. Corner k has bit 4
/// set on the upper x side, bit 2 on the upper y side and bit 1 on the upper z
/// side; child k occupies the octant on the same sides as corner k.
class ASDFCell
{
public:
  /// A root cell centred on (cx, cy, cz) with edge `size`; owns its corners.
  ASDFCell(double cx, double cy, double cz, double size);
  /// An empty child: no corners yet, no children.
  explicit ASDFCell(ASDFCell* parent);
  ~ASDFCell();

  ASDFCell(ASDFCell const&) = delete;
  ASDFCell& operator=(ASDFCell const&) = delete;

  /// Creates the eight children with the 19 new corners they need and shares
  /// the rest; this cell owns the new corners.
  void SubDivide();

  bool isLeaf() const { return _children[0] == nullptr; }

  Corner* _corners[8] = {};    ///< shared with neighbouring cells of one subdivision
  ASDFCell* _parent = nullptr; ///< null for the root
  ASDFCell* _children[8] = {}; ///< all null for a leaf, owned
};
