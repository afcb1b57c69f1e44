// IMU attitude: roll, pitch, yaw as numbers and a short history.
import {byId, fixed, isArrayOfLength, textSlot} from './dom.js';
import {History} from './history.js';
import {seriesKey, TimePlot} from './plot.js';

export class ImuPanel {
  constructor(historyCapacity, spanSeconds) {
    this.rpyText = textSlot(byId('imu-rpy'));
    this.extraText = textSlot(byId('imu-extra'));
    this.history = new History(historyCapacity, 3);
    const series = [
      {label: 'roll', stroke: '#ff6b6b'},
      {label: 'pitch', stroke: '#6fdc8c'},
      {label: 'yaw', stroke: '#4ea1ff'},
    ];
    const container = byId('imu-plot');
    this.plot = new TimePlot(container, '', series, this.history, spanSeconds);
    container.after(seriesKey(series));
  }

  clearHistory() { this.history.clear(); }

  record(frame) {
    if (!isArrayOfLength(frame.rpy, 3) || typeof frame.t !== 'number') return;
    this.history.pushNewer(frame.t, frame.rpy);
  }

  draw(frame) {
    const rpy = frame.rpy ?? [];
    this.rpyText(`roll ${fixed(rpy[0], 4)}  pitch ${fixed(rpy[1], 4)}  yaw ${fixed(rpy[2], 4)}`);
    const gyro = frame.gyro ?? [];
    const accel = frame.accel ?? [];
    this.extraText(
        `gyro ${fixed(gyro[0], 2)} ${fixed(gyro[1], 2)} ${fixed(gyro[2], 2)}  ` +
        `accel ${fixed(accel[0], 2)} ${fixed(accel[1], 2)} ${fixed(accel[2], 2)}`);
    this.plot.markChanged();
  }

}
