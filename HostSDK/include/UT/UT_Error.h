#pragma once

/// Error levels of a node, in increasing severity; a cook stops at UT_ERROR_ABORT.
enum UT_ErrorSeverity
{
  UT_ERROR_NONE = 0,
  UT_ERROR_MESSAGE = 1,
  UT_ERROR_WARNING = 2,
  UT_ERROR_ERROR = 3,
  UT_ERROR_ABORT = 4,
  UT_ERROR_FATAL = 5
};

using OP_ERROR = UT_ErrorSeverity;
