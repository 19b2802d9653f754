#pragma once

#include <string>

class OP_OperatorTable;

/// Loads a geometry-operator plug-in: opens the library, checks that it was
/// built for this host (HoudiniDSOVersion, HoudiniCompilerVersion) and lets it
/// register its operators (newSopOperator). On failure returns false and says
/// why in `error`; the table is left as it was.
bool UTloadSopPlugin(std::string const& path, OP_OperatorTable& table, std::string& error);
