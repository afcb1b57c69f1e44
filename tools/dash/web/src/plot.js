// A small uPlot time series fed from a History; sized to its container.
import uPlot from 'uplot';

import {RateGate} from './rate.js';

const AXIS_COLOUR = '#9aa4b2';
const GRID_COLOUR = 'rgba(154, 164, 178, 0.15)';

const PLOT_HEIGHT = 160;
// The numbers beside the plots follow every frame; the curves need not.
const REDRAWS_PER_SECOND = 30;

// size: pixels across the axis; space: least pixels between ticks.
function axis(size, space) {
  return {
    stroke: AXIS_COLOUR,
    grid: {stroke: GRID_COLOUR, width: 1},
    ticks: {stroke: GRID_COLOUR, width: 1},
    size,
    space,
    font: '11px system-ui, sans-serif',
  };
}

// A line of colour swatches naming the series.
export function seriesKey(entries) {
  const key = document.createElement('div');
  key.className = 'key';
  for (const entry of entries) {
    const item = document.createElement('span');
    const swatch = document.createElement('i');
    swatch.style.borderTop = `2px ${entry.dash ? 'dashed' : 'solid'} ${entry.stroke}`;
    item.append(swatch, entry.label);
    key.appendChild(item);
  }
  return key;
}

// series: [{label, stroke, dash?}], one per y column of the history.
export class TimePlot {
  constructor(container, title, series, history, spanSeconds) {
    this.history = history;
    this.spanSeconds = spanSeconds;
    this.gate = new RateGate(REDRAWS_PER_SECOND);
    const options = {
      title,
      width: Math.max(container.clientWidth, 200),
      height: PLOT_HEIGHT,
      legend: {show: false},
      cursor: {show: false},
      scales: {x: {time: false}},
      axes: [axis(30, 50), axis(50, 20)],
      series: [
        {},
        ...series.map((s) => ({
                        label: s.label,
                        stroke: s.stroke,
                        width: s.dash ? 1 : 1.5,
                        dash: s.dash,
                        points: {show: false},
                      })),
      ],
    };
    this.plot = new uPlot(options, history.window(spanSeconds), container);
    new ResizeObserver(() => {
      const width = Math.max(container.clientWidth, 200);
      if (width !== this.plot.width) this.plot.setSize({width, height: PLOT_HEIGHT});
    }).observe(container);
  }

  // The history changed; redrawn by renderDue.
  markChanged() { this.gate.markChanged(); }

  // Whether it redrew.
  renderDue(nowMs) {
    if (!this.gate.due(nowMs)) return false;
    this.plot.setData(this.history.window(this.spanSeconds));
    return true;
  }

  setShown(seriesIndex, shown) {
    if (this.plot.series[seriesIndex].show !== shown)
      this.plot.setSeries(seriesIndex, {show: shown});
  }
}
