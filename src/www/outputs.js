// Outputs page: the network destinations of the first UDP entry as a
// table, the whole file as JSON; the daemon checks it before it is saved.
'use strict';

const PROTOCOLS = ['E1.31 multicast', 'E1.31', 'Art-Net broadcast', 'Art-Net', 'DDP', 'DDP (from 0)', 'KiNet v1', 'KiNet v2', 'Twinkly'];
let doc = { channelOutputs: [] };

function udpEntry() {
  let e = doc.channelOutputs.find((o) => o.type === 'UDP');
  if (!e) { e = { type: 'UDP', enabled: 1, universes: [] }; doc.channelOutputs.unshift(e); }
  if (!e.universes) e.universes = [];
  return e;
}

async function load() {
  const r = await kivApi('GET', '/kivd/config/outputs');
  if (!r.ok) return showResult($('outputs-result'), r);
  doc = r.data.outputs;
  kivEdits.pending = false;
  render();
  if (r.data.problems) showResult($('outputs-result'), { ok: false, data: { problems: r.data.problems } });
}

function render() {
  const body = $('destinations').tBodies[0];
  body.textContent = '';
  const list = doc.channelOutputs.some((o) => o.type === 'UDP') ? udpEntry().universes : [];
  list.forEach((u, i) => {
    const field = (key, size) => {
      const input = el('input', { value: u[key] === undefined ? '' : u[key], size });
      input.onchange = () => { u[key] = /^-?\d+$/.test(input.value) ? Number(input.value) : input.value; sync(); };
      return el('td', {}, [input]);
    };
    const active = el('input', { type: 'checkbox', checked: u.active === undefined || !!u.active });
    active.onchange = () => { u.active = active.checked ? 1 : 0; sync(); };
    const proto = selectOf(PROTOCOLS, PROTOCOLS[u.type || 0]);
    proto.onchange = () => { u.type = PROTOCOLS.indexOf(proto.value); sync(); };
    const del = el('button', { textContent: '\u2715', className: 'small danger' });
    del.onclick = () => { list.splice(i, 1); kivEdits.pending = true; render(); };
    body.append(el('tr', {}, [el('td', {}, [active]), field('description', 14), el('td', {}, [proto]), field('address', 14),
      field('startChannel', 7), field('channelCount', 6), field('universe', 5), field('universeCount', 3), el('td', {}, [del])]));
  });
  labelCells($('destinations'));
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

$('outputs-json').addEventListener('change', () => { kivEdits.pending = true; try { doc = JSON.parse($('outputs-json').value); render(); } catch (e) { /* shown on save */ } });
$('add-destination').addEventListener('click', () => {
  kivEdits.pending = true;
  udpEntry().universes.push({ active: 1, description: '', type: 4, address: '', startChannel: 1, channelCount: 512 });
  render();
});
$('destinations').addEventListener('change', () => { kivEdits.pending = true; });
$('save').addEventListener('click', () => save(false));
$('save-restart').addEventListener('click', () => save(true));
watchChanges(load);
