// The status page of kivd: polls GET /kivd/status once a second, runs
// commands, starts a playlist picked from those on the board, and shows the
// virtual display when one is configured.
import { $, el, kivApi, runCommand, showResult, showWarnings, clock, every } from './setup.js';

let lastStatus = null;

function setConnection(ok, text) {
  const c = $('connection');
  c.textContent = text;
  c.className = 'badge ' + (ok ? 'ok' : 'bad');
}

function render(st) {
  lastStatus = st;
  $('host').textContent = st.host_name || '';
  const pl = st.current_playlist || {};
  const seq = st.current_sequence || {};
  const playing = pl.status && pl.status !== 0;
  $('state').textContent = playing ? (pl.statusName || st.status_name) : (seq.name ? 'sequence' : 'idle');
  $('playlist-name').textContent = playing ? pl.playlist : (seq.name || '\u2014');
  const entry = pl.currentEntry || {};
  let entryText = '';
  if (playing) {
    entryText = 'Entry ' + pl.position + ' of ' + pl.size;
    if (entry.sequenceName) entryText += ': ' + entry.sequenceName;
    if (pl.repeat) entryText += ' (repeating)';
  }
  $('entry').textContent = entryText;
  const elapsed = seq.name ? seq.seconds_elapsed : undefined;
  const total = seq.name ? seq.seconds_total : undefined;
  $('position').textContent = seq.name ? clock(elapsed) + ' / ' + clock(total) : '';
  $('progress-bar').style.width = (total > 0 ? Math.min(100, 100 * elapsed / total) : 0) + '%';

  const next = st.next_playlist || {};
  $('next-playlist').textContent = next.playlistName || '\u2014';
  $('next-time').textContent = next.playlistName ? next.scheduledStartTimeStr || '' : (st.scheduler_enabled === false ? 'scheduler disabled' : '');
  const shown = JSON.stringify(st.warnings || []);
  if ($('warnings').dataset.shown !== shown) {
    $('warnings').dataset.shown = shown;
    showWarnings($('warnings'), st.warnings || []);
  }
  const sensors = st.sensors || [];
  $('sensors-section').hidden = !sensors.length;
  const sensorList = $('sensors');
  sensorList.textContent = '';
  for (const s of sensors) {
    const li = document.createElement('li');
    const value = typeof s.value === 'number' ? String(Math.round(s.value * 100) / 100) + (s.unit ? ' ' + s.unit : '') : 'cannot be read';
    li.textContent = s.name + ': ' + value;
    if (s.alarm) li.className = 'alarm';
    sensorList.appendChild(li);
  }
  $('footer').textContent = 'kivd ' + (st.version || '') + ' \u00b7 ' + (st.mode_name || '') + ' \u00b7 up ' + clock(st.uptime_seconds) + ' \u00b7 ' + (st.time || '');
}

async function poll() {
  const r = await kivApi('GET', '/kivd/status');
  if (r.ok) {
    render(r.data);
    setConnection(true, 'connected');
  } else {
    setConnection(false, r.status ? (r.data && r.data.error) || 'error' : 'no answer');
  }
}

async function loadPlaylists() {
  const r = await kivApi('GET', '/kivd/playlists');
  if (!r.ok) return;
  const s = $('start-playlist');
  const keep = s.value;
  s.textContent = '';
  for (const p of r.data) s.append(el('option', { value: p.name, textContent: p.name + (p.description ? ' \u2014 ' + p.description : '') }));
  if (!r.data.length) s.append(el('option', { value: '', textContent: 'no playlists yet' }));
  if (r.data.some((p) => p.name === keep)) s.value = keep;
}

// Only asked for when the outputs have one: the address answers 404 otherwise.
async function showDisplay() {
  const o = await kivApi('GET', '/kivd/config/outputs');
  const configured = o.ok && (o.data.outputs.channelOutputs || []).some((x) => x.type === 'HTTPVirtualDisplay' && x.enabled !== 0);
  const r = configured ? await kivApi('GET', '/kivd/virtualdisplay') : { ok: false };
  const shown = r.ok && (r.data.displays || []).length > 0;
  $('display-section').hidden = !shown;
  if (shown && !$('display').src) $('display').src = 'virtualdisplay.html';
}

async function run(command, args) {
  const r = await runCommand(command, args);
  showResult($('command-result'), r, command + ': ' + (typeof r.data === 'string' ? r.data : 'done'));
}

for (const b of document.querySelectorAll('button[data-command]')) {
  b.addEventListener('click', () => {
    let command = b.dataset.command;
    // A sequence started on its own (no playlist) stops with its own command.
    const st = lastStatus || {};
    if (command === 'Stop Now' && !(st.current_playlist && st.current_playlist.status) && st.current_sequence && st.current_sequence.name) {
      command = 'Stop Sequence';
    }
    run(command);
  });
}

$('start-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const name = $('start-playlist').value;
  if (name) run('Start Playlist', [name, $('start-repeat').checked ? 'true' : 'false']);
});

every(1000, poll);
every(10000, loadPlaylists);
showDisplay();
