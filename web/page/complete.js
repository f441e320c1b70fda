// Name completion in the message box: Tab completes the word before the
// caret to a name the page knows (people.js), and Tab again moves on to the
// next name that fits, round and round. With nothing to complete, Tab does
// what it always does: it moves the focus.
import { knownNames } from './people.js';

let cycle = null;  // { start, end, choices, index, value } while Tab cycles

const fits = (name, prefix) => name.toLowerCase().startsWith(prefix.toLowerCase()) && name !== prefix;

function begin(input) {
  const caret = input.selectionStart;
  if (caret !== input.selectionEnd) return null;
  const start = input.value.lastIndexOf(' ', caret - 1) + 1;
  const prefix = input.value.slice(start, caret);
  if (prefix === '') return null;
  const choices = knownNames().filter((name) => fits(name, prefix));
  return choices.length ? { start, end: caret, choices, index: -1 } : null;
}

// Puts the next choice in place of the word (or of the last choice).
function next(input) {
  cycle.index = (cycle.index + 1) % cycle.choices.length;
  const name = cycle.choices[cycle.index];
  const { value } = input;
  input.value = value.slice(0, cycle.start) + name + value.slice(cycle.end);
  cycle.end = cycle.start + name.length;
  cycle.value = input.value;
  input.setSelectionRange(cycle.end, cycle.end);
  input.dispatchEvent(new Event('input'));
}

// A keydown in the box: true when it was a Tab that completed.
export function completeOnTab(e, input) {
  if (e.key !== 'Tab' || e.shiftKey || e.altKey || e.ctrlKey || e.metaKey) {
    cycle = null;
    return false;
  }
  if (!cycle || cycle.value !== input.value || input.selectionStart !== cycle.end) cycle = begin(input);
  if (!cycle) return false;
  e.preventDefault();
  next(input);
  return true;
}
