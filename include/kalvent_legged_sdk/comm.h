/// @file
/// Records exchanged with the robot controller and between processes.
///
/// Every record is a packed little-endian byte image with no gaps between
/// fields: it is what travels on the UDP link (high level) and on the LCM
/// channels (both levels). Copy records whole with memcpy; read fields of a
/// record that sits in a byte buffer only through a copy of the record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KALVENT_LEGGED_SDK {

/// Level flag of high-level records and endpoints.
const int HIGHLEVEL = 0x00;
/// Level flag of low-level records and endpoints.
const int LOWLEVEL = 0xff;
/// MotorCmd::q value meaning "no position target" (exact as a float: 0x4EFFD2B9).
const double PosStopF = 2.146e9;
/// MotorCmd::dq value meaning "no velocity target" (exact as a float: 0x467A0000).
const double VelStopF = 16000.0;

#pragma pack(push, 1)

/// A point or vector in three dimensions (12 bytes).
struct Cartesian {
  float x;  ///< first coordinate
  float y;  ///< second coordinate
  float z;  ///< third coordinate
};

/// Body inertial measurement unit reading (53 bytes).
struct IMU {
  float quaternion[4];     ///< orientation
  float gyroscope[3];      ///< angular velocity, three axes
  float accelerometer[3];  ///< linear acceleration, three axes
  float rpy[3];            ///< roll, pitch, yaw
  int8_t temperature;      ///< temperature, in the controller's unit
};

/// One LED colour (3 bytes).
struct LED {
  uint8_t r;  ///< red, 0-255
  uint8_t g;  ///< green, 0-255
  uint8_t b;  ///< blue, 0-255
};

/// State of one joint motor (38 bytes).
struct MotorState {
  uint8_t mode;         ///< motor mode in force
  float q;              ///< joint position, rad
  float dq;             ///< joint velocity, rad/s
  float ddq;            ///< joint acceleration
  float tauEst;         ///< estimated joint torque, N·m
  float q_raw;          ///< raw position reading, passed through
  float dq_raw;         ///< raw velocity reading, passed through
  float ddq_raw;        ///< raw acceleration reading, passed through
  int8_t temperature;   ///< temperature, in the controller's unit
  uint32_t reserve[2];  ///< reserved, carried unchanged
};

/// Command for one joint motor (33 bytes).
struct MotorCmd {
  uint8_t mode;         ///< motor mode; 10 after InitCmdData, 0 means no torque
  float q;              ///< target position, rad; PosStopF: no position target
  float dq;             ///< target velocity, rad/s; VelStopF: no velocity target
  float tau;            ///< feed-forward torque, N·m
  float Kp;             ///< position gain (stiffness)
  float Kd;             ///< velocity gain (damping)
  uint32_t reserve[3];  ///< reserved, carried unchanged
};

/// Low-level state as the user reads it (891 bytes). Slot k = 3 * leg + joint.
struct LowState {
  uint8_t levelFlag;           ///< HIGHLEVEL or LOWLEVEL
  uint16_t commVersion;        ///< protocol header field, carried unchanged
  uint16_t robotID;            ///< protocol header field, carried unchanged
  uint32_t SN;                 ///< protocol header field, carried unchanged
  uint8_t bandWidth;           ///< protocol header field, carried unchanged
  IMU imu;                     ///< body inertial measurement
  MotorState motorState[20];   ///< joint motor states; slot k = 3 * leg + joint, 12 used
  int16_t footForce[4];        ///< measured foot contact force, per leg
  int16_t footForceEst[4];     ///< estimated foot contact force, per leg
  uint32_t tick;               ///< controller tick counter
  uint8_t wirelessRemote[40];  ///< remote control bytes, passed through
  uint32_t reserve;            ///< reserved, carried unchanged
  uint32_t crc;                ///< not used on the UDP link
};

/// Low-level command as the user fills it (730 bytes). Slot k = 3 * leg + joint.
struct LowCmd {
  uint8_t levelFlag;           ///< HIGHLEVEL or LOWLEVEL
  uint16_t commVersion;        ///< protocol header field, carried unchanged
  uint16_t robotID;            ///< protocol header field, carried unchanged
  uint32_t SN;                 ///< protocol header field, carried unchanged
  uint8_t bandWidth;           ///< protocol header field, carried unchanged
  MotorCmd motorCmd[20];       ///< joint motor commands; slot k = 3 * leg + joint, 12 used
  LED led[4];                  ///< LED colours
  uint8_t wirelessRemote[40];  ///< remote control bytes, passed through
  uint32_t reserve;            ///< reserved, carried unchanged
  uint32_t crc;                ///< not used on the UDP link
};

/// High-level state, the packet received at the high level (256 bytes).
struct HighState {
  uint8_t levelFlag;               ///< HIGHLEVEL or LOWLEVEL
  uint16_t commVersion;            ///< protocol header field, carried unchanged
  uint16_t robotID;                ///< protocol header field, carried unchanged
  uint32_t SN;                     ///< protocol header field, carried unchanged
  uint8_t bandWidth;               ///< protocol header field, carried unchanged
  uint8_t mode;                    ///< motion mode in force
  IMU imu;                         ///< body inertial measurement
  float forwardSpeed;              ///< forward speed, in the controller's unit
  float sideSpeed;                 ///< sideways speed, in the controller's unit
  float rotateSpeed;               ///< turning speed, in the controller's unit
  float bodyHeight;                ///< body height, in the controller's unit
  float updownSpeed;               ///< vertical speed, in the controller's unit
  float forwardPosition;           ///< forward position, in the controller's unit
  float sidePosition;              ///< sideways position, in the controller's unit
  Cartesian footPosition2Body[4];  ///< per leg, relative to the body
  Cartesian footSpeed2Body[4];     ///< per leg, relative to the body
  int16_t footForce[4];            ///< measured foot contact force, per leg
  int16_t footForceEst[4];         ///< estimated foot contact force, per leg
  uint32_t tick;                   ///< controller tick counter
  uint8_t wirelessRemote[40];      ///< remote control bytes, passed through
  uint32_t reserve;                ///< reserved, carried unchanged
  uint32_t crc;                    ///< checksum of bytes 0-251
};

/// High-level command, the packet sent at the high level (143 bytes).
struct HighCmd {
  uint8_t levelFlag;           ///< HIGHLEVEL or LOWLEVEL
  uint16_t commVersion;        ///< protocol header field, carried unchanged
  uint16_t robotID;            ///< protocol header field, carried unchanged
  uint32_t SN;                 ///< protocol header field, carried unchanged
  uint8_t bandWidth;           ///< protocol header field, carried unchanged
  uint8_t mode;                ///< requested motion mode
  float forwardSpeed;          ///< forward speed, in the controller's unit
  float sideSpeed;             ///< sideways speed, in the controller's unit
  float rotateSpeed;           ///< turning speed, in the controller's unit
  float bodyHeight;            ///< body height, in the controller's unit
  float footRaiseHeight;       ///< foot raise height, in the controller's unit
  float yaw;                   ///< body yaw, in the controller's unit
  float pitch;                 ///< body pitch, in the controller's unit
  float roll;                  ///< body roll, in the controller's unit
  LED led[4];                  ///< LED colours
  uint8_t wirelessRemote[40];  ///< remote control bytes, passed through
  uint8_t AppRemote[40];       ///< app remote bytes, passed through
  uint32_t reserve;            ///< reserved, carried unchanged
  uint32_t crc;                ///< checksum of bytes 0-135, stamped by UDP::SetSend
};

#pragma pack(pop)

/// Counters of one UDP endpoint; all start at zero.
struct UDPState {
  unsigned long long TotalCount;  ///< unused, stays 0
  unsigned long long SendCount;   ///< Send calls on a connected endpoint
  unsigned long long RecvCount;   ///< Recv calls that stored a packet
  unsigned long long SendError;   ///< unused, stays 0
  unsigned long long FlagError;   ///< unused, stays 0
  unsigned long long
      RecvCRCError;  ///< Recv calls whose newest packet (or nothing) failed the check
  unsigned long long RecvLoseError;  ///< unused, stays 0
};

/// Packet lengths of the high level: the record sizes.
///@{
const int HIGH_CMD_LENGTH = 143;
const int HIGH_STATE_LENGTH = 256;
///@}

static_assert(sizeof(Cartesian) == 12, "Cartesian layout");
static_assert(sizeof(IMU) == 53, "IMU layout");
static_assert(offsetof(IMU, temperature) == 52, "IMU layout");
static_assert(sizeof(LED) == 3, "LED layout");
static_assert(sizeof(MotorState) == 38, "MotorState layout");
static_assert(offsetof(MotorState, temperature) == 29, "MotorState layout");
static_assert(sizeof(MotorCmd) == 33, "MotorCmd layout");
static_assert(offsetof(MotorCmd, reserve) == 21, "MotorCmd layout");
static_assert(sizeof(LowState) == 891, "LowState layout");
static_assert(offsetof(LowState, imu) == 10, "LowState layout");
static_assert(offsetof(LowState, motorState) == 63, "LowState layout");
static_assert(offsetof(LowState, footForce) == 823, "LowState layout");
static_assert(offsetof(LowState, tick) == 839, "LowState layout");
static_assert(offsetof(LowState, crc) == 887, "LowState layout");
static_assert(sizeof(LowCmd) == 730, "LowCmd layout");
static_assert(offsetof(LowCmd, motorCmd) == 10, "LowCmd layout");
static_assert(offsetof(LowCmd, led) == 670, "LowCmd layout");
static_assert(offsetof(LowCmd, crc) == 726, "LowCmd layout");
static_assert(sizeof(HighState) == HIGH_STATE_LENGTH, "HighState layout");
static_assert(offsetof(HighState, imu) == 11, "HighState layout");
static_assert(offsetof(HighState, forwardSpeed) == 64, "HighState layout");
static_assert(offsetof(HighState, footPosition2Body) == 92, "HighState layout");
static_assert(offsetof(HighState, tick) == 204, "HighState layout");
static_assert(offsetof(HighState, crc) == 252, "HighState layout");
static_assert(sizeof(HighCmd) == HIGH_CMD_LENGTH, "HighCmd layout");
static_assert(offsetof(HighCmd, forwardSpeed) == 11, "HighCmd layout");
static_assert(offsetof(HighCmd, led) == 43, "HighCmd layout");
static_assert(offsetof(HighCmd, AppRemote) == 95, "HighCmd layout");
static_assert(offsetof(HighCmd, crc) == 139, "HighCmd layout");
static_assert(sizeof(UDPState) == 56, "UDPState layout");

}  // namespace KALVENT_LEGGED_SDK
