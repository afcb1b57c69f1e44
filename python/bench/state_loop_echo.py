#!/usr/bin/python3
"""The Python program of latency_bench: a LowStateLoop whose Python control
function copies each state's tick into the command, as the benchmark's C++
programs do, so that the benchmark's peer can match command to state.

Run by latency_bench:  state_loop_echo.py PEER_PORT PERIOD
It answers on standard output: "port N" once, then "started" or "stopped"
for each "start" or "stop" line read on standard input; it ends at the end
of its input. The library's own lines go to standard error.
"""
import ctypes
import os
import socket
import sys

import kalvent_legged_sdk as sdk

MCL_CURRENT_AND_FUTURE = 3


def main():
    replies = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    peer_port, period = int(sys.argv[1]), float(sys.argv[2])
    ctypes.CDLL(None).mlockall(MCL_CURRENT_AND_FUTURE)  # where permitted, as the C++ programs
    udp = sdk.UDP(0, "127.0.0.1", peer_port, sdk.LOW_CMD_LENGTH, sdk.LOW_STATE_LENGTH)
    udp.linkHealth().setWarnings(False)
    state, cmd = sdk.LowState(), sdk.LowCmd()
    udp.InitCmdData(cmd)
    echo = cmd.wirelessRemote

    def control(state, cmd, tick):
        t = state.tick
        echo[0], echo[1], echo[2], echo[3] = t & 255, (t >> 8) & 255, (t >> 16) & 255, t >> 24

    loop = sdk.LowStateLoop("bench", udp, state, cmd, period, period / 2, control)
    with socket.socket(fileno=os.dup(udp.socketFd())) as s:
        print(f"port {s.getsockname()[1]}", file=replies)
    for line in sys.stdin:
        if line.strip() == "start":
            loop.start()
            print("started", file=replies)
        else:
            loop.shutdown()
            print("stopped", file=replies)


if __name__ == "__main__":
    main()
