// The temperature of the chosen span, ending now, as a line drawn with uPlot; the line breaks
// where no report came.
import {h} from './vendor/preact.mjs';
import {useEffect, useRef} from './vendor/hooks.mjs';
import htm from './vendor/htm.mjs';
import uPlot from './vendor/uPlot.mjs';
import {plot_columns} from './model.mjs';

const html = htm.bind(h);
const kHeight = 180;
const kMinSpanMs = 60 * 1000;

function clock(seconds, with_seconds) {
  const d = new Date(seconds * 1000);
  const parts = [d.getHours(), d.getMinutes(), ...(with_seconds ? [d.getSeconds()] : [])];
  return parts.map((n) => String(n).padStart(2, '0')).join(':');
}

// Canvas colours cannot follow CSS by themselves; they are read from the page's variables
// whenever the plot is built, and it is rebuilt when the system's colour scheme changes.
function palette() {
  const css = getComputedStyle(document.documentElement);
  const get = (name) => css.getPropertyValue(name).trim();
  return {line: get('--accent'), text: get('--muted'), grid: get('--grid')};
}

function options(width, view) {
  const colours = palette();
  const axis = {stroke: colours.text, grid: {stroke: colours.grid, width: 1}, ticks: {stroke: colours.grid, width: 1}};
  return {
    width,
    height: kHeight,
    legend: {show: false},
    cursor: {show: false},
    scales: {
      // Up to now; from the first reading when the span is not yet full of them (the first
      // minutes of a session are not a sliver at the right edge), the whole span without any.
      x: {time: true, range: (u) => {
        const {now, span} = view.current;
        const first = u.data[0].length ? u.data[0][0] * 1000 : null;
        const from = first === null ? now - span : Math.max(now - span, Math.min(first, now - kMinSpanMs));
        return [from / 1000, now / 1000];
      }},
      y: {range: (u, min, max) => (min === null ? [20, 40] : [Math.min(min, max - 4) - 1, Math.max(max, min + 4) + 1])},
    },
    axes: [
      {...axis, values: (u, ticks, axis_index, space, step) => ticks.map((t) => clock(t, step < 60))},
      // The chair reports whole degrees.
      {...axis, size: 48, incrs: [1, 2, 5, 10, 20], values: (u, ticks) => ticks.map((v) => `${v}°`)},
    ],
    series: [{}, {label: 'Temperature', stroke: colours.line, width: 2, spanGaps: false}],
  };
}

export function summary(values, label) {
  if (values.length === 0) return `Temperature plot of the last ${label}: no readings.`;
  const now = values[values.length - 1];
  return `Temperature plot of the last ${label}: ${values.length} readings, ` +
      `lowest ${Math.min(...values)} °C, highest ${Math.max(...values)} °C, now ${now} °C.`;
}

export function TemperaturePlot({samples, span, label, now}) {
  const box = useRef(null);
  const plot = useRef(null);
  const view = useRef({span, now});
  view.current = {span, now};
  // Sliding the window costs a redraw; once every few seconds is enough for a line of minutes.
  const slide = Math.floor(now / 5000);
  const data = plot_columns(samples, span, now);
  // A rebuild (a new colour scheme) draws what is there now, not what was there at the start.
  const latest = useRef(data);
  latest.current = data;

  useEffect(() => {
    const build = () => {
      if (plot.current) plot.current.destroy();
      const width = Math.max(200, box.current.clientWidth);
      plot.current = new uPlot(options(width, view), latest.current, box.current);
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
    if (plot.current) plot.current.setData(data);
  }, [samples, span, slide]);

  const values = data[1].filter((v) => v !== null);
  return html`
    <figure class="plot">
      <div class="plot-box" ref=${box} role="img" aria-label=${summary(values, label)}
           data-samples=${values.length} data-gaps=${data[1].length - values.length}
           data-first=${data[0].length ? Math.round(data[0][0]) : ''} data-to=${Math.round(now / 1000)}
           data-last=${values.length ? values[values.length - 1] : ''}></div>
      <figcaption>Temperature, last ${label}</figcaption>
    </figure>`;
}
