// The simulated quadruped as tools/sim/quadruped.urdf describes it, read with
// urdfdom into the few facts the physics needs.
#pragma once

#include <array>
#include <string>

#include "low_level_model.h"

namespace kalvent_sim {

// Links per leg, outwards from the trunk: hip, thigh, calf, foot.
constexpr int kLinksPerLeg = 4;
constexpr int kLegLinks = kLegs * kLinksPerLeg;

struct Vector {
  double x = 0, y = 0, z = 0;
};

struct LinkDescription {
  double mass = 0;          // kg
  Vector centreOfMass;      // in the link's frame, m
  Vector inertia;           // principal moments about x, y, z at the centre of mass, kg·m²
  Vector box;               // full size of a box collision shape, m; zero: none
  double sphereRadius = 0;  // radius of a sphere collision shape at the frame's origin, m; 0: none
};

struct JointDescription {
  int parent = -1;    // link index of the parent, -1 for the trunk
  Vector origin;      // joint frame in the parent link's frame, m
  Vector axis;        // unit axis, in the joint frame; zero for a fixed joint
  double effort = 0;  // motor torque limit, N·m; 0 for a fixed joint
};

struct RobotDescription {
  LinkDescription trunk;
  // Leg links in motor order: link kLinksPerLeg·leg + k, k = 0 hip,
  // 1 thigh, 2 calf, 3 foot; the first three are motor slot 3·leg + k.
  std::array<LinkDescription, kLegLinks> links;
  std::array<JointDescription, kLegLinks> joints;

  double totalMass() const;  // kg
};

// The description parsed from URDF text. Throws std::runtime_error naming
// what is missing when the text does not describe the twelve-joint robot
// this simulator drives, with frames not rotated against their parents.
RobotDescription parseRobotDescription(const std::string& urdf);

// The model built into the simulator: tools/sim/quadruped.urdf.
const RobotDescription& quadrupedDescription();

}  // namespace kalvent_sim
