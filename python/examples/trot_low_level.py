#!/usr/bin/python3
"""trot_low_level.py: stands the robot up, trots forward for five seconds and
stands still, all of it computed in this program at the low level.

The twin of the C++ trot_low_level on three 2 ms loops (send and receive
run in C++; the control step is Python): the leg kinematics (LegKinematics)
turns foot positions into joint angles and foot forces into joint torques,
the Safety guards check each command, and link health tells a stale state.
The trot: diagonal pairs FR+RL and FL+RR swing in turn, period 0.3 s;
stance feet slide backwards under the body at the commanded speed, swing
feet follow a raised curve to half a stance's travel ahead of the hip,
corrected by the speed error (Raibert's rule). The joints follow the feet
on their position loops, and each stance leg adds the torque that carries
its share of the weight (Jᵀf).

The state has no body position, so the program estimates how far it went
from its legs: the speed of the loaded feet relative to the trunk, turned
into the world by the IMU's heading (leg odometry).

Run:  trot_low_level.py [--record FILE] [SECONDS]
      (default 9: 2 to stand, 5 to trot; --record FILE: record the exchange)

It talks to the basic controller's address: run it on the robot's network,
or beside kalvent_sim in a private network namespace with that address. It
exits 0 when the body ends upright with its weight on its feet and its legs
say it went at least 1 m forward; 1 if not.
"""
import math
import sys
import time

import kalvent_legged_sdk as sdk

import example_util as util

PROGRAM = "trot_low_level.py"
STAND_POSE = (0.0, 0.67, -1.3)  # hip, thigh, calf, rad (every leg)
RISE_SECONDS = 2.0
STAND_KP, STAND_KD = 200.0, 5.0  # N·m/rad, N·m·s/rad
POWER_FACTOR = 8  # x 100 W: a trot needs more than a stand
STOP_MARGIN = 0.05  # rad from a joint's stop ends the program
TROT_SECONDS = 5.0
SPEED = 0.5  # m/s, forward
GAIT_PERIOD = 0.3  # s
FOOT_RAISE = 0.06  # m
PLACEMENT_GAIN = 0.05  # m of foot offset per m/s of speed error
KP, KD = 80.0, 2.0  # the joints' position loops while trotting
GOAL_METRES = 1.0
FIRST_PAIR = (sdk.FR_, sdk.RL_)  # swings in the first half of each cycle


class Trot(util.ControlStep):
    def __init__(self, udp, safety):
        super().__init__(udp, sdk.LowState(), sdk.LowCmd())
        self.safety = safety
        self.legs = sdk.LegKinematics()
        self.nominal = [self.legs.footPosition(leg, STAND_POSE) for leg in range(4)]
        self.distance = 0.0  # m along the world's x, counted by the legs
        self.trotted = False
        self._restart()

    def _restart(self):
        self.stand_start = None
        self.origin = None
        self.trot_start = None
        self.trotting = False
        self.feet = [p.copy() for p in self.nominal]
        self.lift_off = [p.copy() for p in self.nominal]
        self.last_progress = 1.0
        self.speed_estimate = 0.0
        self.last = None

    def react(self, verdict):
        if verdict == "stale":
            util.hold_damping(self.cmd)
        elif verdict != "none":
            if verdict == "resumed":
                self._restart()  # the robot lies again: stand up anew
            now = time.monotonic()
            standing = self._stand(now)
            if standing and self.trot_start is None and util.Body(self.state).upright():
                self.trot_start = self.last = now
                self.trotting = self.trotted = True
            if self.trotting:
                dt = min(max(now - self.last, 0.0), 0.01)
                self.last = now
                self._trot(now - self.trot_start, dt)
            self.safety.PositionLimit(self.cmd)
            self.safety.PowerProtect(self.cmd, self.state, POWER_FACTOR)
            self.safety.PositionProtect(self.cmd, self.state, STOP_MARGIN)

    def _stand(self, now):
        """Position targets along a cosine ramp to the stand pose; True once
        it is there."""
        q, _, _ = self.state.joint_state()
        if self.stand_start is None:
            self.stand_start, self.origin = now, q
        t = now - self.stand_start
        s = (1 - math.cos(math.pi * min(t / RISE_SECONDS, 1.0))) / 2
        self.cmd.set_joints(
            q=[o + s * (STAND_POSE[j % 3] - o) for j, o in enumerate(self.origin)],
            dq=0.0, tau=0.0, Kp=STAND_KP, Kd=STAND_KD, mode=10)
        return t >= RISE_SECONDS

    def _trot(self, t, dt):
        walking = t < TROT_SECONDS
        half = GAIT_PERIOD / 2
        first_half = math.fmod(t, GAIT_PERIOD) < half
        progress = math.fmod(t, half) / half
        speed = SPEED if walking else 0.0
        if not walking and progress < self.last_progress:
            self.trotting = False  # both pairs down: the stand holds the robot
            return
        q_all, dq_all, _ = self.state.joint_state()
        gyro_y = self.state.imu.gyroscope[1]

        # Leg odometry: a loaded foot stays on the ground, so the trunk moves
        # at minus its speed relative to the trunk, less the trunk's pitching.
        measured = load = 0.0
        for leg in range(4):
            force = max(0.0, float(self.state.footForce[leg]))
            q, dq = q_all[3 * leg:3 * leg + 3], dq_all[3 * leg:3 * leg + 3]
            turning = gyro_y * self.legs.footPosition(leg, q)[2]
            measured -= force * (self.legs.footVelocity(leg, q, dq)[0] + turning)
            load += force
        if load > 0:
            measured /= load
        self.speed_estimate += (measured - self.speed_estimate) * min(1.0, dt / 0.05)
        self.distance += self.speed_estimate * math.cos(self.state.imu.rpy[2]) * dt

        targets, taus = [], []
        for leg in range(4):
            swing = (leg in FIRST_PAIR) == first_half
            foot = self.feet[leg]
            if swing:
                if progress < self.last_progress:
                    self.lift_off[leg] = foot.copy()  # a new swing began
                landing = (self.nominal[leg][0] + speed * half / 2 +
                           PLACEMENT_GAIN * (self.speed_estimate - speed))
                s = progress * progress * (3 - 2 * progress)
                foot[0] = self.lift_off[leg][0] + (landing - self.lift_off[leg][0]) * s
                foot[1] = self.nominal[leg][1]
                foot[2] = self.nominal[leg][2] + FOOT_RAISE * math.sin(math.pi * progress)
            else:
                foot[0] -= speed * dt
                foot[2] = self.nominal[leg][2]
            q = q_all[3 * leg:3 * leg + 3]
            _, angles = self.legs.inverseKinematics(leg, foot)
            targets.extend(angles if angles is not None else q)
            # A stance leg carries half the weight (two feet on the ground).
            tau = (0.0, 0.0, 0.0) if swing else self.legs.jointTorques(
                leg, q, (0.0, 0.0, -util.ROBOT_WEIGHT / 2))
            taus.extend(float(v) for v in tau)
        self.cmd.set_joints(q=[float(v) for v in targets], dq=0.0, tau=taus, Kp=KP, Kd=KD,
                            mode=10)
        self.last_progress = progress


def main():
    seconds, record = util.set_up(9.0)
    udp = sdk.UDP(sdk.LOWLEVEL, sdk.HighLevelType.Basic)
    recorder = util.start_recording(record, udp)
    trot = Trot(udp, sdk.Safety(sdk.LeggedType.Tesmar))
    util.run_loops(util.link_loops(udp, trot.step), seconds)

    state = sdk.LowState()
    udp.GetRecv(state)
    body = util.Body(state)
    link = udp.udpState
    print(f"{PROGRAM}: summary distance_m={trot.distance:.3f} sent={link.SendCount} "
          f"received={link.RecvCount} {trot.watch.figures()} {body.figures()}"
          f"{util.recording_figures(recorder)}", flush=True)
    if state.tick == 0:
        print(f"{PROGRAM}: no state received from the robot", flush=True)
        return 1
    body_stands = body.report(PROGRAM)
    trot.report_failure(PROGRAM)
    trotted = body_stands and not trot.failed and trot.distance >= GOAL_METRES
    print(f"{PROGRAM}: {'trotted' if trotted else 'did NOT trot as commanded'}: the legs count "
          f"{trot.distance:.2f} m forward (goal {GOAL_METRES:.1f} m)", flush=True)
    return 0 if trotted else 1


if __name__ == "__main__":
    sys.exit(main())
