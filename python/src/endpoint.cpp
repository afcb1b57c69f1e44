// class UDP and its counters.
#include "endpoint.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "level_lengths.h"
#include "setup_errors.h"
#include "wire.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

// The endpoint `opened` made, held with its lengths; prints the line the
// classic constructor prints. Raises the factory's error instead.
std::unique_ptr<Endpoint> hold(std::unique_ptr<Endpoint> e,
                               sdk::Result<std::unique_ptr<sdk::UDP>> opened, int sendLength,
                               int recvLength) {
  e->udp = madeOrRaised(std::move(opened));
  e->sendLength = sendLength;
  e->recvLength = recvLength;
  std::printf("UDP Initialized. Port: %d \n", e->udp->localPort);
  return e;
}

// The caller's packet buffer for the raw SetSend/GetRecv: contiguous,
// writable, and `length` bytes (at least `length` when `longerFits`);
// ValueError before anything is written otherwise.
class PacketBuffer {
 public:
  PacketBuffer(const py::handle& source, int length, bool longerFits) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
      throw py::error_already_set();
    }
    if (view_.len < length || (!longerFits && view_.len != length)) {
      const std::string held = std::to_string(view_.len);
      PyBuffer_Release(&view_);
      throw py::value_error("the buffer holds " + held + " bytes; the endpoint's packet has " +
                            std::to_string(length));
    }
  }
  ~PacketBuffer() { PyBuffer_Release(&view_); }
  PacketBuffer(const PacketBuffer&) = delete;
  PacketBuffer& operator=(const PacketBuffer&) = delete;

  char* data() const { return static_cast<char*>(view_.buf); }

 private:
  Py_buffer view_{};
};

// SetSend of a raw packet: exactly the send length, since the checksum goes
// into its last four bytes.
int setSendRaw(Endpoint& e, const py::buffer& packet) {
  const auto lock = lockKeepingGil(e.packets);
  const PacketBuffer buffer(packet, e.sendLength, false);
  return e.udp->SetSend(buffer.data());
}

// GetRecv into a raw buffer of at least the receive length.
void getRecvRaw(Endpoint& e, const py::buffer& packet) {
  const auto lock = lockKeepingGil(e.packets);
  const PacketBuffer buffer(packet, e.recvLength, true);
  e.udp->GetRecv(buffer.data());
}

// SetSend and GetRecv pick the record by its class themselves: pybind11
// trying one overload per record costs about a microsecond for each that
// does not fit, a tenth of a Python control step.
template <typename R>
RecordView<R>* recordOf(const py::handle& source) {
  if (!py::isinstance<RecordView<R>>(source)) return nullptr;
  return &source.cast<RecordView<R>&>();
}

// `source` as a packet buffer, or a TypeError naming what the call takes.
py::buffer packetOf(const py::handle& source, const char* call, const char* records) {
  if (!PyObject_CheckBuffer(source.ptr())) {
    throw py::type_error(std::string(call) + ": needs " + records + " or a writable buffer, not " +
                         Py_TYPE(source.ptr())->tp_name);
  }
  return py::reinterpret_borrow<py::buffer>(source);
}

void bindCounters(py::module_& m) {
  using sdk::UDPState;
  py::class_<UDPState>(m, "UDPState", "Counters of one UDP endpoint (a copy); all start at zero.")
      .def(py::init<>())
      .def_readwrite("TotalCount", &UDPState::TotalCount, "unused, stays 0")
      .def_readwrite("SendCount", &UDPState::SendCount, "Send calls on a connected endpoint")
      .def_readwrite("RecvCount", &UDPState::RecvCount, "Recv calls that stored a packet")
      .def_readwrite("SendError", &UDPState::SendError, "unused, stays 0")
      .def_readwrite("FlagError", &UDPState::FlagError, "unused, stays 0")
      .def_readwrite("RecvCRCError", &UDPState::RecvCRCError,
                     "Recv calls whose newest packet (or nothing) failed the check")
      .def_readwrite("RecvLoseError", &UDPState::RecvLoseError, "unused, stays 0")
      .def("__bytes__",
           [](const UDPState& s) { return py::bytes(reinterpret_cast<const char*>(&s), sizeof s); })
      .def_static(
          "from_bytes",
          [](const py::bytes& image) {
            const std::string bytes = image;
            if (bytes.size() != sizeof(UDPState)) throw py::value_error("needs 56 bytes");
            UDPState s;
            std::memcpy(&s, bytes.data(), sizeof s);
            return s;
          },
          py::arg("image"))
      .def(
          "__eq__",
          [](const UDPState& a, const UDPState& b) { return std::memcmp(&a, &b, sizeof a) == 0; },
          py::is_operator())
      .def("__repr__", [](const UDPState& s) {
        return "UDPState(SendCount=" + std::to_string(s.SendCount) +
               ", RecvCount=" + std::to_string(s.RecvCount) +
               ", RecvCRCError=" + std::to_string(s.RecvCRCError) + ")";
      });
}

}  // namespace

std::unique_lock<std::mutex> lockKeepingGil(std::mutex& mutex) {
  std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    py::gil_scoped_release release;
    lock.lock();
  }
  return lock;
}

Endpoint::~Endpoint() {
  if (!udp) return;
  std::printf("Closing UDP.\n");
  // Fails on a server-mode endpoint that never got a client: it is not connected.
  if (shutdown(udp->socketFd(), SHUT_RDWR) != 0) std::printf("Error! Close UDP Failed.\n");
}

void Endpoint::announceClient() {
  if (udp->targetIP == nullptr) return;
  clientAnnounced = true;
  std::printf("Client connected! Client IP:%s\n", udp->targetIP);
}

void Endpoint::refuseWhileStateLoopOwns(const char* call) const {
  if (stateLoopOwns) {
    throw std::runtime_error(std::string("UDP.") + call +
                             ": a state loop runs on this endpoint until its shutdown()");
  }
}

namespace {

// Send or Recv as Python calls it: refused while a state loop owns the
// endpoint, the GIL released while it runs.
template <int (Endpoint::*transfer)()>
auto releasingGil(const char* name) {
  return [name](Endpoint& e) {
    e.refuseWhileStateLoopOwns(name);
    py::gil_scoped_release release;
    return (e.*transfer)();
  };
}

}  // namespace

py::class_<Endpoint> bindEndpoint(py::module_& m) {
  bindCounters(m);
  py::class_<Endpoint> udp(
      m, "UDP",
      "One non-blocking IPv4 datagram socket to the robot controller.\n\n"
      "Any Python threads may share one endpoint: calls of one kind take turns (two\n"
      "threads' Recv calls run one after the other), each packet is copied under its own\n"
      "lock, and Send, Recv and switchLevel release the GIL while they run. Give udp.Send / "
      "udp.Recv to a LoopFunc and the loop calls them\n"
      "in C++, never taking the GIL.\n\n"
      "Prints 'UDP Initialized. Port: N ' when made and 'Closing UDP.' when destroyed.\n"
      "Set-up failures raise and leave the interpreter running: ValueError for an invalid\n"
      "level or a packet length below 4, OSError (errno set) for a socket, bind or connect\n"
      "failure, including a target that is not a dotted-decimal IPv4 address (EINVAL).");
  udp.def(py::init([](uint8_t level, sdk::HighLevelType highControl) {
            const sdk::PacketLengths lengths = sdk::packetLengthsOf(level);
            return hold(std::make_unique<Endpoint>(), sdk::UDP::openLevel(level, highControl),
                        lengths.send, lengths.recv);
          }),
          py::arg("level"), py::arg("highControl") = sdk::HighLevelType::Basic,
          "Default endpoint of a level (HIGHLEVEL or LOWLEVEL; anything else raises\n"
          "ValueError): binds UDP_CLIENT_PORT and connects to UDP_SERVER_PORT at the Sport or\n"
          "Basic controller's address. Packets 143 out / 256 in (high), 610 / 771 (low).");
  udp.def(py::init([](uint16_t localPort, const std::string& targetIP, uint16_t targetPort,
                      int sendLength, int recvLength) {
            auto e = std::make_unique<Endpoint>();
            e->targetText = targetIP;
            const char* const target = e->targetText.c_str();
            return hold(std::move(e),
                        sdk::UDP::open(localPort, target, targetPort, sendLength, recvLength),
                        sendLength, recvLength);
          }),
          py::arg("localPort"), py::arg("targetIP"), py::arg("targetPort"), py::arg("sendLength"),
          py::arg("recvLength"),
          "Endpoint bound to localPort and connected to targetIP:targetPort (dotted-decimal),\n"
          "with packets of the given lengths in bytes (at least 4). Level flag 0x00.");
  udp.def(py::init([](uint16_t localPort, uint16_t targetPort, int sendLength, int recvLength) {
            auto e = std::make_unique<Endpoint>();
            e->serverMode = true;
            return hold(std::move(e),
                        sdk::UDP::openServer(localPort, targetPort, sendLength, recvLength),
                        sendLength, recvLength);
          }),
          py::arg("localPort"), py::arg("targetPort"), py::arg("sendLength"), py::arg("recvLength"),
          "Server mode: bound to localPort, unconnected until the first datagram, whose sender\n"
          "becomes the peer for good. Level flag 0x00.");

  udp.def(
         "InitCmdData",
         [](Endpoint& e, RecordView<sdk::HighCmd>& cmd) { e.udp->InitCmdData(cmd.record()); },
         py::arg("cmd"), "Sets cmd.levelFlag to the endpoint's level flag; nothing else.")
      .def(
          "InitCmdData",
          [](Endpoint& e, RecordView<sdk::LowCmd>& cmd) { e.udp->InitCmdData(cmd.record()); },
          py::arg("cmd"),
          "Sets cmd.levelFlag, and in all 20 slots mode 10, q PosStopF, dq VelStopF, tau, Kp,\n"
          "Kd 0. Every other field keeps its value.")
      .def(
          "switchLevel",
          [](Endpoint& e, int level) {
            e.refuseWhileStateLoopOwns("switchLevel");
            py::gil_scoped_release release;
            const std::scoped_lock lock(e.sendCall, e.recvCall, e.packets);
            e.udp->switchLevel(level);
            const sdk::PacketLengths lengths = sdk::packetLengthsOf(level);
            e.sendLength = lengths.send;
            e.recvLength = lengths.recv;
          },
          py::arg("level"),
          "Re-sizes the packets for level (LOWLEVEL: 610/771, anything else: 143/256),\n"
          "zeroing both stored packets, then sleeps one second. Releases the GIL; Send,\n"
          "Recv, SetSend and GetRecv on this endpoint wait until it returns.")
      .def(
          "SetSend",
          [](Endpoint& e, const py::handle& cmd) {
            {
              const auto lock = lockKeepingGil(e.packets);
              if (auto* low = recordOf<sdk::LowCmd>(cmd)) return e.udp->SetSend(low->record());
              if (auto* high = recordOf<sdk::HighCmd>(cmd)) return e.udp->SetSend(high->record());
            }
            return setSendRaw(e, packetOf(cmd, "SetSend", "a LowCmd, a HighCmd"));
          },
          py::arg("cmd"),
          "Stores the packet to send; returns 0. A LowCmd is encoded (tau x256, Kp x32, Kd\n"
          "x16 as 16-bit integers) and checksummed, and is not changed. A HighCmd gets the\n"
          "checksum stamped into cmd.crc. A writable buffer of exactly the endpoint's send\n"
          "length (a bytearray...) gets the checksum stamped into its last four bytes; one\n"
          "of another length raises ValueError and nothing is written.")
      .def("SetSend", &setSendRaw, py::arg("packet"), "SetSend(packet=buffer): as SetSend(buffer).")
      .def(
          "GetRecv",
          [](Endpoint& e, const py::handle& state) {
            {
              const auto lock = lockKeepingGil(e.packets);
              if (auto* low = recordOf<sdk::LowState>(state)) return e.udp->GetRecv(low->record());
              if (auto* high = recordOf<sdk::HighState>(state)) {
                return e.udp->GetRecv(high->record());
              }
            }
            getRecvRaw(e, packetOf(state, "GetRecv", "a LowState, a HighState"));
          },
          py::arg("state"),
          "Copies the newest accepted packet (zeros before the first). A LowState gets it\n"
          "decoded (tauEst in N·m) and keeps its crc; a HighState gets it as it is; so does a\n"
          "writable buffer of at least the endpoint's receive length (a shorter one raises\n"
          "ValueError and is not written).")
      .def("GetRecv", &getRecvRaw, py::arg("packet"), "GetRecv(packet=buffer): as GetRecv(buffer).")
      .def("Send", releasingGil<&Endpoint::send>("Send"),
           "Transmits the stored packet once. Returns the bytes sent or -1, or 0 without\n"
           "sending while unconnected. Releases the GIL; calls from several threads take\n"
           "turns. RuntimeError while a state loop runs on the endpoint.")
      .def("Recv", releasingGil<&Endpoint::recv>("Recv"),
           "Reads every queued datagram and keeps the newest if its checksum holds. Returns 0\n"
           "when it stored a packet, -3 otherwise (also when nothing had arrived). Never\n"
           "waits for a datagram. Releases the GIL; calls from several threads take turns.\n"
           "RuntimeError while a state loop runs on the endpoint.")
      .def(
          "socketFd", [](const Endpoint& e) { return e.udp->socketFd(); },
          "The endpoint's socket, for waiting on it (select, poll). Read from it only through\n"
          "Recv.")
      .def_property(
          "udpState",
          [](Endpoint& e) {
            py::gil_scoped_release release;
            const std::scoped_lock lock(e.sendCall, e.recvCall);
            return e.udp->udpState;
          },
          [](Endpoint& e, const sdk::UDPState& s) {
            py::gil_scoped_release release;
            const std::scoped_lock lock(e.sendCall, e.recvCall);
            e.udp->udpState = s;
          },
          "A copy of the link counters (UDPState); assigning replaces them.")
      .def_property_readonly(
          "targetIP",
          [](Endpoint& e) -> py::object {
            std::string peer;
            {
              // A server-mode endpoint's first Recv sets it.
              py::gil_scoped_release release;
              const std::lock_guard<std::mutex> lock(e.recvCall);
              if (e.udp->targetIP) peer = e.udp->targetIP;
            }
            if (peer.empty()) return py::none();
            return py::str(peer);
          },
          "Peer's address text; None in server mode until a client came.")
      .def_property_readonly(
          "targetPort", [](const Endpoint& e) { return e.udp->targetPort; },
          "Peer port given at construction.")
      .def_property_readonly(
          "localIP", [](const Endpoint&) { return py::none(); },
          "Always None: the socket is bound to every local address.")
      .def_property_readonly(
          "localPort", [](const Endpoint& e) { return e.udp->localPort; }, "Local port bound.")
      .def_property_readonly(
          "sendLength",
          [](Endpoint& e) {
            const auto lock = lockKeepingGil(e.packets);
            return e.sendLength;
          },
          "Bytes of one outgoing packet.")
      .def_property_readonly(
          "recvLength",
          [](Endpoint& e) {
            const auto lock = lockKeepingGil(e.packets);
            return e.recvLength;
          },
          "Bytes of one incoming packet.");
  return udp;
}

}  // namespace kalvent_python
