#pragma once

// The parameter expression language: numbers, + - * / with parentheses and
// unary minus, ch(name) / ch("name") reading the node's own parameters, the
// variables $F (frame), $T (time) and $FPS, and the functions sin, cos, tan
// (degrees, as the host's), abs, min, max, pow, sqrt, floor, ceil, clamp, fit.
#include <functional>
#include <stdexcept>
#include <string>

struct ExpressionError : std::runtime_error
{
  using std::runtime_error::runtime_error;
};

struct ExpressionScope
{
  double time = 0.0;
  double frame = 1.0;
  double fps = 24.0;
  /// Value of the node's own parameter `name` (component 0); throws ExpressionError.
  std::function<double(std::string const&)> channel;
};

/// Evaluates an expression; throws ExpressionError naming what is wrong and where.
double evaluateExpression(std::string const& text, ExpressionScope const& scope);
