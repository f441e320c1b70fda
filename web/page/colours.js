// Colours: a sender's name keeps its hue and saturation; its lightness
// moves until the name has at least minContrast against the background it
// is drawn on (WCAG contrast ratio), in either theme and on own lines.
const minContrast = 4.5;

function clampRgb(rgb) {
  return rgb.map((v) => Math.min(255, Math.max(0, Math.round(v))));
}

// [h in degrees, s and l from 0 to 1]
function hsl(rgb) {
  const [r, g, b] = clampRgb(rgb).map((v) => v / 255);
  const max = Math.max(r, g, b), min = Math.min(r, g, b);
  const l = (max + min) / 2;
  let h = 0, s = 0;
  if (max !== min) {
    const d = max - min;
    s = l > 0.5 ? d / (2 - max - min) : d / (max + min);
    if (max === r) h = (g - b) / d + (g < b ? 6 : 0);
    else if (max === g) h = (b - r) / d + 2;
    else h = (r - g) / d + 4;
    h *= 60;
  }
  return [h, s, l];
}

function rgbOf(h, s, l) {
  const k = (n) => (n + h / 30) % 12;
  const a = s * Math.min(l, 1 - l);
  const f = (n) => l - a * Math.max(-1, Math.min(k(n) - 3, 9 - k(n), 1));
  return clampRgb([f(0) * 255, f(8) * 255, f(4) * 255]);
}

function luminance(rgb) {
  const [r, g, b] = rgb.map((v) => {
    const c = v / 255;
    return c <= 0.04045 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
  });
  return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

function contrast(a, b) {
  const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
  return (hi + 0.05) / (lo + 0.05);
}

// The colour nearest to `rgb` in lightness that is readable on `bg`:
// darker on a light background, lighter on a dark one.
function readable(rgb, bg) {
  const start = clampRgb(rgb);
  if (contrast(start, bg) >= minContrast) return start;
  const [h, s, l] = hsl(start);
  const step = luminance(bg) > 0.18 ? -0.01 : 0.01;
  for (let lightness = l + step; lightness >= 0 && lightness <= 1; lightness += step) {
    const candidate = rgbOf(h, s, lightness);
    if (contrast(candidate, bg) >= minContrast) return candidate;
  }
  return step < 0 ? [0, 0, 0] : [255, 255, 255];
}

// The backgrounds of the current theme, from the style sheet.
function themeColour(name) {
  const v = getComputedStyle(document.documentElement).getPropertyValue(name).trim();
  return /^#[0-9a-f]{6}$/i.test(v) ? colourOf(v) : [255, 255, 255];
}

export function paintSender(span, rgb) {
  span.dataset.colour = clampRgb(rgb).join(',');
  const own = span.closest('.own');
  const bg = themeColour(own ? '--own-bg' : '--bg');
  span.style.color = `rgb(${readable(rgb, bg).join(' ')})`;
}

// After a change of theme: every name under `root` again.
export function repaintSenders(root) {
  for (const span of root.querySelectorAll('.sender[data-colour]')) {
    paintSender(span, span.dataset.colour.split(',').map(Number));
  }
}

// A colour input's value, #rrggbb, as [r, g, b].
export function colourOf(hex) {
  return [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
}
