#pragma once

class OP_OperatorTable;

/// Registers the host application's own geometry operators: "box", "sphere",
/// "grid", "tube", "transform", "merge" and "file" (OBJ meshes and the .geo files this
/// program writes).
void registerGeometryOperators(OP_OperatorTable& table);
