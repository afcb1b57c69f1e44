// Foot forces as bars; a foot in contact is marked on the element
// (data-contact) and by colour.
import {byId, createElement, DASH, fixed, isArrayOfLength, textSlot} from './dom.js';
import {DEFAULT_LEG_NAMES, LEG_COUNT} from './robot.js';

// The bar scale follows the largest force seen and forgets it slowly, so a
// single spike does not flatten the bars for the rest of the session.
const SCALE_DECAY_PER_FRAME = 0.998;
const MINIMUM_SCALE = 1;

export class FeetPanel {
  constructor() {
    const box = byId('feet');
    this.feet = [];
    this.scale = MINIMUM_SCALE;
    for (let leg = 0; leg < LEG_COUNT; leg++) {
      const foot = createElement('div', 'foot', box);
      foot.id = `foot-${leg}`;
      foot.dataset.contact = 'false';
      const track = createElement('div', 'foot-track', foot);
      const fill = createElement('div', 'foot-fill', track);
      const name = createElement('div', 'foot-name', foot);
      name.textContent = DEFAULT_LEG_NAMES[leg];
      const value = createElement('div', 'foot-value mono', foot);
      value.textContent = DASH;
      this.feet.push({element: foot, fill, name: textSlot(name), value: textSlot(value)});
    }
  }

  setNames(legNames) {
    if (isArrayOfLength(legNames, LEG_COUNT)) {
      legNames.forEach((name, leg) => this.feet[leg].name(String(name)));
    }
  }

  draw(frame) {
    const forces = isArrayOfLength(frame.footForce, LEG_COUNT) ? frame.footForce : null;
    const contact = isArrayOfLength(frame.contact, LEG_COUNT) ? frame.contact : null;
    let largest = 0;
    for (const force of forces ?? []) {
      if (Number.isFinite(force)) largest = Math.max(largest, Math.abs(force));
    }
    this.scale = Math.max(MINIMUM_SCALE, largest, this.scale * SCALE_DECAY_PER_FRAME);
    for (let leg = 0; leg < LEG_COUNT; leg++) {
      const foot = this.feet[leg];
      const force = forces ? forces[leg] : NaN;
      const share = Number.isFinite(force) ? Math.min(1, Math.max(0, force / this.scale)) : 0;
      foot.fill.style.transform = `scaleY(${share.toFixed(3)})`;
      foot.value(fixed(force, 0));
      const inContact = contact ? String(contact[leg] === true) : 'false';
      if (foot.element.dataset.contact !== inContact) foot.element.dataset.contact = inContact;
    }
  }
}
