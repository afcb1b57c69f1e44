// A stand-in for kalvent_dash, for developing the page without the server:
// serves the built page and streams synthetic hello/frame messages on /ws
// (a source ticking at 500 Hz, coalesced to about 60 frames per second).
// Binds 127.0.0.1 only and uses only node's built-in modules.
//
//   node test/fake_server.mjs [--site DIR] [--port N] [--duration SECONDS]
//                             [--level low|high]
// runs a cycle of 4 s live and 1.5 s with the source stopped (stale) and exits
// after the duration (default 120 s). check_page.mjs imports startFakeServer.
import {createHash} from 'node:crypto';
import {readFile} from 'node:fs/promises';
import {createServer} from 'node:http';
import {join} from 'node:path';
import {parseArgs} from 'node:util';

export const SOURCE_RATE_HZ = 500;
export const STALE_AFTER_MS = 100;
const FRAME_INTERVAL_MS = 17;
const WEBSOCKET_GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const SITE_FILES = {
  '/': ['index.html', 'text/html; charset=utf-8'],
  '/index.html': ['index.html', 'text/html; charset=utf-8'],
  '/dash.js': ['dash.js', 'text/javascript; charset=utf-8'],
  '/dash.css': ['dash.css', 'text/css; charset=utf-8'],
};
const TRUNK = {
  length: 0.38,
  width: 0.1,
  height: 0.11
};
const HIP_X = 0.19, HIP_Y = 0.05, HIP_OFFSET = 0.08, THIGH = 0.2, CALF = 0.2;
const LEG_SIGNS = [[1, -1], [1, 1], [-1, -1], [-1, 1]];  // FR, FL, RR, RL: (x, y)
const STANCE = [0, 0.8, -1.6];

export function hello() {
  const legNames = ['FR', 'FL', 'RR', 'RL'];
  return {
    type: 'hello',
    version: 1,
    source: 'recording',
    sourceName: 'synthetic (fake_server.mjs)',
    jointNames: legNames.flatMap((leg) => ['hip', 'thigh', 'calf'].map((j) => `${leg}_${j}`)),
    legNames,
    trunk: TRUNK,
    staleAfterMs: STALE_AFTER_MS,
  };
}

// Joint positions of the synthetic source at a tick (a gentle trot in place).
export function jointPositions(tick) {
  const seconds = tick / SOURCE_RATE_HZ;
  return Array.from({length: 12}, (_, i) => {
    const leg = Math.floor(i / 3);
    const phase = 2 * Math.PI * 1.2 * seconds + (leg === 0 || leg === 3 ? 0 : Math.PI);
    const swing =
        [0.05 * Math.sin(phase), 0.25 * Math.sin(phase), 0.35 * Math.max(0, Math.sin(phase))];
    return STANCE[i % 3] + swing[i % 3];
  });
}

export function footContacts(tick) {
  const q = jointPositions(tick);
  return [0, 1, 2, 3].map((leg) => q[leg * 3 + 2] <= STANCE[2] + 0.02);
}

function legPoints(q, leg) {
  const [sx, sy] = LEG_SIGNS[leg];
  const [abduction, thigh, calf] = q.slice(leg * 3, leg * 3 + 3);
  const rollX = ([x, y, z]) =>
      [x, y * Math.cos(abduction) - z * Math.sin(abduction),
       y * Math.sin(abduction) + z * Math.cos(abduction)];
  const add = (a, b) => a.map((v, k) => v + b[k]);
  const hip = [sx * HIP_X, sy * HIP_Y, 0];
  const thighJoint = add(hip, rollX([0, sy * HIP_OFFSET, 0]));
  const knee = add(thighJoint, rollX([-THIGH * Math.sin(thigh), 0, -THIGH * Math.cos(thigh)]));
  const foot =
      add(knee, rollX([-CALF * Math.sin(thigh + calf), 0, -CALF * Math.cos(thigh + calf)]));
  return [hip, thighJoint, knee, foot];
}

function quaternionFromRpy([roll, pitch, yaw]) {
  const [cr, sr] = [Math.cos(roll / 2), Math.sin(roll / 2)];
  const [cp, sp] = [Math.cos(pitch / 2), Math.sin(pitch / 2)];
  const [cy, sy] = [Math.cos(yaw / 2), Math.sin(yaw / 2)];
  return [
    cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
    cr * cp * sy - sr * sp * cy
  ];
}

function highState(t) {
  return {mode: 2, position: [0.3 * t, 0, 0], velocity: [0.3, 0, 0], yawSpeed: 0, bodyHeight: 0.28};
}

function stateFrame(tick, link, sentWallMs, level) {
  const t = tick / SOURCE_RATE_HZ;
  const q = jointPositions(tick);
  const next = jointPositions(tick + 1);
  const rpy = [
    0.04 * Math.sin(2 * Math.PI * 0.3 * t), 0.03 * Math.cos(2 * Math.PI * 0.2 * t),
    0.4 * Math.sin(2 * Math.PI * 0.05 * t)
  ];
  const contact = footContacts(tick);
  return {
    type: 'frame',
    level,
    tick,
    sentWallMs,
    t,
    q,
    qTarget: level === 'low' ? jointPositions(tick + 15) : null,
    dq: q.map((v, i) => (next[i] - v) * SOURCE_RATE_HZ),
    tauEst: q.map((v, i) => 4 * Math.sin(v + i)),
    rpy,
    quaternion: quaternionFromRpy(rpy),
    gyro: [0.01, -0.02, 0.03],
    accel: [0.1, -0.05, 9.81],
    footForce: contact.map((c, leg) => (c ? 90 + 15 * Math.sin(t * 7 + leg) : 3)),
    contact,
    legs: [0, 1, 2, 3].map((leg) => legPoints(q, leg)),
    link,
    high: level === 'high' ? highState(t) : null,
  };
}

function noStateFrame(sentWallMs) {
  const link = {loss: null, stateAgeMs: null, stale: true, staleEpisodes: 0, restarts: 0};
  return {
    type: 'frame',
    level: null,
    tick: 0,
    sentWallMs,
    t: 0,
    q: null,
    qTarget: null,
    dq: null,
    tauEst: null,
    rpy: null,
    quaternion: null,
    gyro: null,
    accel: null,
    footForce: null,
    contact: null,
    legs: null,
    link,
    high: null
  };
}

function encodeTextFrame(text) {
  const payload = Buffer.from(text);
  let head;
  if (payload.length < 126) {
    head = Buffer.from([0x81, payload.length]);
  } else if (payload.length < 65536) {
    head = Buffer.from([0x81, 126, payload.length >> 8, payload.length & 0xff]);
  } else {
    head = Buffer.alloc(10);
    head[0] = 0x81;
    head[1] = 127;
    head.writeBigUInt64BE(BigInt(payload.length), 2);
  }
  return Buffer.concat([head, payload]);
}

// The synthetic source: sends frames without state until it starts, then
// ticks at 500 Hz while running; stopping it freezes the tick so the state
// ages and turns stale after STALE_AFTER_MS.
class Source {
  constructor(level) {
    this.level = level;
    this.startMs = null;
    this.stoppedAtMs = null;
    this.pausedMs = 0;
    this.staleEpisodes = 0;
    this.wasStale = false;
  }

  start() { this.startMs ??= performance.now(); }

  setStopped(stopped) {
    const now = performance.now();
    if (stopped && this.stoppedAtMs === null) this.stoppedAtMs = now;
    if (!stopped && this.stoppedAtMs !== null) {
      this.pausedMs += now - this.stoppedAtMs;
      this.stoppedAtMs = null;
    }
  }

  frame() {
    const now = performance.now();
    const sentWallMs = performance.timeOrigin + now;
    if (this.startMs === null) return noStateFrame(sentWallMs);
    const sourceNow = this.stoppedAtMs ?? now;
    const tick = Math.floor((sourceNow - this.startMs - this.pausedMs) * SOURCE_RATE_HZ / 1000);
    const stateAgeMs = now - sourceNow;
    const stale = stateAgeMs > STALE_AFTER_MS;
    if (stale && !this.wasStale) this.staleEpisodes++;
    this.wasStale = stale;
    const link = {loss: 0.002, stateAgeMs, stale, staleEpisodes: this.staleEpisodes, restarts: 0};
    return stateFrame(tick, link, sentWallMs, this.level);
  }
}

// level: 'low' (joint targets, no high-level state) or 'high'.
export async function startFakeServer({siteDir, port = 0, level = 'low'}) {
  const source = new Source(level);
  const clients = new Set();
  let framesPaused = false;
  const server = createServer(async (request, response) => {
    const entry = SITE_FILES[new URL(request.url, 'http://x').pathname];
    if (!entry) {
      response.writeHead(404).end();
      return;
    }
    try {
      const body = await readFile(join(siteDir, entry[0]));
      response.writeHead(200, {'content-type': entry[1]}).end(body);
    } catch {
      response.writeHead(500).end();
    }
  });
  server.on('upgrade', (request, socket) => {
    const key = request.headers['sec-websocket-key'];
    if (new URL(request.url, 'http://x').pathname !== '/ws' || !key) {
      socket.end('HTTP/1.1 400 Bad Request\r\n\r\n');
      return;
    }
    const accept = createHash('sha1').update(key + WEBSOCKET_GUID).digest('base64');
    socket.write(
        'HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n' +
        `Connection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
    socket.write(encodeTextFrame(JSON.stringify(hello())));
    clients.add(socket);
    // Whatever the page sends is ignored; a close frame (opcode 8) ends it.
    socket.on('data', (data) => {
      if ((data[0] & 0x0f) === 0x8) socket.end(Buffer.from([0x88, 0]));
    });
    socket.on('error', () => socket.destroy());
    socket.on('close', () => clients.delete(socket));
  });
  const timer = setInterval(() => {
    if (clients.size === 0 || framesPaused) return;
    const message = encodeTextFrame(JSON.stringify(source.frame()));
    for (const socket of clients) socket.write(message);
  }, FRAME_INTERVAL_MS);
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  const bound = server.address().port;
  return {
    port: bound,
    url: `http://127.0.0.1:${bound}/`,
    // Until this is called the frames carry no state (level null, stale).
    startSource: () => source.start(),
    setSourceStopped: (stopped) => source.setStopped(stopped),
    // Keeps the sockets open but sends nothing, like a server that hangs.
    setFramesPaused: (paused) => {
      framesPaused = paused;
    },
    dropClients: () => {
      for (const socket of clients) socket.destroy();
    },
    close: () => new Promise((resolve) => {
      clearInterval(timer);
      for (const socket of clients) socket.destroy();
      server.close(resolve);
    }),
  };
}

async function main() {
  const {values} = parseArgs({
    options: {
      site: {type: 'string', default: new URL('../dist', import.meta.url).pathname},
      port: {type: 'string', default: '0'},
      duration: {type: 'string', default: '120'},
      level: {type: 'string', default: 'low'},
    }
  });
  const fake =
      await startFakeServer({siteDir: values.site, port: Number(values.port), level: values.level});
  console.log(fake.url);
  setTimeout(() => fake.startSource(), 1500);
  const LIVE_MS = 4000, STOPPED_MS = 1500;
  const cycle = setInterval(() => {
    const phase = performance.now() % (LIVE_MS + STOPPED_MS);
    fake.setSourceStopped(phase >= LIVE_MS);
  }, 50);
  setTimeout(async () => {
    clearInterval(cycle);
    await fake.close();
  }, Number(values.duration) * 1000);
}

if (process.argv[1] === new URL(import.meta.url).pathname) await main();
