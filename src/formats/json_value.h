#pragma once

#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zavex {

// The kind of a value; the order is the index of the alternative held.
enum class JsonType { Null, Bool, Number, String, Array, Object };

class JsonValue;
using JsonArray = std::vector<JsonValue>;
// Members ordered by byte-wise comparison of their keys, each key once.
using JsonObject = std::map<std::string, JsonValue>;

// One parsed JSON value; it owns its children, and a copy copies the subtree.
// Every number is held as a double, every string as the bytes read.
class JsonValue {
 public:
  JsonValue() = default;
  explicit JsonValue(bool value) : content(value) {}
  explicit JsonValue(double value) : content(value) {}
  explicit JsonValue(std::string value) : content(std::move(value)) {}
  explicit JsonValue(JsonArray value) : content(std::move(value)) {}
  explicit JsonValue(JsonObject value) : content(std::move(value)) {}

  JsonType Type() const { return static_cast<JsonType>(content.index()); }

  // The As accessors expect the matching Type().
  bool AsBool() const { return std::get<bool>(content); }
  double AsNumber() const { return std::get<double>(content); }
  const std::string& AsString() const { return std::get<std::string>(content); }
  const JsonArray& AsArray() const { return std::get<JsonArray>(content); }
  const JsonObject& AsObject() const { return std::get<JsonObject>(content); }

  // The member called key; null when this is no object or has no such member.
  const JsonValue* Find(const std::string& key) const {
    const JsonObject* object = std::get_if<JsonObject>(&content);
    if (!object) return nullptr;
    const auto member = object->find(key);
    return member == object->end() ? nullptr : &member->second;
  }

 private:
  std::variant<std::monostate, bool, double, std::string, JsonArray, JsonObject> content;
};

}  // namespace zavex
