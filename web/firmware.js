// The Firmware view: one image to one or several devices, one after another, or an
// Ethernet boot; the latest transfer (this page's own while it runs one), and below it
// every transfer the service lists, whoever started it, each with its progress and its
// own Stop.
import { get, post } from './api.js';
import { $, confirmDialog, el, fmtBytes, fmtSeconds, run, setStatus, showError, state } from './ui.js';

// The view's part of the store (state.firmware): data only, drawn by render().
//   status  the latest status the service sent
//   mine    {title, loader, image} of this page's latest transfer
//   active  this page is starting or following a transfer
//   queue   {stopped} while this page works through a queue, else null
//   rows    [{label, iface, result}] of the latest queue, as the table shows them
//   items   transfer blocks made so far (their element ids are numbered by it)
const fw = () => state.firmware;
const waiters = new Set();

const running = (s) => !!s && s.final === false && s.stateCode !== 0 && s.state !== 'idle';

// The service's transfer list: one block per transfer, whoever started it, each with
// its own bar and Stop. A service without the list sends the latest status instead.
export function transfersEvent(list) {
  if (!Array.isArray(list)) return;
  if (list.length && typeof list[0].kind !== 'string') {
    firmwareEvent(list[0]);
    return;
  }
  renderList(list);
}

function itemName(t) {
  return typeof t.mac === 'string' ? t.mac : `on ${t.interface}`;
}

// The block of a transfer, found again by its id at every render so that focus stays put;
// a new one gets its parts, each named by data-part.
function transferItem(ul, t) {
  const found = [...ul.children].find((li) => li.dataset.id === String(t.id));
  if (found) return found;
  const id = `fw-item-${++fw().items}`;
  const part = (tag, name, props = {}) => el(tag, { ...props, 'data-part': name });
  const stop = part('button', 'stop', { type: 'button', text: 'Stop' });
  stop.addEventListener('click', () => stopOne({ mac: stop.dataset.mac || null }));
  const li = el('li', { class: 'fw-item' },
    part('p', 'title', { class: 'fw-item-title', id: `${id}-title` }), part('label', 'label', { for: `${id}-bar` }),
    part('progress', 'bar', { id: `${id}-bar`, max: 1, value: 0, 'aria-describedby': `${id}-state` }),
    part('p', 'state', { id: `${id}-state` }), part('p', 'figures', { class: 'muted' }),
    part('p', 'reason', { class: 'error' }), el('p', { class: 'bar' }, stop));
  li.dataset.id = String(t.id);
  return li;
}

// The newest transfer of each device (the service lists the recently finished ones too,
// oldest start first), so that each bar and Stop is named by its device alone.
function newestPerDevice(list) {
  const byDevice = new Map();
  for (const t of list) {
    if (!t || typeof t !== 'object' || typeof t.interface !== 'string') continue;
    const name = itemName(t);
    byDevice.delete(name); // the newer one goes to the end
    byDevice.set(name, t);
  }
  return [...byDevice.values()];
}

function renderList(list) {
  const ul = $('fw-list');
  const items = newestPerDevice(list).map((t) => {
    const li = transferItem(ul, t);
    const e = Object.fromEntries([...li.querySelectorAll('[data-part]')].map((x) => [x.dataset.part, x]));
    const name = itemName(t);
    const bytes = nonNegative(t.bytes);
    const total = nonNegative(t.total);
    e.title.textContent = `${t.kind === 'boot' ? 'Ethernet boot' : 'Upgrade'} of ${
      typeof t.mac === 'string' ? t.mac : 'a device not known yet'} on ${t.interface}${t.latest ? ' (latest)' : ''}`;
    e.label.textContent = `Firmware transfer ${name}`;
    drawBar(e.bar, bytes, total);
    e.state.textContent = stateWords(t);
    const ms = nonNegative(t.durationMs);
    e.figures.textContent = [total ? `${fmtBytes(bytes)} of ${fmtBytes(total)}` : null,
      `retransmissions ${nonNegative(t.retransmissions) ?? '–'}`,
      ms !== null ? `${t.running ? 'running for' : 'took'} ${fmtSeconds(ms / 1000)}` : null].filter(Boolean).join(', ');
    const reason = t.reason && typeof t.reason === 'object' ? t.reason : null;
    e.reason.hidden = !reason;
    e.reason.textContent = failedText(reason);
    // Stop is for a running transfer only; one to a device not known yet is the
    // latest's Stop (above).
    e.stop.setAttribute('aria-label', `Stop the transfer ${typeof t.mac === 'string' ? 'to ' : ''}${name}`);
    e.stop.disabled = !t.running || typeof t.mac !== 'string';
    e.stop.dataset.mac = typeof t.mac === 'string' ? t.mac : '';
    return li;
  });
  // In the service's order, oldest start first; blocks of transfers no longer listed go.
  for (const li of [...ul.children]) if (!items.includes(li)) li.remove();
  ul.append(...items);
  $('fw-list-empty').hidden = items.length > 0;
}

async function stopOne(t) {
  if (!t || typeof t.mac !== 'string') return;
  const reply = await run(`Stopping the transfer to ${t.mac}`, () => post('/api/firmware/stop', { mac: t.mac }));
  if (reply) setStatus(`Stop sent to the transfer to ${t.mac}: it ends before its next data frame.`);
}

// A boot counts each phase (the loader, then each chunk of the image) from zero: the
// figures say which phase, and what the files hold in all.
function bytesText(s, bytes, total, mine) {
  const phase = s.state === 'loader' ? 'Loader: ' : s.state === 'firmware' ? 'Image, this chunk: ' : '';
  let t = total ? `${phase}${fmtBytes(bytes)} of ${fmtBytes(total)}` : fmtBytes(bytes);
  if (mine && mine.loader != null) t += ` (files: loader ${fmtBytes(mine.loader)}, image ${fmtBytes(mine.image)})`;
  return t;
}

function transferTitle(s, mine) {
  if (!s.state || s.state === 'idle') return 'No transfer yet';
  if (mine) return mine.title;
  return running(s) ? 'A transfer started elsewhere (kivoctl or another page)' : 'The latest transfer';
}

// A transfer's bar, and its figures for assistive technology.
function drawBar(bar, bytes, total) {
  bar.max = total && total > 0 ? total : 1;
  bar.value = total && bytes !== null ? Math.min(bytes, total) : 0;
  bar.setAttribute('aria-valuetext', total ? `${fmtBytes(bytes)} of ${fmtBytes(total)}` : 'not started');
}

const stateWords = (t) => [t.state, t.description].filter((x) => typeof x === 'string' && x).join(': ');
const failedText = (r) => (r ? `The transfer failed: ${r.text || r.name || 'no reason given'}.` : '');

const nonNegative = (n) => (typeof n === 'number' && isFinite(n) && n >= 0 ? n : null);

// Draws the transfer from the store.
function renderTransfer({ status: s, mine }) {
  const bytes = nonNegative(s.bytes);
  const total = nonNegative(s.total);
  const rate = nonNegative(s.rate);
  drawBar($('fw-bar'), bytes, total);
  $('fw-bytes').textContent = bytesText(s, bytes, total, mine);
  $('fw-rate').textContent = rate !== null ? `${fmtBytes(Math.round(rate))}/s` : '–';
  $('fw-left').textContent = s.final ? '–'
    : rate && total && bytes !== null ? fmtSeconds((total - bytes) / rate) : '–';
  $('fw-retx').textContent = nonNegative(s.retransmissions) ?? '–';
  $('fw-state').textContent = stateWords(s) || 'No transfer yet.';
  const reason = s.final && s.reason && typeof s.reason === 'object' ? s.reason : null;
  $('fw-reason').hidden = !reason;
  $('fw-reason').textContent = failedText(reason);
  // Stop is for a running transfer only: it never cancels one that is not shown.
  $('fw-stop').disabled = !running(s);
  $('fw-transfers').querySelector('.fw-title').textContent = transferTitle(s, mine);
}

// Draws the queue table and the buttons from the store.
function renderQueue({ rows, queue }) {
  $('fw-queue').tBodies[0].replaceChildren(...rows.map((r) => el('tr', {},
    el('th', { scope: 'row', text: r.label }), el('td', { text: r.iface }), el('td', { text: r.result }))));
  $('fw-queue-empty').hidden = rows.length > 0;
  $('fw-upgrade').disabled = !!queue;
  $('fw-boot').disabled = !!queue;
}

function setRow(i, result) {
  fw().rows[i].result = result;
  renderQueue(fw());
}

// Takes a status reply (from /api/firmware/status, /api/health or the event stream).
export function firmwareEvent(s) {
  if (!s || typeof s !== 'object') return;
  const f = fw();
  // A reply overtaken by a newer one (a poll answered after the stream's next event).
  if (typeof s.seq === 'number' && typeof f.status?.seq === 'number' && s.seq < f.status.seq) return;
  f.status = s;
  if (running(s) && !f.active) f.mine = null; // a transfer this page did not start
  renderTransfer(f);
  for (const w of waiters) w(s);
}

// Resolves with the final status of the transfer just started. The status is asked
// for every second as well as taken from the event stream, which may be cut by a proxy.
function finalStatus() {
  return new Promise((resolve) => {
    let timer = null;
    const done = (s) => {
      if (!s.final) return;
      waiters.delete(done);
      clearInterval(timer);
      resolve(s);
    };
    waiters.add(done);
    timer = setInterval(() => {
      get('/api/firmware/status').then(firmwareEvent, (err) => {
        showError(err.text('Asking for the firmware status failed'));
      });
    }, 1000);
    get('/api/firmware/status').then(firmwareEvent, () => {});
  });
}

function outcome(s) {
  if (s.reason && typeof s.reason === 'object') return `Failed: ${s.reason.text || s.reason.name}`;
  return stateWords(s) || 'Ended';
}

// A MAC the user wrote: a device's own address (the group bit of the first byte clear).
function namedDevice() {
  const text = $('fw-mac').value.trim().toLowerCase().replaceAll('-', ':');
  if (!text) return null;
  if (!/^[0-9a-f]{2}(:[0-9a-f]{2}){5}$/.test(text)) {
    return { error: `"${$('fw-mac').value.trim()}" is not a MAC address: write it as 02:00:00:00:40:01.` };
  }
  if (parseInt(text.slice(0, 2), 16) & 1) {
    return { error: `${text} is a group (broadcast or multicast) address, not a device's: write the device's own MAC.` };
  }
  const iface = $('fw-iface').value;
  if (!iface) return { error: 'Choose the interface on which the device is connected.' };
  return { kind: 'device', mac: text, interface: iface };
}

function targets() {
  const named = namedDevice();
  if (named) return named.error ? named : [named];
  if (state.selected.size) return state.devices.filter((d) => state.selected.has(d.mac));
  return state.current ? [state.current] : [];
}

function fileOf(id, what) {
  const f = $(id).files[0];
  if (!f) {
    showError(`Choose the ${what} first (${$(id).labels[0].textContent}).`);
    $(id).focus();
    return null;
  }
  if (f.size === 0) {
    showError(`The ${what} ${f.name} is empty: choose another file.`);
    return null;
  }
  return f;
}

async function upgrade() {
  showError('');
  const list = targets();
  if (list.error) {
    showError(list.error);
    $('fw-mac').focus();
    return;
  }
  if (list.length === 0) {
    showError('No device to upgrade: write its MAC above, tick devices in the Devices table, or open one.');
    return;
  }
  const image = fileOf('fw-image', 'firmware image');
  if (!image) return;
  const n = list.length;
  const ok = await confirmDialog(`Upgrade ${n === 1 ? list[0].mac : `${n} devices`} with ${image.name}?`,
    [el('p', { text: `The firmware image ${image.name} (${fmtBytes(image.size)}) goes to:` }),
      el('ul', {}, ...list.map((d) => el('li', { text: `${d.mac} on ${d.interface}` }))),
      el('p', { text: 'A device restarts with the new firmware once it has it all.' })], 'Start the upgrade');
  if (!ok) {
    setStatus('No upgrade was started.');
    return;
  }
  const f = fw();
  f.queue = { stopped: false };
  f.rows = list.map((d) => ({ label: d.mac, iface: d.interface, result: 'Waiting' }));
  renderQueue(f);
  let upgraded = 0;
  for (const [i, d] of list.entries()) {
    if (f.queue.stopped) {
      setRow(i, 'Not started: the queue was stopped');
      continue;
    }
    setRow(i, 'Starting');
    f.active = true;
    f.mine = { title: `Upgrade of ${d.mac} with ${image.name} (this page)` };
    const form = new FormData();
    form.append('interface', d.interface);
    form.append('mac', d.mac);
    form.append('vlan', String(state.vlan));
    form.append('image', image, image.name);
    const started = await run(`Starting the upgrade of ${d.mac} with ${image.name}`,
      () => post('/api/firmware/upgrade', form));
    if (!started) {
      f.active = false;
      setRow(i, `Not started: ${$('error').textContent}`);
      continue;
    }
    setRow(i, 'Transferring');
    setStatus(`Upgrading ${d.mac} with ${image.name}.`);
    const end = await finalStatus();
    f.active = false;
    setRow(i, outcome(end));
    if (!end.reason) upgraded++;
  }
  f.queue = null;
  renderQueue(f);
  setStatus(`Upgrade finished: ${upgraded} of ${n} device${n === 1 ? '' : 's'} upgraded.`);
}

async function boot() {
  showError('');
  const loader = fileOf('fw-loader', 'loader');
  if (!loader) return;
  const image = fileOf('fw-image', 'firmware image');
  if (!image) return;
  const iface = $('fw-iface').value;
  if (!iface) {
    showError('Choose the interface on which the device waits in its boot ROM.');
    return;
  }
  const form = new FormData();
  form.append('interface', iface);
  form.append('vlan', String(state.vlan));
  form.append('loader', loader, loader.name);
  form.append('image', image, image.name);
  const f = fw();
  f.queue = { stopped: false };
  f.rows = [{ label: 'Ethernet boot', iface, result: 'Starting' }];
  f.active = true;
  f.mine = { title: `Ethernet boot on ${iface} (this page)`, loader: loader.size, image: image.size };
  renderQueue(f);
  const started = await run(`Starting the Ethernet boot on ${iface}`, () => post('/api/firmware/boot', form));
  if (started) {
    setRow(0, 'Transferring');
    setStatus(`Ethernet boot on ${iface}: waiting for a device in its boot ROM.`);
    const end = await finalStatus();
    setRow(0, outcome(end));
    setStatus(`Ethernet boot on ${iface} ended.`);
  } else {
    setRow(0, `Not started: ${$('error').textContent}`);
  }
  f.active = false;
  f.queue = null;
  renderQueue(f);
}

async function stop() {
  if (fw().queue) fw().queue.stopped = true;
  const reply = await run('Stopping the firmware transfer', () => post('/api/firmware/stop'));
  if (reply) setStatus('Stop sent: the transfer ends before its next data frame; the queue starts no other device.');
}

export function initFirmware() {
  $('fw-upgrade').addEventListener('click', upgrade);
  $('fw-boot').addEventListener('click', boot);
  $('fw-stop').addEventListener('click', stop);
  $('fw-mac').addEventListener('input', () => showError(''));
  renderQueue(fw());
  firmwareEvent({ final: true });
}
