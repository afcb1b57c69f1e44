// kalvent_sim: a simulated robot controller on the far end of the UDP link.
#include "runner.h"

int main(int argc, char** argv) {
  return kalvent_sim::runCommandLine(argc, argv);
}
