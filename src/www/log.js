// Log page: the warnings with what to do, the last lines of the log
// filtered by level and facility (following new ones), and downloads.
import { $, el, kivApi, kivToken, showResult, showWarnings, every } from './setup.js';

let lines = [];     // {seq, level, facility, text} shown, oldest first
let last = 0;       // the newest line's seq
let facilitiesShown = false;

function query(after) {
  const p = new URLSearchParams({ level: $('level').value, lines: $('lines').value, after: String(after) });
  if ($('facility').value) p.set('facility', $('facility').value);
  return '/kivd/log?' + p;
}

async function refresh(fresh) {
  if (fresh) { lines = []; last = 0; }
  const r = await kivApi('GET', query(last));
  if (!r.ok) return showResult($('log-result'), r);
  if (!facilitiesShown) {
    for (const f of r.data.facilities) $('facility').append(el('option', { value: f, textContent: f }));
    facilitiesShown = true;
  }
  $('download-file').disabled = !r.data.file;
  if (!r.data.lines.length && !fresh) return;
  lines = lines.concat(r.data.lines).slice(-Number($('lines').value));
  if (lines.length) last = lines[lines.length - 1].seq;
  const pre = $('log');
  const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
  pre.textContent = '';
  for (const l of lines) pre.append(el('span', { className: l.level, textContent: l.text + '\n' }));
  if (!lines.length) pre.textContent = 'No lines of this level and facility since kivd started.';
  if (atEnd || fresh) pre.scrollTop = pre.scrollHeight;
  $('log-result').textContent = lines.length + ' line(s)';
}

function saveAs(name, blob) {
  const a = el('a', { href: URL.createObjectURL(blob), download: name });
  document.body.append(a);
  a.click();
  setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
}

async function warnings() {
  const r = await kivApi('GET', '/kivd/warnings');
  if (r.ok && Array.isArray(r.data) && $('warnings').dataset.shown !== JSON.stringify(r.data)) {
    $('warnings').dataset.shown = JSON.stringify(r.data);
    showWarnings($('warnings'), r.data);
  }
}

for (const id of ['level', 'facility', 'lines']) $(id).addEventListener('change', () => refresh(true));
$('download-lines').addEventListener('click', () => {
  saveAs('kivd-' + $('level').value + ($('facility').value ? '-' + $('facility').value : '') + '.log',
    new Blob([lines.map((l) => l.text + '\n').join('')], { type: 'text/plain' }));
});
$('download-file').addEventListener('click', async () => {
  // The token travels in a header, so the file comes through fetch.
  const resp = await fetch('/kivd/log/file', { headers: kivToken.headers(), cache: 'no-store' });
  if (!resp.ok) return showResult($('log-result'), { ok: false, status: resp.status, data: { error: 'The log file could not be read (' + resp.status + ')' } });
  saveAs('kivd.log', await resp.blob());
});
refresh(true).then(() => every(2000, async () => { if ($('follow').checked) await refresh(false); await warnings(); }));
