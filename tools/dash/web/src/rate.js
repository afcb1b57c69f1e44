// Limits a costly redraw to a number per second. A change that arrives too
// soon is remembered and redrawn on a later animation frame.
export class RateGate {
  constructor(perSecond) {
    // Slightly under the nominal interval, so that on a 60 Hz display a 30 Hz
    // gate opens on every other animation frame rather than every third.
    this.minIntervalMs = 1000 / perSecond - 4;
    this.lastMs = -Infinity;
    this.changed = false;
  }

  markChanged() { this.changed = true; }

  // Whether to redraw now; if so, the change counts as drawn.
  due(nowMs) {
    if (!this.changed || nowMs - this.lastMs < this.minIntervalMs) return false;
    this.changed = false;
    this.lastMs = nowMs;
    return true;
  }
}
