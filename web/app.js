// kivo-web's page: views, the Devices table and the event stream. The Device,
// Firmware and Watch views live in their own modules.
import { get, post } from './api.js';
import { $, bus, el, emit, go, run, setStatus, showError, state, timeEl } from './ui.js';
import { initDevice, openDevice } from './params.js';
import { initFirmware, firmwareEvent, transfersEvent } from './firmware.js';
import { initWatch } from './watch.js';
import { figure } from './figures.js';

const views = ['devices', 'device', 'firmware', 'watch'];

function showView() {
  const name = views.includes(location.hash.slice(1)) ? location.hash.slice(1) : 'devices';
  for (const v of views) $(`view-${v}`).hidden = v !== name;
  for (const a of document.querySelectorAll('nav a')) {
    if (a.dataset.view === name) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
  emit('view', name);
}

// --- Devices ----------------------------------------------------------------

function renderDevices(reply) {
  state.devices = Array.isArray(reply.devices) ? reply.devices : [];
  const known = new Set(state.devices.map((d) => d.mac));
  for (const mac of [...state.selected]) if (!known.has(mac)) state.selected.delete(mac);
  const rows = document.createDocumentFragment();
  state.devices.forEach((d, i) => {
    const box = el('input', { type: 'checkbox', checked: state.selected.has(d.mac),
      'aria-label': `Select ${d.mac} for the firmware queue` });
    // Only a device with parameters opens; one in its boot ROM has none to show.
    const row = opens(d)
      ? el('tr', { tabIndex: 0, 'data-index': i, class: 'open-row', title: 'Enter or click opens the device' })
      : el('tr', { 'data-index': i });
    row.append(el('td', {}, box), el('td', { text: d.kind }),
      el('th', { scope: 'row', text: d.mac }), el('td', { text: d.interface }),
      el('td', {}, timeEl(d.seen)));
    rows.append(row);
  });
  $('devices').tBodies[0].replaceChildren(rows);
  $('devices-empty').hidden = state.devices.length > 0;
  $('discover-time').textContent = reply.time
    ? `Discovery at ${new Date(reply.time).toLocaleTimeString()}` : '';
  updateSelection();
}

function updateSelection() {
  const n = state.selected.size;
  $('queue-selected').disabled = n === 0;
  $('selected-count').textContent = n ? `${n} selected` : '';
  emit('selection', n);
}

const opens = (d) => d.kind === 'lcmp' || d.kind === 'scp';

function rowDevice(target) {
  const row = target.closest('tr[data-index]');
  return row ? state.devices[Number(row.dataset.index)] : null;
}

function initDevices() {
  const table = $('devices');
  table.addEventListener('click', (e) => {
    const d = rowDevice(e.target);
    if (!d) return;
    if (e.target.type === 'checkbox') {
      if (e.target.checked) state.selected.add(d.mac);
      else state.selected.delete(d.mac);
      updateSelection();
      return;
    }
    if (!opens(d)) return;
    openDevice(d);
    go('device');
  });
  table.addEventListener('keydown', (e) => {
    if (e.key !== 'Enter' || e.target.tagName !== 'TR') return;
    const d = rowDevice(e.target);
    if (d && opens(d)) {
      e.preventDefault();
      openDevice(d);
      go('device');
    }
  });
  $('discover-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const vlan = Number($('vlan').value);
    if (!Number.isInteger(vlan) || vlan < 0 || vlan > 4094) {
      $('vlan').focus();
      setStatus('');
      showError('The VLAN must be a whole number from 0 (untagged) to 4094: correct it and discover again.');
      return;
    }
    state.vlan = vlan;
    const button = $('discover');
    button.disabled = true;
    const reply = await run('Discovering (about 6 seconds: two kinds of devices, 3 seconds each)',
      () => post('/api/discover', { interface: $('iface').value, vlan }));
    button.disabled = false;
    if (reply) {
      renderDevices(reply);
      const n = state.devices.length;
      // Devices that answered but would not give their address are told, not counted as none.
      setStatus(n === 0 && typeof reply.note === 'string' ? `Discovery listed no device: ${reply.note}.`
        : `Discovery found ${n} device${n === 1 ? '' : 's'}.`);
    }
  });
  $('queue-selected').addEventListener('click', () => go('firmware'));
}

async function loadInterfaces() {
  const reply = await run('Listing the interfaces', () => get('/api/interfaces'));
  if (!reply) return;
  const list = Array.isArray(reply.interfaces) ? reply.interfaces.filter((i) => i && typeof i.name === 'string') : [];
  const names = list.map((i) => i.name);
  for (const select of [$('iface'), $('fw-iface')]) {
    const keep = select.value;
    const options = list.map((i) =>
      el('option', { value: i.name, text: i.up ? i.name : `${i.name} (down)` }));
    if (select.id === 'iface') options.unshift(el('option', { value: '', text: 'All interfaces' }));
    select.replaceChildren(...options);
    if (keep && names.includes(keep)) select.value = keep;
  }
  emit('interfaces', names);
}

// --- Service state and events --------------------------------------------------

const startHint = 'start it with systemctl start kivohost.socket, or scripts/run.sh in the source tree';

// Bumped by each word on the service's state: an answer that set out before the latest
// word is not drawn over it.
let serviceWord = 0;

function showService(up, version) {
  serviceWord++;
  $('service-state').textContent = up ? `kivohost ${version || ''} up` : `kivohost does not answer: ${startHint}.`;
  $('service-state').classList.toggle('down', !up);
}

async function showHealth() {
  const asked = serviceWord;
  try {
    const health = await get('/api/health');
    // The version is asked only of a service that answers, and its failure means down.
    const version = health.service === 'up' ? await get('/api/version').then((v) => v.service, () => null) : null;
    if (asked === serviceWord) showService(version !== null, version);
    if (health.transfer) firmwareEvent(health.transfer);
    transfersEvent(health.transfers);
  } catch (err) {
    if (asked !== serviceWord) return;
    serviceWord++;
    $('service-state').textContent = err.text ? err.text('') : String(err);
    $('service-state').classList.add('down');
  }
}

// The service's word on its state: kivo-web reads it every few seconds, and a change is
// told at once.
function serviceEvent(s) {
  if (s.service === 'down') showService(false);
  else if ($('service-state').classList.contains('down') || !$('service-state').textContent) showHealth();
}

function listen() {
  // One stream for the tab: firmware progress and discoveries made elsewhere. The
  // browser reconnects by itself when the stream breaks.
  const events = new EventSource('/api/events');
  const handlers = { firmware: firmwareEvent, transfers: transfersEvent, discovery: renderDevices,
    service: serviceEvent };
  for (const [type, handle] of Object.entries(handlers)) {
    events.addEventListener(type, (e) => {
      try {
        handle(JSON.parse(e.data));
      } catch {
        // A malformed event is skipped; the next one carries the whole state again.
      }
    });
  }
  events.addEventListener('open', () => $('service-state').classList.remove('stream-down'));
  events.addEventListener('error', () => $('service-state').classList.add('stream-down'));
}

async function start() {
  window.addEventListener('hashchange', showView);
  bus.addEventListener('service-check', showHealth);
  initDevices();
  initDevice();
  initFirmware();
  initWatch();
  showView();
  listen();
  await Promise.all([showHealth(), loadInterfaces(),
    get('/api/devices').then(renderDevices, () => {})]);
  // From navigation start to the Devices table on screen: the figure of the first load.
  figure('devices-shown');
}

start();
