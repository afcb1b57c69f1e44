// One finding of the machine check, as the report prints it.
#pragma once

#include <string>

#include "measure.h"

namespace kalvent_linkcheck {

enum class Verdict {
  Ok,    // ready
  Info,  // nothing to judge (the setting does not exist here)
  Warn,  // works, but a control loop would run better with the fix
  Fail,  // a real-time control program cannot run as meant
};

const char* verdictName(Verdict verdict);

struct CheckItem {
  std::string key;    // short name in the JSON output
  std::string title;  // name in the readable report
  Verdict verdict = Verdict::Info;
  std::string finding;          // what was found, one line
  std::string fix;              // one line; empty when the verdict is Ok or Info
  Json facts = Json::object();  // the figures behind the finding
};

}  // namespace kalvent_linkcheck
