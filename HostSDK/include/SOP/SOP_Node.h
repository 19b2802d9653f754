#pragma once

#include "GU/GU_Detail.h"
#include "OP/OP_Node.h"

/// A geometry operator's node: cooks its output detail `gdp` from its inputs.
class SOP_Node : public OP_Node
{
public:
  SOP_Node(OP_Network* network, char const* name, OP_Operator* op) : OP_Node(network, name, op) {}

  /// Cooks the node at a context: the host's entry point. A node cooked at
  /// that time already, with nothing changed since, keeps its result: a
  /// network where nodes share inputs cooks each node once per time.
  OP_ERROR cook(OP_Context& context);
  GU_Detail* getCookedGeo() { return gdp; }
  /// Cooks the node's guide geometry (drawn by the host, not passed on).
  OP_ERROR cookGuide(OP_Context& context);
  GU_Detail* getGuide() { return myGuide1; }

protected:
  virtual OP_ERROR cookMySop(OP_Context& context) = 0;
  virtual OP_ERROR cookMyGuide1(OP_Context&) { return UT_ERROR_NONE; }
  /// Cooks the connected inputs; the worst error level among them.
  OP_ERROR lockInputs(OP_Context& context);
  void unlockInputs() {}
  /// The cooked geometry of input i, or null when it is not connected.
  GU_Detail const* inputGeo(unsigned index) const;
  /// Replaces `detail` (the node's own by default) with a copy of input i's
  /// cooked geometry; an error when the input is not connected.
  OP_ERROR duplicateSource(unsigned index, OP_Context& context, GU_Detail* detail = nullptr);

  GU_Detail* gdp = &_detail;
  GU_Detail* myGuide1 = &_guide;

private:
  GU_Detail _detail;
  GU_Detail _guide;
  double _cookedAt = 0.0;   ///< the time of the last cook
  bool _cooking = false;    ///< inside cookMySop
};
