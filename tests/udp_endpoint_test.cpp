// The endpoint's socket behaviour: what Send and Recv move and count, server
// mode, the default endpoints (inside a private network namespace) and the
// set-up failures with their messages and exit statuses.
#include <arpa/inet.h>
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

TEST(SetUpFailure, PrintsItsLineAndEndsTheProcessWithItsStatus) {
  const auto expectExit = [](const std::function<void()>& body, int status,
                             const std::string& out) {
    const auto child = runInChild(body);
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.status, status);
    EXPECT_EQ(child.out, out);
  };
  const uint16_t local = freePort();
  expectExit([] { sdk::UDP endpoint(0x01, sdk::HighLevelType::Basic); }, 255,
             "Level Flag Error.\n");
  expectExit(
      [&] {
        sdk::UDP first(local, "127.0.0.1", 9, 16, 16);
        sdk::UDP second(local, "127.0.0.1", 9, 16, 16);
      },
      254, initLine(local) + "Error: Bind client ip&port failed.\n");
  // inet_addr makes the broadcast address of this text, which a socket
  // without SO_BROADCAST may not connect to.
  expectExit([&] { sdk::UDP endpoint(local, "not-an-address", 9, 16, 16); }, 254,
             "Error: Connect failed. target IP:not-an-address\n");
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
      254, "Error: Socket init failed.\n");
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
