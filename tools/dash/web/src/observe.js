// What the page exposes on window.kalventDash for browser tests and the
// latency benchmark: connection, last hello, frames received and drawn, the
// last frame drawn and a log of the last DRAW_LOG_LENGTH draws (oldest first).

export const DRAW_LOG_LENGTH = 4096;

export function createObservation() {
  const observation = {
    connected: false,
    hello: null,
    framesReceived: 0,
    framesDrawn: 0,
    lastDrawn: null,
    drawLog: [],
  };
  window.kalventDash = observation;
  return observation;
}

// Wall-clock milliseconds, comparable with the server's CLOCK_REALTIME stamps.
export function wallNowMs() { return performance.timeOrigin + performance.now(); }

export function recordDraw(observation, frame, stale, drawnWallMs) {
  observation.framesDrawn++;
  observation.lastDrawn = {
    tick: frame.tick,
    q: Array.isArray(frame.q) ? frame.q.slice() : null,
    stale,
    drawnWallMs,
  };
  const log = observation.drawLog;
  log.push({tick: frame.tick, sentWallMs: frame.sentWallMs, drawnWallMs});
  if (log.length > DRAW_LOG_LENGTH) log.shift();
}
