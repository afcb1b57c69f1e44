// The twelve joints: one plot per leg (each joint's position against its
// target) and a table of q, target, dq and tauEst.
import {byId, createElement, DASH, fixed, isArrayOfLength, textSlot} from './dom.js';
import {History} from './history.js';
import {seriesKey, TimePlot} from './plot.js';
import {DEFAULT_LEG_NAMES, JOINT_COUNT, JOINT_KINDS, JOINTS_PER_LEG, LEG_COUNT} from './robot.js';

const JOINT_COLOURS = ['#4ea1ff', '#ffb347', '#6fdc8c'];

export class JointsPanel {
  constructor(historyCapacity, spanSeconds) {
    this.buildTable();
    this.scratch = new Float64Array(2 * JOINTS_PER_LEG);
    this.histories = [];
    this.plots = [];
    const box = byId('joint-plots');
    box.before(seriesKey([
      ...JOINT_KINDS.map((kind, j) => ({label: kind, stroke: JOINT_COLOURS[j]})),
      {label: 'q solid, target dashed', stroke: '#9aa4b2', dash: true},
    ]));
    for (let leg = 0; leg < LEG_COUNT; leg++) {
      const history = new History(historyCapacity, 2 * JOINTS_PER_LEG);
      const series = [];
      for (let j = 0; j < JOINTS_PER_LEG; j++) {
        const kind = JOINT_KINDS[j];
        series.push({label: `${kind} q`, stroke: JOINT_COLOURS[j]});
        series.push({label: `${kind} target`, stroke: JOINT_COLOURS[j], dash: [4, 4]});
      }
      const container = createElement('div', 'plot', box);
      this.histories.push(history);
      this.plots.push(
          new TimePlot(container, DEFAULT_LEG_NAMES[leg], series, history, spanSeconds));
    }
  }

  buildTable() {
    const body = byId('joint-table').tBodies[0];
    this.nameSlots = [];
    this.slots = {q: [], target: [], dq: [], tau: []};
    for (let i = 0; i < JOINT_COUNT; i++) {
      const row = createElement('tr', i % JOINTS_PER_LEG === 0 ? 'leg-start' : '', body);
      const name = createElement('th', '', row);
      const leg = Math.floor(i / JOINTS_PER_LEG);
      name.textContent = `${DEFAULT_LEG_NAMES[leg]}_${JOINT_KINDS[i % JOINTS_PER_LEG]}`;
      this.nameSlots.push(textSlot(name));
      for (const key of ['q', 'target', 'dq', 'tau']) {
        const cell = createElement('td', '', row);
        cell.id = `joint-${key}-${i}`;
        cell.textContent = DASH;
        this.slots[key].push(textSlot(cell));
      }
    }
  }

  setNames(jointNames, legNames) {
    if (isArrayOfLength(jointNames, JOINT_COUNT)) {
      jointNames.forEach((name, i) => this.nameSlots[i](String(name)));
    }
    if (isArrayOfLength(legNames, LEG_COUNT)) {
      legNames.forEach((name, leg) => {
        const title = this.plots[leg].plot.root.querySelector('.u-title');
        if (title) title.textContent = String(name);
      });
    }
  }

  clearHistory() {
    for (const history of this.histories) history.clear();
  }

  // Records a frame's positions and targets; called for every frame received.
  record(frame) {
    const q = frame.q;
    if (!isArrayOfLength(q, JOINT_COUNT) || typeof frame.t !== 'number') return;
    const target = isArrayOfLength(frame.qTarget, JOINT_COUNT) ? frame.qTarget : q;
    const values = this.scratch;
    for (let leg = 0; leg < LEG_COUNT; leg++) {
      for (let j = 0; j < JOINTS_PER_LEG; j++) {
        const i = leg * JOINTS_PER_LEG + j;
        values[2 * j] = q[i];
        values[2 * j + 1] = target[i];
      }
      this.histories[leg].pushNewer(frame.t, values);
    }
  }

  draw(frame) {
    const hasTarget = isArrayOfLength(frame.qTarget, JOINT_COUNT);
    for (let i = 0; i < JOINT_COUNT; i++) {
      this.slots.q[i](fixed(frame.q?.[i], 4));
      this.slots.target[i](hasTarget ? fixed(frame.qTarget[i], 4) : DASH);
      this.slots.dq[i](fixed(frame.dq?.[i], 3));
      this.slots.tau[i](fixed(frame.tauEst?.[i], 3));
    }
    for (const plot of this.plots) {
      // Without targets the target lines would only repeat q: hide them.
      for (let j = 0; j < JOINTS_PER_LEG; j++) plot.setShown(2 * j + 2, hasTarget);
      plot.markChanged();
    }
  }

}
