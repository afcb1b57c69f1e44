# Private network namespaces for the programs that talk to the controller's
# own addresses or use LCM multicast: those never run in the host's
# namespace. Used by scripts/demo and the end-to-end tests.
# shellcheck shell=bash

netns_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# controller_address basic|sport: the controller's address, as udp.h has it.
controller_address() {
  local name
  name=UDP_SERVER_IP_$(printf '%s' "$1" | tr '[:lower:]' '[:upper:]')
  sed -n "s/.*${name}\[[0-9]*\] = \"\([0-9.]*\)\";.*/\1/p" \
    "$netns_root/include/kalvent_legged_sdk/udp.h"
}

# find_unshare: sets netns_unshare to a command that runs its arguments in a
# new network namespace (root: unshare -n; others: a user namespace of their
# own as well), or returns 1 when this machine allows neither.
find_unshare() {
  if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    netns_unshare=(unshare -n)
  elif unshare -r -n true 2>/dev/null; then
    netns_unshare=(unshare -r -n)
  else
    return 1
  fi
}

# setup_private_network: inside the new namespace, puts lo up with both
# controller addresses on it, routes multicast over it and points LCM there.
setup_private_network() {
  local basic sport
  basic=$(controller_address basic)
  sport=$(controller_address sport)
  ip link set lo up
  ip addr add "$basic/24" dev lo
  ip addr add "$sport/24" dev lo
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  export LCM_DEFAULT_URL="udpm://239.255.76.67:7667?ttl=0"
}

# wait_for_line FILE PATTERN SECONDS: waits until FILE has a line matching
# PATTERN; returns 1 after SECONDS without one.
wait_for_line() {
  local tries=$(($3 * 20))
  while [ "$tries" -gt 0 ]; do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
    tries=$((tries - 1))
  done
  return 1
}

# summary_field KEY FILE: the value of the last KEY=VALUE in FILE.
summary_field() {
  grep -o "\b$1=[^ ]*" "$2" | tail -n 1 | cut -d= -f2
}
