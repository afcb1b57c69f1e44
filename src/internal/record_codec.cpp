#include "record_codec.h"

#include <cstddef>
#include <cstring>

#include "wire.h"

namespace KALVENT_LEGGED_SDK {

namespace {

// The header fields that every packet starts with.
template <typename Wire, typename Record>
void decodeHeader(const Wire& in, Record& out) {
  out.level_flag = in.levelFlag;
  out.comm_version = in.commVersion;
  out.robot_id = in.robotID;
  out.sn = in.SN;
  out.band_width = in.bandWidth;
}

template <typename Record, typename Wire>
void encodeHeader(const Record& in, Wire& out) {
  out.levelFlag = in.level_flag;
  out.commVersion = static_cast<uint16_t>(in.comm_version);
  out.robotID = static_cast<uint16_t>(in.robot_id);
  out.SN = static_cast<uint32_t>(in.sn);
  out.bandWidth = in.band_width;
}

// Copies `size` bytes from the const side to the other: one field list
// serves both directions.
void copyField(void* to, const void* from, size_t size) {
  std::memcpy(to, from, size);
}
void copyField(const void* from, void* to, size_t size) {
  std::memcpy(to, from, size);
}

// The record's IMU fields and the packet's IMU, the one of the two that is
// const copied into the other.
template <typename Record, typename Imu>
void copyImu(Record& record, Imu& imu) {
  static_assert(sizeof record.imu_temperature == sizeof imu.temperature, "IMU temperature");
  copyField(record.quaternion, imu.quaternion, sizeof record.quaternion);
  copyField(record.gyroscope, imu.gyroscope, sizeof record.gyroscope);
  copyField(record.accelerometer, imu.accelerometer, sizeof record.accelerometer);
  copyField(record.rpy, imu.rpy, sizeof record.rpy);
  copyField(&record.imu_temperature, &imu.temperature, sizeof imu.temperature);
}

// `in`: the four LEDs, copied out of the packet.
void decodeLeds(const LED* in, uint8_t (&out)[12]) {
  for (int i = 0; i < 4; ++i) {
    out[3 * i] = in[i].r;
    out[3 * i + 1] = in[i].g;
    out[3 * i + 2] = in[i].b;
  }
}

// The fields every state record ends with.
template <typename Wire, typename Record>
void decodeStateTail(const Wire& in, Record& record) {
  std::memcpy(record.foot_force, in.footForce, sizeof record.foot_force);
  std::memcpy(record.foot_force_est, in.footForceEst, sizeof record.foot_force_est);
  record.tick = in.tick;
  std::memcpy(record.wireless_remote, in.wirelessRemote, sizeof record.wireless_remote);
  record.reserve = in.reserve;
  record.crc = in.crc;
}

template <typename Record, typename Wire>
void encodeStateTail(const Record& record, Wire& wire) {
  std::memcpy(wire.footForce, record.foot_force, sizeof wire.footForce);
  std::memcpy(wire.footForceEst, record.foot_force_est, sizeof wire.footForceEst);
  wire.tick = static_cast<uint32_t>(record.tick);
  std::memcpy(wire.wirelessRemote, record.wireless_remote, sizeof wire.wirelessRemote);
  wire.reserve = static_cast<uint32_t>(record.reserve);
  wire.crc = static_cast<uint32_t>(record.crc);
}

// The speeds and the height a high-level command asks for and a high-level
// state reports.
template <typename Wire, typename Record>
void decodeSpeeds(const Wire& wire, Record& record) {
  record.forward_speed = wire.forwardSpeed;
  record.side_speed = wire.sideSpeed;
  record.rotate_speed = wire.rotateSpeed;
  record.body_height = wire.bodyHeight;
}

// A torque or gain as the packet carries it (a 16-bit integer scaled by
// `scale`), or as a record holds it (a float, taken as it is).
float unscaled(int16_t wire, float scale) {
  return wire / scale;
}
float unscaled(float value, float) {
  return value;
}

// `in`: the packet's record (LowCmd_t) or the bridge's (LowCmd).
template <typename Cmd>
void decodeLowCmd(const Cmd& in, kalvent_log::low_cmd& record) {
  decodeHeader(in, record);
  for (int k = 0; k < 20; ++k) {
    const auto motor = in.motorCmd[k];
    record.mode[k] = motor.mode;
    record.q[k] = motor.q;
    record.dq[k] = motor.dq;
    record.tau[k] = unscaled(motor.tau, TAU_WIRE_SCALE);
    record.kp[k] = unscaled(motor.Kp, KP_WIRE_SCALE);
    record.kd[k] = unscaled(motor.Kd, KD_WIRE_SCALE);
    for (int i = 0; i < 3; ++i) record.motor_reserve[k][i] = static_cast<int32_t>(motor.reserve[i]);
  }
  LED leds[4];
  std::memcpy(leds, in.led, sizeof leds);
  decodeLeds(leds, record.led);
  std::memcpy(record.wireless_remote, in.wirelessRemote, sizeof record.wireless_remote);
  record.reserve = in.reserve;
  record.crc = in.crc;
}

// `in`: the packet's record (LowState_t) or the bridge's (LowState).
template <typename State>
void decodeLowState(const State& in, kalvent_log::low_state& record) {
  decodeHeader(in, record);
  const IMU imu = in.imu;
  copyImu(record, imu);
  for (int k = 0; k < 20; ++k) {
    const auto motor = in.motorState[k];
    record.mode[k] = motor.mode;
    record.q[k] = motor.q;
    record.dq[k] = motor.dq;
    record.ddq[k] = motor.ddq;
    record.tau_est[k] = unscaled(motor.tauEst, TAU_WIRE_SCALE);
    record.q_raw[k] = motor.q_raw;
    record.dq_raw[k] = motor.dq_raw;
    record.ddq_raw[k] = motor.ddq_raw;
    record.temperature[k] = motor.temperature;
    for (int i = 0; i < 2; ++i) record.motor_reserve[k][i] = static_cast<int32_t>(motor.reserve[i]);
  }
  decodeStateTail(in, record);
}

}  // namespace

void decodePacket(const char* packet, kalvent_log::low_cmd& record) {
  LowCmd_t wire;
  std::memcpy(&wire, packet, sizeof wire);
  decodeLowCmd(wire, record);
}

void decodePacket(const char* packet, kalvent_log::low_state& record) {
  LowState_t wire;
  std::memcpy(&wire, packet, sizeof wire);
  decodeLowState(wire, record);
}

void decodePacket(const char* packet, kalvent_log::high_cmd& record) {
  HighCmd wire;
  std::memcpy(&wire, packet, sizeof wire);
  decodeHeader(wire, record);
  record.mode = wire.mode;
  decodeSpeeds(wire, record);
  record.foot_raise_height = wire.footRaiseHeight;
  record.yaw = wire.yaw;
  record.pitch = wire.pitch;
  record.roll = wire.roll;
  LED leds[4];
  std::memcpy(leds, wire.led, sizeof leds);
  decodeLeds(leds, record.led);
  std::memcpy(record.wireless_remote, wire.wirelessRemote, sizeof record.wireless_remote);
  std::memcpy(record.app_remote, wire.AppRemote, sizeof record.app_remote);
  record.reserve = wire.reserve;
  record.crc = wire.crc;
}

void decodePacket(const char* packet, kalvent_log::high_state& record) {
  HighState wire;
  std::memcpy(&wire, packet, sizeof wire);
  decodeHeader(wire, record);
  record.mode = wire.mode;
  const IMU imu = wire.imu;
  copyImu(record, imu);
  decodeSpeeds(wire, record);
  record.updown_speed = wire.updownSpeed;
  record.forward_position = wire.forwardPosition;
  record.side_position = wire.sidePosition;
  for (int leg = 0; leg < 4; ++leg) {
    const Cartesian position = wire.footPosition2Body[leg];
    const Cartesian speed = wire.footSpeed2Body[leg];
    record.foot_position_to_body[leg][0] = position.x;
    record.foot_position_to_body[leg][1] = position.y;
    record.foot_position_to_body[leg][2] = position.z;
    record.foot_speed_to_body[leg][0] = speed.x;
    record.foot_speed_to_body[leg][1] = speed.y;
    record.foot_speed_to_body[leg][2] = speed.z;
  }
  decodeStateTail(wire, record);
}

void decodeRecord(const LowCmd& in, kalvent_log::low_cmd& record) {
  decodeLowCmd(in, record);
}

void decodeRecord(const LowState& in, kalvent_log::low_state& record) {
  decodeLowState(in, record);
}

void encodePacket(const kalvent_log::low_state& record, char* packet) {
  LowState_t wire;
  encodeHeader(record, wire);
  IMU imu;
  copyImu(record, imu);
  wire.imu = imu;
  for (int k = 0; k < 20; ++k) {
    MotorState_t motor;
    motor.mode = record.mode[k];
    motor.q = record.q[k];
    motor.dq = record.dq[k];
    motor.ddq = static_cast<int16_t>(record.ddq[k]);
    motor.tauEst = static_cast<int16_t>(record.tau_est[k] * TAU_WIRE_SCALE);
    motor.q_raw = record.q_raw[k];
    motor.dq_raw = record.dq_raw[k];
    motor.ddq_raw = static_cast<int16_t>(record.ddq_raw[k]);
    motor.temperature = record.temperature[k];
    for (int i = 0; i < 2; ++i) {
      motor.reserve[i] = static_cast<uint32_t>(record.motor_reserve[k][i]);
    }
    wire.motorState[k] = motor;
  }
  encodeStateTail(record, wire);
  std::memcpy(packet, &wire, sizeof wire);
}

void encodePacket(const kalvent_log::high_state& record, char* packet) {
  HighState wire;
  encodeHeader(record, wire);
  wire.mode = record.mode;
  IMU imu;
  copyImu(record, imu);
  wire.imu = imu;
  wire.forwardSpeed = record.forward_speed;
  wire.sideSpeed = record.side_speed;
  wire.rotateSpeed = record.rotate_speed;
  wire.bodyHeight = record.body_height;
  wire.updownSpeed = record.updown_speed;
  wire.forwardPosition = record.forward_position;
  wire.sidePosition = record.side_position;
  for (int leg = 0; leg < 4; ++leg) {
    wire.footPosition2Body[leg] =
        Cartesian{record.foot_position_to_body[leg][0], record.foot_position_to_body[leg][1],
                  record.foot_position_to_body[leg][2]};
    wire.footSpeed2Body[leg] =
        Cartesian{record.foot_speed_to_body[leg][0], record.foot_speed_to_body[leg][1],
                  record.foot_speed_to_body[leg][2]};
  }
  encodeStateTail(record, wire);
  std::memcpy(packet, &wire, sizeof wire);
}

}  // namespace KALVENT_LEGGED_SDK
