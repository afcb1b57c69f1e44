#include "cpu_affinity.h"

#include <pthread.h>
#include <sched.h>

#include <cstring>

namespace KALVENT_LEGGED_SDK {

Result<void> pinToCpu(std::thread& thread, int cpu, const std::string& who) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_SET(cpu, &cpus);
  const int error = pthread_setaffinity_np(thread.native_handle(), sizeof cpus, &cpus);
  if (error == 0) return {};
  return Error{Step::CpuAffinity, error,
               "pthread_setaffinity_np " + who + " to cpu " + std::to_string(cpu) + ": " +
                   std::strerror(error)};
}

}  // namespace KALVENT_LEGGED_SDK
