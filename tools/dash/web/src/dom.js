// Small DOM helpers. Panels keep one Text node per value and only change its
// data, so a frame never rebuilds elements.

export function byId(id) {
  const element = document.getElementById(id);
  if (!element) throw new Error(`missing element #${id}`);
  return element;
}

// Returns a function that sets the element's text through a single Text node.
export function textSlot(element) {
  const node = document.createTextNode(element.textContent);
  element.replaceChildren(node);
  return (text) => {
    if (node.data !== text) node.data = text;
  };
}

export function createElement(tag, className, parent) {
  const element = document.createElement(tag);
  if (className) element.className = className;
  if (parent) parent.appendChild(element);
  return element;
}

export const DASH = '—';

// Fixed-point text for a finite number, a dash for anything else (null, NaN).
export function fixed(value, decimals) {
  return typeof value === 'number' && Number.isFinite(value) ? value.toFixed(decimals) : DASH;
}

// Like fixed, with a unit after a number.
export function fixedWithUnit(value, decimals, unit) {
  const text = fixed(value, decimals);
  return text === DASH ? DASH : `${text} ${unit}`;
}

export function isArrayOfLength(value, length) {
  return Array.isArray(value) && value.length === length;
}
