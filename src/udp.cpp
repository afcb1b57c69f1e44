// The UDP link to the robot controller and the packet checksum.
#include "kalvent_legged_sdk/udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "udp_comm.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace KALVENT_LEGGED_SDK {

namespace {

const uint32_t kCrcPolynomial = 0x04C11DB7u;

// kSlices.t[k][b]: the checksum register after feeding byte b followed by k
// zero bytes into a zero register, most significant bit first.
struct SliceTables {
  uint32_t t[8][256];
};

constexpr SliceTables makeSliceTables() {
  SliceTables s{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b << 24;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 0x80000000u) ? (c << 1) ^ kCrcPolynomial : c << 1;
    }
    s.t[0][b] = c;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      const uint32_t prev = s.t[k - 1][b];
      s.t[k][b] = (prev << 8) ^ s.t[0][prev >> 24];
    }
  }
  return s;
}

constexpr SliceTables kSlices = makeSliceTables();

// Words are little-endian whatever the host's byte order.
inline uint32_t loadWord(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Feeds one word, most significant byte first.
inline uint32_t feedWord(uint32_t crc, uint32_t word) {
  const uint32_t c = crc ^ word;
  return kSlices.t[3][c >> 24] ^ kSlices.t[2][(c >> 16) & 0xff] ^ kSlices.t[1][(c >> 8) & 0xff] ^
         kSlices.t[0][c & 0xff];
}

uint32_t feedWords(uint32_t crc, const unsigned char* p, uint32_t words) {
  for (; words >= 2; words -= 2, p += 8) {
    const uint32_t c = crc ^ loadWord(p);
    const uint32_t d = loadWord(p + 4);
    crc = kSlices.t[7][c >> 24] ^ kSlices.t[6][(c >> 16) & 0xff] ^ kSlices.t[5][(c >> 8) & 0xff] ^
          kSlices.t[4][c & 0xff] ^ kSlices.t[3][d >> 24] ^ kSlices.t[2][(d >> 16) & 0xff] ^
          kSlices.t[1][(d >> 8) & 0xff] ^ kSlices.t[0][d & 0xff];
  }
  if (words != 0) crc = feedWord(crc, loadWord(p));
  return crc;
}

#if defined(__x86_64__)

// X^n mod P, the folding constants.
constexpr uint64_t powerOfXModP(int n) {
  uint32_t r = 1;
  for (int i = 0; i < n; ++i) r = (r & 0x80000000u) ? (r << 1) ^ kCrcPolynomial : r << 1;
  return r;
}

// A 16-byte block as one 128-bit polynomial, first bit of the stream highest:
// the stream takes each word most significant byte first, so only the order
// of the four words is reversed.
__attribute__((target("pclmul,sse4.1"))) inline __m128i loadBlock(const unsigned char* p) {
  return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 0x1B);
}

// x * X^distance mod P, folded down to at most 96 bits. `k` holds
// X^(distance+64) mod P in its high and X^distance mod P in its low half.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

#endif

}  // namespace

namespace crc32_impl {

uint32_t portable(const void* data, uint32_t words) {
  return feedWords(0xFFFFFFFFu, static_cast<const unsigned char*>(data), words);
}

#if defined(__x86_64__)

bool carrylessSupported() {
  return __builtin_cpu_supports("pclmul");
}

__attribute__((target("pclmul,sse4.1"))) uint32_t carryless(const void* data, uint32_t words) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t blocks = words / 4;
  if (blocks < 2) return portable(data, words);

  const __m128i by128 = _mm_set_epi64x(powerOfXModP(192), powerOfXModP(128));
  __m128i x = _mm_xor_si128(loadBlock(p), _mm_set_epi32(-1, 0, 0, 0));
  p += 16;
  --blocks;

  if (blocks >= 4) {
    // Four independent lanes hide the multiplier's latency.
    const __m128i by512 = _mm_set_epi64x(powerOfXModP(576), powerOfXModP(512));
    __m128i a0 = x;
    __m128i a1 = loadBlock(p);
    __m128i a2 = loadBlock(p + 16);
    __m128i a3 = loadBlock(p + 32);
    p += 48;
    blocks -= 3;
    for (; blocks >= 4; blocks -= 4, p += 64) {
      a0 = _mm_xor_si128(fold(a0, by512), loadBlock(p));
      a1 = _mm_xor_si128(fold(a1, by512), loadBlock(p + 16));
      a2 = _mm_xor_si128(fold(a2, by512), loadBlock(p + 32));
      a3 = _mm_xor_si128(fold(a3, by512), loadBlock(p + 48));
    }
    const __m128i by384 = _mm_set_epi64x(powerOfXModP(448), powerOfXModP(384));
    const __m128i by256 = _mm_set_epi64x(powerOfXModP(320), powerOfXModP(256));
    x = _mm_xor_si128(_mm_xor_si128(fold(a0, by384), fold(a1, by256)),
                      _mm_xor_si128(fold(a2, by128), a3));
  }
  for (; blocks > 0; --blocks, p += 16) x = _mm_xor_si128(fold(x, by128), loadBlock(p));

  // The folded 128 bits are an ordinary 4-word message fed into a zero register.
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), x);
  uint32_t crc = 0;
  for (int lane = 3; lane >= 0; --lane) crc = feedWord(crc, lanes[lane]);
  return feedWords(crc, p, words % 4);
}

#else

bool carrylessSupported() {
  return false;
}

#endif

}  // namespace crc32_impl

uint32_t crc32(uint32_t* data, uint32_t len) {
#if defined(__x86_64__)
  static const bool useCarryless = crc32_impl::carrylessSupported();
  if (useCarryless) return crc32_impl::carryless(data, len);
#endif
  return crc32_impl::portable(data, len);
}

namespace {

// The low-level codec's scratch records, one per process: SetSend(LowCmd&)
// builds its packet in udp_lowcmd and GetRecv(LowState&) decodes from
// udp_lowstate.
LowCmd_t udp_lowcmd;
LowState_t udp_lowstate;

uint32_t loadLittleEndian(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void storeLittleEndian(char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(value >> (8 * i));
}

// Checksum of a packet of `length` bytes, to be found in its last four bytes.
uint32_t checksumOf(const void* packet, int length) {
  return crc32(static_cast<uint32_t*>(const_cast<void*>(packet)), crcWords(length));
}

// Torque and gains travel as 16-bit integers scaled by a power of two, so the
// product is exact and in range the value is truncated toward zero. Out of
// range the nearest end goes out rather than a wrapped value of the opposite
// sign, and NaN asks for no torque or gain.
int16_t toWire(float value, float scale) {
  const float scaled = value * scale;
  if (std::isnan(scaled)) return 0;
  const float limited = std::min(std::max(scaled, -32768.0f), 32767.0f);
  return static_cast<int16_t>(static_cast<int32_t>(limited));
}

[[noreturn]] void failSetUp(const char* message) {
  std::printf("%s", message);
  std::exit(-2);
}

}  // namespace

UDP::UDP(uint8_t level, HighLevelType highControl) : levelFlag(level) {
  if (level == HIGHLEVEL) {
    sendLength = HIGH_CMD_LENGTH;
    recvLength = HIGH_STATE_LENGTH;
  } else if (level == LOWLEVEL) {
    sendLength = LOW_CMD_LENGTH;
    recvLength = LOW_STATE_LENGTH;
  } else {
    std::printf("Level Flag Error.\n");
    std::exit(-1);
  }
  targetIP = const_cast<char*>(highControl == HighLevelType::Sport ? UDP_SERVER_IP_SPORT
                                                                   : UDP_SERVER_IP_BASIC);
  init(UDP_CLIENT_PORT, targetIP, UDP_SERVER_PORT);
}

UDP::UDP(uint16_t localPort, const char* targetIP, uint16_t targetPort, int sendLength,
         int recvLength)
    : targetIP(const_cast<char*>(targetIP)), sendLength(sendLength), recvLength(recvLength) {
  init(localPort, targetIP, targetPort);
}

UDP::UDP(uint16_t localPort, uint16_t targetPort, int sendLength, int recvLength)
    : connected(false), sendLength(sendLength), recvLength(recvLength) {
  init(localPort, nullptr, targetPort);
}

UDP::~UDP() {
  std::printf("Closing UDP.\n");
  // Fails on a server-mode endpoint that never got a client: it is not connected.
  if (shutdown(sockFd, SHUT_RDWR) != 0) std::printf("Error! Close UDP Failed.\n");
  close(sockFd);
}

void UDP::init(uint16_t port, const char* peerIP, uint16_t peerPort) {
  targetPort = peerPort;
  localPort = port;
  allocateBuffers();

  sockFd = socket(AF_INET, SOCK_DGRAM, 0);
  if (sockFd < 0) failSetUp("Error: Socket init failed.\n");

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(sockFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    failSetUp("Error: Bind client ip&port failed.\n");
  }

  addrRecv = sockaddr_in{};
  addrRecv.sin_family = AF_INET;
  addrRecv.sin_port = htons(peerPort);
  if (connected.load(std::memory_order_relaxed)) {
    addrRecv.sin_addr.s_addr = inet_addr(peerIP);
    if (connect(sockFd, reinterpret_cast<sockaddr*>(&addrRecv), sizeof addrRecv) != 0) {
      std::printf("Error: Connect failed. target IP:%s\n", targetIP);
      std::exit(-2);
    }
  }

  const int flags = fcntl(sockFd, F_GETFL);
  if (flags < 0) {
    std::printf("Error: fcntl F_GETFL failed.");
    return;
  }
  if (fcntl(sockFd, F_SETFL, flags | O_NONBLOCK) < 0) std::printf("Error: fcntl F_SETFL failed.");
  std::printf("UDP Initialized. Port: %d \n", port);
}

void UDP::allocateBuffers() {
  recvTemp = std::make_unique<char[]>(recvLength);
  recvBuf = std::make_unique<char[]>(recvLength);
  sendBuf = std::make_unique<char[]>(sendLength);
}

int UDP::Send() {
  if (!connected.load(std::memory_order_acquire)) return 0;
  ssize_t sent;
  {
    std::lock_guard<std::mutex> lock(sendMut);
    sent = send(sockFd, sendBuf.get(), sendLength, 0);
  }
  ++udpState.SendCount;
  health_.onSend(addrRecv);
  return static_cast<int>(sent);
}

int UDP::Recv() {
  char* const temp = recvTemp.get();
  // Each datagram overwrites the scratch from its first byte; what lies
  // beyond the longest one of this call is zeroed afterwards, which leaves
  // the same bytes as zeroing it all beforehand.
  int longest = 0;
  int datagrams = 0;
  for (;;) {
    ssize_t got;
    if (connected.load(std::memory_order_relaxed)) {
      got = recv(sockFd, temp, recvLength, 0);
    } else {
      socklen_t addressLength = sizeof addrRecv;
      got = recvfrom(sockFd, temp, recvLength, 0, reinterpret_cast<sockaddr*>(&addrRecv),
                     &addressLength);
    }
    if (got <= 0) break;
    longest = std::max(longest, static_cast<int>(got));
    ++datagrams;
    if (!connected.load(std::memory_order_relaxed)) acceptClient();
  }
  // With nothing received the scratch is all zeros: its stored checksum 0
  // never matches, as the checksum register starts non-zero and zero words
  // never bring it to zero. So skip computing it.
  if (longest == 0) {
    ++udpState.RecvCRCError;
    health_.onEmptyPoll(addrRecv);
    return -3;
  }
  std::memset(temp + longest, 0, static_cast<size_t>(recvLength - longest));
  if (checksumOf(temp, recvLength) != loadLittleEndian(temp + recvLength - 4)) {
    ++udpState.RecvCRCError;
    health_.onChecksumFailure(datagrams, addrRecv);
    return -3;
  }
  {
    std::lock_guard<std::mutex> lock(recvMut);
    std::memcpy(recvBuf.get(), temp, static_cast<size_t>(recvLength));
  }
  ++udpState.RecvCount;
  health_.onAccepted(temp, recvLength, datagrams, addrRecv);
  return 0;
}

// Server mode: the sender of the first datagram, which recvfrom left in
// addrRecv, becomes the peer for good.
void UDP::acceptClient() {
  if (connect(sockFd, reinterpret_cast<sockaddr*>(&addrRecv), sizeof addrRecv) != 0) {
    failSetUp("Error: Connect client failed.\n");
  }
  inet_ntop(AF_INET, &addrRecv.sin_addr, clientAddress, sizeof clientAddress);
  targetIP = clientAddress;
  connected.store(true, std::memory_order_release);
  std::printf("Client connected! Client IP:%s\n", targetIP);
}

void UDP::InitCmdData(HighCmd& cmd) {
  cmd.levelFlag = levelFlag;
}

void UDP::InitCmdData(LowCmd& cmd) {
  cmd.levelFlag = levelFlag;
  for (MotorCmd& motor : cmd.motorCmd) {
    motor.mode = 0x0A;
    motor.q = static_cast<float>(PosStopF);
    motor.dq = static_cast<float>(VelStopF);
    motor.tau = 0.0f;
    motor.Kp = 0.0f;
    motor.Kd = 0.0f;
  }
}

void UDP::switchLevel(int level) {
  if (level == LOWLEVEL) {
    recvLength = LOW_STATE_LENGTH;
    sendLength = LOW_CMD_LENGTH;
  } else {
    recvLength = HIGH_STATE_LENGTH;
    sendLength = HIGH_CMD_LENGTH;
  }
  allocateBuffers();
  sleep(1);
}

// The record variants copy at most their record's size, so that one used on
// an endpoint of the other level never reads or writes past the record.

int UDP::SetSend(HighCmd& cmd) {
  cmd.crc = checksumOf(&cmd, HIGH_CMD_LENGTH);
  std::lock_guard<std::mutex> lock(sendMut);
  std::memcpy(sendBuf.get(), &cmd, static_cast<size_t>(std::min(sendLength, HIGH_CMD_LENGTH)));
  return 0;
}

int UDP::SetSend(LowCmd& cmd) {
  LowCmd_t& wire = udp_lowcmd;
  wire.levelFlag = cmd.levelFlag;
  wire.commVersion = cmd.commVersion;
  wire.robotID = cmd.robotID;
  wire.SN = cmd.SN;
  wire.bandWidth = cmd.bandWidth;
  for (int k = 0; k < 20; ++k) {
    const MotorCmd& in = cmd.motorCmd[k];
    MotorCmd_t& out = wire.motorCmd[k];
    out.mode = in.mode;
    out.q = in.q;
    out.dq = in.dq;
    out.tau = toWire(in.tau, 256.0f);
    out.Kp = toWire(in.Kp, 32.0f);
    out.Kd = toWire(in.Kd, 16.0f);
    std::memcpy(out.reserve, in.reserve, sizeof out.reserve);
  }
  std::memcpy(wire.led, cmd.led, sizeof wire.led);
  std::memcpy(wire.wirelessRemote, cmd.wirelessRemote, sizeof wire.wirelessRemote);
  wire.reserve = cmd.reserve;
  wire.crc = checksumOf(&wire, LOW_CMD_LENGTH);

  std::lock_guard<std::mutex> lock(sendMut);
  std::memcpy(sendBuf.get(), &wire, static_cast<size_t>(std::min(sendLength, LOW_CMD_LENGTH)));
  return 0;
}

int UDP::SetSend(char* cmd) {
  storeLittleEndian(cmd + sendLength - 4, checksumOf(cmd, sendLength));
  std::lock_guard<std::mutex> lock(sendMut);
  std::memcpy(sendBuf.get(), cmd, static_cast<size_t>(sendLength));
  return 0;
}

void UDP::GetRecv(HighState& state) {
  std::lock_guard<std::mutex> lock(recvMut);
  std::memcpy(&state, recvBuf.get(), static_cast<size_t>(std::min(recvLength, HIGH_STATE_LENGTH)));
}

void UDP::GetRecv(LowState& state) {
  {
    std::lock_guard<std::mutex> lock(recvMut);
    std::memcpy(&udp_lowstate, recvBuf.get(),
                static_cast<size_t>(std::min(recvLength, LOW_STATE_LENGTH)));
  }
  const LowState_t& wire = udp_lowstate;
  state.levelFlag = wire.levelFlag;
  state.commVersion = wire.commVersion;
  state.robotID = wire.robotID;
  state.SN = wire.SN;
  state.bandWidth = wire.bandWidth;
  state.imu = wire.imu;
  for (int k = 0; k < 20; ++k) {
    const MotorState_t& in = wire.motorState[k];
    MotorState& out = state.motorState[k];
    out.mode = in.mode;
    out.q = in.q;
    out.dq = in.dq;
    out.ddq = static_cast<float>(in.ddq);
    out.tauEst = static_cast<float>(in.tauEst) * (1.0f / 256.0f);
    out.q_raw = in.q_raw;
    out.dq_raw = in.dq_raw;
    out.ddq_raw = static_cast<float>(in.ddq_raw);
    out.temperature = in.temperature;
    std::memcpy(out.reserve, in.reserve, sizeof out.reserve);
  }
  std::memcpy(state.footForce, wire.footForce, sizeof state.footForce);
  std::memcpy(state.footForceEst, wire.footForceEst, sizeof state.footForceEst);
  state.tick = wire.tick;
  std::memcpy(state.wirelessRemote, wire.wirelessRemote, sizeof state.wirelessRemote);
  state.reserve = wire.reserve;
}

void UDP::GetRecv(char* recv) {
  std::lock_guard<std::mutex> lock(recvMut);
  std::memcpy(recv, recvBuf.get(), static_cast<size_t>(recvLength));
}

}  // namespace KALVENT_LEGGED_SDK
