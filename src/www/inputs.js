// Inputs page: each live input with its statistics and senders, the
// protocols' counters, the recording (start, stop, progress) and the
// recordings on the board.
import { $, el, kivApi, runCommand, showResult, seconds, every } from './setup.js';

function table(caption, rows) {
  return el('table', { className: 'stats' }, [el('caption', { className: 'vh', textContent: caption }),
    el('tbody', {}, rows.map(([k, v]) => el('tr', {}, [el('th', { scope: 'row', textContent: k }), el('td', { textContent: v === undefined || v === null ? '\u2014' : String(v) })])))]);
}

function defaultName() {
  const d = new Date();
  const two = (n) => String(n).padStart(2, '0');
  return 'recording-' + d.getFullYear() + two(d.getMonth() + 1) + two(d.getDate()) + '-' + two(d.getHours()) + two(d.getMinutes()) + '.hseq';
}

async function refresh() {
  const r = await kivApi('GET', '/kivd/inputs');
  if (!r.ok) return showResult($('record-result'), r);
  const box = $('inputs');
  box.textContent = '';
  for (const i of r.data.inputs || []) {
    const where = i.universe !== undefined ? 'universe ' + i.universe + (i.universeCount > 1 ? '\u2013' + (i.universe + i.universeCount - 1) : '') : '';
    box.append(el('h3', { textContent: (i.description || i.protocol) + ' \u00b7 ' + (i.live ? 'live' : 'quiet') }),
      table(i.description || i.protocol, [['Protocol', i.protocol + (where ? ', ' + where : '')],
        ['Channels', i.startChannel + '\u2013' + (i.startChannel + i.channelCount - 1)], ['Packets', i.packets], ['Bytes', i.bytes],
        ['Errors', i.errors], ['Sequence gaps', i.sequenceGaps], ['Out of order', i.outOfOrder],
        ['Last seen', i.lastSeenMsAgo === null ? 'never' : i.lastSeenMsAgo + ' ms ago'],
        ['Senders', (i.sources || []).map((s) => (s.name || s.address) + ' (' + s.address + (s.priority !== undefined ? ', priority ' + s.priority : '') + (s.active ? ', shown' : '') + ')').join('; ') || 'none']]));
  }
  if (!(r.data.inputs || []).length) box.append(el('p', { className: 'dim', textContent: 'No live inputs: they are set up in config/inputs.json (docs/inputs.md).' }));
  const protocols = $('protocols');
  protocols.textContent = '';
  for (const [name, p] of Object.entries(r.data.protocols || {})) {
    protocols.append(el('h3', { textContent: name }), table(name, Object.entries(p).map(([k, v]) => [k, Array.isArray(v) ? v.join(', ') : v])));
  }
  const rec = r.data.recording || {};
  $('recording-state').textContent = rec.recording ? 'Recording into ' + rec.file + ': ' + rec.frames + ' frames so far'
    : 'Not recording' + (rec.result ? '. Last: ' + rec.result : '');
  $('record-start').disabled = !!rec.recording;
  $('record-stop').disabled = !rec.recording;
}

async function recordings() {
  const r = await kivApi('GET', '/kivd/files/sequences');
  if (!r.ok) return;
  const ul = $('recordings');
  ul.textContent = '';
  for (const f of r.data.filter((x) => x.recording)) {
    ul.append(el('li', {}, [el('span', { textContent: f.name }), el('span', { className: 'dim', textContent: seconds(f.seconds) + ' \u00b7 ' + f.channels + ' channels' })]));
  }
  if (!ul.children.length) ul.append(el('li', { className: 'dim', textContent: 'none yet' }));
}

$('record-file').value = defaultName();
$('record-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  showResult($('record-result'), await runCommand('Start Recording', [$('record-file').value, $('record-step').value, $('record-duration').value]));
  refresh();
});
$('record-stop').addEventListener('click', async () => {
  showResult($('record-result'), await runCommand('Stop Recording'));
  $('record-file').value = defaultName();
  refresh();
  recordings();
});
every(1000, refresh);
every(5000, recordings);
