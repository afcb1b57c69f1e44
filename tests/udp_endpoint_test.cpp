// The endpoint's socket behaviour: what Send and Recv move and count, server
// mode, the default endpoints (inside a private network namespace) and the
// set-up failures with their messages and exit statuses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "syscall_count.h"
#include "test_support.h"
#include "udp_peer.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::freePort;
using kalvent_test::goodPacket;
using kalvent_test::Link;
using kalvent_test::Peer;
using kalvent_test::runInChild;
using kalvent_test::settle;

namespace {

std::string initLine(uint16_t port) {
  return "UDP Initialized. Port: " + std::to_string(port) + " \n";
}

TEST(SendAndRecv, MoveTheStoredPacketsAndCountEveryCall) {
  Link link(610, 771);
  // No path may leave Recv a socket that waits, nor a child process the socket.
  EXPECT_NE(fcntl(link.endpoint.socketFd(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(link.endpoint.socketFd(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(link.endpoint.Send(), 610);
  EXPECT_EQ(link.peer.receive(), Bytes(610, 0));
  EXPECT_EQ(link.peer.lastSourcePort(), link.endpoint.localPort);

  // To a closed port: the port-unreachable answer to one datagram fails a later send.
  const char* address = "127.0.0.1";
  sdk::UDP lost(freePort(), address, freePort(), 16, 16);
  EXPECT_EQ(lost.targetIP, address);  // the caller's text, not a copy
  int calls = 0;
  int result = 0;
  for (; calls < 20 && result != -1; ++calls, settle()) result = lost.Send();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(lost.udpState.SendCount, static_cast<unsigned long long>(calls));

  // Recv: each step sends datagrams from the peer, then calls Recv once.
  const auto good = [](unsigned seed) { return goodPacket(771, seed); };
  Bytes corrupt = good(8);
  corrupt[400] ^= 0x01;
  Bytes longer = good(5);
  longer.resize(900, 0x77);
  Bytes head = good(6);
  head.resize(100);
  Bytes sameTail = good(6);
  sameTail[50] ^= 0xFF;  // inside what `head` overwrites
  Peer stranger;         // never heard by the connected endpoint
  stranger.sendTo(link.endpoint.localPort, good(7));
  struct Step {
    std::vector<Bytes> datagrams;  // sent by the peer before one Recv
    int result;
    Bytes stored;
  };
  const Step steps[] = {
      {{}, -3, Bytes(771, 0)},  // nothing queued counts as a checksum error
      {{good(1), good(2), good(3)}, 0, good(3)},
      {{}, -3, good(3)},
      {{good(4), corrupt}, -3, good(3)},  // only the newest is tested
      {{longer}, 0, good(5)},             // cut to the receive length
      {{sameTail, head}, 0, good(6)},     // a short one over a longer one of the same call
      {{head}, -3, good(6)},              // but with zeros behind it in a new call
  };
  for (const Step& step : steps) {
    for (const Bytes& datagram : step.datagrams) {
      link.peer.sendTo(link.endpoint.localPort, datagram);
    }
    settle();
    EXPECT_EQ(link.endpoint.Recv(), step.result);
    Bytes stored(771);
    link.endpoint.GetRecv(reinterpret_cast<char*>(stored.data()));
    EXPECT_EQ(stored, step.stored);
  }
  const sdk::UDPState counters{0, 1, 3, 0, 0, 4, 0};  // Send, Recv and RecvCRCError counted only
  EXPECT_EQ(kalvent_test::bytesOf(link.endpoint.udpState), kalvent_test::bytesOf(counters));
}

// One system call per Recv, whatever it finds, while the queue holds no more
// than one batch; a full batch is followed by another call.
TEST(Recv, DrainsTheQueueInOneSystemCallPerBatch) {
  Link link(16, 16);
  const auto callsOfOneRecv = [&](int queued, int result) {
    for (int i = 0; i < queued; ++i) link.peer.sendTo(link.endpoint.localPort, goodPacket(16, i));
    settle();
    const uint64_t before = kalvent_test::socketCalls();
    EXPECT_EQ(link.endpoint.Recv(), result);
    return kalvent_test::socketCalls() - before;
  };
  EXPECT_EQ(callsOfOneRecv(0, -3), 1u);
  EXPECT_EQ(callsOfOneRecv(1, 0), 1u);
  EXPECT_EQ(callsOfOneRecv(9, 0), 2u);
  Bytes stored(16);
  link.endpoint.GetRecv(reinterpret_cast<char*>(stored.data()));
  EXPECT_EQ(stored, goodPacket(16, 8));  // the newest of both batches
}

// A server-mode endpoint's client is the sender of the first non-empty
// datagram, however short; datagrams of others (another address, or another
// port of the client's address) are dropped, even those already queued
// behind it. An empty datagram ends a Recv, as ever, and what came behind it
// stays buffered for the next.
TEST(ServerMode, HearsOnlyItsClient) {
  sdk::UDP endpoint(freePort(), 9, 16, 24);
  Peer client("127.0.0.2");
  Peer other("127.0.0.3");
  Peer clientsHost("127.0.0.2");
  client.sendTo(endpoint.localPort, Bytes{});
  client.sendTo(endpoint.localPort, Bytes(5, 0x42));
  other.sendTo(endpoint.localPort, goodPacket(24, 1));
  clientsHost.sendTo(endpoint.localPort, goodPacket(24, 3));
  settle();
  EXPECT_FALSE(endpoint.hasBuffered());
  EXPECT_EQ(endpoint.Recv(), -3);
  EXPECT_EQ(endpoint.targetIP, nullptr);
  EXPECT_TRUE(endpoint.hasBuffered());
  EXPECT_EQ(endpoint.Recv(), -3);
  EXPECT_FALSE(endpoint.hasBuffered());
  ASSERT_NE(endpoint.targetIP, nullptr);
  EXPECT_STREQ(endpoint.targetIP, "127.0.0.2");
  client.sendTo(endpoint.localPort, goodPacket(24, 2));
  settle();
  EXPECT_EQ(endpoint.Recv(), 0);
  Bytes stored(24);
  endpoint.GetRecv(reinterpret_cast<char*>(stored.data()));
  EXPECT_EQ(stored, goodPacket(24, 2));
  EXPECT_EQ(endpoint.udpState.RecvCRCError, 2u);
  EXPECT_EQ(endpoint.Send(), 16);
  EXPECT_EQ(client.receive().size(), 16u);
}

// Two server-mode endpoints wait at once, the first with a send thread
// running until its client connects it.
TEST(ServerMode, FirstClientBecomesThePeerAndIsAnsweredAtItsSourcePort) {
  uint16_t ports[] = {freePort(), freePort()};
  for (int i = 0; i < 10 && ports[1] == ports[0]; ++i) ports[1] = freePort();
  Peer clients[] = {Peer("127.0.0.2"), Peer("127.0.0.3")};
  const auto child = runInChild([&] {
    sdk::UDP a(ports[0], 9, 16, 24);
    {
      sdk::UDP b(ports[1], 9, 16, 16);
      const char* target = a.targetIP == nullptr ? "null" : a.targetIP;
      const int sent = a.Send();
      const int received = a.Recv();
      std::printf("waiting: %s, Send %d, SendCount %llu, Recv %d, RecvCRCError %llu\n", target,
                  sent, a.udpState.SendCount, received, a.udpState.RecvCRCError);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      std::thread sender([&] {
        while (std::chrono::steady_clock::now() < deadline && a.Send() == 0) continue;
      });
      clients[0].sendTo(ports[0], goodPacket(24, 1));
      clients[1].sendTo(ports[1], goodPacket(16, 2));
      settle();
      const int first = a.Recv();
      sender.join();
      b.Recv();
      in_addr other{};
      other.s_addr = inet_addr("10.1.2.3");
      inet_ntoa(other);  // reuses the C library's static text
      std::printf("clients: Recv %d, RecvCount %llu, SendCount %llu, targetIP %s and %s, port %u\n",
                  first, a.udpState.RecvCount, a.udpState.SendCount, a.targetIP, b.targetIP,
                  a.targetPort);
      std::printf("Send %d\n", b.Send());
    }
    sdk::UDP idle(ports[1], 9, 16, 16);
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out, initLine(ports[0]) + initLine(ports[1]) +
                           "waiting: null, Send 0, SendCount 0, Recv -3, RecvCRCError 1\n"
                           "Client connected! Client IP:127.0.0.2\n"
                           "Client connected! Client IP:127.0.0.3\n"
                           "clients: Recv 0, RecvCount 1, SendCount 1, targetIP 127.0.0.2 and "
                           "127.0.0.3, port 9\n"
                           "Send 16\nClosing UDP.\n" +
                           initLine(ports[1]) +
                           "Closing UDP.\nError! Close UDP Failed.\nClosing UDP.\n");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(clients[i].receive().size(), 16u);
    EXPECT_EQ(clients[i].lastSourcePort(), ports[i]);
  }
}

// Each failure prints its line on standard output and says why on standard
// error: the call, the address and port, the system's reason.
TEST(SetUpFailure, PrintsItsLineAndEndsTheProcessWithItsStatus) {
  const auto expectExit = [](const std::function<void()>& body, int status, const std::string& out,
                             const std::string& err) {
    std::string written;
    const auto child = runInChild(body, &written);
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.status, status);
    EXPECT_EQ(child.out, out);
    EXPECT_EQ(written, err);
  };
  const uint16_t local = freePort();
  const std::string at = ":" + std::to_string(local) + ": ";
  expectExit([] { sdk::UDP endpoint(0x01, sdk::HighLevelType::Basic); }, 255, "Level Flag Error.\n",
             "UDP: level 0x01 is neither HIGHLEVEL (0x00) nor LOWLEVEL (0xff)\n");
  // Below 4 bytes there is no room for the checksum.
  expectExit([&] { sdk::UDP endpoint(local, "127.0.0.1", 9, 3, 16); }, 255, "",
             "UDP: packet lengths must be at least 4 bytes (the checksum's), got send 3, "
             "receive 16\n");
  expectExit([&] { sdk::UDP endpoint(local, 9, 16, -1); }, 255, "",
             "UDP: packet lengths must be at least 4 bytes (the checksum's), got send 16, "
             "receive -1\n");
  expectExit(
      [&] {
        sdk::UDP first(local, "127.0.0.1", 9, 16, 16);
        sdk::UDP second(local, "127.0.0.1", 9, 16, 16);
      },
      254, initLine(local) + "Error: Bind client ip&port failed.\n",
      "bind 0.0.0.0" + at + "Address already in use\n");
  // Text that is no address, and an address a socket without SO_BROADCAST may
  // not connect to: the same line, told apart on standard error.
  expectExit([&] { sdk::UDP endpoint(local, "not-an-address", 9, 16, 16); }, 254,
             "Error: Connect failed. target IP:not-an-address\n",
             "connect: target IP \"not-an-address\" is not an IPv4 address in dotted-decimal "
             "form (host names are not looked up)\n");
  expectExit([&] { sdk::UDP endpoint(local, "255.255.255.255", 9, 16, 16); }, 254,
             "Error: Connect failed. target IP:255.255.255.255\n",
             "connect 255.255.255.255:9: Permission denied\n");
  static rlimit usual{};
  expectExit(
      [&] {
        getrlimit(RLIMIT_NOFILE, &usual);
        // Registered last, so run first on exit: the sanitizer runtimes need
        // descriptors of their own while the process ends.
        std::atexit([] { setrlimit(RLIMIT_NOFILE, &usual); });
        const int lowestFree = dup(0);
        close(lowestFree);
        rlimit none = usual;
        none.rlim_cur = static_cast<rlim_t>(lowestFree);
        setrlimit(RLIMIT_NOFILE, &none);
        sdk::UDP endpoint(local, "127.0.0.1", 9, 16, 16);
      },
      254, "Error: Socket init failed.\n", "socket 0.0.0.0" + at + "Too many open files\n");
}

// The open factories return, as values, what the constructors end the
// process for, and write nothing on standard output.
TEST(Open, ReturnsTheFailedStepWithItsErrno) {
  const auto expectError = [](const sdk::Result<std::unique_ptr<sdk::UDP>>& got, sdk::Step step,
                              int errnoValue, const std::string& message) {
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().step, step) << sdk::stepName(got.error().step);
    EXPECT_EQ(got.error().errnoValue, errnoValue);
    EXPECT_EQ(got.error().message, message);
  };
  const uint16_t local = freePort();
  const std::string inUse = "bind 0.0.0.0:" + std::to_string(local) + ": Address already in use";
  const auto child = runInChild([&] {
    auto first = sdk::UDP::open(local, "127.0.0.1", 9, 16, 16);
    ASSERT_TRUE(first);
    expectError(sdk::UDP::open(local, "127.0.0.1", 9, 16, 16), sdk::Step::Bind, EADDRINUSE, inUse);
    expectError(sdk::UDP::openServer(local, 9, 16, 16), sdk::Step::Bind, EADDRINUSE, inUse);
    expectError(sdk::UDP::open(0, "not-an-address", 9, 16, 16), sdk::Step::Connect, EINVAL,
                "connect: target IP \"not-an-address\" is not an IPv4 address in dotted-decimal "
                "form (host names are not looked up)");
    expectError(sdk::UDP::open(0, "255.255.255.255", 9, 16, 16), sdk::Step::Connect, EACCES,
                "connect 255.255.255.255:9: Permission denied");
    expectError(sdk::UDP::openLevel(0x01), sdk::Step::LevelSelector, 0,
                "UDP: level 0x01 is neither HIGHLEVEL (0x00) nor LOWLEVEL (0xff)");
    expectError(sdk::UDP::openServer(0, 9, 16, 3), sdk::Step::PacketLength, 0,
                "UDP: packet lengths must be at least 4 bytes (the checksum's), got send 16, "
                "receive 3");
    // A server-mode endpoint takes its client and is destroyed without a word.
    auto server = sdk::UDP::openServer(freePort(), 9, 16, 24);
    ASSERT_TRUE(server);
    Peer client("127.0.0.2");
    client.sendTo(server.value()->localPort, goodPacket(24, 1));
    EXPECT_TRUE(kalvent_test::recvUntilStored(*server.value()));
    EXPECT_STREQ(server.value()->targetIP, "127.0.0.2");
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out, "");
}

// The default endpoints bind port 8080 and talk to the controller addresses:
// only inside a private network namespace that has them on lo.
TEST(DefaultEndpoint, TalksToTheControllerOfItsTypeWithPacketsOfItsLevel) {
  const int kNoNamespace = 77;
  const auto child = runInChild([] {
    std::string why;
    if (!kalvent_test::enterPrivateNetwork(false, &why)) {
      std::printf("%s", why.c_str());
      std::fflush(stdout);
      _exit(kNoNamespace);
    }
    const auto talk = [](bool controller, Peer& peer, sdk::UDP& endpoint, auto cmd, int reply) {
      cmd.levelFlag = 0xAB;
      endpoint.InitCmdData(cmd);
      endpoint.SetSend(cmd);
      endpoint.Send();
      const Bytes got = peer.receive();
      peer.reply(goodPacket(reply, 1));
      std::printf("controller %d: %zu bytes from %u, levelFlag %d, stored %d\n", controller,
                  got.size(), peer.lastSourcePort(), got.empty() ? -1 : got[0],
                  kalvent_test::recvUntilStored(endpoint));
    };
    {
      Peer sport(sdk::UDP_SERVER_IP_SPORT, sdk::UDP_SERVER_PORT);
      sdk::UDP low(sdk::LOWLEVEL, sdk::HighLevelType::Sport);
      talk(low.targetIP == sdk::UDP_SERVER_IP_SPORT, sport, low, sdk::LowCmd{}, 771);
    }
    Peer basic(sdk::UDP_SERVER_IP_BASIC, sdk::UDP_SERVER_PORT);
    sdk::UDP high(sdk::HIGHLEVEL);
    talk(high.targetIP == sdk::UDP_SERVER_IP_BASIC, basic, high, sdk::HighCmd{}, 256);
    sdk::UDP second(sdk::LOWLEVEL);
  });
  if (child.exited && child.status == kNoNamespace) GTEST_SKIP() << child.out;
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 254);
  EXPECT_EQ(child.out,
            "UDP Initialized. Port: 8080 \n"
            "controller 1: 610 bytes from 8080, levelFlag 255, stored 1\n"
            "Closing UDP.\n"
            "UDP Initialized. Port: 8080 \n"
            "controller 1: 143 bytes from 8080, levelFlag 0, stored 1\n"
            "Error: Bind client ip&port failed.\n");
}

}  // namespace
