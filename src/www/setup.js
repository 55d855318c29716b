// The module every page of kivd imports: API calls with the access token,
// the navigation, the token form, messages, labelled controls, polling,
// and a watch on /kivd/changes so that a change made anywhere shows at once.

// The access token (setting HTTPAccessToken): given once as "#token=..." in
// the address or typed into the form, and kept for the browser tab.
export const kivToken = {
  value: sessionStorage.getItem('kivToken') || '',
  set(token) {
    this.value = token;
    sessionStorage.setItem('kivToken', token);
  },
  // Headers for a request to the API: the token when there is one.
  headers(extra) {
    const h = Object.assign({}, extra || {});
    if (this.value) h['Authorization'] = 'Bearer ' + this.value;
    return h;
  },
};

{
  const m = /(?:^#|&)token=([^&]+)/.exec(location.hash);
  if (m) {
    kivToken.set(decodeURIComponent(m[1]));
    history.replaceState(null, '', location.pathname + location.search);
  }
}

export function $(id) { return document.getElementById(id); }

// {ok, status, data}: data is the parsed JSON answer (or its text).
export async function kivApi(method, path, body) {
  const opts = { method, headers: kivToken.headers({ 'Content-Type': 'application/json' }), cache: 'no-store' };
  if (body !== undefined) opts.body = JSON.stringify(body);
  let resp;
  try {
    resp = await fetch(path, opts);
  } catch (e) {
    return { ok: false, status: 0, data: { error: 'No answer from kivd' } };
  }
  const text = await resp.text();
  let data = text;
  try { data = JSON.parse(text); } catch (e) { /* plain text */ }
  if (resp.status === 401 && $('token-form')) $('token-form').hidden = false;
  return { ok: resp.ok, status: resp.status, data };
}

export function runCommand(command, args) { return kivApi('POST', '/kivd/command', { command, args: args || [] }); }

// Shows an answer: its error and problems, or `okText` (the answer's own
// text when okText is left out).
export function showResult(box, r, okText) {
  box.classList.toggle('error', !r.ok);
  box.classList.toggle('ok', r.ok);
  box.textContent = '';
  if (r.ok) {
    box.textContent = okText !== undefined ? okText : (typeof r.data === 'string' ? r.data : 'Done');
    return;
  }
  const problems = (r.data && r.data.problems) || [(r.data && r.data.error) || (typeof r.data === 'string' && r.data) || ('HTTP ' + r.status)];
  for (const p of problems) box.append(el('div', { textContent: p }));
}

export function say(box, ok, text) { showResult(box, { ok, data: { error: text } }, text); }

export function el(tag, props, children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (k === 'dataset') Object.assign(e.dataset, v);
    else if (k.startsWith('aria-') || k === 'for' || k === 'role') e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children || []) if (c !== null && c !== undefined) e.append(c);
  return e;
}

// A <select> of values (strings, or [value, text] pairs); a value not in
// the list is kept as an option of its own so that nothing is lost.
export function selectOf(values, value, props) {
  const s = el('select', props);
  const pairs = values.map((v) => (Array.isArray(v) ? v : [v, v]));
  if (value !== undefined && value !== null && value !== '' && !pairs.some(([v]) => v === value)) {
    pairs.push([value, value + ' (not on the board)']);
  }
  for (const [v, t] of pairs) s.append(el('option', { value: v, textContent: t, selected: v === value }));
  return s;
}

// A control with its label above it.
export function labelled(text, control, className) {
  return el('label', { className: 'field' + (className ? ' ' + className : '') }, [el('span', { textContent: text }), control]);
}

// A checkbox in a label that is the touch target.
export function checkbox(text, checked, props) {
  const box = el('input', Object.assign({ type: 'checkbox', checked: !!checked }, props || {}));
  return el('label', { className: 'check' }, [box, text]);
}

// Set by a page while it holds edits not yet saved: a change on the board
// then leaves them in place and says so, rather than reloading over them.
export const kivEdits = { pending: false };

// Calls onChange now and whenever something changed on the board.
export function watchChanges(onChange) {
  let version = null;
  async function poll() {
    const r = await kivApi('GET', '/kivd/changes');
    if (r.ok) {
      $('readonly').hidden = r.data.writable;
      $('readonly').textContent = r.data.reason || '';
      if (r.data.version !== version) {
        const keep = version !== null && kivEdits.pending;
        $('changed').hidden = !keep;
        if (!keep) { version = r.data.version; await onChange(); document.body.dataset.loaded = version; }
      }
    }
    setTimeout(poll, 1500);
  }
  poll();
}

// Calls fn now and every `ms` after it finished.
export function every(ms, fn) {
  async function run() {
    try { await fn(); } catch (e) { console.warn(e); }
    setTimeout(run, ms);
  }
  run();
}

export function clock(seconds) {
  if (typeof seconds !== 'number' || seconds < 0) return '';
  const s = Math.floor(seconds % 60), m = Math.floor(seconds / 60) % 60, h = Math.floor(seconds / 3600);
  const two = (n) => String(n).padStart(2, '0');
  return (h ? h + ':' + two(m) : m) + ':' + two(s);
}

// What a user does about a warning, and on which page.
const ADVICE = [
  [/^Cannot Ping|did not answer|unreachable/i, 'Check the controller\'s power and cable, or its address on the Outputs page; it is taken back once it answers.', 'outputs.html'],
  [/Could not resolve host name|send data to myself/i, 'Correct the destination\'s address on the Outputs page.', 'outputs.html'],
  [/^Channel output|Channel outputs file|Virtual display on port|framebuffer/i, 'The Log page says why; correct the entry on the Outputs page and save with a restart.', 'outputs.html'],
  [/^Scheduled Playlist|^Row \d/i, 'Pick an existing playlist for the row on the Schedule page.', 'schedule.html'],
  [/^Playlist '.*'/i, 'Open the playlist on the Playlists page and pick files that are on the board.', 'playlists.html'],
  [/Scheduler is disabled/i, 'Turn "DisableScheduler" off on the Settings page and restart.', 'settings.html'],
  [/Log Level is set to/i, 'Set the log levels back to info in the Log group of the Settings page: verbose logging slows the board.', 'settings.html'],
  [/Settings file .* malformed/i, 'The Log page names the lines; fix them in the settings file.', 'log.html'],
  [/plug-in/i, 'See why on the Board page; rebuild or remove the plug-in.', 'board.html'],
  [/input cannot listen|Inputs file/i, 'See the Inputs page and the log: another program may hold the port.', 'inputs.html'],
  [/Dummy device|sound/i, 'Pick the sound card in the Sound and video group of the Settings page.', 'settings.html'],
  [/too large to show/i, 'Scale the picture down, or raise ImageMaxPixels on the Settings page.', 'settings.html'],
  [/slow storage|cannot be read from frame/i, 'The card or disk is too slow or failing: copy the show to a faster one.', 'log.html'],
  [/fuse/i, 'A port\'s fuse tripped: check the wiring of that port, then switch it on again.', 'index.html'],
  [/HTTP interface/i, 'Another program holds the port: change HTTPPort in the settings file.', 'settings.html'],
  [/master|sync|clock/i, 'See the other boards and their sync on the Board page.', 'board.html'],
];
export function warningAdvice(text) {
  for (const [re, advice, href] of ADVICE) if (re.test(text)) return { advice, href };
  return { advice: 'The Log page has the details.', href: 'log.html' };
}

// The warnings as a list, each with what to do about it.
export function showWarnings(ul, warnings) {
  ul.textContent = '';
  if (!warnings.length) ul.append(el('li', { className: 'none', textContent: 'none' }));
  for (const w of warnings) {
    const a = warningAdvice(w);
    ul.append(el('li', {}, [el('div', { className: 'warning', textContent: w }),
      el('div', { className: 'advice' }, [a.advice + ' ', el('a', { href: a.href, textContent: 'Go there' })])]));
  }
}

export function seconds(s) { return typeof s === 'number' ? clock(Math.round(s)) : ''; }

const PAGES = [['index.html', 'Status'], ['files.html', 'Files'], ['playlists.html', 'Playlists'],
  ['schedule.html', 'Schedule'], ['outputs.html', 'Outputs'], ['effects.html', 'Effects'], ['inputs.html', 'Inputs'],
  ['board.html', 'Board'], ['settings.html', 'Settings'], ['log.html', 'Log'], ['test.html', 'Test']];

{
  const nav = $('nav');
  if (nav) {
    nav.setAttribute('aria-label', 'Pages');
    const here = location.pathname.split('/').pop() || 'index.html';
    for (const [href, text] of PAGES) {
      const a = el('a', { href, textContent: text, className: here === href ? 'here' : '' });
      if (here === href) a.setAttribute('aria-current', 'page');
      nav.append(a);
    }
  }
  const readonly = $('readonly');
  if (readonly) {
    readonly.setAttribute('role', 'status');
    readonly.after(el('div', { id: 'changed', className: 'banner', hidden: true, role: 'status',
      textContent: 'Changed on the board since this page loaded: save your edits, or reload the page to see the change.' }));
  }
  const main = document.querySelector('main');
  if (main && !$('token-form')) {
    const form = el('form', { id: 'token-form', hidden: true }, [
      el('h2', { textContent: 'Access token' }),
      el('p', { textContent: 'This board asks for its access token (setting HTTPAccessToken).' }),
      el('div', { className: 'fields' }, [labelled('Token', el('input', { id: 'token', type: 'password', autocomplete: 'off' })),
        el('button', { type: 'submit', textContent: 'Use' })])]);
    form.addEventListener('submit', (ev) => {
      ev.preventDefault();
      kivToken.set($('token').value);
      form.hidden = true;
      location.reload();
    });
    main.append(form);
  }
}
