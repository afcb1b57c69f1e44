// Link health. The panel is marked stale (attribute, class and the word STALE)
// whenever the data shown may not be current: the server says the robot's
// state is stale, the page has lost its connection, or frames stopped coming.
import {byId, fixed, fixedWithUnit, textSlot} from './dom.js';

export class LinkPanel {
  constructor() {
    this.panel = byId('link-panel');
    this.status = textSlot(byId('link-status'));
    this.loss = textSlot(byId('link-loss'));
    this.age = textSlot(byId('link-age'));
    this.episodes = textSlot(byId('link-episodes'));
    this.restarts = textSlot(byId('link-restarts'));
    this.staleAfter = textSlot(byId('link-stale-after'));
  }

  // The state age beyond which the server calls the link stale.
  setHello(hello) { this.staleAfter(fixedWithUnit(hello.staleAfterMs, 0, 'ms')); }

  setStale(stale, word) {
    const value = String(stale);
    if (this.panel.dataset.stale !== value) {
      this.panel.dataset.stale = value;
      this.panel.classList.toggle('stale', stale);
    }
    this.status(word);
  }

  // Returns whether the frame's link is stale (a frame without link figures
  // counts as stale).
  draw(frame) {
    const link = frame.link ?? {};
    const stale = link.stale !== false;
    this.setStale(stale, stale ? 'STALE' : 'LIVE');
    this.loss(fixedWithUnit(typeof link.loss === 'number' ? link.loss * 100 : null, 1, '%'));
    this.age(fixedWithUnit(link.stateAgeMs, 0, 'ms'));
    this.episodes(fixed(link.staleEpisodes, 0));
    this.restarts(fixed(link.restarts, 0));
    return stale;
  }

  // The page itself has no current data (reason: a short upper-case word).
  showNoData(reason) { this.setStale(true, `STALE: ${reason}`); }
}
