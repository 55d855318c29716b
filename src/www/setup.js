// Shared by the set-up pages (Files, Playlists, Schedule, Outputs, Test):
// API calls with the access token, the navigation, messages, and a watch on
// /kivd/changes so that a change made anywhere shows at once.
'use strict';

function $(id) { return document.getElementById(id); }

// {ok, status, data}: data is the parsed JSON answer (or its text).
async function kivApi(method, path, body) {
  const opts = { method, headers: kivToken.headers({ 'Content-Type': 'application/json' }), cache: 'no-store' };
  if (body !== undefined) opts.body = JSON.stringify(body);
  const resp = await fetch(path, opts);
  const text = await resp.text();
  let data = text;
  try { data = JSON.parse(text); } catch (e) { /* plain text */ }
  if (resp.status === 401) $('token-form').hidden = false;
  return { ok: resp.ok, status: resp.status, data };
}

function runCommand(command, args) { return kivApi('POST', '/kivd/command', { command, args: args || [] }); }

// Shows an answer: its error and problems, or `okText`.
function showResult(el, r, okText) {
  el.classList.toggle('error', !r.ok);
  el.textContent = '';
  if (r.ok) { el.textContent = okText; return; }
  const problems = (r.data && r.data.problems) || [(r.data && r.data.error) || ('HTTP ' + r.status)];
  for (const p of problems) { const d = document.createElement('div'); d.textContent = p; el.appendChild(d); }
}

function el(tag, props, children) {
  const e = document.createElement(tag);
  Object.assign(e, props || {});
  for (const c of children || []) e.append(c);
  return e;
}

// Names each cell after its column's heading, for the narrow layout that
// shows each row of a table as a card of named fields.
function labelCells(table) {
  const heads = Array.from(table.tHead.rows[0].cells, (th) => th.textContent);
  for (const tr of table.tBodies[0].rows) Array.from(tr.cells).forEach((td, i) => { if (heads[i]) td.dataset.label = heads[i]; });
}

function selectOf(values, value) {
  const s = el('select');
  for (const v of values) s.append(el('option', { value: v, textContent: v, selected: v === value }));
  return s;
}

// Set by a page while it holds edits not yet saved: a change on the board
// then leaves them in place and says so, rather than reloading over them.
const kivEdits = { pending: false };

// Calls onChange now and whenever something changed on the board.
function watchChanges(onChange) {
  let version = null;
  async function poll() {
    try {
      const r = await kivApi('GET', '/kivd/changes');
      if (r.ok) {
        $('readonly').hidden = r.data.writable;
        $('readonly').textContent = r.data.reason || '';
        if (r.data.version !== version) {
          const keep = version !== null && kivEdits.pending;
          $('changed').hidden = !keep;
          if (!keep) { version = r.data.version; onChange(); }
        }
      }
    } catch (e) { /* the daemon restarts: try again */ }
    setTimeout(poll, 1500);
  }
  poll();
}

(function setUpPage() {
  const readonly = $('readonly');
  if (readonly) {
    readonly.after(el('div', { id: 'changed', className: 'banner', hidden: true,
      textContent: 'Changed on the board since this page loaded: save your edits, or reload the page to see the change.' }));
  }
  const nav = $('nav');
  if (nav) {
    for (const [href, text] of [['index.html', 'Status'], ['files.html', 'Files'], ['playlists.html', 'Playlists'],
      ['schedule.html', 'Schedule'], ['outputs.html', 'Outputs'], ['test.html', 'Test']]) {
      nav.append(el('a', { href, textContent: text, className: location.pathname.endsWith(href) ? 'here' : '' }));
    }
  }
  const form = $('token-form');
  if (form) {
    form.addEventListener('submit', (ev) => {
      ev.preventDefault();
      kivToken.set($('token').value);
      form.hidden = true;
      location.reload();
    });
  }
})();
