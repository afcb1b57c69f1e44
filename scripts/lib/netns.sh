# Private network namespaces for the programs that talk to the controller's
# own addresses or use LCM multicast: those never run in the host's
# namespace. Used by scripts/demo and the end-to-end tests.
# shellcheck shell=bash

netns_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# controller_addresses [SIMULATOR...]: sets controller_basic, controller_sport
# and controller_port from what the simulator prints with --print-addresses.
# SIMULATOR is the command that runs it (with its emulator, if any); by
# default the native build's kalvent_sim.
controller_addresses() {
  local command=("$@") line
  [ ${#command[@]} -gt 0 ] || command=("$netns_root/build/native/tools/kalvent_sim")
  line=$("${command[@]}" --print-addresses) || line=
  controller_basic=$(field_of basic "$line")
  controller_sport=$(field_of sport "$line")
  controller_port=$(field_of port "$line")
  if [ -z "$controller_basic" ] || [ -z "$controller_sport" ] || [ -z "$controller_port" ]; then
    echo "cannot learn the controller's addresses from: ${command[*]} --print-addresses" >&2
    return 1
  fi
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

# setup_private_network [SIMULATOR...]: inside the new namespace, puts lo up
# with both controller addresses on it (asked of SIMULATOR, see
# controller_addresses), routes multicast over it and points LCM there.
setup_private_network() {
  controller_addresses "$@" || return 1
  ip link set lo up
  ip addr add "$controller_basic/24" dev lo
  ip addr add "$controller_sport/24" dev lo
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

# summary_field KEY FILE: the value of the last KEY=VALUE in FILE; empty, and
# status 0, when there is none (the caller says what is missing).
summary_field() {
  { grep -o "\b$1=[^ ]*" "$2" || true; } | tail -n 1 | cut -d= -f2
}

# field_of KEY TEXT: the value of the last KEY=VALUE in TEXT.
field_of() {
  summary_field "$1" <(printf '%s\n' "$2")
}
