#include "robot_description.h"

#include <urdf_parser/urdf_parser.h>

#include <stdexcept>

namespace kalvent_sim {

// The text of quadruped.urdf, compiled in so that the simulator needs no
// data file beside it.
extern const char kQuadrupedUrdf[];

namespace {

const char* const kLegNames[kLegs] = {"FR", "FL", "RR", "RL"};
const char* const kLinkNames[kLinksPerLeg] = {"hip", "thigh", "calf", "foot"};

[[noreturn]] void reject(const std::string& why) {
  throw std::runtime_error("robot description: " + why);
}

Vector vectorOf(const urdf::Vector3& v) {
  return {v.x, v.y, v.z};
}

void requireUnrotated(const urdf::Pose& pose, const std::string& where) {
  const urdf::Rotation& r = pose.rotation;
  if (r.x != 0 || r.y != 0 || r.z != 0) reject(where + " is rotated; only offsets are supported");
}

LinkDescription linkOf(const urdf::ModelInterface& model, const std::string& name) {
  const urdf::LinkConstSharedPtr link = model.getLink(name);
  if (!link) reject("no link " + name);
  if (!link->inertial || !(link->inertial->mass > 0)) reject(name + " has no mass");
  const urdf::Inertial& in = *link->inertial;
  requireUnrotated(in.origin, name + "'s inertial frame");
  if (in.ixy != 0 || in.ixz != 0 || in.iyz != 0) reject(name + "'s inertia is not principal");
  LinkDescription description;
  description.mass = in.mass;
  description.centreOfMass = vectorOf(in.origin.position);
  description.inertia = {in.ixx, in.iyy, in.izz};
  if (link->collision && link->collision->geometry) {
    const urdf::Collision& c = *link->collision;
    const Vector at = vectorOf(c.origin.position);
    if (at.x != 0 || at.y != 0 || at.z != 0) reject(name + "'s collision shape is offset");
    requireUnrotated(c.origin, name + "'s collision frame");
    if (c.geometry->type == urdf::Geometry::BOX) {
      description.box = vectorOf(static_cast<const urdf::Box&>(*c.geometry).dim);
    } else if (c.geometry->type == urdf::Geometry::SPHERE) {
      description.sphereRadius = static_cast<const urdf::Sphere&>(*c.geometry).radius;
    } else {
      reject(name + "'s collision shape is neither a box nor a sphere");
    }
  }
  return description;
}

JointDescription jointOf(const urdf::ModelInterface& model, const std::string& name,
                         const std::string& parentLink, int parentIndex, bool fixed) {
  const urdf::JointConstSharedPtr joint = model.getJoint(name);
  if (!joint) reject("no joint " + name);
  if (joint->parent_link_name != parentLink) reject(name + " does not hang from " + parentLink);
  requireUnrotated(joint->parent_to_joint_origin_transform, name);
  JointDescription description;
  description.parent = parentIndex;
  description.origin = vectorOf(joint->parent_to_joint_origin_transform.position);
  if (fixed) {
    if (joint->type != urdf::Joint::FIXED) reject(name + " is not fixed");
    return description;
  }
  if (joint->type != urdf::Joint::CONTINUOUS && joint->type != urdf::Joint::REVOLUTE) {
    reject(name + " does not turn");
  }
  if (!joint->limits || !(joint->limits->effort > 0)) reject(name + " has no torque limit");
  description.axis = vectorOf(joint->axis);
  description.effort = joint->limits->effort;
  return description;
}

}  // namespace

double RobotDescription::totalMass() const {
  double sum = trunk.mass;
  for (const LinkDescription& link : links) sum += link.mass;
  return sum;
}

RobotDescription parseRobotDescription(const std::string& urdf) {
  const urdf::ModelInterfaceSharedPtr model = urdf::parseURDF(urdf);
  if (!model) reject("not a valid URDF document");
  RobotDescription d;
  d.trunk = linkOf(*model, "trunk");
  for (int leg = 0; leg < kLegs; ++leg) {
    std::string parent = "trunk";
    for (int k = 0; k < kLinksPerLeg; ++k) {
      const std::string name = std::string(kLegNames[leg]) + "_" + kLinkNames[k];
      const int index = kLinksPerLeg * leg + k;
      d.links[index] = linkOf(*model, name);
      d.joints[index] =
          jointOf(*model, name + "_joint", parent, k == 0 ? -1 : index - 1, k == kLinksPerLeg - 1);
      parent = name;
    }
  }
  return d;
}

const RobotDescription& quadrupedDescription() {
  static const RobotDescription description = parseRobotDescription(kQuadrupedUrdf);
  return description;
}

}  // namespace kalvent_sim
