// The header: where the data comes from, the level, the connection state and
// how many frames per second the page draws.
import {byId, fixed, textSlot} from './dom.js';

export class Header {
  constructor() {
    this.source = textSlot(byId('hdr-source'));
    this.level = textSlot(byId('hdr-level'));
    this.tick = textSlot(byId('hdr-tick'));
    this.time = textSlot(byId('hdr-time'));
    this.fps = textSlot(byId('hdr-fps'));
    this.connectionElement = byId('hdr-connection');
    this.connectionText = textSlot(this.connectionElement);
  }

  setConnection(state, text) {
    this.connectionElement.dataset.state = state;
    this.connectionText(text);
  }

  setHello(hello) {
    const name = hello.sourceName ? ` ${hello.sourceName}` : '';
    this.source(`${hello.source ?? '?'}${name}`);
  }

  draw(frame) {
    this.level(frame.level ?? 'none yet');
    this.tick(fixed(frame.tick, 0));
    this.time(fixed(frame.t, 2));
  }

  setFramesPerSecond(rate) { this.fps(fixed(rate, 0)); }
}
