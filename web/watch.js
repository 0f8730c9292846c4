// The Watch view: numeric parameters of the open device read every few seconds
// through the service's queue and plotted. The plot library is Debian's Chart.js,
// loaded only when this view plots something, so the first load stays small.
import { mayBeWrongPassword, post } from './api.js';
import { $, bus, deviceFields, el, fmtTime, password, setStatus, showError, state } from './ui.js';

const numericTypes = new Set(['INT8S', 'INT8U', 'INT16S', 'INT16U', 'INT32S', 'INT32U', 'INT64U']);
const keepPoints = 200;
const colours = ['#1f5fa8', '#b3261e', '#2e7d32', '#8e44ad', '#b36b00', '#00796b'];

let timer = null;
let chart = null;
let chartLoad = null;
// The view's part of the store (state.watch): what is watched {d, names, fields, start}, or
// null, and the values read so far (series: name -> [{x: Date, y: number}]). The plot and
// the timer are the view's own handles.
const w = () => state.watch;

function loadChart() {
  if (window.Chart) return Promise.resolve(window.Chart);
  if (!chartLoad) {
    chartLoad = new Promise((resolve) => {
      const s = el('script', { src: '/javascript/chart.js/chart.min.js' });
      s.addEventListener('load', () => resolve(window.Chart || null));
      s.addEventListener('error', () => resolve(null));
      document.head.append(s);
    });
  }
  return chartLoad;
}

function fillNames(params) {
  const select = $('watch-names');
  const numeric = params.filter((p) => !p.refused && numericTypes.has(p.type) && (p.elements ?? 1) === 1);
  select.replaceChildren(...numeric.map((p) => el('option', { value: p.name, text: `${p.name} (${p.type})` })));
  $('watch-none').hidden = numeric.length > 0;
  $('watch-body').hidden = numeric.length === 0;
  if (params.length && !numeric.length) {
    $('watch-none').textContent = 'The open device has no numeric parameter to watch.';
  }
}

async function makeChart() {
  const Chart = await loadChart();
  const canvas = $('watch-plot');
  if (!Chart) {
    canvas.hidden = true;
    $('plot-note').textContent = 'The plot library (Debian package libjs-chart.js) is not installed on the ' +
      'host: the values are listed below only.';
    return;
  }
  canvas.hidden = false;
  $('plot-note').textContent = '';
  if (chart) chart.destroy();
  chart = new Chart(canvas, {
    type: 'line',
    data: { datasets: [] },
    options: {
      animation: false,
      maintainAspectRatio: false, // the plot's box sets the height
      parsing: false,
      normalized: true,
      // Time from 0; counters are whole numbers, so are their ticks.
      scales: {
        x: { type: 'linear', min: 0, title: { display: true, text: 'seconds since start' } },
        y: { ticks: { precision: 0 } },
      },
      plugins: { legend: { position: 'bottom' } },
    },
  });
}

function redraw() {
  if (!chart) return;
  const t0 = w().watched.start;
  chart.data.datasets = [...w().series.entries()].map(([name, points], i) => ({
    label: name,
    data: points.map((p) => ({ x: (p.x - t0) / 1000, y: p.y })),
    borderColor: colours[i % colours.length],
    backgroundColor: colours[i % colours.length],
    pointRadius: 2,
  }));
  chart.update();
}

function showLatest(time, values, skipped) {
  const rows = [...w().series.keys()].map((name) => {
    const v = values[name];
    return el('tr', {}, el('th', { scope: 'row', text: name }),
      el('td', { text: typeof v === 'number' ? String(v) : skipped.includes(name) ? 'skipped by the service' : '–' }),
      el('td', { text: fmtTime(time) }));
  });
  $('watch-table').tBodies[0].replaceChildren(...rows);
}

async function tick() {
  // The watch as it was asked: a rejected password (or the user) may stop it meanwhile.
  const target = w().watched;
  if (!target) return;
  let reply;
  try {
    reply = await post('/api/watch', { ...target.fields, names: target.names });
  } catch (err) {
    if (mayBeWrongPassword(err)) {
      state.passwords.delete(target.d.mac);
      stopWatch();
    }
    showError(err.text(`Reading the watched parameters of ${target.d.mac} failed`) +
      (w().watched ? ' Watching goes on.' : ' Watching stopped.'));
    return;
  }
  if (!w().watched || !reply || typeof reply.values !== 'object' || reply.values === null) return;
  const at = new Date(reply.time);
  const x = isNaN(at) ? new Date() : at;
  for (const [name, points] of w().series) {
    const v = reply.values[name];
    if (typeof v !== 'number' || !isFinite(v)) continue;
    points.push({ x, y: v });
    if (points.length > keepPoints) points.shift();
  }
  const skipped = Array.isArray(reply.skipped) ? reply.skipped.filter((s) => typeof s === 'string') : [];
  showLatest(reply.time, reply.values, skipped);
  redraw();
}

async function startWatch() {
  const d = state.current;
  const names = [...$('watch-names').selectedOptions].map((o) => o.value);
  if (!d || names.length === 0) {
    showError('Choose one or more numeric parameters to watch first.');
    return;
  }
  const pw = await password(d);
  if (pw === null) {
    setStatus('No password given: nothing is watched.');
    return;
  }
  stopWatch();
  showError('');
  const protocol = $('protocol').value;
  w().watched = { d, names, fields: { ...deviceFields(d, protocol), password: pw }, start: Date.now() };
  w().series = new Map(names.map((n) => [n, []]));
  $('watch-start').disabled = true;
  $('watch-stop').disabled = false;
  await makeChart();
  setStatus(`Watching ${names.length} parameter${names.length === 1 ? '' : 's'} of ${d.mac}.`);
  await tick();
  if (w().watched) timer = setInterval(tick, Number($('watch-every').value) * 1000);
}

function stopWatch() {
  if (timer) clearInterval(timer);
  timer = null;
  if (w().watched) setStatus(`Stopped watching ${w().watched.d.mac}.`);
  w().watched = null;
  $('watch-start').disabled = false;
  $('watch-stop').disabled = true;
}

export function initWatch() {
  $('watch-start').addEventListener('click', startWatch);
  $('watch-stop').addEventListener('click', stopWatch);
  bus.addEventListener('params', (e) => {
    if (w().watched && state.current && w().watched.d.mac !== state.current.mac) stopWatch();
    fillNames(e.detail || []);
  });
}
