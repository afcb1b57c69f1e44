// The UDP link to the robot controller.
#pragma once

namespace KALVENT_LEGGED_SDK {

// Local port bound by the level constructor.
const int UDP_CLIENT_PORT = 8080;
// Controller port the level constructor sends to.
const int UDP_SERVER_PORT = 8007;
// Controller addresses on the robot's private network (one /24).
// Never reachable from a development machine's own network: tests that use
// them run inside a private network namespace.
const char UDP_SERVER_IP_BASIC[15] = "192.168.177.10";
const char UDP_SERVER_IP_SPORT[16] = "192.168.177.110";

}  // namespace KALVENT_LEGGED_SDK
