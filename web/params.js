// The Device view: the open device's parameters as a tree of dotted names, edited in
// place and written with Apply; the factory reset.
//
// A typed value is checked by the service's own rules (/api/params/check) before it
// may be written: the page has no copy of the type rules that could drift from them.
import { mayBeWrongPassword, post } from './api.js';
import { $, confirmDialog, deviceFields, deviceLabel, el, emit, password, run, setStatus, showError, state }
  from './ui.js';
import { begin, figure, figureDrawn } from './figures.js';

// The view's data lives in the store (state.params, state.pending, state.collapsed); the
// table is drawn from it. A parameter row carries its name (data-name), a group row its
// dotted prefix (data-prefix): nothing else ties the drawn table to the data.
// A larger table starts with its top groups folded: a thousand rows are no use to read
// whole, and drawing them costs the browser more than everything else of a Read all.
const foldAbove = 200;

function protocolFor(d) {
  return d.kind === 'scp' ? 'scp' : 'lcmp';
}

export function openDevice(d) {
  const same = state.current && state.current.mac === d.mac && state.current.interface === d.interface;
  state.current = d;
  $('device-none').hidden = true;
  $('device-body').hidden = false;
  $('device-title').textContent = deviceLabel(d);
  $('h-device').textContent = `Device ${d.mac}`;
  if (!same) {
    $('protocol').value = protocolFor(d);
    state.params = [];
    state.pending.clear();
    $('write-results-box').hidden = true;
    renderParams();
    emit('params', state.params);
  }
}

// What a request about the open device carries; null when the user gave no password.
async function request() {
  const d = state.current;
  const pw = await password(d);
  if (pw === null) {
    setStatus('No password given: nothing was sent to the device.');
    return null;
  }
  return { ...deviceFields(d, $('protocol').value), password: pw };
}

// A rejected password is forgotten, so that the next action asks again. An LCMP device
// ignores a request enciphered with the wrong password, so silence may mean the same.
function forgetIfRejected(d, err) {
  if (mayBeWrongPassword(err)) state.passwords.delete(d.mac);
}

async function call(doing, path, extra) {
  const d = state.current;
  const fields = await request();
  if (!fields) return null; // no password given: nothing was sent
  return run(doing, async () => {
    try {
      return await post(path, { ...fields, ...extra });
    } catch (err) {
      forgetIfRejected(d, err);
      throw err;
    }
  });
}

function validParams(reply) {
  if (!reply || !Array.isArray(reply.params)) return [];
  return reply.params.filter((p) => p && typeof p.name === 'string')
    .map((p) => ({ name: p.name, value: p.value == null ? '' : String(p.value),
      type: typeof p.type === 'string' ? p.type : null,
      elements: Number.isInteger(p.elements) ? p.elements : null, refused: p.refused === true }));
}

async function readAll() {
  const button = $('read-all');
  button.disabled = true;
  begin('read-all');
  const reply = await call(`Reading every parameter of ${state.current.mac}`, '/api/params/read', { names: [] });
  button.disabled = false;
  if (reply === undefined) markStale(); // the read failed: what is shown may be old
  if (!reply) return;
  begin('params');
  state.params = validParams(reply);
  state.pending.clear();
  renderParams();
  figure('params-script', 'params');
  // The whole Read all, and the page's own share of it, up to the table on screen.
  figureDrawn(['params-table', 'params'], ['read-all', 'read-all']);
  setStatus(`Read ${state.params.length} parameters of ${state.current.mac}.` + (state.params.length > foldAbove
    ? ' The groups are folded: open one, or type in Filter.' : ''));
  emit('params', state.params);
}

// --- The table ------------------------------------------------------------------

// The dotted prefixes of a name, outermost first: SYSTEM, SYSTEM.GENERAL for
// SYSTEM.GENERAL.NAME.
function prefixes(name) {
  const parts = name.split('.');
  return parts.slice(1).map((_, i) => parts.slice(0, i + 1).join('.'));
}

// Whether a folded group encloses the name (a parameter's or a group's own prefix).
const foldedAbove = (name) => prefixes(name).some((p) => state.collapsed.has(p));

const tableRows = () => [...$('params').tBodies[0].rows];
const paramRow = (name) => tableRows().find((r) => r.dataset.name === name);
const paramNamed = (name) => state.params.find((p) => p.name === name);

function topGroups() {
  return new Set(state.params.filter((p) => p.name.includes('.')).map((p) => p.name.split('.')[0]));
}

// Group rows for every prefix of the dotted names (SYSTEM, SYSTEM.GENERAL), each with
// a button that folds its members; parameter rows show the last part of the name.
function renderParams() {
  const sorted = [...state.params].sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  const body = document.createDocumentFragment();
  const drawn = new Set();
  for (const p of sorted) {
    const parts = p.name.split('.');
    prefixes(p.name).forEach((prefix, i) => {
      if (drawn.has(prefix)) return;
      drawn.add(prefix);
      const button = el('button', { type: 'button', class: 'fold', 'aria-expanded': 'true', text: parts[i] });
      button.dataset.prefix = prefix;
      const row = el('tr', { class: `group level${Math.min(i + 1, 4)}` },
        el('th', { scope: 'rowgroup', colSpan: 3 }, button, el('span', { class: 'muted count' })));
      row.dataset.prefix = prefix;
      body.append(row);
    });
    const row = el('tr', { class: `param level${Math.min(parts.length, 4)}`, tabIndex: -1 },
      // The cell shows the last part under its group rows; its name is the whole one.
      el('th', { scope: 'row', title: p.name, 'aria-label': p.name, text: parts[parts.length - 1] }),
      el('td', { text: p.type ? (p.elements > 1 ? `${p.type} ×${p.elements}` : p.type) : '–' }),
      el('td', { class: 'value' }));
    row.dataset.name = p.name;
    showValue(p, row);
    body.append(row);
  }
  state.collapsed.clear();
  if (state.params.length > foldAbove) for (const g of topGroups()) state.collapsed.add(g);
  $('params').tBodies[0].replaceChildren(body);
  // The first parameter row takes the focus stop of the table (roving tabindex).
  const first = tableRows().find((r) => r.dataset.name !== undefined);
  if (first) first.tabIndex = 0;
  applyFilter();
  updateApply();
}

// Draws a parameter's value cell; the device's text for a write it refused stays under the
// value until the next read.
function showValue(param, row) {
  const valueCell = row.cells[2];
  const changed = state.pending.has(param.name);
  row.classList.toggle('changed', changed);
  row.classList.toggle('stale', param.stale === true && !changed);
  row.title = param.stale ? 'Not read since the last write, reset or failed read: Read all reads it again.' : '';
  row.classList.toggle('refused', param.refused);
  if (param.refused) {
    valueCell.replaceChildren(el('span', { class: 'refused-text', text: `Refused by the device: ${param.value}` }));
  } else if (changed) {
    valueCell.replaceChildren(el('span', { text: state.pending.get(param.name) }),
      el('span', { class: 'muted', text: ` (was ${param.value}; Apply writes it)` }));
  } else {
    valueCell.replaceChildren(param.value);
  }
  if (param.refusal) valueCell.append(el('span', { class: 'refused-text', text: ` ${param.refusal}` }));
}

function applyFilter() {
  const words = $('filter').value.trim().toLowerCase().split(/\s+/).filter(Boolean);
  const matches = new Set();
  const counts = new Map();
  for (const p of state.params) {
    if (!words.every((w) => `${p.name} ${p.value}`.toLowerCase().includes(w))) continue;
    matches.add(p.name);
    for (const prefix of prefixes(p.name)) counts.set(prefix, (counts.get(prefix) || 0) + 1);
  }
  // A filter shows every match, folded or not; folds apply to the whole tree.
  const filtering = words.length > 0;
  for (const row of tableRows()) {
    const prefix = row.dataset.prefix;
    if (prefix === undefined) {
      row.hidden = !matches.has(row.dataset.name) || (!filtering && foldedAbove(row.dataset.name));
      continue;
    }
    const n = counts.get(prefix) || 0;
    row.hidden = n === 0 || (!filtering && foldedAbove(prefix));
    row.querySelector('.count').textContent = ` ${n}`;
    const button = row.querySelector('button');
    button.disabled = filtering;
    button.setAttribute('aria-expanded', String(filtering || !state.collapsed.has(prefix)));
  }
  const total = state.params.length;
  $('param-count').textContent = total === 0 ? 'No parameters read yet.'
    : words.length ? `${matches.size} of ${total} parameters match.` : `${total} parameters.`;
}

function fold(prefix, close) {
  if (close) state.collapsed.add(prefix);
  else state.collapsed.delete(prefix);
  applyFilter();
}

// --- Editing --------------------------------------------------------------------

// A legacy (SCP) device gives no types: its values are free text, written as typed.
function editable(param) {
  return param && !param.refused;
}

// Every value shown is marked as not read since (a write, a reset or a failed read may
// have changed or lost it), except the names given.
function markStale(except = []) {
  const fresh = new Set(except);
  for (const p of state.params) if (!fresh.has(p.name)) p.stale = true;
  for (const row of tableRows()) if (row.dataset.name !== undefined) showValue(paramNamed(row.dataset.name), row);
}

function startEdit(name) {
  const param = paramNamed(name);
  const row = paramRow(name);
  if (!row) return;
  if (!editable(param)) {
    setStatus(`${name} cannot be edited: the device refused to read it.`);
    return;
  }
  const valueCell = row.cells[2];
  if (valueCell.querySelector('input')) return;
  const input = el('input', { type: 'text', value: state.pending.get(param.name) ?? param.value,
    'aria-label': `New value of ${param.name}`, spellcheck: false, autocomplete: 'off' });
  const note = el('span', { class: 'edit-note', role: 'status' });
  note.id = `note-${Math.random().toString(36).slice(2)}`;
  input.setAttribute('aria-describedby', note.id);
  valueCell.replaceChildren(input, note);
  input.focus();
  input.select();
  let busy = false;
  const finish = (refocus) => {
    showValue(param, row);
    updateApply();
    if (refocus) row.focus();
  };
  input.addEventListener('keydown', async (e) => {
    if (e.key === 'Escape') {
      e.preventDefault();
      finish(true);
    } else if (e.key === 'Enter') {
      e.preventDefault();
      if (busy) return;
      busy = true;
      const ok = await accept(param, input.value, note);
      busy = false;
      if (ok) finish(true);
    }
  });
  const before = input.value;
  input.addEventListener('blur', () => {
    // Leaving an untouched box closes it. A box with typed text stays open, so the text
    // is neither lost nor kept unchecked: Enter checks it, Escape drops it.
    if (busy || input.value !== before) return;
    setTimeout(() => { if (document.activeElement !== input && input.isConnected) finish(false); }, 0);
  });
}

// Asks the service whether the text is a value of the parameter's type.
async function accept(param, text, note) {
  if (text === param.value) {
    state.pending.delete(param.name);
    return true;
  }
  if (param.type === null) {
    // No type to check against: the device has the last word, and the write says it.
    state.pending.set(param.name, text);
    return true;
  }
  note.textContent = ' Checking…';
  let reply;
  try {
    reply = await post('/api/params/check', { type: param.type, value: text, name: param.name });
  } catch (err) {
    note.textContent = ` ${err.text(`Checking the value for ${param.name} failed`)}`;
    return false;
  }
  if (!reply || reply.ok !== true) {
    const why = reply && typeof reply.message === 'string' && reply.message.trim()
      ? reply.message.trim().replace(/\.+$/, '') : 'the service gave no reason';
    note.textContent = ` ${why}. Correct it, or press Escape.`;
    return false;
  }
  state.pending.set(param.name, text);
  return true;
}

function updateApply() {
  const n = state.pending.size;
  $('apply').disabled = n === 0;
  $('pending-count').textContent = n ? `${n} change${n === 1 ? '' : 's'} to write.` : '';
}

// The changes, as the confirmation lists them; a value without a type goes as typed.
function changesTable(changes) {
  return el('table', { class: 'grid' },
    el('caption', { text: 'Changes' }),
    el('thead', {}, el('tr', {}, el('th', { scope: 'col', text: 'Parameter' }),
      el('th', { scope: 'col', text: 'Now' }), el('th', { scope: 'col', text: 'New' }))),
    el('tbody', {}, ...changes.map(([name, value]) => el('tr', {},
      el('th', { scope: 'row', text: name }), el('td', { text: paramNamed(name)?.value ?? '' }),
      el('td', { text: paramNamed(name)?.type === null ? `${value} (as written: no type to check)` : value })))));
}

// Per name what became of the write, from the service's results: written, refused with
// the device's text, or not written and why.
function outcomes(reply, names) {
  const results = reply && Array.isArray(reply.results) ? reply.results : [];
  const byName = new Map(results.filter((r) => r && typeof r.name === 'string').map((r) => [r.name, r]));
  return names.map((name) => {
    const r = byName.get(name);
    return { name, result: r && typeof r.result === 'string' ? r.result : 'not written',
      text: r && typeof r.text === 'string' ? r.text : 'the service did not tell' };
  });
}

function showOutcomes(d, list) {
  const table = $('write-results');
  table.tBodies[0].replaceChildren(...list.map((o) => el('tr', { class: o.result === 'written' ? '' : 'bad' },
    el('th', { scope: 'row', text: o.name }), el('td', { text: o.result }), el('td', { text: o.text || '' }))));
  $('write-results-box').hidden = list.length === 0;
  const written = list.filter((o) => o.result === 'written').length;
  const failed = list.filter((o) => o.result !== 'written');
  if (failed.length) {
    const refused = failed.filter((o) => o.result === 'refused');
    showError(`${written} of ${list.length} values written to ${d.mac}; ` +
      `${refused.length ? `the device refused ${refused.map((o) => `${o.name} (${o.text})`).join(', ')}` : ''}` +
      `${refused.length && refused.length < failed.length ? '; ' : ''}` +
      failed.filter((o) => o.result !== 'refused').map((o) => `${o.name} not written: ${o.text}`).join('; ') +
      '. The table Write results lists each one.');
    setStatus('');
  } else {
    setStatus(`Wrote ${written} value${written === 1 ? '' : 's'} to ${d.mac}.`);
  }
}

async function apply() {
  const d = state.current;
  const changes = [...state.pending.entries()];
  if (changes.length === 0) return;
  const ok = await confirmDialog(`Write ${changes.length} value${changes.length === 1 ? '' : 's'} to ${d.mac}?`,
    [el('p', { text: `These changes go to the ${deviceLabel(d)}:` }), changesTable(changes)], 'Write');
  if (!ok) {
    setStatus('Nothing was written.');
    return;
  }
  const reply = await call(`Writing ${changes.length} values to ${d.mac}`, '/api/params/write',
    { values: Object.fromEntries(changes) });
  if (reply === undefined) markStale(); // the write failed: what the device holds is unknown
  if (!reply) return;
  const names = changes.map(([name]) => name);
  const told = outcomes(reply, names);
  for (const name of names) state.pending.delete(name);
  await readBack(d, names, told);
  showOutcomes(d, told);
}

// What the device holds now comes from a read, not from what we sent; the rest of the
// table was not read since the write.
async function readBack(d, names, told) {
  const back = await call(`Reading back the written values of ${d.mac}`, '/api/params/read', { names });
  const fresh = back ? validParams(back).filter((p) => !p.refused).map((p) => p.name) : [];
  for (const p of back ? validParams(back) : []) {
    const param = paramNamed(p.name);
    if (param && !p.refused) Object.assign(param, { value: p.value, refused: false, stale: false });
  }
  markStale(fresh);
  const refusals = new Map(told.filter((o) => o.result !== 'written').map((o) => [o.name, o]));
  for (const name of names) {
    const param = paramNamed(name);
    const row = paramRow(name);
    if (!param || !row) continue;
    const o = refusals.get(name);
    param.refusal = o ? (o.result === 'refused' ? `Write refused: ${o.text}` : `Not written: ${o.text}`) : undefined;
    showValue(param, row);
  }
  updateApply();
}

async function factoryReset() {
  const d = state.current;
  const ok = await confirmDialog(`Factory reset ${d.mac}?`,
    `Every parameter of the ${deviceLabel(d)} goes back to its factory value. This cannot be undone.`,
    `Reset ${d.mac}`);
  if (!ok) {
    setStatus(`${d.mac} was not reset.`);
    return;
  }
  const reply = await call(`Factory reset of ${d.mac}`, '/api/reset', {});
  if (reply && reply.done === true) {
    markStale();
    setStatus(`${d.mac} was reset to its factory values. Read all shows them.`);
  }
}

// --- Keyboard -----------------------------------------------------------------

function moveFocus(from, delta) {
  const list = tableRows().filter((r) => !r.hidden);
  const i = list.indexOf(from);
  const to = list[Math.max(0, Math.min(list.length - 1, i + delta))];
  if (!to) return;
  const target = to.classList.contains('group') ? to.querySelector('button') : to;
  for (const r of tableRows()) if (r.dataset.name !== undefined) r.tabIndex = -1;
  if (to.classList.contains('param')) to.tabIndex = 0;
  target.focus();
}

export function initDevice() {
  $('read-all').addEventListener('click', readAll);
  $('apply').addEventListener('click', apply);
  $('factory-reset').addEventListener('click', factoryReset);
  $('forget-password').addEventListener('click', () => {
    if (state.current) state.passwords.delete(state.current.mac);
    setStatus('The password of this device is forgotten; the next action asks for it.');
  });
  $('filter').addEventListener('input', () => {
    begin('filter');
    applyFilter();
    figureDrawn(['filter', 'filter']);
  });
  $('expand-all').addEventListener('click', () => {
    begin('expand');
    state.collapsed.clear();
    applyFilter();
    figureDrawn(['expand-all', 'expand']);
  });
  $('collapse-all').addEventListener('click', () => {
    for (const g of topGroups()) state.collapsed.add(g);
    applyFilter();
  });
  const table = $('params');
  table.addEventListener('click', (e) => {
    const button = e.target.closest('button.fold');
    if (button) {
      fold(button.dataset.prefix, button.getAttribute('aria-expanded') === 'true');
      return;
    }
    const cell = e.target.closest('td.value');
    if (cell && !e.target.closest('input')) startEdit(cell.parentElement.dataset.name);
  });
  table.addEventListener('keydown', (e) => {
    if (e.target.tagName === 'INPUT') return;
    const row = e.target.closest('tr');
    if (!row) return;
    if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      moveFocus(row, e.key === 'ArrowDown' ? 1 : -1);
    } else if (e.key === 'Enter' && row.classList.contains('param')) {
      e.preventDefault();
      startEdit(row.dataset.name);
    }
  });
}
