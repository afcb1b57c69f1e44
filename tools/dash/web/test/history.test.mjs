// The plot history hands out views that must hold the newest samples in order
// across the wrap of its buffers.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {History} from '../src/history.js';

const CAPACITY = 4;

function filled(xs) {
  const history = new History(CAPACITY, 1);
  for (const x of xs) history.pushNewer(x, [10 * x]);
  return history;
}

const asArrays = (views) => views.map((view) => Array.from(view));

test('window: newest samples in order across the wrap, trimmed to the span', () => {
  assert.deepEqual(
      asArrays(filled([1, 2, 3, 4, 5, 6]).window(100)), [[3, 4, 5, 6], [30, 40, 50, 60]]);
  assert.deepEqual(asArrays(filled([1, 2, 3, 4, 5, 6]).window(1.5)), [[5, 6], [50, 60]]);
  assert.deepEqual(asArrays(filled([]).window(1)), [[], []]);
});

test('pushNewer: a repeated state is skipped, a restarted source starts afresh', () => {
  assert.deepEqual(asArrays(filled([1, 2, 2, 3]).window(100)), [[1, 2, 3], [10, 20, 30]]);
  assert.deepEqual(asArrays(filled([1, 2, 3, 0.5, 1]).window(100)), [[0.5, 1], [5, 10]]);
});
