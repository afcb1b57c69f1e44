// The endpoint's socket behaviour: what Send and Recv move and count, server
// mode, the default endpoints (inside a private network namespace) and the
// set-up failures with their messages and exit statuses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kalvent_legged_sdk.h"
#include "test_support.h"
#include "udp_peer.h"

namespace sdk = KALVENT_LEGGED_SDK;
using kalvent_test::Bytes;
using kalvent_test::bytesOf;
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

Bytes received(sdk::UDP& endpoint) {
  Bytes packet(256 * 4);
  endpoint.GetRecv(reinterpret_cast<char*>(packet.data()));
  return packet;
}

TEST(Send, RightAfterConstructionSendsZerosAndCountsIt) {
  Peer peer;
  const char* address = "127.0.0.1";
  const uint16_t local = freePort();
  sdk::UDP endpoint(local, address, peer.port(), 610, 771);
  EXPECT_EQ(endpoint.targetIP, address);  // the caller's text, not a copy
  EXPECT_EQ(endpoint.localIP, nullptr);
  EXPECT_EQ(endpoint.localPort, local);
  EXPECT_EQ(endpoint.targetPort, peer.port());
  EXPECT_EQ(bytesOf(endpoint.udpState), Bytes(56, 0));

  EXPECT_EQ(endpoint.Send(), 610);
  EXPECT_EQ(peer.receive(), Bytes(610, 0));
  EXPECT_EQ(peer.lastSourcePort(), local);
  EXPECT_EQ(endpoint.udpState.SendCount, 1u);
}

TEST(Send, FailedSendsAreCountedToo) {
  uint16_t closedPort;
  {
    Peer gone;
    closedPort = gone.port();
  }
  sdk::UDP endpoint(freePort(), "127.0.0.1", closedPort, 16, 16);
  // The port-unreachable answer to one datagram fails a later send.
  int calls = 0;
  int result = 0;
  while (calls < 20 && result != -1) {
    result = endpoint.Send();
    ++calls;
    settle();
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(endpoint.udpState.SendCount, static_cast<unsigned long long>(calls));
}

TEST(Recv, NothingQueuedCountsAChecksumErrorAndKeepsThePacket) {
  const int levels[][2] = {{143, 256}, {610, 771}};
  for (const auto& lengths : levels) {
    SCOPED_TRACE("receive length " + std::to_string(lengths[1]));
    Link link(lengths[0], lengths[1]);
    EXPECT_EQ(link.endpoint.Recv(), -3);
    EXPECT_EQ(link.endpoint.udpState.RecvCRCError, 1u);
    EXPECT_EQ(link.endpoint.udpState.RecvCount, 0u);
    EXPECT_EQ(received(link.endpoint), Bytes(256 * 4, 0));

    const Bytes packet = goodPacket(static_cast<size_t>(lengths[1]), 1);
    link.peer.sendTo(link.endpoint.localPort, packet);
    settle();
    EXPECT_EQ(link.endpoint.Recv(), 0);
    EXPECT_EQ(link.endpoint.Recv(), -3);
    EXPECT_EQ(link.endpoint.udpState.RecvCount, 1u);
    EXPECT_EQ(link.endpoint.udpState.RecvCRCError, 2u);
    const Bytes stored = received(link.endpoint);
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + lengths[1]), packet);
  }
}

TEST(Recv, KeepsOnlyTheNewestOfSeveralQueued) {
  Link link(610, 771);
  for (unsigned seed = 1; seed <= 3; ++seed) {
    link.peer.sendTo(link.endpoint.localPort, goodPacket(771, seed));
  }
  settle();
  EXPECT_EQ(link.endpoint.Recv(), 0);
  EXPECT_EQ(link.endpoint.udpState.RecvCount, 1u);
  EXPECT_EQ(link.endpoint.udpState.RecvCRCError, 0u);
  Bytes stored(771);
  link.endpoint.GetRecv(reinterpret_cast<char*>(stored.data()));
  EXPECT_EQ(stored, goodPacket(771, 3));
  EXPECT_EQ(link.endpoint.Recv(), -3);
}

TEST(Recv, GoodThenCorruptInOneCallKeepsThePacketOfAnEarlierCall) {
  Link link(610, 771);
  const Bytes earlier = goodPacket(771, 1);
  ASSERT_TRUE(link.deliver(earlier));
  const unsigned long long errors = link.endpoint.udpState.RecvCRCError;

  Bytes corrupt = goodPacket(771, 3);
  corrupt[400] ^= 0x01;
  link.peer.sendTo(link.endpoint.localPort, goodPacket(771, 2));
  link.peer.sendTo(link.endpoint.localPort, corrupt);
  settle();
  EXPECT_EQ(link.endpoint.Recv(), -3);
  EXPECT_EQ(link.endpoint.udpState.RecvCRCError, errors + 1);
  EXPECT_EQ(link.endpoint.udpState.RecvCount, 1u);
  Bytes stored(771);
  link.endpoint.GetRecv(reinterpret_cast<char*>(stored.data()));
  EXPECT_EQ(stored, earlier);
}

TEST(Recv, OversizeDatagramIsCutToTheReceiveLength) {
  Link link(143, 256);
  const Bytes packet = goodPacket(256, 4);
  Bytes longer = packet;
  longer.resize(300, 0x77);
  link.peer.sendTo(link.endpoint.localPort, longer);
  settle();
  EXPECT_EQ(link.endpoint.Recv(), 0);
  sdk::HighState state;
  link.endpoint.GetRecv(state);
  EXPECT_EQ(bytesOf(state), packet);
}

TEST(Recv, ShortDatagramHasZerosOrBytesOfTheSameCallBehindIt) {
  Link link(610, 771);
  const Bytes packet = goodPacket(771, 5);
  const Bytes head(packet.begin(), packet.begin() + 100);
  Bytes sameTail = packet;
  sameTail[50] ^= 0xFF;  // inside what `head` overwrites

  link.peer.sendTo(link.endpoint.localPort, head);
  settle();
  EXPECT_EQ(link.endpoint.Recv(), -3);

  link.peer.sendTo(link.endpoint.localPort, sameTail);
  link.peer.sendTo(link.endpoint.localPort, head);
  settle();
  EXPECT_EQ(link.endpoint.Recv(), 0);
  Bytes stored(771);
  link.endpoint.GetRecv(reinterpret_cast<char*>(stored.data()));
  EXPECT_EQ(stored, packet);

  // The tail left over from the previous call does not count.
  link.peer.sendTo(link.endpoint.localPort, head);
  settle();
  EXPECT_EQ(link.endpoint.Recv(), -3);
}

TEST(Recv, IgnoresDatagramsFromAnyoneButThePeer) {
  Link link(143, 256);
  Peer stranger;
  stranger.sendTo(link.endpoint.localPort, goodPacket(256, 6));
  settle();
  EXPECT_EQ(link.endpoint.Recv(), -3);
}

TEST(ServerMode, FirstClientBecomesThePeerAndIsAnsweredAtItsSourcePort) {
  const uint16_t local = freePort();
  Peer client("127.0.0.2");
  const auto child = runInChild([&] {
    sdk::UDP endpoint(local, 9, 16, 24);
    const char* target = endpoint.targetIP == nullptr ? "null" : endpoint.targetIP;
    const int sent = endpoint.Send();
    const int recv = endpoint.Recv();
    std::printf("waiting: targetIP %s, Send %d, SendCount %llu, Recv %d, RecvCRCError %llu\n",
                target, sent, endpoint.udpState.SendCount, recv, endpoint.udpState.RecvCRCError);
    client.sendTo(local, goodPacket(24, 1));
    settle();
    const int first = endpoint.Recv();
    in_addr other{};
    other.s_addr = inet_addr("10.1.2.3");
    inet_ntoa(other);  // reuses the C library's static text
    std::printf("client: Recv %d, RecvCount %llu, targetIP %s, targetPort %u\n", first,
                endpoint.udpState.RecvCount, endpoint.targetIP, endpoint.targetPort);
    Bytes reply(16, 0x42);
    endpoint.SetSend(reinterpret_cast<char*>(reply.data()));
    const int answered = endpoint.Send();
    std::printf("answer: Send %d, SendCount %llu\n", answered, endpoint.udpState.SendCount);
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out, initLine(local) +
                           "waiting: targetIP null, Send 0, SendCount 0, Recv -3, RecvCRCError 1\n"
                           "Client connected! Client IP:127.0.0.2\n"
                           "client: Recv 0, RecvCount 1, targetIP 127.0.0.2, targetPort 9\n"
                           "answer: Send 16, SendCount 1\n"
                           "Closing UDP.\n");
  const Bytes answer = client.receive();
  EXPECT_EQ(answer.size(), 16u);
  EXPECT_EQ(client.lastSourcePort(), local);
}

TEST(ServerMode, DestroyedBeforeAnyClientReportsTheFailedShutdown) {
  const uint16_t local = freePort();
  const auto child = runInChild([&] { sdk::UDP endpoint(local, 9, 16, 16); });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out, initLine(local) + "Closing UDP.\nError! Close UDP Failed.\n");
}

TEST(ServerMode, TwoEndpointsTakeTheirOwnClientsConcurrently) {
  Peer clientA("127.0.0.2");
  Peer clientB("127.0.0.3");
  sdk::UDP a(freePort(), 0, 16, 16);
  sdk::UDP b(freePort(), 0, 16, 16);
  bool storedA = false;
  bool storedB = false;
  std::thread receiveA([&] { storedA = kalvent_test::recvUntilStored(a); });
  std::thread receiveB([&] { storedB = kalvent_test::recvUntilStored(b); });
  clientA.sendTo(a.localPort, goodPacket(16, 1));
  clientB.sendTo(b.localPort, goodPacket(16, 2));
  receiveA.join();
  receiveB.join();
  ASSERT_TRUE(storedA);
  ASSERT_TRUE(storedB);
  EXPECT_STREQ(a.targetIP, "127.0.0.2");
  EXPECT_STREQ(b.targetIP, "127.0.0.3");
  a.Send();
  b.Send();
  EXPECT_EQ(clientA.receive().size(), 16u);
  EXPECT_EQ(clientA.lastSourcePort(), a.localPort);
  EXPECT_EQ(clientB.receive().size(), 16u);
  EXPECT_EQ(clientB.lastSourcePort(), b.localPort);
}

TEST(SetUpFailure, LevelOtherThanHighOrLowEndsWithStatus255) {
  const auto child = runInChild([] { sdk::UDP endpoint(0x01, sdk::HighLevelType::Basic); });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 255);
  EXPECT_EQ(child.out, "Level Flag Error.\n");
}

TEST(SetUpFailure, PortAlreadyBoundEndsWithStatus254) {
  const uint16_t local = freePort();
  Peer peer;
  const auto child = runInChild([&] {
    sdk::UDP first(local, "127.0.0.1", peer.port(), 16, 16);
    sdk::UDP second(local, "127.0.0.1", peer.port(), 16, 16);
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 254);
  EXPECT_EQ(child.out, initLine(local) + "Error: Bind client ip&port failed.\n");
}

TEST(SetUpFailure, UnconnectablePeerEndsWithStatus254) {
  const uint16_t local = freePort();
  // Not an address: inet_addr gives the broadcast address, which a socket
  // without SO_BROADCAST may not connect to.
  const auto child = runInChild([&] { sdk::UDP endpoint(local, "not-an-address", 9, 16, 16); });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 254);
  EXPECT_EQ(child.out, "Error: Connect failed. target IP:not-an-address\n");
}

TEST(SetUpFailure, NoDescriptorForTheSocketEndsWithStatus254) {
  const uint16_t local = freePort();
  static rlimit usual{};
  const auto child = runInChild([&] {
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
  });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 254);
  EXPECT_EQ(child.out, "Error: Socket init failed.\n");
}

// The default endpoints bind port 8080 and talk to the controller addresses:
// only inside a private network namespace that has them on lo.
const int kNoNamespace = 77;

void enterControllerNetwork() {
  std::string why;
  if (!kalvent_test::enterPrivateNetwork(false, &why)) {
    std::printf("%s", why.c_str());
    std::fflush(stdout);
    _exit(kNoNamespace);
  }
}

TEST(DefaultEndpoint, HighLevelTalksToTheBasicControllerAndHoldsPort8080) {
  const auto child = runInChild([] {
    enterControllerNetwork();
    Peer controller(sdk::UDP_SERVER_IP_BASIC, sdk::UDP_SERVER_PORT);
    sdk::UDP endpoint(sdk::HIGHLEVEL);
    std::printf("peer is UDP_SERVER_IP_BASIC: %d, port %u -> %u\n",
                endpoint.targetIP == sdk::UDP_SERVER_IP_BASIC, endpoint.localPort,
                endpoint.targetPort);
    sdk::HighCmd cmd;
    std::memset(&cmd, 0xAB, sizeof cmd);
    endpoint.InitCmdData(cmd);
    endpoint.SetSend(cmd);
    endpoint.Send();
    const Bytes got = controller.receive();
    std::printf("controller got %zu bytes from port %u, levelFlag %d\n", got.size(),
                controller.lastSourcePort(), got.empty() ? -1 : got[0]);
    controller.reply(goodPacket(256, 1));
    std::printf("stored: %d\n", kalvent_test::recvUntilStored(endpoint));
    sdk::UDP second(sdk::LOWLEVEL);
  });
  if (child.exited && child.status == kNoNamespace) GTEST_SKIP() << child.out;
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 254);
  EXPECT_EQ(child.out,
            "UDP Initialized. Port: 8080 \n"
            "peer is UDP_SERVER_IP_BASIC: 1, port 8080 -> 8007\n"
            "controller got 143 bytes from port 8080, levelFlag 0\n"
            "stored: 1\n"
            "Error: Bind client ip&port failed.\n");
}

TEST(DefaultEndpoint, LowLevelSportTalksToTheSportControllerWithLowLevelPackets) {
  const auto child = runInChild([] {
    enterControllerNetwork();
    Peer controller(sdk::UDP_SERVER_IP_SPORT, sdk::UDP_SERVER_PORT);
    sdk::UDP endpoint(sdk::LOWLEVEL, sdk::HighLevelType::Sport);
    std::printf("peer is UDP_SERVER_IP_SPORT: %d\n",
                std::strcmp(endpoint.targetIP, sdk::UDP_SERVER_IP_SPORT) == 0);
    endpoint.Send();
    std::printf("before SetSend: %zu bytes\n", controller.receive().size());
    sdk::LowCmd cmd{};
    endpoint.InitCmdData(cmd);
    endpoint.SetSend(cmd);
    endpoint.Send();
    const Bytes got = controller.receive();
    std::printf("after: %zu bytes, levelFlag %d\n", got.size(), got.empty() ? -1 : got[0]);
    controller.reply(goodPacket(771, 2));
    std::printf("stored: %d\n", kalvent_test::recvUntilStored(endpoint));
  });
  if (child.exited && child.status == kNoNamespace) GTEST_SKIP() << child.out;
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out,
            "UDP Initialized. Port: 8080 \n"
            "peer is UDP_SERVER_IP_SPORT: 1\n"
            "before SetSend: 610 bytes\n"
            "after: 610 bytes, levelFlag 255\n"
            "stored: 1\n"
            "Closing UDP.\n");
}

}  // namespace
