/// @file
/// The UDP link to the robot controller.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kalvent_legged_sdk/comm.h"
#include "kalvent_legged_sdk/link_health.h"
#include "kalvent_legged_sdk/quadruped.h"
#include "kalvent_legged_sdk/result.h"

namespace KALVENT_LEGGED_SDK {

class DatagramBatch;
struct PacketTap;

/// Local port bound by the level constructor.
const int UDP_CLIENT_PORT = 8080;
/// Controller port the level constructor sends to.
const int UDP_SERVER_PORT = 8007;
/// Controller addresses on the robot's private network (one /24).
/// Never reachable from a development machine's own network: tests that use
/// them run inside a private network namespace. Inline, so that the program
/// and the library share one array each: UDP::targetIP of a default endpoint
/// compares equal to one of them.
///@{
inline const char UDP_SERVER_IP_BASIC[15] = "192.168.177.10";
inline const char UDP_SERVER_IP_SPORT[16] = "192.168.177.110";
///@}

/// One non-blocking IPv4 datagram socket to the robot controller, with the
/// packet to send, the newest accepted packet received, and the link's
/// counters.
///
/// Threads: one thread calls Send, one calls Recv, and the control thread calls
/// SetSend and GetRecv; each packet is copied under its own lock, so none is
/// ever sent or read half-written. Endpoints share nothing: each may be driven
/// by threads of its own. Construct before starting the loops, destroy after
/// stopping them.
///
/// Levels: an endpoint whose packet lengths are one level's (610 out / 771 in
/// low, 143 out / 256 in high) given a record of the other level (SetSend of a
/// HighCmd or GetRecv into a HighState on a low-level endpoint, or the
/// reverse) prints one line on standard error naming the mismatch, once per
/// call and endpoint; the bytes moved stay the same. Endpoints of other
/// lengths take either record without a word.
///
/// Construction prints "UDP Initialized. Port: N " on standard output.
/// Set-up failures print a line and end the process: status 255 for an
/// invalid level ("Level Flag Error.") or a packet length below 4 (nothing on
/// standard output); status 254 for a socket, bind or connect failure ("Error:
/// Socket init failed.", "Error: Bind client ip&port failed.", "Error:
/// Connect failed. target IP:ADDR", the last also for a target that is not a
/// dotted-decimal IPv4 address); a line on standard error names the call, the
/// address and port and the system's reason. Run-time faults are only counted
/// or returned. Nothing is allocated after construction, except by
/// switchLevel.
///
/// The open factories below make the same endpoints without ending the
/// process: a failure comes back as an Error (Step::LevelSelector,
/// PacketLength, Socket, Bind or Connect, with errno and the message the
/// constructors write on standard error). Their endpoints write nothing on
/// standard output, neither when made nor when destroyed; a server-mode one
/// reports its client through the log sink (log.h), and when it cannot
/// connect to that client it logs an error and waits for the next datagram
/// instead of ending the process.
class UDP {
 public:
  /// The level endpoint, as UDP(level, highControl). A non-level selector is
  /// Step::LevelSelector (errno 0).
  static Result<std::unique_ptr<UDP>> openLevel(uint8_t level,
                                                HighLevelType highControl = HighLevelType::Basic);
  /// The client endpoint, as UDP(localPort, targetIP, targetPort, sendLength,
  /// recvLength). Text that is not a dotted-decimal IPv4 address is
  /// Step::Connect with errno EINVAL.
  static Result<std::unique_ptr<UDP>> open(uint16_t localPort, const char* targetIP,
                                           uint16_t targetPort, int sendLength, int recvLength);
  /// The server-mode endpoint, as UDP(localPort, targetPort, sendLength,
  /// recvLength).
  static Result<std::unique_ptr<UDP>> openServer(uint16_t localPort, uint16_t targetPort,
                                                 int sendLength, int recvLength);

  /// Default endpoint of a level (HIGHLEVEL or LOWLEVEL; anything else ends the
  /// process): binds UDP_CLIENT_PORT and connects to UDP_SERVER_PORT at
  /// UDP_SERVER_IP_SPORT for HighLevelType::Sport, else at UDP_SERVER_IP_BASIC.
  /// Packet lengths: 143 out / 256 in (high), 610 out / 771 in (low).
  explicit UDP(uint8_t level, HighLevelType highControl = HighLevelType::Basic);
  /// Endpoint bound to `localPort` and connected to `targetIP`:`targetPort`,
  /// with packets of the given lengths in bytes (at least 4: the last four hold
  /// the checksum; a shorter length ends the process with status 255).
  /// `targetIP` is dotted-decimal text that the caller keeps alive as long as
  /// the endpoint. Level flag 0x00.
  UDP(uint16_t localPort, const char* targetIP, uint16_t targetPort, int sendLength,
      int recvLength);
  /// Server mode: bound to `localPort`, unconnected until the first datagram,
  /// whose sender (address and source port) becomes the peer for good; from
  /// then on datagrams of other senders are dropped, even those that queued
  /// before it. The Recv that takes the first client prints "Client
  /// connected! Client IP:ADDR" on standard output; if connecting to it
  /// fails, that Recv prints "Error: Connect client failed." and ends the
  /// process with status 254. `targetPort` is kept but does not choose the
  /// peer. Lengths as above. Level flag 0x00.
  UDP(uint16_t localPort, uint16_t targetPort, int sendLength, int recvLength);
  /// Prints "Closing UDP." and closes the socket; also prints "Error! Close
  /// UDP Failed." when the socket cannot be shut down (a server-mode endpoint
  /// that never had a client).
  ~UDP();

  UDP(const UDP&) = delete;
  UDP& operator=(const UDP&) = delete;

  /// Sets cmd.levelFlag to the endpoint's level flag; nothing else.
  void InitCmdData(HighCmd& cmd);
  /// Sets cmd.levelFlag, and in all 20 slots mode 10, q PosStopF, dq VelStopF,
  /// tau, Kp, Kd 0. Every other field keeps its value.
  void InitCmdData(LowCmd& cmd);
  /// Re-sizes the packets for `level` (LOWLEVEL: 610/771, anything else:
  /// 143/256), zeroing both stored packets, then sleeps one second. The level
  /// flag stays the constructor's. Only while Send and Recv are not running.
  void switchLevel(int level);

  /// Stamps the checksum into cmd.crc and stores cmd as the packet to send.
  /// Returns 0.
  int SetSend(HighCmd& cmd);
  /// Encodes cmd (tau in N·m x256, Kp x32, Kd x16 as 16-bit integers truncated
  /// toward zero; beyond the 16-bit range they saturate, NaN gives 0), stamps
  /// the checksum and stores it as the packet to send. cmd is not changed.
  /// Returns 0.
  int SetSend(LowCmd& cmd);
  /// Stamps the checksum into the last four bytes of the caller's packet of
  /// the endpoint's send length and stores the packet to send. Returns 0.
  int SetSend(char* cmd);
  /// Copies the newest accepted packet (zeros before the first) into state.
  void GetRecv(HighState& state);
  /// Decodes the newest accepted packet into state (tauEst in N·m: the wire
  /// value /256); state.crc keeps its value.
  void GetRecv(LowState& state);
  /// Copies the newest accepted packet into the caller's buffer of the
  /// endpoint's receive length.
  void GetRecv(char* recv);

  /// Transmits the stored packet once. Returns the bytes sent or -1 (counted
  /// in SendCount either way), or 0 without sending while unconnected.
  int Send();
  /// Reads every queued datagram of the peer and keeps the newest if its
  /// checksum holds. Returns 0 when it stored a packet (RecvCount + 1), -3
  /// otherwise (RecvCRCError + 1; also when nothing had arrived). Never waits;
  /// one system call while fewer than 8 datagrams are queued. An empty
  /// datagram ends the call, as a read that returns nothing does: those taken
  /// from the socket behind it stay buffered in the endpoint (hasBuffered())
  /// for the next call.
  int Recv();

  /// True while datagrams that Recv took from the socket wait in the endpoint
  /// for the next Recv. The socket no longer reports them readable: call Recv
  /// again before waiting on socketFd() while this is true. From the thread
  /// that calls Recv.
  bool hasBuffered() const noexcept { return batchNext < batchCount; }

  /// The endpoint's socket, for waiting on it (poll, epoll) while another
  /// part of the program owns the calls. Read only from it through Recv, and
  /// wait on it only while hasBuffered() is false.
  int socketFd() const noexcept { return sockFd; }

  /// The incoming link's health, kept up to date by Send and Recv; its
  /// readers may be called from any thread (see link_health.h). Lives as
  /// long as the endpoint. Non-const, to turn its warnings off.
  LinkHealth& linkHealth() noexcept { return health_; }
  /// The incoming link's health, for reading only.
  const LinkHealth& linkHealth() const noexcept { return health_; }

  UDPState udpState{};       ///< link counters, all zero at construction
  char* targetIP = nullptr;  ///< peer's address text; null in server mode until a client came
  uint16_t targetPort = 0;   ///< peer port given at construction, host order
  char* localIP = nullptr;   ///< always null: the socket is bound to every local address
  uint16_t localPort = 0;    ///< local port bound, host order

 private:
  /// Attaches itself through tap_.
  friend class Recorder;

  /// Marks the open factories' constructor apart from the public ones.
  struct Unopened {};
  /// An endpoint with its fields set and nothing opened, for the open
  /// factories; `serverMode` waits for a client instead of connecting.
  UDP(Unopened, uint8_t level, const char* peerIP, bool serverMode, int sendLength, int recvLength);
  /// The set-up steps: the lengths, the buffers, socket, bind and connect.
  /// Writes nothing.
  Result<void> setUp(uint16_t port, const char* peerIP, uint16_t peerPort);
  /// The constructors' set-up: setUp, then the documented line, or the
  /// failure's line and the end of the process.
  void init(uint16_t port, const char* peerIP, uint16_t peerPort);
  void allocateBuffers();
  /// Server mode: makes `sender` the peer. False (logged) when the socket
  /// cannot connect to it, for an endpoint of the open factories; the
  /// constructors' endpoints end the process instead.
  bool acceptClient(const sockaddr_in& sender);
  bool fromPeer(const sockaddr_in& sender) const noexcept;

  uint8_t levelFlag = HIGHLEVEL;
  bool quiet_ = false;  ///< made by an open factory: nothing on standard output, no exit
  int sockFd = -1;
  std::atomic<bool> connected{true};  ///< false only in server mode before the first datagram
  int sendLength = 0;                 ///< bytes of one outgoing packet
  int recvLength = 0;                 ///< bytes of one incoming packet
  std::unique_ptr<char[]> recvTemp;   ///< Recv's scratch
  std::unique_ptr<char[]> recvBuf;    ///< newest accepted packet, under recvMut
  std::unique_ptr<char[]> sendBuf;    ///< packet to send, under sendMut
  std::mutex sendMut;
  std::mutex recvMut;
  sockaddr_in addrRecv{};                 ///< the peer's address, as the kernel holds it
  char clientAddress[INET_ADDRSTRLEN]{};  ///< server mode: the text targetIP points at
  LinkHealth health_;
  /// One bit per call that warned of a record of the other level.
  std::atomic<unsigned> levelMismatchWarned_{0};
  /// The attached recorder's rings, or null: Send puts each packet it sent
  /// there, Recv each packet it accepted.
  std::atomic<PacketTap*> tap_{nullptr};

  /// Recv's datagrams, several per system call. Those in [batchNext,
  /// batchCount) are left for the next Recv: an empty datagram ends a Recv, as
  /// a read that returns nothing does.
  std::unique_ptr<DatagramBatch> recvBatch;
  int batchNext = 0;
  int batchCount = 0;
};

}  // namespace KALVENT_LEGGED_SDK
