#include "physics_model.h"

#include <BulletDynamics/Featherstone/btMultiBody.h>
#include <BulletDynamics/Featherstone/btMultiBodyConstraintSolver.h>
#include <BulletDynamics/Featherstone/btMultiBodyDynamicsWorld.h>
#include <BulletDynamics/Featherstone/btMultiBodyJointLimitConstraint.h>
#include <BulletDynamics/Featherstone/btMultiBodyJointMotor.h>
#include <BulletDynamics/Featherstone/btMultiBodyLinkCollider.h>
#include <btBulletDynamicsCommon.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "joint_model.h"
#include "kalvent_legged_sdk/comm.h"

namespace kalvent_sim {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

const double kGravity = 9.81;
// Simulated time the robot is given to settle on the ground at start, s.
const double kSettleSeconds = 1.0;
// The legs folded and splayed sideways, hip outwards by this much, rad, so
// that they lie beside the belly instead of propping the trunk up on the
// calves' stops.
const double kLyingSplay = 0.7;
// Gap left under the belly when the robot is laid down, m.
const double kClearance = 0.002;
const int kFoot = kLinksPerLeg - 1;
// Dry friction of each joint's gearbox, N·m: enough to hold a folded leg
// that lies splayed beside the trunk.
const double kJointFriction = 0.5;

int linkOfJoint(int joint) {
  return kLinksPerLeg * (joint / 3) + joint % 3;
}

btVector3 toBullet(const Vector& v) {
  return {v.x, v.y, v.z};
}

btVector3 minus(const Vector& a, const Vector& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}

// A collision shape placed at a link's frame, for a collider that Bullet
// puts at the link's centre of mass. Links without a shape get an empty
// one: Bullet enforces a joint's stops only between links with colliders.
std::unique_ptr<btCollisionShape> shapeOf(const LinkDescription& link,
                                          std::vector<std::unique_ptr<btCollisionShape>>& owned) {
  std::unique_ptr<btCollisionShape> shape;
  if (link.sphereRadius > 0) {
    shape = std::make_unique<btSphereShape>(link.sphereRadius);
  } else if (link.box.x > 0) {
    shape = std::make_unique<btBoxShape>(toBullet(link.box) / 2);
  } else {
    return std::make_unique<btEmptyShape>();
  }
  const btVector3 offset = -toBullet(link.centreOfMass);
  if (offset.isZero()) return shape;
  auto compound = std::make_unique<btCompoundShape>();
  btTransform at;
  at.setIdentity();
  at.setOrigin(offset);
  compound->addChildShape(at, shape.get());
  owned.push_back(std::move(shape));
  return compound;
}

}  // namespace

// Bullet's objects, which refer to each other by pointer. The world owns
// none of what is added to it: everything is removed again before the
// members go.
struct PhysicsModel::World {
  btDefaultCollisionConfiguration configuration;
  btCollisionDispatcher dispatcher{&configuration};
  btDbvtBroadphase broadphase;
  btMultiBodyConstraintSolver solver;
  btMultiBodyDynamicsWorld world{&dispatcher, &broadphase, &solver, &configuration};
  btStaticPlaneShape groundShape{btVector3(0, 0, 1), 0};
  btCollisionObject ground;
  std::unique_ptr<btMultiBody> body;
  std::vector<std::unique_ptr<btCollisionShape>> shapes;
  std::vector<std::unique_ptr<btMultiBodyLinkCollider>> colliders;
  std::vector<std::unique_ptr<btMultiBodyJointLimitConstraint>> stops;
  // Each gearbox's dry friction: a brake holding the joint still with up to
  // kJointFriction of torque.
  std::vector<std::unique_ptr<btMultiBodyJointMotor>> gearboxes;
  std::array<const btCollisionObject*, kLegs> feet{};

  ~World() {
    for (auto& stop : stops) world.removeMultiBodyConstraint(stop.get());
    for (auto& gearbox : gearboxes) world.removeMultiBodyConstraint(gearbox.get());
    for (auto& collider : colliders) world.removeCollisionObject(collider.get());
    world.removeMultiBody(body.get());
    world.removeCollisionObject(&ground);
  }

  void addCollider(int link, const LinkDescription& description) {
    std::unique_ptr<btCollisionShape> shape = shapeOf(description, shapes);
    auto collider = std::make_unique<btMultiBodyLinkCollider>(body.get(), link);
    collider->setCollisionShape(shape.get());
    collider->setFriction(kGroundFriction);
    collider->setRestitution(0);
    world.addCollisionObject(collider.get(), btBroadphaseProxy::DefaultFilter,
                             btBroadphaseProxy::AllFilter);
    if (link < 0) {
      body->setBaseCollider(collider.get());
    } else {
      body->getLink(link).m_collider = collider.get();
    }
    if (link % kLinksPerLeg == kFoot) feet[link / kLinksPerLeg] = collider.get();
    shapes.push_back(std::move(shape));
    colliders.push_back(std::move(collider));
  }

  void updateTransforms() {
    btAlignedObjectArray<btQuaternion> rotations;
    btAlignedObjectArray<btVector3> origins;
    body->forwardKinematics(rotations, origins);
    body->updateCollisionObjectWorldTransforms(rotations, origins);
  }
};

PhysicsModel::PhysicsModel(sdk::LeggedType model)
    : description_(quadrupedDescription()), world_(std::make_unique<World>()) {
  World& w = *world_;
  w.world.setGravity(btVector3(0, 0, -kGravity));
  w.ground.setCollisionShape(&w.groundShape);
  w.ground.setFriction(1.0);  // Bullet multiplies the two bodies' coefficients
  w.ground.setRestitution(0);
  w.world.addCollisionObject(&w.ground);

  const LinkDescription& trunk = description_.trunk;
  w.body =
      std::make_unique<btMultiBody>(kLegLinks, trunk.mass, toBullet(trunk.inertia), false, false);
  for (int i = 0; i < kLegLinks; ++i) {
    const LinkDescription& link = description_.links[i];
    const JointDescription& joint = description_.joints[i];
    const LinkDescription& parent = joint.parent < 0 ? trunk : description_.links[joint.parent];
    const btVector3 toPivot = minus(joint.origin, parent.centreOfMass);
    const btQuaternion level(0, 0, 0, 1);
    if (i % kLinksPerLeg == kFoot) {
      w.body->setupFixed(i, link.mass, toBullet(link.inertia), joint.parent, level, toPivot,
                         toBullet(link.centreOfMass));
    } else {
      w.body->setupRevolute(i, link.mass, toBullet(link.inertia), joint.parent, level,
                            toBullet(joint.axis), toPivot, toBullet(link.centreOfMass), true);
    }
  }
  w.body->finalizeMultiDof();
  // The motors and the contacts are the only losses.
  w.body->setLinearDamping(0);
  w.body->setAngularDamping(0);
  w.body->setHasSelfCollision(false);
  w.world.addMultiBody(w.body.get());

  w.addCollider(-1, trunk);
  for (int i = 0; i < kLegLinks; ++i) w.addCollider(i, description_.links[i]);
  for (int j = 0; j < kJoints; ++j) {
    const JointRange range = jointRange(model, j);
    w.stops.push_back(std::make_unique<btMultiBodyJointLimitConstraint>(
        w.body.get(), linkOfJoint(j), range.min, range.max));
    w.world.addMultiBodyConstraint(w.stops.back().get());
    w.gearboxes.push_back(
        std::make_unique<btMultiBodyJointMotor>(w.body.get(), linkOfJoint(j), 0.0, 0.0));
    w.world.addMultiBodyConstraint(w.gearboxes.back().get());
  }

  // Laid on its belly with the motors damping, as the controller has them
  // before the first command, the robot settles on the ground.
  std::array<double, kJoints> pose = lyingPose();
  for (int leg = 0; leg < kLegs; ++leg) {
    const bool right = leg == sdk::FR_ || leg == sdk::RR_;
    pose[3 * leg] = right ? -kLyingSplay : kLyingSplay;
  }
  place(trunk.box.z / 2 + kClearance, pose);
  setDamping(true);
  advance(kSettleSeconds);
  setDamping(false);
}

PhysicsModel::~PhysicsModel() = default;

void PhysicsModel::place(double height, const std::array<double, kJoints>& q) {
  btMultiBody& body = *world_->body;
  body.setBasePos(btVector3(0, 0, height) + toBullet(description_.trunk.centreOfMass));
  body.setWorldToBaseRot(btQuaternion(0, 0, 0, 1));
  body.setBaseVel(btVector3(0, 0, 0));
  body.setBaseOmega(btVector3(0, 0, 0));
  for (int i = 0; i < kLegLinks; ++i) {
    if (i % kLinksPerLeg != kFoot) body.setJointVel(i, 0);
  }
  for (int j = 0; j < kJoints; ++j) {
    const btMultiBodyJointLimitConstraint& stop = *world_->stops[j];
    body.setJointPos(linkOfJoint(j),
                     std::clamp<double>(q[j], stop.getLowerBound(), stop.getUpperBound()));
  }
  world_->updateTransforms();
  torque_.fill(0);
  ddq_.fill(0);
  footForce_.fill(0);
  trunkAcceleration_.fill(0);
}

void PhysicsModel::setTarget(int joint, const MotorTarget& target) {
  targets_[joint] = target;
}

double PhysicsModel::q(int joint) const {
  return world_->body->getJointPos(linkOfJoint(joint));
}

double PhysicsModel::dq(int joint) const {
  return world_->body->getJointVel(linkOfJoint(joint));
}

void PhysicsModel::step(double dt) {
  btMultiBody& body = *world_->body;
  for (int j = 0; j < kJoints; ++j) {
    const double limit = description_.joints[linkOfJoint(j)].effort;
    const double tau =
        std::clamp(motorLaw(targets_[j], damping_).torque(q(j), dq(j)), -limit, limit);
    body.addJointTorque(linkOfJoint(j), tau);
    torque_[j] = tau;
  }
  for (auto& gearbox : world_->gearboxes) gearbox->setMaxAppliedImpulse(kJointFriction * dt);
  world_->world.stepSimulation(dt, 0, dt);

  btCollisionDispatcher& dispatcher = world_->dispatcher;
  for (int m = 0; m < dispatcher.getNumManifolds(); ++m) {
    const btPersistentManifold* manifold = dispatcher.getManifoldByIndexInternal(m);
    for (int leg = 0; leg < kLegs; ++leg) {
      const btCollisionObject* foot = world_->feet[leg];
      if (manifold->getBody0() != foot && manifold->getBody1() != foot) continue;
      for (int p = 0; p < manifold->getNumContacts(); ++p) {
        footImpulse_[leg] += manifold->getContactPoint(p).getAppliedImpulse();
      }
    }
  }
}

void PhysicsModel::advance(double seconds) {
  const btMultiBody& body = *world_->body;
  std::array<double, kJoints> dqBefore;
  for (int j = 0; j < kJoints; ++j) dqBefore[j] = dq(j);
  const btVector3 velocityBefore = body.getBaseVel();
  footImpulse_.fill(0);

  const int steps = static_cast<int>(std::ceil(seconds / kMaxStep - 1e-9));
  for (int i = 0; i < steps; ++i) step(seconds / steps);

  for (int j = 0; j < kJoints; ++j) ddq_[j] = (dq(j) - dqBefore[j]) / seconds;
  const btVector3 acceleration = (body.getBaseVel() - velocityBefore) / seconds;
  trunkAcceleration_ = {acceleration.x(), acceleration.y(), acceleration.z()};
  for (int leg = 0; leg < kLegs; ++leg) footForce_[leg] = footImpulse_[leg] / seconds;
}

ImuReading PhysicsModel::imu() const {
  const btMultiBody& body = *world_->body;
  const btQuaternion& worldToTrunk = body.getWorldToBaseRot();
  const btQuaternion trunkToWorld = worldToTrunk.inverse();
  const double w = trunkToWorld.w(), x = trunkToWorld.x(), y = trunkToWorld.y(),
               z = trunkToWorld.z();
  ImuReading reading;
  reading.quaternion = {w, x, y, z};
  const btVector3 gyroscope = quatRotate(worldToTrunk, body.getBaseOmega());
  // The accelerometer feels every force but gravity: at rest it reads +g up.
  const btVector3 specificForce(trunkAcceleration_[0], trunkAcceleration_[1],
                                trunkAcceleration_[2] + kGravity);
  const btVector3 accelerometer = quatRotate(worldToTrunk, specificForce);
  reading.gyroscope = {gyroscope.x(), gyroscope.y(), gyroscope.z()};
  reading.accelerometer = {accelerometer.x(), accelerometer.y(), accelerometer.z()};
  reading.rpy = {std::atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y)),
                 std::asin(std::clamp(2 * (w * y - z * x), -1.0, 1.0)),
                 std::atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z))};
  return reading;
}

double PhysicsModel::trunkHeight() const {
  const btMultiBody& body = *world_->body;
  const btVector3 centre =
      quatRotate(body.getWorldToBaseRot().inverse(), toBullet(description_.trunk.centreOfMass));
  return (body.getBasePos() - centre).z();
}

double PhysicsModel::commandedHeight() const {
  double sum = 0;
  for (int leg = 0; leg < kLegs; ++leg) {
    btQuaternion rotation(0, 0, 0, 1);
    btVector3 at(0, 0, 0);
    for (int k = 0; k < kLinksPerLeg; ++k) {
      const JointDescription& joint = description_.joints[kLinksPerLeg * leg + k];
      at += quatRotate(rotation, toBullet(joint.origin));
      if (k == kFoot) break;
      const int slot = 3 * leg + k;
      const MotorLaw law = motorLaw(targets_[slot], false);
      const double angle = law.kp > 0 ? law.qDes : q(slot);
      rotation *= btQuaternion(toBullet(joint.axis), angle);
    }
    sum += description_.links[kLinksPerLeg * leg + kFoot].sphereRadius - at.z();
  }
  return sum / kLegs;
}

double PhysicsModel::weight() const {
  return mass() * kGravity;
}

bool PhysicsModel::linkFrames(LinkFrames* frames) const {
  const btMultiBody& body = *world_->body;
  for (int i = 0; i < kLegLinks; ++i) {
    const btVector3 p = body.localPosToWorld(i, -toBullet(description_.links[i].centreOfMass));
    (*frames)[i] = {p.x(), p.y(), p.z()};
  }
  return true;
}

double PhysicsModel::energy() const {
  const btMultiBody& body = *world_->body;
  std::vector<btVector3> omega(kLegLinks + 1), velocity(kLegLinks + 1);
  body.compTreeLinkVelocities(omega.data(), velocity.data());
  auto bodyEnergy = [&](const LinkDescription& link, int index, double height) {
    const btVector3& w = omega[index];
    const btVector3 inertia = toBullet(link.inertia);
    return 0.5 * link.mass * velocity[index].length2() +
           0.5 * (inertia.x() * w.x() * w.x() + inertia.y() * w.y() * w.y() +
                  inertia.z() * w.z() * w.z()) +
           link.mass * kGravity * height;
  };
  double sum = bodyEnergy(description_.trunk, 0, body.getBasePos().z());
  for (int i = 0; i < kLegLinks; ++i) {
    sum +=
        bodyEnergy(description_.links[i], i + 1, body.localPosToWorld(i, btVector3(0, 0, 0)).z());
  }
  return sum;
}

}  // namespace kalvent_sim
