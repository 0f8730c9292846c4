// What the views share: the page's state, the status and error lines, the two
// dialogs and small formatters. Passwords live in `state.passwords` only: the tab's
// memory, gone with the tab (never in web storage or cookies).

export const state = {
  devices: [],          // the last discovery, as the service sent it
  current: null,        // the open device {kind, mac, interface}
  vlan: 0,
  passwords: new Map(), // MAC -> password, for this tab only
  params: [],           // the open device's parameters from the last read
  pending: new Map(),   // edited values waiting for Apply: name -> text to write
  collapsed: new Set(), // folded groups of the parameter table (dotted prefixes)
  selected: new Set(),  // MACs ticked in the Devices table (the firmware queue)
  // The Firmware view (firmware.js): the latest status, what this page started, its queue.
  firmware: { status: null, mine: null, active: false, queue: null, rows: [], items: 0 },
  // The Watch view (watch.js): the device and names watched, and the values read so far.
  watch: { watched: null, series: new Map() },
};

// Views announce changes to each other here ("device", "params", "interfaces").
export const bus = new EventTarget();
export const emit = (type, detail) => bus.dispatchEvent(new CustomEvent(type, { detail }));

export const $ = (id) => document.getElementById(id);

// Switches views through the address, so that Back works and a view can be linked.
export function go(view) {
  if (location.hash !== `#${view}`) location.hash = view;
}

export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') node.className = v;
    else if (k === 'text') node.textContent = v;
    else if (k in node && !k.startsWith('aria') && !k.startsWith('data')) node[k] = v;
    else node.setAttribute(k, v);
  }
  for (const c of children) node.append(c);
  return node;
}

export function setStatus(text) {
  $('status').textContent = text;
}

export function showError(text) {
  const box = $('error');
  box.textContent = text;
  box.hidden = !text;
}

// Runs an action with its status line; a failure shows the service's reason text.
export async function run(doing, fn) {
  showError('');
  setStatus(`${doing}…`);
  try {
    const result = await fn();
    // The caller says what came of it; a status nobody replaced does not linger.
    if ($('status').textContent === `${doing}…`) setStatus('');
    return result;
  } catch (err) {
    setStatus('');
    showError(err.text ? err.text(`${doing} failed`) : `${doing} failed: ${err.message}`);
    // kivo-web or kivohost may be gone: the header says so at once.
    if (err.status === 503 || err.status === 0) emit('service-check');
    return undefined;
  }
}

export function deviceLabel(d) {
  return `${d.kind} device ${d.mac} on ${d.interface}`;
}

// The request fields that name a device.
export function deviceFields(d, protocol) {
  return { interface: d.interface, mac: d.mac, vlan: state.vlan, protocol };
}

// Asks for the device's password once per tab; null when the user cancels.
export function password(d) {
  if (state.passwords.has(d.mac)) return Promise.resolve(state.passwords.get(d.mac));
  const dialog = $('pw-dialog');
  const input = $('pw');
  $('pw-for').textContent = `For the ${deviceLabel(d)}. Kept in this tab's memory only.`;
  input.value = '';
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => {
      const ok = dialog.returnValue === 'ok';
      const value = input.value;
      input.value = '';
      if (ok) state.passwords.set(d.mac, value);
      resolve(ok ? value : null);
    }, { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    input.focus();
  });
}

// A modal question; resolves true when the user presses the OK button.
export function confirmDialog(title, body, okLabel) {
  const dialog = $('confirm-dialog');
  $('confirm-title').textContent = title;
  $('confirm-body').replaceChildren(...(Array.isArray(body) ? body : [el('p', { text: body })]));
  $('confirm-ok').textContent = okLabel;
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    // The safe choice has the focus: Enter alone never resets or writes anything.
    dialog.querySelector('button[value=cancel]').focus();
  });
}

export function fmtBytes(n) {
  if (n == null) return '–';
  if (n < 1024) return `${n} B`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KiB`;
  return `${(n / 1048576).toFixed(2)} MiB`;
}

export function fmtSeconds(s) {
  if (s == null || !isFinite(s)) return '–';
  s = Math.round(s);
  return s < 60 ? `${s} s` : `${Math.floor(s / 60)} min ${s % 60} s`;
}

export function fmtTime(iso) {
  if (!iso) return '';
  const t = new Date(iso);
  return isNaN(t) ? iso : t.toLocaleTimeString();
}

export function timeEl(iso) {
  return el('time', { dateTime: iso || '', text: fmtTime(iso) });
}
