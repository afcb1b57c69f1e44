#include "record_codec.h"

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

template <typename Record>
void decodeImu(const IMU& in, Record& out) {
  std::memcpy(out.quaternion, in.quaternion, sizeof out.quaternion);
  std::memcpy(out.gyroscope, in.gyroscope, sizeof out.gyroscope);
  std::memcpy(out.accelerometer, in.accelerometer, sizeof out.accelerometer);
  std::memcpy(out.rpy, in.rpy, sizeof out.rpy);
  out.imu_temperature = in.temperature;
}

template <typename Record>
void encodeImu(const Record& in, IMU& out) {
  std::memcpy(out.quaternion, in.quaternion, sizeof out.quaternion);
  std::memcpy(out.gyroscope, in.gyroscope, sizeof out.gyroscope);
  std::memcpy(out.accelerometer, in.accelerometer, sizeof out.accelerometer);
  std::memcpy(out.rpy, in.rpy, sizeof out.rpy);
  out.temperature = in.imu_temperature;
}

// `in`: the four LEDs, copied out of the packet.
void decodeLeds(const LED* in, uint8_t (&out)[12]) {
  for (int i = 0; i < 4; ++i) {
    out[3 * i] = in[i].r;
    out[3 * i + 1] = in[i].g;
    out[3 * i + 2] = in[i].b;
  }
}

}  // namespace

void decodePacket(const char* packet, kalvent_log::low_cmd& record) {
  LowCmd_t wire;
  std::memcpy(&wire, packet, sizeof wire);
  decodeHeader(wire, record);
  for (int k = 0; k < 20; ++k) {
    const MotorCmd_t motor = wire.motorCmd[k];
    record.mode[k] = motor.mode;
    record.q[k] = motor.q;
    record.dq[k] = motor.dq;
    record.tau[k] = motor.tau / TAU_WIRE_SCALE;
    record.kp[k] = motor.Kp / KP_WIRE_SCALE;
    record.kd[k] = motor.Kd / KD_WIRE_SCALE;
    for (int i = 0; i < 3; ++i) record.motor_reserve[k][i] = static_cast<int32_t>(motor.reserve[i]);
  }
  LED leds[4];
  std::memcpy(leds, wire.led, sizeof leds);
  decodeLeds(leds, record.led);
  std::memcpy(record.wireless_remote, wire.wirelessRemote, sizeof record.wireless_remote);
  record.reserve = wire.reserve;
  record.crc = wire.crc;
}

void decodePacket(const char* packet, kalvent_log::low_state& record) {
  LowState_t wire;
  std::memcpy(&wire, packet, sizeof wire);
  decodeHeader(wire, record);
  const IMU imu = wire.imu;
  decodeImu(imu, record);
  for (int k = 0; k < 20; ++k) {
    const MotorState_t motor = wire.motorState[k];
    record.mode[k] = motor.mode;
    record.q[k] = motor.q;
    record.dq[k] = motor.dq;
    record.ddq[k] = motor.ddq;
    record.tau_est[k] = motor.tauEst / TAU_WIRE_SCALE;
    record.q_raw[k] = motor.q_raw;
    record.dq_raw[k] = motor.dq_raw;
    record.ddq_raw[k] = motor.ddq_raw;
    record.temperature[k] = motor.temperature;
    for (int i = 0; i < 2; ++i) record.motor_reserve[k][i] = static_cast<int32_t>(motor.reserve[i]);
  }
  std::memcpy(record.foot_force, wire.footForce, sizeof record.foot_force);
  std::memcpy(record.foot_force_est, wire.footForceEst, sizeof record.foot_force_est);
  record.tick = wire.tick;
  std::memcpy(record.wireless_remote, wire.wirelessRemote, sizeof record.wireless_remote);
  record.reserve = wire.reserve;
  record.crc = wire.crc;
}

void decodePacket(const char* packet, kalvent_log::high_cmd& record) {
  HighCmd wire;
  std::memcpy(&wire, packet, sizeof wire);
  decodeHeader(wire, record);
  record.mode = wire.mode;
  record.forward_speed = wire.forwardSpeed;
  record.side_speed = wire.sideSpeed;
  record.rotate_speed = wire.rotateSpeed;
  record.body_height = wire.bodyHeight;
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
  decodeImu(imu, record);
  record.forward_speed = wire.forwardSpeed;
  record.side_speed = wire.sideSpeed;
  record.rotate_speed = wire.rotateSpeed;
  record.body_height = wire.bodyHeight;
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
  std::memcpy(record.foot_force, wire.footForce, sizeof record.foot_force);
  std::memcpy(record.foot_force_est, wire.footForceEst, sizeof record.foot_force_est);
  record.tick = wire.tick;
  std::memcpy(record.wireless_remote, wire.wirelessRemote, sizeof record.wireless_remote);
  record.reserve = wire.reserve;
  record.crc = wire.crc;
}

void decodeRecord(const LowCmd& in, kalvent_log::low_cmd& record) {
  decodeHeader(in, record);
  for (int k = 0; k < 20; ++k) {
    const MotorCmd motor = in.motorCmd[k];
    record.mode[k] = motor.mode;
    record.q[k] = motor.q;
    record.dq[k] = motor.dq;
    record.tau[k] = motor.tau;
    record.kp[k] = motor.Kp;
    record.kd[k] = motor.Kd;
    for (int i = 0; i < 3; ++i) record.motor_reserve[k][i] = static_cast<int32_t>(motor.reserve[i]);
  }
  LED leds[4];
  std::memcpy(leds, in.led, sizeof leds);
  decodeLeds(leds, record.led);
  std::memcpy(record.wireless_remote, in.wirelessRemote, sizeof record.wireless_remote);
  record.reserve = in.reserve;
  record.crc = in.crc;
}

void decodeRecord(const LowState& in, kalvent_log::low_state& record) {
  decodeHeader(in, record);
  const IMU imu = in.imu;
  decodeImu(imu, record);
  for (int k = 0; k < 20; ++k) {
    const MotorState motor = in.motorState[k];
    record.mode[k] = motor.mode;
    record.q[k] = motor.q;
    record.dq[k] = motor.dq;
    record.ddq[k] = motor.ddq;
    record.tau_est[k] = motor.tauEst;
    record.q_raw[k] = motor.q_raw;
    record.dq_raw[k] = motor.dq_raw;
    record.ddq_raw[k] = motor.ddq_raw;
    record.temperature[k] = motor.temperature;
    for (int i = 0; i < 2; ++i) record.motor_reserve[k][i] = static_cast<int32_t>(motor.reserve[i]);
  }
  std::memcpy(record.foot_force, in.footForce, sizeof record.foot_force);
  std::memcpy(record.foot_force_est, in.footForceEst, sizeof record.foot_force_est);
  record.tick = in.tick;
  std::memcpy(record.wireless_remote, in.wirelessRemote, sizeof record.wireless_remote);
  record.reserve = in.reserve;
  record.crc = in.crc;
}

void encodePacket(const kalvent_log::low_state& record, char* packet) {
  LowState_t wire;
  encodeHeader(record, wire);
  IMU imu;
  encodeImu(record, imu);
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
  std::memcpy(wire.footForce, record.foot_force, sizeof wire.footForce);
  std::memcpy(wire.footForceEst, record.foot_force_est, sizeof wire.footForceEst);
  wire.tick = static_cast<uint32_t>(record.tick);
  std::memcpy(wire.wirelessRemote, record.wireless_remote, sizeof wire.wirelessRemote);
  wire.reserve = static_cast<uint32_t>(record.reserve);
  wire.crc = static_cast<uint32_t>(record.crc);
  std::memcpy(packet, &wire, sizeof wire);
}

void encodePacket(const kalvent_log::high_state& record, char* packet) {
  HighState wire;
  encodeHeader(record, wire);
  wire.mode = record.mode;
  IMU imu;
  encodeImu(record, imu);
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
  std::memcpy(wire.footForce, record.foot_force, sizeof wire.footForce);
  std::memcpy(wire.footForceEst, record.foot_force_est, sizeof wire.footForceEst);
  wire.tick = static_cast<uint32_t>(record.tick);
  std::memcpy(wire.wirelessRemote, record.wireless_remote, sizeof wire.wirelessRemote);
  wire.reserve = static_cast<uint32_t>(record.reserve);
  wire.crc = static_cast<uint32_t>(record.crc);
  std::memcpy(packet, &wire, sizeof wire);
}

}  // namespace KALVENT_LEGGED_SDK
