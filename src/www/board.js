// Board page: this board and the other synchronised boards (role, sync
// state, clock offset, when last heard), sync's counters and the warnings;
// the user plug-ins with their state and the ones refused, with why.
import { $, el, kivApi, showResult, showWarnings, every } from './setup.js';

function item(title, detail, bad) {
  return el('li', {}, [el('span', { textContent: title }), el('span', { className: bad ? 'warning' : 'dim', textContent: detail })]);
}

async function systems() {
  const [r, w] = await Promise.all([kivApi('GET', '/kivd/systems'), kivApi('GET', '/kivd/warnings')]);
  if (r.ok) {
    const s = r.data.sync || {};
    const counters = Object.entries(s.counters || {}).map(([k, v]) => k + ' ' + v).join(', ');
    $('sync').textContent = 'This board: ' + (s.role || 'player') + (s.master ? ', following ' + s.master + (s.masterLost ? ' (lost)' : '') : '') +
      (s.clock ? '; clock ' + s.clock : '') + (s.signed ? '; signed' : '') + (counters ? '; packets: ' + counters : '');
    const ul = $('systems');
    ul.textContent = '';
    for (const b of r.data.systems || []) {
      const parts = [b.mode, b.address, b.version && 'version ' + b.version, b.clockSynchronised === false ? 'clock not synchronised' : 'clock synchronised',
        b.offsetMs !== undefined ? 'offset ' + b.offsetMs + ' ms' : '', b.secondsSinceSeen !== undefined ? 'heard ' + b.secondsSinceSeen + ' s ago' : ''];
      const f = b.files, h = b.health;
      if (h) parts.push(h.freeBytes !== undefined ? (h.freeBytes / 1e9).toFixed(1) + ' GB free' : '', (h.warnings || []).length ? h.warnings.length + ' warnings' : '',
        h.masterOffsetMs !== undefined ? 'offset to master ' + h.masterOffsetMs + ' ms' : '', h.outOfDate ? h.outOfDate + ' files out of date' : '');
      if (f) parts.push('files ' + f.state + (f.sending ? ': ' + f.sending + ' ' + Math.round(100 * f.sendingBytes / Math.max(f.sendingSize, 1)) + ' %' : '') +
        (f.error ? ': ' + f.error : '') + (f.refused || []).map((x) => '; ' + x.file + ': ' + x.error).join(''));
      ul.append(item((b.hostname || b.address) + (b.local ? ' (this board)' : ''), parts.filter(Boolean).join(' \u00b7 '),
        b.clockSynchronised === false || (f && (f.state === 'refused' || f.state === 'retrying'))));
    }
    $('file-sync').hidden = !r.data.fileSync;
    if (!(r.data.systems || []).length) ul.append(el('li', { className: 'dim', textContent: 'no other boards: sync runs in master and remote mode (Settings page, kivMode)' }));
  }
  if (w.ok && Array.isArray(w.data) && $('warnings').dataset.shown !== JSON.stringify(w.data)) {
    $('warnings').dataset.shown = JSON.stringify(w.data);
    showWarnings($('warnings'), w.data);
  }
}

async function plugins() {
  const r = await kivApi('GET', '/kivd/plugins');
  if (!r.ok) return;
  $('plugin-dir').textContent = 'Loaded from ' + (r.data.directory || 'plugins/') + ' (plug-in ABI ' + r.data.abiVersion + ')';
  const ul = $('plugins');
  ul.textContent = '';
  for (const p of r.data.plugins || []) {
    const parts = [p.version && 'version ' + p.version, p.failed ? 'failed' : 'running', (p.interfaces || []).join(', '),
      p.frames !== undefined ? p.frames + ' frames, ' + (p.averageFrameUs || 0).toFixed(1) + ' us each (longest ' + (p.maxFrameUs || 0).toFixed(1) + ')' : '',
      (p.commands || []).length ? 'commands: ' + p.commands.join(', ') : ''];
    ul.append(item(p.name, parts.filter(Boolean).join(' \u00b7 '), p.failed));
  }
  if (!(r.data.plugins || []).length) ul.append(el('li', { className: 'dim', textContent: 'none loaded' }));
  const refused = $('refused');
  refused.textContent = '';
  for (const p of r.data.refused || []) refused.append(item(p.name, p.reason, true));
  if (!(r.data.refused || []).length) refused.append(el('li', { className: 'dim', textContent: 'none' }));
}

$('sync-files').addEventListener('click', async () => {
  const r = await kivApi('POST', '/kivd/sync/files');
  showResult($('sync-files-result'), r, r.ok ? r.data.message : undefined);
  systems();
});

every(2000, systems);
every(5000, plugins);
