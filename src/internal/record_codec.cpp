#include "record_codec.h"

#include <cstring>

#include "wire.h"

namespace KALVENT_LEGGED_SDK {

namespace {

// The field lists below serve both directions: decoding passes the packet
// const and copies its fields into the record, encoding passes the record
// const and copies its fields back into the packet. The packet's fields are
// packed, so their addresses are only ever taken as void*.

// A record's field and the packet's field of the same bytes.
template <typename Field>
void transferField(Field& record, const void* wire) {
  std::memcpy(&record, wire, sizeof record);
}
template <typename Field>
void transferField(const Field& record, void* wire) {
  std::memcpy(wire, &record, sizeof record);
}

// A record's integer and the packet's narrower one, of type `Wire`: widened
// on decoding, cut back to its width on encoding.
template <typename Wire, typename Field>
void transferInteger(Field& record, const void* wire) {
  Wire value;
  std::memcpy(&value, wire, sizeof value);
  record = value;
}
template <typename Wire, typename Field>
void transferInteger(const Field& record, void* wire) {
  const auto value = static_cast<Wire>(record);
  std::memcpy(wire, &value, sizeof value);
}

// The header fields that every packet starts with.
template <typename Record, typename Wire>
void transferHeader(Record& record, Wire& wire) {
  transferField(record.level_flag, &wire.levelFlag);
  transferInteger<uint16_t>(record.comm_version, &wire.commVersion);
  transferInteger<uint16_t>(record.robot_id, &wire.robotID);
  transferInteger<uint32_t>(record.sn, &wire.SN);
  transferField(record.band_width, &wire.bandWidth);
}

template <typename Record, typename Wire>
void transferImu(Record& record, Wire& wire) {
  static_assert(sizeof record.imu_temperature == sizeof wire.imu.temperature, "IMU temperature");
  transferField(record.quaternion, &wire.imu.quaternion);
  transferField(record.gyroscope, &wire.imu.gyroscope);
  transferField(record.accelerometer, &wire.imu.accelerometer);
  transferField(record.rpy, &wire.imu.rpy);
  transferField(record.imu_temperature, &wire.imu.temperature);
}

// The speeds and the height a high-level command asks for and a high-level
// state reports.
template <typename Record, typename Wire>
void transferSpeeds(Record& record, Wire& wire) {
  transferField(record.forward_speed, &wire.forwardSpeed);
  transferField(record.side_speed, &wire.sideSpeed);
  transferField(record.rotate_speed, &wire.rotateSpeed);
  transferField(record.body_height, &wire.bodyHeight);
}

// The fields every state record ends with.
template <typename Record, typename Wire>
void transferStateTail(Record& record, Wire& wire) {
  static_assert(sizeof record.foot_force == sizeof wire.footForce, "foot forces");
  transferField(record.foot_force, &wire.footForce);
  transferField(record.foot_force_est, &wire.footForceEst);
  transferInteger<uint32_t>(record.tick, &wire.tick);
  transferField(record.wireless_remote, &wire.wirelessRemote);
  transferInteger<uint32_t>(record.reserve, &wire.reserve);
  transferInteger<uint32_t>(record.crc, &wire.crc);
}

// The feet's vectors are three floats, x, y, z, on both sides.
template <typename Record, typename Wire>
void transferHighState(Record& record, Wire& wire) {
  static_assert(sizeof record.foot_position_to_body == sizeof wire.footPosition2Body, "feet");
  transferHeader(record, wire);
  transferField(record.mode, &wire.mode);
  transferImu(record, wire);
  transferSpeeds(record, wire);
  transferField(record.updown_speed, &wire.updownSpeed);
  transferField(record.forward_position, &wire.forwardPosition);
  transferField(record.side_position, &wire.sidePosition);
  transferField(record.foot_position_to_body, &wire.footPosition2Body);
  transferField(record.foot_speed_to_body, &wire.footSpeed2Body);
  transferStateTail(record, wire);
}

// The record's columns of the fields that motor commands and motor states
// both have; `decodeOthers(k, motor)` fills the other columns of motor k.
template <typename Motor, typename Record, typename DecodeOthers>
void decodeMotors(const Motor (&motors)[20], Record& record, DecodeOthers decodeOthers) {
  for (int k = 0; k < 20; ++k) {
    const Motor motor = motors[k];
    record.mode[k] = motor.mode;
    record.q[k] = motor.q;
    record.dq[k] = motor.dq;
    transferField(record.motor_reserve[k], &motor.reserve);
    decodeOthers(k, motor);
  }
}

template <typename Wire>
Wire fromPacket(const char* packet) {
  Wire wire;
  std::memcpy(&wire, packet, sizeof wire);
  return wire;
}

}  // namespace

void decodePacket(const char* packet, kalvent_log::low_cmd& record) {
  LowCmd cmd;
  decodeLowCmd(fromPacket<LowCmd_t>(packet), cmd);
  decodeRecord(cmd, record);
}

void decodePacket(const char* packet, kalvent_log::low_state& record) {
  const auto wire = fromPacket<LowState_t>(packet);
  LowState state;
  decodeLowState(wire, state);
  state.crc = wire.crc;
  decodeRecord(state, record);
}

void decodePacket(const char* packet, kalvent_log::high_cmd& record) {
  const auto wire = fromPacket<HighCmd>(packet);
  static_assert(sizeof record.led == sizeof wire.led, "LEDs: r, g, b each");
  transferHeader(record, wire);
  record.mode = wire.mode;
  transferSpeeds(record, wire);
  record.foot_raise_height = wire.footRaiseHeight;
  record.yaw = wire.yaw;
  record.pitch = wire.pitch;
  record.roll = wire.roll;
  transferField(record.led, &wire.led);
  transferField(record.wireless_remote, &wire.wirelessRemote);
  transferField(record.app_remote, &wire.AppRemote);
  record.reserve = wire.reserve;
  record.crc = wire.crc;
}

void decodePacket(const char* packet, kalvent_log::high_state& record) {
  const auto wire = fromPacket<HighState>(packet);
  transferHighState(record, wire);
}

void decodeRecord(const LowCmd& in, kalvent_log::low_cmd& record) {
  transferHeader(record, in);
  decodeMotors(in.motorCmd, record, [&record](int k, const MotorCmd& motor) {
    record.tau[k] = motor.tau;
    record.kp[k] = motor.Kp;
    record.kd[k] = motor.Kd;
  });
  transferField(record.led, &in.led);
  transferField(record.wireless_remote, &in.wirelessRemote);
  record.reserve = in.reserve;
  record.crc = in.crc;
}

void decodeRecord(const LowState& in, kalvent_log::low_state& record) {
  transferHeader(record, in);
  transferImu(record, in);
  decodeMotors(in.motorState, record, [&record](int k, const MotorState& motor) {
    record.ddq[k] = motor.ddq;
    record.tau_est[k] = motor.tauEst;
    record.q_raw[k] = motor.q_raw;
    record.dq_raw[k] = motor.dq_raw;
    record.ddq_raw[k] = motor.ddq_raw;
    record.temperature[k] = motor.temperature;
  });
  transferStateTail(record, in);
}

void encodePacket(const kalvent_log::low_state& record, char* packet) {
  LowState_t wire;
  transferHeader(record, wire);
  transferImu(record, wire);
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
    transferField(record.motor_reserve[k], &motor.reserve);
    wire.motorState[k] = motor;
  }
  transferStateTail(record, wire);
  std::memcpy(packet, &wire, sizeof wire);
}

void encodePacket(const kalvent_log::high_state& record, char* packet) {
  HighState wire;
  transferHighState(record, wire);
  std::memcpy(packet, &wire, sizeof wire);
}

}  // namespace KALVENT_LEGGED_SDK
