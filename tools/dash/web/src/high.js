// High-level state, shown only while the source runs at the high level.
import {byId, fixed, textSlot} from './dom.js';

function triple(values) {
  const v = values ?? [];
  return `${fixed(v[0], 3)} ${fixed(v[1], 3)} ${fixed(v[2], 3)}`;
}

export class HighPanel {
  constructor() {
    this.panel = byId('high-panel');
    this.values = textSlot(byId('high-values'));
  }

  draw(frame) {
    const high = frame.high;
    const shown = high !== null && typeof high === 'object';
    if (this.panel.hidden === shown) this.panel.hidden = !shown;
    if (!shown) return;
    this.values(
        `mode ${fixed(high.mode, 0)}  body height ${fixed(high.bodyHeight, 3)}  ` +
        `yaw speed ${fixed(high.yawSpeed, 3)}  position ${triple(high.position)}  ` +
        `velocity ${triple(high.velocity)}`);
  }
}
