#include "view.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "kalvent_legged_sdk/leg_kinematics.h"
#include "trunk.h"

namespace sdk = KALVENT_LEGGED_SDK;
using nlohmann::json;

namespace kalvent_dash {

namespace {

// A foot that pushes with more than this touches the ground, N.
constexpr double kContactForce = 10;
// Targets older than this no longer say what the controller wants, ns.
constexpr int64_t kTargetsFreshNs = 200000000;

const char* const kLegNames[kLegs] = {"FR", "FL", "RR", "RL"};
const char* const kJointKinds[3] = {"hip", "thigh", "calf"};

// A number, or null for NaN and infinity.
json number(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

template <size_t N>
json numbers(const std::array<double, N>& values) {
  json a = json::array();
  for (double v : values) a.push_back(number(v));
  return a;
}

json point(const sdk::Vec3& p) {
  return json::array({p[0], p[1], p[2]});
}

// Each leg's hip, thigh joint, knee and foot: the foot of the library's
// kinematics, and of the same geometry cut short after the abduction link
// (the thigh joint) and after the thigh (the knee).
json legPoints(const std::array<double, kJoints>& q) {
  static const sdk::LegKinematics foot;
  static const sdk::LegKinematics knee = [] {
    sdk::LegGeometry g;
    g.calfLength = 0;
    return sdk::LegKinematics(g);
  }();
  static const sdk::LegKinematics thighJoint = [] {
    sdk::LegGeometry g;
    g.calfLength = 0;
    g.thighLength = 0;
    return sdk::LegKinematics(g);
  }();
  json legs = json::array();
  for (int leg = 0; leg < kLegs; ++leg) {
    const sdk::Vec3 angles{q[3 * leg], q[3 * leg + 1], q[3 * leg + 2]};
    legs.push_back(json::array(
        {point(foot.geometry().hipOffset[leg]), point(thighJoint.footPosition(leg, angles)),
         point(knee.footPosition(leg, angles)), point(foot.footPosition(leg, angles))}));
  }
  return legs;
}

}  // namespace

View::View(std::string source, std::string sourceName, int64_t startNs)
    : source_(std::move(source)), sourceName_(std::move(sourceName)), startNs_(startNs) {}

bool View::onState(const Sample& sample, int64_t nowNs, double nowWallMs) {
  if (!link_.onState(sample.tick, nowNs)) return false;
  sample_ = sample;
  sampleWallMs_ = nowWallMs;
  return true;
}

void View::onTargets(const Targets& targets, int64_t nowNs) {
  targets_ = targets;
  targetsNs_ = nowNs;
}

std::string View::hello() const {
  json joints = json::array();
  for (const char* leg : kLegNames) {
    for (const char* kind : kJointKinds) joints.push_back(std::string(leg) + "_" + kind);
  }
  const json hello = {
      {"type", "hello"},
      {"version", 1},
      {"source", source_},
      {"sourceName", sourceName_},
      {"jointNames", joints},
      {"legNames", json::array({"FR", "FL", "RR", "RL"})},
      {"trunk", {{"length", kTrunkLength}, {"width", kTrunkWidth}, {"height", kTrunkHeight}}},
      {"staleAfterMs", kStaleAfterMs}};
  return hello.dump();
}

std::string View::frame(int64_t nowNs) {
  const LinkSnapshot l = link_.at(nowNs);
  json f = {{"type", "frame"},
            {"t", (nowNs - startNs_) * 1e-9},
            {"link",
             {{"loss", number(l.loss)},
              {"stateAgeMs", number(l.stateAgeMs)},
              {"stale", l.stale},
              {"staleEpisodes", l.staleEpisodes},
              {"restarts", l.restarts}}}};
  if (!sample_) {
    f["level"] = nullptr;
    return f.dump();
  }
  const Sample& s = *sample_;
  f["level"] = s.level == Level::Low ? "low" : "high";
  f["tick"] = s.tick;
  f["sentWallMs"] = sampleWallMs_;
  f["q"] = numbers(s.q);
  const bool targetsFresh =
      targets_ && s.level == Level::Low && nowNs - targetsNs_ < kTargetsFreshNs;
  f["qTarget"] = targetsFresh ? numbers(*targets_) : json(nullptr);
  f["dq"] = s.motorsKnown ? numbers(s.dq) : json(nullptr);
  f["tauEst"] = s.motorsKnown ? numbers(s.tauEst) : json(nullptr);
  f["rpy"] = numbers(s.rpy);
  f["quaternion"] = numbers(s.quaternion);
  f["gyro"] = numbers(s.gyro);
  f["accel"] = numbers(s.accel);
  f["footForce"] = numbers(s.footForce);
  json contact = json::array();
  for (double force : s.footForce) contact.push_back(force > kContactForce);
  f["contact"] = contact;
  f["legs"] = legPoints(s.q);
  if (s.level == Level::High) {
    f["high"] = {{"mode", s.mode},
                 {"position", numbers(s.position)},
                 {"velocity", numbers(s.velocity)},
                 {"yawSpeed", s.yawSpeed},
                 {"bodyHeight", s.bodyHeight}};
  } else {
    f["high"] = nullptr;
  }
  return f.dump();
}

}  // namespace kalvent_dash
