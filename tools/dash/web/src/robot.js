// The robot's layout as the page shows it, and the names used until the
// server's hello gives its own.
export const LEG_COUNT = 4;
export const JOINTS_PER_LEG = 3;
export const JOINT_COUNT = LEG_COUNT * JOINTS_PER_LEG;
export const DEFAULT_LEG_NAMES = ['FR', 'FL', 'RR', 'RL'];
export const JOINT_KINDS = ['hip', 'thigh', 'calf'];
