// A JSON object built field by field, for the tool's --json output.
#pragma once

#include <cstdint>
#include <string>

namespace kalvent_linkcheck {

// One JSON object. Keys are the caller's literals and are not escaped; text
// values are. A number that is not finite (a loss not yet measurable) is
// written as null.
class JsonObject {
 public:
  JsonObject& number(const char* key, double value);
  JsonObject& integer(const char* key, uint64_t value);
  JsonObject& boolean(const char* key, bool value);
  JsonObject& text(const char* key, const std::string& value);
  JsonObject& object(const char* key, const JsonObject& value);
  // `items`: JSON values already written, separated by commas.
  JsonObject& array(const char* key, const std::string& items);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  JsonObject& raw(const char* key, const std::string& value);
  std::string body_;
};

}  // namespace kalvent_linkcheck
