// kalvent dash page: receives hello and frame messages from the dashboard
// server and draws the newest frame once per animation frame.
import 'uplot/dist/uPlot.min.css';
import './dash.css';

import {connect, serverUrl} from './connection.js';
import {FeetPanel} from './feet.js';
import {Header} from './header.js';
import {HighPanel} from './high.js';
import {ImuPanel} from './imu.js';
import {JointsPanel} from './joints.js';
import {LinkPanel} from './link.js';
import {createObservation, recordDraw, wallNowMs} from './observe.js';
import {View3d} from './view3d.js';

const HISTORY_SECONDS = 5;
// Enough samples for the history span at the server's highest frame rate.
const HISTORY_CAPACITY = 64 * HISTORY_SECONDS;
// The server sends at least 30 frames per second; this long without one means
// the page is not seeing current data even though the socket is open.
const FRAME_SILENCE_MS = 500;

const observation = createObservation();
const header = new Header();
const link = new LinkPanel();
const joints = new JointsPanel(HISTORY_CAPACITY, HISTORY_SECONDS);
const imu = new ImuPanel(HISTORY_CAPACITY, HISTORY_SECONDS);
const feet = new FeetPanel();
const high = new HighPanel();
const view = new View3d();

let pendingFrame = null;
let lastFrameArrivalMs = 0;
let rateWindowStartMs = performance.now();
let rateWindowFrames = 0;

function onHello(hello) {
  observation.hello = hello;
  header.setHello(hello);
  link.setHello(hello);
  joints.setNames(hello.jointNames, hello.legNames);
  feet.setNames(hello.legNames);
  joints.clearHistory();
  imu.clearHistory();
  view.setHello(hello);
}

function onFrame(frame) {
  observation.framesReceived++;
  // The link panel at once, not on the next animation frame: a few DOM nodes,
  // and a stale link must not wait behind the plots' and the 3-D view's turn.
  link.draw(frame);
  joints.record(frame);
  imu.record(frame);
  pendingFrame = frame;
  lastFrameArrivalMs = performance.now();
}

function onMessage(text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch (error) {
    console.warn('kalvent dash: unreadable message', error.message);
    return;
  }
  if (message?.type === 'hello') {
    onHello(message);
  } else if (message?.type === 'frame') {
    onFrame(message);
  }
}

// The plots and the 3-D view redraw at a limited rate, and take turns: a few
// milliseconds of them per animation frame. Redrawn all at once (tens of
// milliseconds with software rendering), they would keep the page from
// reading the next message, a stale link's among them, for as long.
const RENDER_BUDGET_MS = 8;
const renderables = [...joints.plots, imu.plot, view];
let nextRenderable = 0;

function renderDue(nowMs) {
  const started = performance.now();
  for (let i = 0; i < renderables.length; i++) {
    const k = (nextRenderable + i) % renderables.length;
    if (renderables[k].renderDue(nowMs) && performance.now() - started >= RENDER_BUDGET_MS) {
      nextRenderable = (k + 1) % renderables.length;
      return;
    }
  }
}

function draw(frame, nowMs) {
  header.draw(frame);
  const stale = link.draw(frame);
  joints.draw(frame);
  imu.draw(frame);
  feet.draw(frame);
  high.draw(frame);
  view.setFrame(frame);
  renderDue(nowMs);
  recordDraw(observation, frame, stale, wallNowMs());
  rateWindowFrames++;
}

function onAnimationFrame(nowMs) {
  // Asked first, so a frame that fails to draw does not stop the drawing.
  requestAnimationFrame(onAnimationFrame);
  if (pendingFrame) {
    const frame = pendingFrame;
    pendingFrame = null;
    draw(frame, nowMs);
  } else if (observation.connected && nowMs - lastFrameArrivalMs > FRAME_SILENCE_MS) {
    link.showNoData('NO FRAMES');
  }
  renderDue(nowMs);
  if (nowMs - rateWindowStartMs >= 1000) {
    header.setFramesPerSecond((rateWindowFrames * 1000) / (nowMs - rateWindowStartMs));
    rateWindowStartMs = nowMs;
    rateWindowFrames = 0;
  }
}

connect(serverUrl(window.location), {
  onOpen() {
    observation.connected = true;
    lastFrameArrivalMs = performance.now();
    header.setConnection('connected', 'connected');
  },
  onMessage,
  onClose() {
    observation.connected = false;
    pendingFrame = null;
    header.setConnection('disconnected', 'disconnected, retrying');
    link.showNoData('NO CONNECTION');
  },
  onError(message) {
    header.setConnection('disconnected', `cannot connect: ${message}`);
    link.showNoData('NO CONNECTION');
  },
});
requestAnimationFrame(onAnimationFrame);
