#include "robot_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "joint_model.h"

namespace kalvent_sim {

extern const char kQuadrupedXml[];

namespace {

const char* const kLegNames[kLegs] = {"FR", "FL", "RR", "RL"};
const char* const kJointNames[3] = {"hip", "thigh", "calf"};
const char kFileName[] = "quadruped.xml";

// MuJoCo reports warnings through a process-wide hook, printing to stdout by
// default; the simulator's stdout carries only its own lines. The hook
// collects them for the one compile running under the lock and sends any
// other to stderr.
std::mutex compiling;
std::string* compileWarnings = nullptr;

void collectWarning(const char* message) {
  if (compileWarnings) {
    *compileWarnings += message;
    *compileWarnings += '\n';
  } else {
    std::fprintf(stderr, "MuJoCo: %s\n", message);
  }
}

// A MuJoCo error (a model it cannot simulate, a renderer without the OpenGL
// it needs) ends the program: by default MuJoCo would print it on stdout and
// wait for a key. The hook must not return.
[[noreturn]] void failOnError(const char* message) {
  std::fprintf(stderr, "kalvent_sim: MuJoCo: %s\n", message);
  std::_Exit(1);
}

}  // namespace

const std::string& quadrupedXml() {
  static const std::string text = kQuadrupedXml;
  return text;
}

ModelPtr compileModel(const std::string& xml) {
  // The virtual file system is large (2 MB of names): on the heap.
  auto files = std::make_unique<mjVFS>();
  mj_defaultVFS(files.get());
  if (mj_makeEmptyFileVFS(files.get(), kFileName, static_cast<int>(xml.size())) != 0) {
    throw std::runtime_error("robot model: cannot hold the model text");
  }
  std::memcpy(files->filedata[0], xml.data(), xml.size());

  char error[1000] = "";
  std::string warnings;
  ModelPtr model;
  {
    const std::lock_guard<std::mutex> lock(compiling);
    compileWarnings = &warnings;
    mju_user_warning = collectWarning;
    mju_user_error = failOnError;
    model.reset(mj_loadXML(kFileName, files.get(), error, sizeof error));
    compileWarnings = nullptr;
  }
  mj_deleteVFS(files.get());
  if (!model) throw std::runtime_error(std::string("robot model: ") + error);
  if (error[0] != '\0' || !warnings.empty()) {
    throw std::runtime_error("robot model: compiled with a warning: " + std::string(error) +
                             warnings);
  }
  return model;
}

ModelPtr loadQuadruped(KALVENT_LEGGED_SDK::LeggedType model) {
  ModelPtr compiled = compileModel(kQuadrupedXml);
  mjModel& m = *compiled;
  if (m.njnt != 1 + kJoints || m.jnt_type[0] != mjJNT_FREE || m.nu != kJoints) {
    throw std::runtime_error("robot model: not a free trunk with twelve motored joints");
  }
  for (int joint = 0; joint < kJoints; ++joint) {
    const std::string name =
        std::string(kLegNames[joint / 3]) + "_" + kJointNames[joint % 3] + "_joint";
    const int id = mj_name2id(&m, mjOBJ_JOINT, name.c_str());
    if (id != jointId(joint) || m.jnt_qposadr[id] != positionIndex(joint) ||
        m.jnt_dofadr[id] != velocityIndex(joint) || m.actuator_trnid[2 * joint] != id) {
      throw std::runtime_error("robot model: " + name + " is not motor slot " +
                               std::to_string(joint));
    }
    const JointRange range = jointRange(model, joint);
    m.jnt_limited[id] = 1;
    m.jnt_range[2 * id] = range.min;
    m.jnt_range[2 * id + 1] = range.max;
  }
  return compiled;
}

}  // namespace kalvent_sim
