// Schedule page: the rows as cards of fields, playlists and commands picked
// from those on the board, sun times with offsets, and the next starts the
// daemon computed, at the top of the page and on each row.
import { $, el, kivApi, kivEdits, showResult, selectOf, labelled, checkbox, watchChanges } from './setup.js';

const DAYS = ['Everyday', 'Weekdays', 'Weekends', 'Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday',
  'Saturday', 'Mon/Wed/Fri', 'Tues-Thurs', 'Sun-Thurs', 'Fri/Sat', 'Odd Days', 'Even Days'];
const DAY_CODES = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Everyday', 'Weekdays',
  'Weekends', 'Mon/Wed/Fri', 'Tues-Thurs', 'Sun-Thurs', 'Fri/Sat', 'Odd Days', 'Even Days'];
const STOPS = ['Graceful', 'Hard', 'Graceful Loop'];
const SUN = ['SunRise', 'SunSet', 'Dawn', 'Dusk'];
let rows = [];
let next = [];
let playlists = [];
let sequences = [];
let commands = [];

async function load() {
  const [r, p, f, c] = await Promise.all([kivApi('GET', '/kivd/config/schedule'), kivApi('GET', '/kivd/playlists'),
    kivApi('GET', '/kivd/files/sequences'), kivApi('GET', '/kivd/commands')]);
  if (p.ok) playlists = p.data.map((x) => x.name);
  if (f.ok) sequences = f.data.map((x) => x.name);
  if (c.ok && Array.isArray(c.data)) commands = c.data.map((x) => x.name);
  if (!r.ok) return showResult($('schedule-result'), r);
  rows = r.data.rows;
  next = r.data.next || [];
  kivEdits.pending = false;
  render();
}

function edited() { kivEdits.pending = true; }

// "What": a playlist, a sequence played as one, or a command.
function whatField(row) {
  const value = row.command ? 'command' : (row.sequence ? 'sequence:' : 'playlist:') + (row.playlist || '');
  const options = playlists.map((n) => ['playlist:' + n, n]).concat(sequences.map((n) => ['sequence:' + n, n + ' (sequence)']),
    [['command', 'a command']]);
  if (!row.command && !row.playlist) options.unshift([value, 'pick a playlist']);
  const s = selectOf(options, value, { className: 'name' });
  s.onchange = () => {
    if (s.value === 'command') {
      delete row.playlist; delete row.sequence;
      row.command = row.command || commands[0] || '';
    } else {
      delete row.command; delete row.args;
      const [kind, name] = [s.value.slice(0, s.value.indexOf(':')), s.value.slice(s.value.indexOf(':') + 1)];
      row.playlist = name;
      if (kind === 'sequence') row.sequence = true; else delete row.sequence;
    }
    edited();
    render();
  };
  return labelled('Plays', s, 'what');
}

// A start or end: a time of day, or a sun time with an offset in minutes.
function timeField(row, key, title) {
  const value = row[key] || '';
  const sun = SUN.find((s) => s.toLowerCase() === String(value).toLowerCase());
  const kind = selectOf([['time', 'at']].concat(SUN.map((s) => [s, s])), sun || 'time');
  const time = el('input', { type: 'time', step: 1, value: sun ? '' : String(value).length === 5 ? value + ':00' : value, className: 'time' });
  const offsetKey = key + 'Offset';
  const offset = el('input', { type: 'number', min: -720, max: 720, step: 1, value: row[offsetKey] || 0, className: 'short' });
  const offsetLabel = labelled(title + ' offset (min)', offset, key + '-offset');
  const timeLabel = labelled(title + ' time', time, key + '-at');
  const show = () => { timeLabel.hidden = kind.value !== 'time'; offsetLabel.hidden = kind.value === 'time'; };
  kind.onchange = () => {
    if (kind.value === 'time') { row[key] = time.value || '18:00:00'; time.value = row[key]; delete row[offsetKey]; } else { row[key] = kind.value; }
    edited();
    show();
  };
  time.onchange = () => { row[key] = time.value.length === 5 ? time.value + ':00' : time.value; edited(); };
  offset.onchange = () => { row[offsetKey] = Number(offset.value) || 0; edited(); };
  show();
  return [labelled(title, kind, key), timeLabel, offsetLabel];
}

function text(row, key, title, props) {
  const input = el('input', Object.assign({ value: row[key] === undefined ? '' : row[key], autocomplete: 'off' }, props || {}));
  input.onchange = () => { if (input.value) row[key] = input.value; else delete row[key]; edited(); };
  return labelled(title, input, key);
}

function when(n) {
  return (n ? n.next : []).map((o) => el('div', {}, [o.startStr + ' \u2192 ' + o.endStr]));
}

function render() {
  const coming = [];
  next.forEach((n) => (n.next || []).forEach((o) => coming.push(Object.assign({ row: n.row }, o))));
  coming.sort((a, b) => a.start - b.start);
  const ol = $('coming');
  ol.textContent = '';
  for (const o of coming.slice(0, 6)) {
    const row = rows[o.row - 1] || {};
    ol.append(el('li', {}, [el('span', { textContent: o.startStr + ' \u2192 ' + o.endStr }),
      el('span', { className: 'dim', textContent: (row.playlist || row.command || '') + ' \u00b7 row ' + o.row })]));
  }
  if (!coming.length) ol.append(el('li', { className: 'dim', textContent: 'nothing scheduled' }));

  const list = $('rows');
  list.textContent = '';
  rows.forEach((row, i) => {
    const fields = [el('div', { className: 'when' }, when(next.find((x) => x.row === i + 1))), whatField(row)];
    const on = checkbox('On', row.enabled === undefined ? true : !!row.enabled);
    on.firstChild.onchange = () => { row.enabled = on.firstChild.checked; edited(); };
    fields.unshift(on);
    if (row.command !== undefined) {
      const c = selectOf(commands, row.command, { className: 'name' });
      c.onchange = () => { row.command = c.value; edited(); };
      const args = el('input', { value: (row.args || []).join(', '), autocomplete: 'off', className: 'name' });
      args.onchange = () => { row.args = args.value ? args.value.split(',').map((a) => a.trim()) : []; edited(); };
      fields.push(labelled('Command', c), labelled('Arguments (comma-separated)', args));
    }
    const day = selectOf(DAYS, typeof row.day === 'number' && row.day < 16 ? DAY_CODES[row.day] : String(row.day || 'Everyday'));
    day.onchange = () => { row.day = day.value; edited(); };
    fields.push(labelled('Days', day, 'day'));
    fields.push(...timeField(row, 'startTime', 'Start'));
    if (row.command === undefined) {
      fields.push(...timeField(row, 'endTime', 'End'));
      const repeat = checkbox('Repeat', !!row.repeat);
      repeat.firstChild.onchange = () => { row.repeat = repeat.firstChild.checked; edited(); };
      const stop = selectOf(STOPS, typeof row.stopType === 'number' ? STOPS[row.stopType] : (row.stopType || 'Graceful'));
      stop.onchange = () => { row.stopType = stop.value; edited(); };
      fields.push(repeat, labelled('Stop', stop, 'stop'));
    }
    fields.push(text(row, 'startDate', 'From (MM-DD or YYYY-MM-DD)', { className: 'time' }),
      text(row, 'endDate', 'To', { className: 'time' }));
    const del = el('button', { textContent: '\u2715', className: 'danger', 'aria-label': 'Remove row ' + (i + 1) });
    del.onclick = () => { rows.splice(i, 1); next = []; edited(); render(); };
    fields.push(del);
    list.append(el('li', { id: 'row-' + (i + 1), 'aria-label': 'Row ' + (i + 1) }, fields));
  });
}

$('add-row').addEventListener('click', () => {
  edited();
  rows.push({ enabled: true, playlist: playlists[0] || '', day: 'Everyday', startTime: '18:00:00', endTime: '22:00:00', repeat: true, stopType: 'Graceful' });
  render();
});
$('save').addEventListener('click', async () => {
  const r = await kivApi('PUT', '/kivd/config/schedule', rows);
  showResult($('schedule-result'), r, 'Saved; the scheduler uses it from its next pass');
  if (r.ok) { rows = r.data.rows; next = r.data.next; kivEdits.pending = false; render(); }
});
watchChanges(load);
