# The start-up sequence the demo and the end-to-end tests share: a private
# network namespace, the simulator in it, known ready by its ready file (no
# console text is read), then the programs, each with a log and an exit
# status.
#
#   if [ "${1:-}" != --in-namespace ]; then
#     session_enter 120 "$0" "$@"; exit
#   fi
#   session_begin SIMULATOR...          # in the namespace
#   trap session_end EXIT
#   sim_start DIR/sim.log [OPTION...]
#   run_program DIR/program.log 60 PROGRAM ARG... || status=$?
#   sim_stop || status=$?
# shellcheck shell=bash

. "$(dirname "${BASH_SOURCE[0]}")/netns.sh"

# session_enter SECONDS SCRIPT [ARG...]: runs `SCRIPT --in-namespace ARG...`
# in a new private network namespace for at most SECONDS and returns its
# status; 77 (skipped) when no namespace can be made here.
session_enter() {
  local seconds=$1 script=$2
  shift 2
  if ! find_unshare; then
    echo "skipped: cannot make a private network namespace here (needs root or user namespaces)"
    return 77
  fi
  timeout "$seconds" "${netns_unshare[@]}" "$script" --in-namespace "$@"
}

# session_begin SIMULATOR...: in the namespace, sets up lo with the
# controller's addresses, which SIMULATOR (the command that runs kalvent_sim,
# with its emulator if any) prints.
session_begin() {
  session_simulator=("$@")
  session_pids=()
  setup_private_network "${session_simulator[@]}"
}

# session_end: kills whatever the session started and is still running; for
# the script's EXIT trap.
session_end() {
  local p
  for p in "${session_pids[@]}"; do kill "$p" 2>/dev/null || true; done
}

# sim_start LOG [OPTION...]: starts the simulator at the basic controller's
# address with OPTIONs, its output in LOG, and returns once it serves (it
# writes LOG's .ready file when its port is bound); 1, with the log, when it
# ends or is not ready within 20 s. Sets sim_pid. The simulator lives at most
# sim_lifetime seconds (default 120): a run that films it sets more, as the
# film's last frames are rendered after the robot stops.
sim_start() {
  local log=$1 ready=${1%.log}.ready tries=400
  shift
  rm -f "$ready"
  # --foreground: sim_stop's TERM reaches the simulator once, not a second
  # time through timeout's process group.
  timeout --foreground "${sim_lifetime:-120}" "${session_simulator[@]}" --address "$controller_basic" \
    --ready-file "$ready" "$@" >"$log" 2>&1 &
  sim_pid=$!
  session_pids+=("$sim_pid")
  while [ "$(cat "$ready" 2>/dev/null)" != ready ]; do
    if [ "$tries" -eq 0 ] || ! kill -0 "$sim_pid" 2>/dev/null; then
      echo "kalvent_sim did not start:"
      cat "$log"
      return 1
    fi
    sleep 0.05
    tries=$((tries - 1))
  done
}

# sim_stop: stops the simulator and returns its exit status.
sim_stop() {
  local rc=0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || rc=$?
  return "$rc"
}

# run_program LOG SECONDS COMMAND...: runs COMMAND for at most SECONDS, its
# output in LOG and its exit status in LOG's .status file; returns that
# status.
run_program() {
  local log=$1 seconds=$2 rc=0
  shift 2
  timeout "$seconds" "$@" >"$log" 2>&1 || rc=$?
  echo "$rc" >"${log%.log}.status"
  return "$rc"
}

# start_program LOG SECONDS COMMAND...: run_program in the background; sets
# program_pid. finish_program LOG PID waits for it and returns its status.
start_program() {
  local log=$1 seconds=$2
  shift 2
  timeout "$seconds" "$@" >"$log" 2>&1 &
  program_pid=$!
  session_pids+=("$program_pid")
}

finish_program() {
  local rc=0
  wait "$2" || rc=$?
  echo "$rc" >"${1%.log}.status"
  return "$rc"
}
