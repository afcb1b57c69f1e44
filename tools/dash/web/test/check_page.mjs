// Development check of the page against fake_server.mjs in headless Chromium,
// driven through the DevTools protocol over a pipe (no debugging port):
//   node test/check_page.mjs [--site DIR] [--out DIR] [--chromium PATH]
// Builds the page into dist/ unless --site is given, writes screenshots into
// out/ and exits non-zero when a check fails.
import {execFileSync, spawn} from 'node:child_process';
import {mkdirSync, mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {parseArgs} from 'node:util';

import {footContacts, jointPositions, startFakeServer} from './fake_server.mjs';

const webDir = new URL('..', import.meta.url).pathname;
const {values: options} = parseArgs({
  options: {
    site: {type: 'string'},
    out: {type: 'string', default: join(webDir, 'out')},
    chromium: {type: 'string', default: 'chromium'},
  }
});
const POLL_MS = 50;
const VIEWPORT = {
  width: 1400,
  height: 1000
};

const results = [];
function check(name, passed, detail = '') {
  results.push(passed);
  console.log(`${passed ? 'PASS' : 'FAIL'} ${name}${detail ? `: ${detail}` : ''}`);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A DevTools protocol client over --remote-debugging-pipe (fd 3 in, fd 4 out,
// messages separated by NUL).
class DevTools {
  constructor(executable, userDataDir) {
    this.browser = spawn(
        executable,
        [
          '--headless=new',
          '--no-sandbox',
          '--remote-debugging-pipe',
          `--user-data-dir=${userDataDir}`,
          '--no-first-run',
          '--no-default-browser-check',
          '--disable-extensions',
          '--disable-renderer-backgrounding',
          '--disable-background-timer-throttling',
          '--disable-backgrounding-occluded-windows',
          `--window-size=${VIEWPORT.width},${VIEWPORT.height}`,
          'about:blank',
        ],
        {stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'], detached: true});
    this.nextId = 1;
    this.pending = new Map();
    this.buffered = '';
    this.pageErrors = [];
    this.browser.stdio[4].on('data', (chunk) => this.receive(chunk.toString()));
    this.exited = new Promise((resolve) => this.browser.once('exit', resolve));
    this.exited.then(() => {
      for (const {reject} of this.pending.values()) reject(new Error('chromium exited'));
    });
  }

  receive(text) {
    this.buffered += text;
    let end;
    while ((end = this.buffered.indexOf('\0')) >= 0) {
      const message = JSON.parse(this.buffered.slice(0, end));
      this.buffered = this.buffered.slice(end + 1);
      if (message.method === 'Runtime.exceptionThrown') {
        const details = message.params.exceptionDetails;
        this.pageErrors.push(details.exception?.description ?? details.text);
      }
      const waiter = this.pending.get(message.id);
      if (!waiter) continue;
      this.pending.delete(message.id);
      if (message.error)
        waiter.reject(new Error(`${waiter.method}: ${message.error.message}`));
      else
        waiter.resolve(message.result);
    }
  }

  send(method, params = {}, sessionId = undefined, timeoutMs = 30000) {
    const id = this.nextId++;
    this.browser.stdio[3].write(`${JSON.stringify({id, method, params, sessionId})}\0`);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error(`${method}: no answer in ${timeoutMs} ms`));
      }, timeoutMs);
      this.pending.set(id, {
        method,
        resolve: (value) => (clearTimeout(timer), resolve(value)),
        reject: (error) => (clearTimeout(timer), reject(error)),
      });
    });
  }

  async openPage(url) {
    const {targetId} = await this.send('Target.createTarget', {url: 'about:blank'});
    const {sessionId} = await this.send('Target.attachToTarget', {targetId, flatten: true});
    this.sessionId = sessionId;
    await this.page(
        'Emulation.setDeviceMetricsOverride', {...VIEWPORT, deviceScaleFactor: 1, mobile: false});
    await this.page('Runtime.enable');
    await this.page('Page.navigate', {url});
  }

  page(method, params) { return this.send(method, params, this.sessionId); }

  async evaluate(expression) {
    const {result, exceptionDetails} =
        await this.page('Runtime.evaluate', {expression, returnByValue: true});
    if (exceptionDetails) {
      throw new Error(`page: ${exceptionDetails.exception?.description ?? exceptionDetails.text}`);
    }
    return result.value;
  }

  // Evaluates until the value satisfies `done` or the time runs out; returns
  // the last value and how long it took.
  async waitFor(expression, done, timeoutMs) {
    const start = performance.now();
    let value;
    for (let attempt = 0; attempt < Math.ceil(timeoutMs / POLL_MS); attempt++) {
      value = await this.evaluate(expression);
      if (done(value)) return {value, ok: true, ms: performance.now() - start};
      if (performance.now() - start > timeoutMs) break;
      await sleep(POLL_MS);
    }
    return {value, ok: false, ms: performance.now() - start};
  }

  // The renderer's main-thread busy seconds so far, by kind.
  async mainThreadSeconds() {
    const {metrics} = await this.page('Performance.getMetrics');
    return Object.fromEntries(metrics.map(({name, value}) => [name, value]));
  }

  async screenshot(path) {
    const {data} = await this.page('Page.captureScreenshot', {format: 'png'});
    writeFileSync(path, Buffer.from(data, 'base64'));
  }

  // Closes the browser and ends whatever it left running in its process group.
  async close() {
    await this.send('Browser.close', {}, undefined, 5000).catch(() => {});
    await Promise.race([this.exited, sleep(5000)]);
    try {
      process.kill(-this.browser.pid, 'SIGKILL');
    } catch {
      // The group is gone already.
    }
    await Promise.race([this.exited, sleep(5000)]);
  }
}

// Everything the checks read, taken in one evaluation so it is consistent.
const SNAPSHOT = `(() => {
  const dash = window.kalventDash;
  if (!dash) return null;
  const panel = document.getElementById('link-panel');
  const text = (id) => document.getElementById(id).textContent;
  return {
    connected: dash.connected, hello: dash.hello, framesDrawn: dash.framesDrawn,
    lastDrawn: dash.lastDrawn, logLength: dash.drawLog.length, logTail: dash.drawLog.slice(-1)[0],
    latencies: dash.drawLog.map((e) => e.drawnWallMs - e.sentWallMs),
    jointText: [...Array(12).keys()].map((i) => text('joint-q-' + i)),
    contacts: [...Array(4).keys()].map((i) => document.getElementById('foot-' + i).dataset.contact),
    linkStale: panel.dataset.stale, linkClassStale: panel.classList.contains('stale'),
    linkStatus: text('link-status'), rpy: text('imu-rpy'),
    viewMessageHidden: document.getElementById('view3d-message').hidden,
    canvas: document.getElementById('view3d').tagName,
  };
})()`;

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}

async function runChecks(devtools, fake) {
  await devtools.openPage(fake.url);
  const waiting = await devtools.waitFor(SNAPSHOT, (s) => s?.framesDrawn > 0, 15000);
  check(
      'before any state: drawn as stale',
      waiting.ok && waiting.value.lastDrawn.stale && waiting.value.linkStale === 'true' &&
          waiting.value.jointText[0] === '—',
      waiting.value?.linkStatus);
  fake.startSource();
  const drawing =
      await devtools.waitFor(SNAPSHOT, (s) => s.connected && s.framesDrawn >= 60, 15000);
  check(
      'connects, gets hello and draws frames', drawing.ok && drawing.value.hello?.type === 'hello',
      `${drawing.value?.framesDrawn} frames in ${drawing.ms.toFixed(0)} ms`);

  await devtools.page('Performance.enable');
  const before = await devtools.evaluate(SNAPSHOT);
  const busyBefore = await devtools.mainThreadSeconds();
  await sleep(2000);
  const busyAfter = await devtools.mainThreadSeconds();
  const live = await devtools.evaluate(SNAPSHOT);
  const drawn = live.framesDrawn - before.framesDrawn;
  check('keeps drawing', drawn > 0, `${(drawn / 2).toFixed(1)} frames per second drawn`);
  const busyMs = (key) => (1000 * (busyAfter[key] - busyBefore[key])) / Math.max(drawn, 1);
  console.log(
      `info: page main thread per frame drawn: ${busyMs('TaskDuration').toFixed(1)} ms ` +
      `(script ${busyMs('ScriptDuration').toFixed(1)}, layout and style ` +
      `${(busyMs('LayoutDuration') + busyMs('RecalcStyleDuration')).toFixed(1)})`);
  const expected = jointPositions(live.lastDrawn.tick).map((q) => q.toFixed(4));
  check(
      '#joint-q-<i> show the values sent for the tick drawn',
      live.jointText.every((text, i) => text === expected[i]),
      `tick ${live.lastDrawn.tick}: ${live.jointText[0]} (sent ${expected[0]})`);
  check(
      'lastDrawn.q is the frame drawn',
      live.lastDrawn.q.every((q, i) => Math.abs(q - Number(expected[i])) <= 1e-4));
  const contacts = footContacts(live.lastDrawn.tick).map(String);
  check(
      '#foot-<i> data-contact follows the frame', live.contacts.join() === contacts.join(),
      live.contacts.join());
  check(
      'link panel live',
      live.linkStale === 'false' && !live.linkClassStale && !live.lastDrawn.stale, live.linkStatus);
  check(
      'drawLog records tick, sent and drawn times',
      live.logLength === live.framesDrawn && Number.isFinite(live.logTail.sentWallMs) &&
          live.logTail.drawnWallMs >= live.logTail.sentWallMs);
  const steady = live.latencies.slice(-100);
  if (steady.length > 0) {
    console.log(
        `info: sent-to-drawn p50 ${percentile(steady, 0.5).toFixed(1)} ms, ` +
        `p99 ${percentile(steady, 0.99).toFixed(1)} ms over ${steady.length} frames`);
  }
  check('3-D view renders (WebGL available)', live.viewMessageHidden && live.canvas === 'CANVAS');
  await devtools.screenshot(join(options.out, 'check_page.png'));

  fake.setSourceStopped(true);
  const stale = await devtools.waitFor(
      SNAPSHOT, (s) => s.linkStale === 'true' && s.linkClassStale && s.lastDrawn.stale, 3000);
  check(
      'link panel turns stale when the source stops',
      stale.ok && stale.value.linkStatus === 'STALE',
      `${stale.value.linkStatus} after ${stale.ms.toFixed(0)} ms`);
  await devtools.screenshot(join(options.out, 'check_page_stale.png'));
  fake.setSourceStopped(false);
  const back = await devtools.waitFor(SNAPSHOT, (s) => s.linkStale === 'false', 3000);
  check('link panel live again when the source resumes', back.ok && !back.value.linkClassStale);

  fake.setFramesPaused(true);
  const silent = await devtools.waitFor(SNAPSHOT, (s) => s.linkStale === 'true', 3000);
  check(
      'frames stopping on an open socket marks the link stale', silent.ok, silent.value.linkStatus);
  fake.setFramesPaused(false);

  fake.dropClients();
  const dropped = await devtools.waitFor(SNAPSHOT, (s) => !s.connected, 3000);
  check(
      'notices the lost connection and marks the link stale',
      dropped.ok && dropped.value.linkStale === 'true', dropped.value.linkStatus);
  const again =
      await devtools.waitFor(SNAPSHOT, (s) => s.connected && s.linkStale === 'false', 5000);
  check('reconnects by itself', again.ok, `after ${again.ms.toFixed(0)} ms`);
}

async function main() {
  const siteDir = options.site ?? join(webDir, 'dist');
  if (!options.site) execFileSync(join(webDir, 'build'), [siteDir], {stdio: 'inherit'});
  mkdirSync(options.out, {recursive: true});
  const userDataDir = mkdtempSync(join(tmpdir(), 'kalvent-dash-check-'));
  const fake = await startFakeServer({siteDir});
  const devtools = new DevTools(options.chromium, userDataDir);
  try {
    await runChecks(devtools, fake);
  } catch (error) {
    check('check ran to the end', false, error.message);
  } finally {
    check(
        'no uncaught errors in the page', devtools.pageErrors.length === 0,
        [...new Set(devtools.pageErrors)].join('; '));
    await devtools.close();
    await fake.close();
    rmSync(userDataDir, {recursive: true, force: true, maxRetries: 5});
  }
  const failed = results.filter((passed) => !passed).length;
  console.log(
      `check_page: ${results.length - failed} passed, ${failed} failed; ` +
      `screenshots in ${options.out}`);
  process.exitCode = failed === 0 ? 0 : 1;
}

await main();
