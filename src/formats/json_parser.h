#pragma once

#include <cstddef>
#include <string>

#include "formats/json_value.h"

namespace zavex {

// Arrays and objects nested deeper than this are a parse error, so hostile
// input cannot exhaust the stack.
inline constexpr int kMaxJsonNesting = 256;

// Recursive-descent reader over a copy of a UTF-8 text. A document is read by
// one ParseValue call at position 0; text after that value is not looked at.
// Errors throw std::runtime_error, or std::invalid_argument and
// std::out_of_range from the number and escape conversions; nothing is caught.
class JsonParser {
 public:
  explicit JsonParser(std::string text) : text(std::move(text)) {}

  // Each reads at the current position and advances past what it read.
  JsonValue ParseValue();
  JsonObject ParseObject();
  JsonArray ParseArray();
  std::string ParseString();
  double ParseNumber();
  bool ParseBool();

  // Skips space, tab, line feed, vertical tab, form feed and carriage return;
  // returns the new position.
  std::size_t SkipWhitespace();

  std::size_t Position() const { return position; }

 private:
  // The byte at the position, a zero byte at the end of the text.
  char Peek() const;
  // Peek, then step over the byte unless at the end.
  char Take();
  void SkipDigits();
  // Steps over an opening bracket or brace; true, past the closing one, when
  // the container is empty.
  bool OpenIsEmpty(char closing);
  void AppendEscape(std::string& out);
  long ReadHexEscape();
  JsonValue ParseNull();

  std::string text;
  std::size_t position = 0;
  int nesting = 0;
};

}  // namespace zavex
