// Fixed-capacity history of samples (an x column and several y columns) that
// hands uPlot contiguous views without copying: every sample is written twice,
// at i and at i + capacity, so the newest `size` samples always form one
// contiguous run inside a buffer of twice the capacity.

export class History {
  constructor(capacity, seriesCount) {
    this.capacity = capacity;
    this.columns = [];
    for (let i = 0; i <= seriesCount; i++) this.columns.push(new Float64Array(2 * capacity));
    this.views = new Array(seriesCount + 1);
    this.clear();
  }

  clear() {
    this.next = 0;
    this.size = 0;
  }

  lastX() {
    if (this.size === 0) return NaN;
    return this.columns[0][(this.next + this.capacity - 1) % this.capacity];
  }

  // Adds a sample of a new state: an x equal to the newest is a repeat of the
  // same state and is skipped; an earlier x means the source started again,
  // so the old samples go.
  pushNewer(x, values) {
    const last = this.lastX();
    if (x === last) return;
    if (x < last) this.clear();
    this.push(x, values);
  }

  // values: array-like holding one y per series; reused by the caller.
  push(x, values) {
    const columns = this.columns;
    const mirror = this.next + this.capacity;
    columns[0][this.next] = x;
    columns[0][mirror] = x;
    for (let s = 1; s < columns.length; s++) {
      columns[s][this.next] = values[s - 1];
      columns[s][mirror] = values[s - 1];
    }
    this.next = (this.next + 1) % this.capacity;
    if (this.size < this.capacity) this.size++;
  }

  // The samples whose x lies within `span` of the newest, oldest first, as
  // views into the buffers (valid until the next push).
  window(span) {
    let start = (this.next + this.capacity - this.size) % this.capacity;
    const end = start + this.size;
    const xs = this.columns[0];
    const earliest = xs[end - 1] - span;
    while (start < end - 1 && xs[start] < earliest) start++;
    for (let c = 0; c < this.columns.length; c++) {
      this.views[c] = this.columns[c].subarray(start, end);
    }
    return this.views;
  }
}
