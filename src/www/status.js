// The status page of kivd: polls GET /kivd/status once a second and runs
// commands with POST /kivd/command. Needs nothing but this daemon (and
// token.js, loaded before it).
'use strict';

const POLL_MS = 1000;
let lastStatus = null;

function $(id) { return document.getElementById(id); }

async function api(method, path, body) {
  // A body goes as JSON: the daemon takes nothing else from a page.
  const headers = kivToken.headers(body !== undefined ? { 'Content-Type': 'application/json' } : {});
  const resp = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body), cache: 'no-store' });
  const text = await resp.text();
  if (resp.status === 401) $('token-form').hidden = false;
  let error = null;
  if (!resp.ok) {
    try { error = JSON.parse(text).error; } catch (e) { error = resp.status + ' ' + resp.statusText; }
  }
  return { ok: resp.ok, status: resp.status, text, error };
}

function clock(seconds) {
  if (typeof seconds !== 'number' || seconds < 0) return '';
  const s = Math.floor(seconds % 60), m = Math.floor(seconds / 60) % 60, h = Math.floor(seconds / 3600);
  const two = (n) => String(n).padStart(2, '0');
  return (h ? h + ':' + two(m) : m) + ':' + two(s);
}

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

  const list = $('warnings');
  list.textContent = '';
  const warnings = st.warnings || [];
  if (!warnings.length) {
    const li = document.createElement('li');
    li.className = 'none';
    li.textContent = 'none';
    list.appendChild(li);
  }
  for (const w of warnings) {
    const li = document.createElement('li');
    li.textContent = w;
    list.appendChild(li);
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
  try {
    const r = await api('GET', '/kivd/status');
    if (r.ok) {
      render(JSON.parse(r.text));
      setConnection(true, 'connected');
    } else {
      setConnection(false, r.error || 'error');
    }
  } catch (e) {
    setConnection(false, 'no answer');
  }
  setTimeout(poll, POLL_MS);
}

async function run(command, args) {
  const out = $('command-result');
  try {
    const r = await api('POST', '/kivd/command', { command, args: args || [] });
    out.className = 'result' + (r.ok ? '' : ' error');
    out.textContent = command + ': ' + (r.ok ? r.text : r.error);
  } catch (e) {
    out.className = 'result error';
    out.textContent = command + ': no answer';
  }
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
  const name = $('start-playlist').value.trim();
  if (name) run('Start Playlist', [name]);
});

$('token-form').addEventListener('submit', (e) => {
  e.preventDefault();
  kivToken.set($('token').value);
  $('token-form').hidden = true;
});

poll();
