#include "json.h"

#include <cmath>
#include <cstdio>

namespace kalvent_linkcheck {

namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

JsonObject& JsonObject::raw(const char* key, const std::string& value) {
  if (!body_.empty()) body_ += ',';
  body_ += quoted(key) + ":" + value;
  return *this;
}

JsonObject& JsonObject::number(const char* key, double value) {
  if (!std::isfinite(value)) return raw(key, "null");
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return raw(key, text);
}

JsonObject& JsonObject::integer(const char* key, uint64_t value) {
  return raw(key, std::to_string(value));
}

JsonObject& JsonObject::boolean(const char* key, bool value) {
  return raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::text(const char* key, const std::string& value) {
  return raw(key, quoted(value));
}

JsonObject& JsonObject::object(const char* key, const JsonObject& value) {
  return raw(key, value.str());
}

JsonObject& JsonObject::array(const char* key, const std::string& items) {
  return raw(key, "[" + items + "]");
}

}  // namespace kalvent_linkcheck
