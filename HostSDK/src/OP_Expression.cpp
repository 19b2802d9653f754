#include "OP_Expression.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

class Parser
{
public:
  Parser(std::string const& text, ExpressionScope const& scope) : _text(text), _scope(scope) {}

  double parse()
  {
    const double value = sum();
    skipSpaces();
    if (_at != _text.size())
      fail("unexpected '" + std::string(1, _text[_at]) + "'");
    return value;
  }

private:
  static constexpr int maxDepth = 200;

  [[noreturn]] void fail(std::string const& what) const
  {
    throw ExpressionError(what + " at character " + std::to_string(_at + 1));
  }

  void skipSpaces()
  {
    while (_at < _text.size() && std::isspace(static_cast<unsigned char>(_text[_at])))
      ++_at;
  }

  bool accept(char c)
  {
    skipSpaces();
    if (_at < _text.size() && _text[_at] == c) {
      ++_at;
      return true;
    }
    return false;
  }

  void expect(char c)
  {
    if (!accept(c))
      fail(std::string("expected '") + c + "'");
  }

  double sum()
  {
    double value = product();
    for (;;) {
      if (accept('+'))
        value += product();
      else if (accept('-'))
        value -= product();
      else
        return value;
    }
  }

  double product()
  {
    double value = unary();
    for (;;) {
      if (accept('*')) {
        value *= unary();
      } else if (accept('/')) {
        const double divisor = unary();
        if (divisor == 0.0)
          fail("division by zero");
        value /= divisor;
      } else {
        return value;
      }
    }
  }

  double unary()
  {
    // Every nesting (signs, parentheses, function arguments) passes here:
    // bound it, so that no expression can exhaust the stack.
    struct Level
    {
      explicit Level(int& depth) : _depth(++depth) {}
      ~Level() { --_depth; }
      int& _depth;
    } level(_depth);
    if (_depth > maxDepth)
      fail("expression nested more than " + std::to_string(maxDepth) + " levels deep");
    if (accept('-'))
      return -unary();
    if (accept('+'))
      return unary();
    return primary();
  }

  std::string identifier()
  {
    skipSpaces();
    const size_t start = _at;
    while (_at < _text.size() && (std::isalnum(static_cast<unsigned char>(_text[_at])) || _text[_at] == '_'))
      ++_at;
    return _text.substr(start, _at - start);
  }

  double primary()
  {
    skipSpaces();
    if (_at >= _text.size())
      fail("unexpected end of expression");
    const char c = _text[_at];
    if (c == '(') {
      ++_at;
      const double value = sum();
      expect(')');
      return value;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
      char* end = nullptr;
      const double value = std::strtod(_text.c_str() + _at, &end);
      if (end == _text.c_str() + _at)
        fail("malformed number");
      _at = static_cast<size_t>(end - _text.c_str());
      return value;
    }
    if (c == '$') {
      ++_at;
      const std::string name = identifier();
      if (name == "F")
        return _scope.frame;
      if (name == "T")
        return _scope.time;
      if (name == "FPS")
        return _scope.fps;
      fail("unknown variable $" + name);
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const std::string name = identifier();
      expect('(');
      if (name == "ch")
        return channel();
      std::vector<double> args;
      if (!accept(')')) {
        do
          args.push_back(sum());
        while (accept(','));
        expect(')');
      }
      return call(name, args);
    }
    fail("unexpected '" + std::string(1, c) + "'");
  }

  double channel()
  {
    skipSpaces();
    std::string name;
    if (accept('"')) {
      const size_t close = _text.find('"', _at);
      if (close == std::string::npos)
        fail("unterminated string");
      name = _text.substr(_at, close - _at);
      _at = close + 1;
    } else {
      name = identifier();
    }
    if (name.empty())
      fail("ch() needs a parameter name");
    expect(')');
    if (!_scope.channel)
      fail("ch(\"" + name + "\") has no node to read from");
    return _scope.channel(name);
  }

  double call(std::string const& name, std::vector<double> const& a)
  {
    const double toRadians = 3.14159265358979323846 / 180.0;
    auto need = [&](size_t n) {
      if (a.size() != n)
        fail(name + "() takes " + std::to_string(n) + " argument" + (n == 1 ? "" : "s"));
    };
    if (name == "sin") return need(1), std::sin(a[0] * toRadians);
    if (name == "cos") return need(1), std::cos(a[0] * toRadians);
    if (name == "tan") return need(1), std::tan(a[0] * toRadians);
    if (name == "abs") return need(1), std::abs(a[0]);
    if (name == "sqrt") {
      need(1);
      if (a[0] < 0)
        fail("sqrt() of a negative number");
      return std::sqrt(a[0]);
    }
    if (name == "floor") return need(1), std::floor(a[0]);
    if (name == "ceil") return need(1), std::ceil(a[0]);
    // A NaN argument gives NaN whichever side it is on (std::min and
    // std::max would keep or drop it by position).
    if (name == "min") return need(2), std::isnan(a[0]) || std::isnan(a[1]) ? NAN : std::min(a[0], a[1]);
    if (name == "max") return need(2), std::isnan(a[0]) || std::isnan(a[1]) ? NAN : std::max(a[0], a[1]);
    if (name == "pow") return need(2), std::pow(a[0], a[1]);
    if (name == "clamp") return need(3), std::min(std::max(a[0], a[1]), a[2]);
    if (name == "fit") {
      // fit(value, oldmin, oldmax, newmin, newmax), clamped to the old range.
      need(5);
      if (a[2] == a[1])
        return a[3];
      const double t = std::min(std::max((a[0] - a[1]) / (a[2] - a[1]), 0.0), 1.0);
      return a[3] + t * (a[4] - a[3]);
    }
    fail("unknown function " + name + "()");
  }

  std::string const& _text;
  ExpressionScope const& _scope;
  size_t _at = 0;
  int _depth = 0; ///< nesting levels being parsed
};

} // namespace

double evaluateExpression(std::string const& text, ExpressionScope const& scope)
{
  const double value = Parser(text, scope).parse();
  if (!std::isfinite(value))
    throw ExpressionError("the result is not a finite number");
  return value;
}
