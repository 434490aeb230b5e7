#include "formats/json_parser.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace zavex {
namespace {

bool IsBlank(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
         byte == '\r';
}

bool IsDigit(char byte) { return byte >= '0' && byte <= '9'; }

int HexDigitValue(char byte) {
  if (IsDigit(byte)) return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// Base-16 conversion of the four escape bytes with strtol's rules: leading
// blanks, a sign and a "0x" prefix are accepted and conversion stops at the
// first byte that is no hexadecimal digit. Written out so that bytes above
// 0x7F behave the same with every C runtime.
long ConvertHexEscape(const char (&bytes)[4]) {
  std::size_t index = 0;
  while (index < 4 && IsBlank(bytes[index])) ++index;
  bool negative = false;
  if (index < 4 && (bytes[index] == '+' || bytes[index] == '-')) {
    negative = bytes[index] == '-';
    ++index;
  }
  if (index + 2 < 4 && bytes[index] == '0' && (bytes[index + 1] | 0x20) == 'x' &&
      HexDigitValue(bytes[index + 2]) >= 0) {
    index += 2;
  }
  if (index >= 4 || HexDigitValue(bytes[index]) < 0) {
    throw std::invalid_argument("invalid stoi argument");
  }
  long code = 0;
  for (; index < 4 && HexDigitValue(bytes[index]) >= 0; ++index) {
    code = code * 16 + HexDigitValue(bytes[index]);
  }
  return negative ? -code : code;
}

void AppendUtf8(std::string& out, long code) {
  if (code < 0x80) {
    out += static_cast<char>(code & 0xFF);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    // Surrogate halves are not paired: each becomes its own three bytes.
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

double ConvertNumber(const std::string& number) {
  const char* begin = number.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  if (end == begin) throw std::invalid_argument("invalid stod argument");
  if (errno == ERANGE) throw std::out_of_range("stod argument out of range");
  return value;
}

// Counts one level of array or object nesting for as long as it lives.
class NestingLevel {
 public:
  explicit NestingLevel(int& nesting) : nesting(nesting) {
    if (nesting >= kMaxJsonNesting) throw std::runtime_error("JSON nesting too deep");
    ++nesting;
  }
  ~NestingLevel() { --nesting; }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;

 private:
  int& nesting;
};

}  // namespace

char JsonParser::Peek() const { return position < text.size() ? text[position] : '\0'; }

char JsonParser::Take() {
  const char byte = Peek();
  if (position < text.size()) ++position;
  return byte;
}

std::size_t JsonParser::SkipWhitespace() {
  while (position < text.size() && IsBlank(text[position])) ++position;
  return position;
}

void JsonParser::SkipDigits() {
  while (IsDigit(Peek())) ++position;
}

JsonValue JsonParser::ParseValue() {
  SkipWhitespace();
  const char byte = Peek();
  switch (byte) {
    case '"':
      return JsonValue(ParseString());
    case '[':
      return JsonValue(ParseArray());
    case '{':
      return JsonValue(ParseObject());
    case 't':
    case 'f':
      return JsonValue(ParseBool());
    case 'n':
      return ParseNull();
    default:
      if (byte == '-' || IsDigit(byte)) return JsonValue(ParseNumber());
      throw std::runtime_error("Invalid JSON at position " + std::to_string(position));
  }
}

JsonValue JsonParser::ParseNull() {
  if (text.compare(position, 4, "null") != 0) throw std::runtime_error("Invalid null value");
  position += 4;
  return JsonValue();
}

bool JsonParser::OpenIsEmpty(char closing) {
  ++position;
  SkipWhitespace();
  if (Peek() != closing) return false;
  ++position;
  return true;
}

JsonObject JsonParser::ParseObject() {
  const NestingLevel level(nesting);
  JsonObject object;
  if (OpenIsEmpty('}')) return object;
  while (true) {
    SkipWhitespace();
    if (Peek() != '"') throw std::runtime_error("Expected string key in object");
    std::string key = ParseString();
    SkipWhitespace();
    if (Peek() != ':') throw std::runtime_error("Expected ':' after object key");
    ++position;
    // A repeated key replaces the earlier value.
    object.insert_or_assign(std::move(key), ParseValue());
    SkipWhitespace();
    const char separator = Take();
    if (separator == '}') return object;
    if (separator != ',') throw std::runtime_error("Expected ',' or '}' in object");
  }
}

JsonArray JsonParser::ParseArray() {
  const NestingLevel level(nesting);
  JsonArray array;
  if (OpenIsEmpty(']')) return array;
  while (true) {
    array.push_back(ParseValue());
    SkipWhitespace();
    const char separator = Take();
    if (separator == ']') return array;
    if (separator != ',') throw std::runtime_error("Expected ',' or ']' in array");
  }
}

std::string JsonParser::ParseString() {
  ++position;
  std::string result;
  while (true) {
    if (position >= text.size()) throw std::runtime_error("Unterminated string");
    const char byte = text[position++];
    if (byte == '"') return result;
    if (byte == '\0') throw std::runtime_error("Unterminated string");
    if (byte == '\\') {
      AppendEscape(result);
    } else {
      result += byte;
    }
  }
}

void JsonParser::AppendEscape(std::string& out) {
  const char byte = Take();
  switch (byte) {
    case 'b':
      out += '\b';
      break;
    case 'f':
      out += '\f';
      break;
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    case 'u':
      AppendUtf8(out, ReadHexEscape());
      break;
    default:
      // Quote, backslash, slash and every unknown escape stand for themselves.
      out += byte;
      break;
  }
}

long JsonParser::ReadHexEscape() {
  char bytes[4];
  for (char& byte : bytes) byte = Take();
  return ConvertHexEscape(bytes);
}

double JsonParser::ParseNumber() {
  const std::size_t start = position;
  if (Peek() == '-') ++position;
  SkipDigits();
  if (Peek() == '.') {
    ++position;
    SkipDigits();
  }
  if (Peek() == 'e' || Peek() == 'E') {
    ++position;
    if (Peek() == '+' || Peek() == '-') ++position;
    SkipDigits();
  }
  return ConvertNumber(text.substr(start, position - start));
}

bool JsonParser::ParseBool() {
  if (text.compare(position, 4, "true") == 0) {
    position += 4;
    return true;
  }
  if (text.compare(position, 5, "false") == 0) {
    position += 5;
    return false;
  }
  throw std::runtime_error("Invalid boolean value");
}

}  // namespace zavex
