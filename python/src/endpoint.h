// The UDP endpoint as Python holds it.
#pragma once

#include <kalvent_legged_sdk.h>

#include <memory>
#include <string>

#include "record_view.h"

namespace kalvent_python {

// A UDP endpoint together with what Python needs beside it: the peer's
// address text, which the endpoint reads for its whole life, and the packet
// lengths, which the raw-buffer calls check the caller's buffer against.
struct Endpoint {
  std::string targetText;
  int sendLength = 0;
  int recvLength = 0;
  std::unique_ptr<KALVENT_LEGGED_SDK::UDP> udp;
};

// Registers class UDP; returns it for the parts that add to it.
py::class_<Endpoint> bindEndpoint(py::module_& m);
// LinkHealth, UDP.linkHealth() and TryInitEnvironment.
void bindHealth(py::module_& m, py::class_<Endpoint>& udp);

}  // namespace kalvent_python
