#include "test_support.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "kalvent_legged_sdk/udp.h"

namespace kalvent_test {

ChildResult runInChild(const std::function<void()>& body, int timeoutSeconds) {
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  std::fflush(stdout);
  std::cout.flush();
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    body();
    std::cout.flush();
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    result.out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    result.exited = true;
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

namespace {

bool run(const std::string& command, std::string* why) {
  const std::string quiet = command + " >/dev/null 2>&1";
  if (std::system(quiet.c_str()) == 0) return true;
  *why = "'" + command + "' failed";
  return false;
}

}  // namespace

ChildResult runInChild(const std::function<void()>& body, std::string* err, int timeoutSeconds) {
  FILE* errFile = std::tmpfile();
  if (errFile == nullptr) return ChildResult{};
  const ChildResult result = runInChild(
      [&] {
        dup2(fileno(errFile), STDERR_FILENO);
        body();
      },
      timeoutSeconds);
  std::rewind(errFile);
  err->assign(4096, '\0');
  err->resize(std::fread(&(*err)[0], 1, err->size(), errFile));
  std::fclose(errFile);
  return result;
}

bool enterPrivateNetwork(bool multicast, std::string* why) {
  if (unshare(CLONE_NEWNET) != 0) {
    *why = std::string("cannot make a private network namespace: ") + std::strerror(errno);
    return false;
  }
  using KALVENT_LEGGED_SDK::UDP_SERVER_IP_BASIC;
  using KALVENT_LEGGED_SDK::UDP_SERVER_IP_SPORT;
  if (!run("ip link set lo up", why)) return false;
  if (!run(std::string("ip addr add ") + UDP_SERVER_IP_BASIC + "/24 dev lo", why)) return false;
  if (!run(std::string("ip addr add ") + UDP_SERVER_IP_SPORT + "/24 dev lo", why)) return false;
  if (multicast) {
    if (!run("ip link set lo multicast on", why)) return false;
    if (!run("ip route add 224.0.0.0/4 dev lo", why)) return false;
    setenv("LCM_DEFAULT_URL", "udpm://239.255.76.67:7667?ttl=0", 1);
  }
  return true;
}

ChildResult runInPrivateNetwork(const std::function<void()>& body, std::string* err,
                                int timeoutSeconds) {
  const auto inside = [&] {
    std::string why;
    if (!enterPrivateNetwork(true, &why)) {
      std::printf("%s", why.c_str());
      std::fflush(stdout);
      _exit(kSkipStatus);
    }
    body();
  };
  return err != nullptr ? runInChild(inside, err, timeoutSeconds)
                        : runInChild(inside, timeoutSeconds);
}

}  // namespace kalvent_test
