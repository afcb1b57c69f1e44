#!/usr/bin/python3
"""walk_high_level.py: walks forward, then forward while turning, then stops,
printing the body position and heading the controller reports.

A high-level program needs no real-time set-up: the controller runs the
gait, this program only sends speeds (HighCmd) and reads the body state
(HighState), every 2 ms.

Run:  walk_high_level.py [SECONDS]     (default 6)

It talks to the basic controller's address: run it on the robot's network
or beside kalvent_sim in a private network namespace with that address.
"""
import sys
import time

import kalvent_legged_sdk as sdk

PROGRAM = "walk_high_level.py"
WALK_MODE = 2  # the controller's motion mode number for walking
PRINT_EVERY = 250  # control ticks: half a second


class Walker:
    def __init__(self, udp):
        self.udp = udp
        self.cmd = sdk.HighCmd()
        self.state = sdk.HighState()
        self.ticks = 0
        self.start = time.monotonic()
        udp.InitCmdData(self.cmd)
        udp.SetSend(self.cmd)

    def step(self):
        self.udp.GetRecv(self.state)
        t = time.monotonic() - self.start
        cmd = self.cmd
        cmd.mode = WALK_MODE
        cmd.bodyHeight = 0.0
        cmd.forwardSpeed = 0.4 if t < 4 else 0.0  # m/s
        cmd.sideSpeed = 0.0
        cmd.rotateSpeed = 0.8 if 2 <= t < 4 else 0.0  # rad/s, to the left
        self.udp.SetSend(cmd)
        self.ticks += 1
        if self.ticks % PRINT_EVERY == 0:
            s = self.state
            print(f"{PROGRAM}: t={t:4.1f} s  x={s.forwardPosition:6.3f} m  "
                  f"y={s.sidePosition:6.3f} m  yaw={s.imu.rpy[2]:6.3f} rad  mode={s.mode} "
                  f"tick={s.tick}", flush=True)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 6.0
    udp = sdk.UDP(sdk.HIGHLEVEL)
    walker = Walker(udp)
    loops = [sdk.LoopFunc("udp_send", 0.002, udp.Send),
             sdk.LoopFunc("udp_recv", 0.002, udp.Recv),
             sdk.LoopFunc("control", 0.002, walker.step)]
    for loop in loops:
        loop.start()
    time.sleep(seconds)
    for loop in reversed(loops):
        loop.shutdown()

    state = sdk.HighState()
    udp.GetRecv(state)
    link = udp.udpState
    print(f"{PROGRAM}: summary x={state.forwardPosition:.3f} y={state.sidePosition:.3f} "
          f"yaw={state.imu.rpy[2]:.3f} sent={link.SendCount} received={link.RecvCount} "
          f"checksum_errors={link.RecvCRCError}", flush=True)
    return 0 if link.RecvCount > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
