#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <string>

class GU_Detail;
class Mesh;

/// A mesh from a detail's triangles (corners from the primitive's vertices 2,
/// 1, 0); other polygons are skipped with one warning. Null for null geometry.
Mesh* buildMesh(GU_Detail const* geometry, unsigned int nbKdTreeReturnedVertices);

/// What makes a detail unusable as an object's mesh (points with non-finite
/// coordinates, which no distance or inside test can use), or empty when it
/// is usable.
std::string meshInputProblem(GU_Detail const* geometry);
/// Whether a detail has a triangle for buildMesh to take.
bool hasTriangles(GU_Detail const* geometry);
/// Checks an object node's input geometry: points with non-finite
/// coordinates are refused (an abort error on `node`), a mesh without
/// triangles is accepted with a warning saying `withoutTriangles`. False
/// when refused: the node then keeps its object as it was.
class OP_Node;
bool checkMeshInput(OP_Node& node, GU_Detail const* geometry, char const* withoutTriangles);
/// Warns (on `node`) when the mesh is an open surface: with edges that
/// border one triangle only it has no inside, which `what` needs.
void warnOpenSurface(OP_Node& node, Mesh const* mesh, char const* what);
/// Refuses a negative "nbKdTreeReturnedVertices" (an abort error on `node`):
/// as an unsigned count it would ask each distance query for billions of
/// vertices. False when refused.
bool checkKdTreeVertices(OP_Node& node, int nbKdTreeReturnedVertices);

/// Translation times rotations about z, y and x (degrees): a point turns about
/// x first, then y, then z, then moves. Column-major, for column vectors.
Eigen::Matrix4d buildTransform(double tx, double ty, double tz, double rx, double ry, double rz);

/// Stamps an object node's output with its UID, the low 32 bits of the
/// detail's identifier, as the detail attribute "CollisionObjectUID" (kept
/// through merges); returns the UID.
int32_t stampObjectUid(GU_Detail& gdp);

/// The host's single-precision row-vector matrix of a column-vector transform.
class UT_Matrix4F;
void toHostMatrix(Eigen::Matrix4d const& m, UT_Matrix4F& out);
