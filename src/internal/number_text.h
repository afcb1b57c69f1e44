// Numbers as the tools' command lines take them: the whole text is the
// number, within the range the option allows; anything else is refused, so
// that the tool can name what the option accepts.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace KALVENT_LEGGED_SDK {

// A finite number within [min, max], the whole of `text`. False, `value`
// untouched, otherwise.
inline bool parseNumber(const std::string& text, double min, double max, double* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
  *value = v;
  return true;
}

// A decimal whole number within [min, max] (which `Integer` must hold), the
// whole of `text`. False, `value` untouched, otherwise.
template <typename Integer>
bool parseWholeNumber(const std::string& text, long min, long max, Integer* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *value = static_cast<Integer>(v);
  return true;
}

}  // namespace KALVENT_LEGGED_SDK
