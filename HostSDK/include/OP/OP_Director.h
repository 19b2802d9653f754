#pragma once

#include "CH/CH_Manager.h"

/// The host's top-level object, shared by every node and plug-in.
class OP_Director
{
public:
  CH_Manager* getChannelManager() { return &_channels; }

private:
  CH_Manager _channels;
};

/// The process-wide director.
OP_Director* OPgetDirector();
