// A redraw held back by the rate limit must still happen later, or the page
// would keep showing an older state after the frames stop.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {RateGate} from '../src/rate.js';

test('RateGate: opens only for a change, at most 30 times a second, never loses one', () => {
  const gate = new RateGate(30);
  assert.equal(gate.due(0), false);
  gate.markChanged();
  assert.equal(gate.due(0), true);
  assert.equal(gate.due(1), false);
  gate.markChanged();
  assert.equal(gate.due(16.7), false);
  assert.equal(gate.due(33.4), true);
  assert.equal(gate.due(100), false);
});
