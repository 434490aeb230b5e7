// libFuzzer target: the JSON reader may only fail with its own error types.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "formats/json_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    zavex::JsonParser parser(text);
    const zavex::JsonValue value = parser.ParseValue();
    if (parser.Position() > text.size()) __builtin_trap();
    const zavex::JsonValue copy = value;
    if (copy.Type() != value.Type()) __builtin_trap();
  } catch (const std::runtime_error&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return 0;
}
