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

// ---- automatic colours apart: two names whose derived colours look
// alike (closer than apartDistance in OKLab) would read as one person, so
// the later one seen turns its hue until it stands apart, for this viewer.
const apartDistance = 0.09;
const hueSteps = 24;

const linear = (v) => {
  const c = v / 255;
  return c <= 0.04045 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
};
const gamma = (c) => 255 * (c <= 0.0031308 ? 12.92 * c : 1.055 * c ** (1 / 2.4) - 0.055);

function oklab(rgb) {
  const [r, g, b] = rgb.map(linear);
  const l = Math.cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
  const m = Math.cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
  const s = Math.cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
  return [0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
    1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
    0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s];
}

function rgbOfOklab([L, a, b]) {
  const l = (L + 0.3963377774 * a + 0.2158037573 * b) ** 3;
  const m = (L - 0.1055613458 * a - 0.0638541728 * b) ** 3;
  const s = (L - 0.0894841775 * a - 1.2914855480 * b) ** 3;
  return clampRgb([4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s,
    -1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s,
    -0.0041960863 * l - 0.7034186147 * m + 1.7076147010 * s].map((c) => gamma(Math.min(1, Math.max(0, c)))));
}

export function oklabDistance(x, y) {
  const [p, q] = [oklab(x), oklab(y)];
  return Math.hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
}

// The same lightness and chroma at a hue turned by `degrees`.
function turned(rgb, degrees) {
  const [L, a, b] = oklab(rgb);
  const chroma = Math.hypot(a, b), hue = Math.atan2(b, a) + (degrees * Math.PI) / 180;
  return rgbOfOklab([L, chroma * Math.cos(hue), chroma * Math.sin(hue)]);
}

const automatic = new Map();  // name -> the colour this page draws it in

// The colour to draw an automatic colour in: the first of its hue turned
// by 15, -15, 30, -30 ... degrees that is apart from every other name's.
function apart(name, rgb) {
  if (automatic.has(name)) return automatic.get(name);
  const others = [...automatic.values()];
  let chosen = clampRgb(rgb);
  for (let step = 0; step <= hueSteps; step++) {
    const degrees = (step % 2 ? 1 : -1) * Math.ceil(step / 2) * 15;
    const candidate = step === 0 ? chosen : turned(rgb, degrees);
    if (others.every((o) => oklabDistance(o, candidate) >= apartDistance)) {
      chosen = candidate;
      break;
    }
  }
  automatic.set(name, chosen);
  return chosen;
}

// Paints a name in its colour, readable on its row; `autoName` names the
// colour's owner when it is the automatic one, which then stands apart.
export function paintSender(span, rgb, autoName = null) {
  span.dataset.colour = clampRgb(rgb).join(',');
  if (autoName !== null) span.dataset.auto = autoName;
  const drawn = autoName !== null ? apart(autoName, rgb) : rgb;
  const bg = themeColour(span.closest('.mention') ? '--mention-bg' : span.closest('.own') ? '--own-bg' : '--bg');
  span.style.color = `rgb(${readable(drawn, bg).join(' ')})`;
}

// After a change of theme: every name under `root` again.
export function repaintSenders(root) {
  for (const span of root.querySelectorAll('[data-colour]')) {
    paintSender(span, span.dataset.colour.split(',').map(Number), span.dataset.auto ?? null);
  }
}

// A colour input's value, #rrggbb, as [r, g, b].
export function colourOf(hex) {
  return [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
}
