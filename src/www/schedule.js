// Schedule page: the rows as a table, each with the next start and end the
// daemon computed; saving sends every row for the daemon to check.
'use strict';

const DAYS = ['Everyday', 'Weekdays', 'Weekends', 'Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday',
  'Saturday', 'Mon/Wed/Fri', 'Tues-Thurs', 'Sun-Thurs', 'Fri/Sat', 'Odd Days', 'Even Days'];
const DAY_CODES = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Everyday', 'Weekdays',
  'Weekends', 'Mon/Wed/Fri', 'Tues-Thurs', 'Sun-Thurs', 'Fri/Sat', 'Odd Days', 'Even Days'];
const STOPS = ['Graceful', 'Hard', 'Graceful Loop'];
let rows = [];
let next = [];

async function load() {
  const r = await kivApi('GET', '/kivd/config/schedule');
  if (!r.ok) return showResult($('schedule-result'), r);
  rows = r.data.rows;
  next = r.data.next || [];
  kivEdits.pending = false;
  render();
}

function render() {
  const body = $('rows').tBodies[0];
  body.textContent = '';
  rows.forEach((row, i) => {
    const field = (key, props) => {
      const input = el('input', Object.assign({ value: row[key] === undefined ? '' : row[key] }, props || {}));
      input.onchange = () => { row[key] = input.value; };
      return el('td', {}, [input]);
    };
    const check = (key, def) => {
      const c = el('input', { type: 'checkbox', checked: row[key] === undefined ? def : !!row[key] });
      c.onchange = () => { row[key] = c.checked; };
      return el('td', {}, [c]);
    };
    const day = selectOf(DAYS, typeof row.day === 'number' ? DAY_CODES[row.day] : (row.day || 'Everyday'));
    day.onchange = () => { row.day = day.value; };
    const stop = selectOf(STOPS, typeof row.stopType === 'number' ? STOPS[row.stopType] : (row.stopType || 'Graceful'));
    stop.onchange = () => { row.stopType = stop.value; };
    const n = next.find((x) => x.row === i + 1);
    // One line per start, broken before its end when the column is narrow.
    const when = (n ? n.next : []).map((o) => el('div', {}, [el('span', { textContent: o.startStr + ' \u2192' }), ' ',
      el('span', { textContent: o.endStr })]));
    const del = el('button', { textContent: '\u2715', className: 'small danger' });
    del.onclick = () => { rows.splice(i, 1); kivEdits.pending = true; render(); };
    body.append(el('tr', { id: 'row-' + (i + 1) }, [check('enabled', true), field('playlist', { size: 10 }), el('td', {}, [day]),
      field('startTime', { className: 'time' }), field('endTime', { className: 'time' }), field('startDate', { className: 'date' }),
      field('endDate', { className: 'date' }), check('repeat', false), el('td', {}, [stop]),
      el('td', { className: 'next' }, when), el('td', {}, [del])]));
  });
  labelCells($('rows'));
}

$('add-row').addEventListener('click', () => {
  kivEdits.pending = true;
  rows.push({ enabled: true, playlist: '', day: 'Everyday', startTime: '18:00:00', endTime: '22:00:00', repeat: true, stopType: 'Graceful' });
  render();
});
$('save').addEventListener('click', async () => {
  const r = await kivApi('PUT', '/kivd/config/schedule', rows);
  showResult($('schedule-result'), r, 'Saved; the scheduler uses it from its next pass');
  if (r.ok) { rows = r.data.rows; next = r.data.next; kivEdits.pending = false; render(); }
});
$('rows').addEventListener('change', () => { kivEdits.pending = true; });
watchChanges(load);
