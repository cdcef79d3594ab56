// The temperature of the last ten minutes as a line, drawn with uPlot.
import {h} from './vendor/preact.mjs';
import {useEffect, useRef} from './vendor/hooks.mjs';
import htm from './vendor/htm.mjs';
import uPlot from './vendor/uPlot.esm.js';
import {kPlotWindowMs} from './model.mjs';

const html = htm.bind(h);
const kHeight = 180;
const kWindowSeconds = kPlotWindowMs / 1000;
const kMinSpanSeconds = 60;

function clock(seconds, with_seconds) {
  const d = new Date(seconds * 1000);
  const parts = [d.getHours(), d.getMinutes(), ...(with_seconds ? [d.getSeconds()] : [])];
  return parts.map((n) => String(n).padStart(2, '0')).join(':');
}

function columns(samples) {
  return [samples.map(([t]) => t / 1000), samples.map(([, v]) => v)];
}

// Canvas colours cannot follow CSS by themselves; they are read from the page's variables
// whenever the plot is built, and it is rebuilt when the system's colour scheme changes.
function palette() {
  const css = getComputedStyle(document.documentElement);
  const get = (name) => css.getPropertyValue(name).trim();
  return {line: get('--accent'), text: get('--muted'), grid: get('--grid')};
}

function options(width) {
  const colours = palette();
  const axis = {stroke: colours.text, grid: {stroke: colours.grid, width: 1}, ticks: {stroke: colours.grid, width: 1}};
  return {
    width,
    height: kHeight,
    legend: {show: false},
    cursor: {show: false},
    scales: {
      // Ends at the newest reading and grows with the readings up to the whole window, so the
      // first minutes of a session are not a sliver at the right edge.
      x: {time: true, range: (u, min, max) => [Math.min(Math.max(min, max - kWindowSeconds), max - kMinSpanSeconds), max]},
      y: {range: (u, min, max) => [Math.min(min, max - 4) - 1, Math.max(max, min + 4) + 1]},
    },
    axes: [
      {...axis, values: (u, ticks, axis_index, space, step) => ticks.map((t) => clock(t, step < 60))},
      // The chair reports whole degrees.
      {...axis, size: 48, incrs: [1, 2, 5, 10, 20], values: (u, ticks) => ticks.map((v) => `${v}°`)},
    ],
    series: [{}, {label: 'Temperature', stroke: colours.line, width: 2}],
  };
}

export function summary(samples) {
  if (samples.length === 0) return 'Temperature plot of the last 10 minutes: no readings yet.';
  const values = samples.map(([, v]) => v);
  const now = values[values.length - 1];
  return `Temperature plot of the last 10 minutes: ${samples.length} readings, ` +
      `lowest ${Math.min(...values)} °C, highest ${Math.max(...values)} °C, now ${now} °C.`;
}

export function TemperaturePlot({samples}) {
  const box = useRef(null);
  const plot = useRef(null);
  const latest = useRef(samples);
  latest.current = samples;

  useEffect(() => {
    const build = () => {
      if (plot.current) plot.current.destroy();
      const width = Math.max(200, box.current.clientWidth);
      plot.current = new uPlot(options(width), columns(latest.current), box.current);
    };
    build();
    const resize = new ResizeObserver(() => {
      const width = Math.max(200, box.current.clientWidth);
      if (plot.current && plot.current.width !== width) plot.current.setSize({width, height: kHeight});
    });
    resize.observe(box.current);
    const scheme = matchMedia('(prefers-color-scheme: dark)');
    scheme.addEventListener('change', build);
    return () => {
      resize.disconnect();
      scheme.removeEventListener('change', build);
      plot.current.destroy();
      plot.current = null;
    };
  }, []);

  useEffect(() => {
    if (plot.current) plot.current.setData(columns(samples));
  }, [samples]);

  const last = samples.length ? samples[samples.length - 1][1] : '';
  return html`
    <figure class="plot">
      <div class="plot-box" ref=${box} role="img" aria-label=${summary(samples)}
           data-samples=${samples.length} data-last=${last}></div>
      <figcaption>Temperature, last 10 minutes</figcaption>
    </figure>`;
}
