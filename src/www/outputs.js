// Outputs page: every entry of channeloutputs.json as fields: the UDP
// engine (its interface picked from the board's) with a card per
// destination showing its protocol's keys, generic UDP, virtual and local
// displays; and the whole file as JSON. The daemon checks it before saving.
import { $, el, kivApi, kivEdits, showResult, selectOf, labelled, checkbox, watchChanges } from './setup.js';

const PROTOCOLS = ['E1.31 multicast', 'E1.31', 'Art-Net broadcast', 'Art-Net', 'DDP', 'DDP (from 0)', 'KiNet v1', 'KiNet v2', 'Twinkly'];
// The keys each protocol reads besides the common ones.
const PROTOCOL_KEYS = {
  0: [['universe', 'Universe', 1], ['universeCount', 'Universes', 1], ['priority', 'Priority', 100], ['sourceName', 'Source name', '']],
  1: [['universe', 'Universe', 1], ['universeCount', 'Universes', 1], ['priority', 'Priority', 100], ['sourceName', 'Source name', '']],
  2: [['universe', 'Universe', 0], ['universeCount', 'Universes', 1]],
  3: [['universe', 'Universe', 0], ['universeCount', 'Universes', 1]],
  6: [['id', 'First port', 1], ['universeCount', 'Universes', 1]],
  7: [['id', 'First port', 1], ['universeCount', 'Universes', 1]],
};
let doc = { channelOutputs: [] };
let interfaces = [];

async function load() {
  const [r, i] = await Promise.all([kivApi('GET', '/kivd/config/outputs'), kivApi('GET', '/kivd/interfaces')]);
  if (i.ok) interfaces = i.data.filter((x) => !x.loopback).map((x) => [x.name, x.name + (x.addresses.length ? ' (' + x.addresses[0] + ')' : '')]);
  if (!r.ok) return showResult($('outputs-result'), r);
  doc = r.data.outputs;
  if (!Array.isArray(doc.channelOutputs)) doc.channelOutputs = [];
  kivEdits.pending = false;
  render();
  if (r.data.problems) showResult($('outputs-result'), { ok: false, data: { problems: r.data.problems } });
}

function edited() { kivEdits.pending = true; sync(); }

function udpEntry() {
  let e = doc.channelOutputs.find((o) => o.type === 'UDP');
  if (!e) { e = { type: 'UDP', enabled: 1, universes: [] }; doc.channelOutputs.unshift(e); }
  if (!e.universes) e.universes = [];
  return e;
}

// A field of an object: numbers stay numbers.
function field(o, key, title, props, fallback) {
  const number = (props || {}).type === 'number';
  const value = o[key] === undefined ? (fallback === undefined ? '' : fallback) : o[key];
  const input = el('input', Object.assign({ value, autocomplete: 'off' }, props || {}));
  input.onchange = () => {
    if (input.value === '') delete o[key];
    else o[key] = number || /^-?\d+$/.test(input.value) && typeof fallback === 'number' ? Number(input.value) : input.value;
    edited();
  };
  return labelled(title, input, key);
}
function flag(o, key, title, def) {
  const c = checkbox(title, o[key] === undefined ? def : !!o[key]);
  c.firstChild.onchange = () => { o[key] = c.firstChild.checked ? 1 : 0; edited(); };
  c.classList.add(key);
  return c;
}
const num = (o, key, title, def, cls) => field(o, key, title, { type: 'number', className: cls || 'num' }, def);

function removeButton(list, i, what) {
  const del = el('button', { textContent: '\u2715', className: 'danger', 'aria-label': 'Remove ' + what });
  del.onclick = () => { list.splice(i, 1); edited(); render(); };
  return del;
}

function renderUdp() {
  const has = doc.channelOutputs.some((o) => o.type === 'UDP');
  const e = has ? udpEntry() : { universes: [] };
  const box = $('udp-entry');
  box.textContent = '';
  if (has) {
    const iface = selectOf([['', 'the default (first wired)']].concat(interfaces), e.interface || '');
    iface.onchange = () => { if (iface.value) e.interface = iface.value; else delete e.interface; edited(); };
    box.append(flag(e, 'enabled', 'Sends', 1), flag(e, 'threaded', 'Controllers in parallel', 1), labelled('Network interface', iface, 'interface'));
  }
  const list = $('destinations');
  list.textContent = '';
  e.universes.forEach((u, i) => {
    const type = Number(u.type || 0);
    const proto = selectOf(PROTOCOLS.map((p, n) => [String(n), p]), String(type));
    proto.onchange = () => { u.type = Number(proto.value); edited(); render(); };
    const fields = [flag(u, 'active', 'Active', 1), field(u, 'description', 'Description', { className: 'name' }),
      labelled('Protocol', proto, 'protocol')];
    if (type !== 0) fields.push(field(u, 'address', type === 2 ? 'Broadcast address' : 'Address', { className: 'name', inputMode: 'url' }));
    fields.push(num(u, 'startChannel', 'Start channel', 1), num(u, 'channelCount', type <= 3 || type === 6 || type === 7 ? 'Channels per universe' : 'Channels', 512));
    for (const [key, title, def] of PROTOCOL_KEYS[type] || []) {
      fields.push(typeof def === 'number' ? num(u, key, title, def, 'short') : field(u, key, title, { className: 'name' }, def));
    }
    fields.push(flag(u, 'monitor', 'Ping it', 1), flag(u, 'deDuplicate', 'Skip unchanged packets', 0), removeButton(e.universes, i, 'destination ' + (i + 1)));
    list.append(el('li', { 'aria-label': 'Destination ' + (i + 1) }, fields));
  });
}

function renderType(listId, type, build) {
  const list = $(listId);
  list.textContent = '';
  doc.channelOutputs.forEach((o, i) => {
    if (o.type !== type) return;
    list.append(el('li', { 'aria-label': type + ' ' + (i + 1) }, build(o).concat([removeButton(doc.channelOutputs, i, type + ' output ' + (i + 1))])));
  });
}

function render() {
  renderUdp();
  renderType('generic', 'GenericUDP', (o) => [flag(o, 'active', 'Active', 1), field(o, 'description', 'Description', { className: 'name' }),
    field(o, 'address', 'Address', { className: 'name' }), num(o, 'port', 'Port', undefined, 'short'),
    num(o, 'startChannel', 'Start channel', 1), num(o, 'channelCount', 'Channels', 0),
    field(o, 'tokens', 'Datagram layout (tokens)', { className: 'name' }), flag(o, 'monitor', 'Ping it', 1)]);
  renderType('virtual', 'HTTPVirtualDisplay', (o) => [flag(o, 'enabled', 'On', 1), num(o, 'startChannel', 'Start channel', 1),
    num(o, 'channelCount', 'Channels', 0), num(o, 'port', 'Stream port', 32328, 'short'),
    field(o, 'pixelMap', 'Pixel map file (in config/)', { className: 'name' }, 'virtualdisplaymap')]);
  renderType('local', 'LocalDisplay', (o) => [flag(o, 'enabled', 'On', 1), field(o, 'name', 'Name', { className: 'name' }),
    field(o, 'device', 'Device (HDMI-A-1, fb1)', { className: 'name' }), num(o, 'width', 'Width', 0, 'short'),
    num(o, 'height', 'Height', 0, 'short'), num(o, 'startChannel', 'Start channel', 1), num(o, 'channelCount', 'Channels', 0),
    num(o, 'pixelSize', 'Pixel size', 1, 'short'), num(o, 'bitsPerPixel', 'Bits per pixel', 24, 'short'),
    num(o, 'pages', 'Pages', 2, 'short'), flag(o, 'autoSync', 'At vertical sync', 0)]);
  sync();
}

function sync() { $('outputs-json').value = JSON.stringify(doc, null, 2); }

async function save(restart) {
  let d;
  try { d = JSON.parse($('outputs-json').value); } catch (e) {
    return showResult($('outputs-result'), { ok: false, data: { error: 'The JSON text is not valid: ' + e.message } });
  }
  const r = await kivApi('PUT', '/kivd/config/outputs' + (restart ? '?restart=1' : ''), d);
  if (r.ok) kivEdits.pending = false;
  showResult($('outputs-result'), r, restart ? 'Saved; kivd restarts with it' : 'Saved; used from the next start of kivd');
}

function add(entry) { kivEdits.pending = true; doc.channelOutputs.push(entry); render(); }

$('outputs-json').addEventListener('change', () => { kivEdits.pending = true; try { doc = JSON.parse($('outputs-json').value); render(); } catch (e) { /* shown on save */ } });
$('add-destination').addEventListener('click', () => {
  kivEdits.pending = true;
  udpEntry().universes.push({ active: 1, description: '', type: 4, address: '', startChannel: 1, channelCount: 512 });
  render();
});
$('add-generic').addEventListener('click', () => {
  udpEntry();
  add({ type: 'GenericUDP', active: 1, address: '', port: 5000, startChannel: 1, channelCount: 3, tokens: '{data}' });
});
$('add-virtual').addEventListener('click', () => add({ type: 'HTTPVirtualDisplay', enabled: 1, startChannel: 1, channelCount: 2048, port: 32328, pixelMap: 'virtualdisplaymap' }));
$('add-local').addEventListener('click', () => add({ type: 'LocalDisplay', enabled: 1, name: 'Display', device: 'HDMI-A-1', width: 64, height: 32, startChannel: 1, pixelSize: 8 }));
$('save').addEventListener('click', () => save(false));
$('save-restart').addEventListener('click', () => save(true));
watchChanges(load);
