// Settings page: every documented setting, grouped, with its description,
// what a value must be and whether it waits for a restart. Edits are kept
// until saved or thrown away; the daemon checks every value before writing.
import { $, el, kivApi, kivEdits, showResult, selectOf, watchChanges } from './setup.js';

let list = [];
let changes = {};   // key -> value typed, not saved yet
let lists = {};     // listUrl -> names to pick from

async function load() {
  const r = await kivApi('GET', '/kivd/config/settings');
  if (!r.ok) return showResult($('settings-result'), r);
  list = r.data;
  for (const url of new Set(list.map((s) => s.listUrl).filter(Boolean))) {
    const l = await kivApi('GET', url);
    if (l.ok && Array.isArray(l.data)) lists[url] = l.data.map((x) => (typeof x === 'string' ? x : x.name));
  }
  render();
}

// What the page sends for a control's value, or undefined when it is not a value.
function valueOf(s, control) {
  if (s.type === 'bool') return control.checked;
  if (s.type === 'int' || s.type === 'number') return control.value === '' ? undefined : Number(control.value);
  return control.value;
}

function check(s, value) {
  if (s.type === 'int' && !(Number.isInteger(value) && value >= s.min && value <= s.max)) return 'Must be ' + s.rule;
  if (s.type === 'number' && !(typeof value === 'number' && !isNaN(value) && value >= s.min && value <= s.max)) return 'Must be ' + s.rule;
  return '';
}

function control(s, id) {
  const current = s.key in changes ? changes[s.key] : s.value;
  const props = { id, disabled: !s.editable };
  if (s.type === 'bool') {
    const on = current === '' ? s.default : current;
    return el('input', Object.assign(props, { type: 'checkbox', checked: on === true || on === '1' || on === 'true' }));
  }
  if (s.type === 'int' || s.type === 'number') {
    return el('input', Object.assign(props, { type: 'number', min: s.min, max: s.max, step: s.type === 'int' ? 1 : 'any', value: current, placeholder: s.default, className: 'num' }));
  }
  if (s.type === 'choice') return selectOf(s.choices.map((c) => [c, c || '(none)']), current, props);
  if (s.listUrl && s.editable) return selectOf([['', '(none)']].concat(lists[s.listUrl] || []), current, props);
  if (s.type === 'secret') return el('input', Object.assign(props, { type: 'password', autocomplete: 'new-password', value: changes[s.key] || '', placeholder: s.set ? 'set: type to replace' : 'not set' }));
  return el('input', Object.assign(props, { value: current, autocomplete: 'off', maxLength: s.max || 255, className: 'name' }));
}

function render() {
  const groups = $('groups');
  groups.textContent = '';
  const byGroup = new Map();
  for (const s of list) {
    if (!byGroup.has(s.group)) byGroup.set(s.group, []);
    byGroup.get(s.group).push(s);
  }
  for (const [name, settings] of byGroup) {
    const fs = el('fieldset', { id: 'group-' + name.replace(/\W+/g, '-') }, [el('legend', { textContent: name })]);
    for (const s of settings) {
      const id = 'setting-' + s.key;
      const c = control(s, id);
      const problem = el('div', { className: 'problem', id: id + '-problem', role: 'alert' });
      const box = el('div', { className: 'setting' + (s.key in changes ? ' changed' : ''), id: 'box-' + s.key });
      const tags = [s.restart ? el('span', { className: 'tag', textContent: 'restart' }) : null,
        !s.editable ? el('span', { className: 'tag', textContent: 'settings file only' }) : null];
      const label = el('label', { for: id }, [el('strong', { textContent: s.key })].concat(tags));
      const about = el('div', { className: 'about', id: id + '-about',
        textContent: s.description.charAt(0).toUpperCase() + s.description.slice(1) + '. ' + s.rule.charAt(0).toUpperCase() + s.rule.slice(1) + (s.default ? '; default ' + s.default : '') + '.' });
      c.setAttribute('aria-describedby', id + '-about ' + id + '-problem');
      const onEdit = () => {
        const v = valueOf(s, c);
        const why = v === undefined ? 'Must be ' + s.rule : check(s, v);
        problem.textContent = why;
        if (!why) changes[s.key] = v;
        box.classList.add('changed');
        kivEdits.pending = true;
      };
      c.addEventListener(s.type === 'bool' || c.tagName === 'SELECT' ? 'change' : 'input', onEdit);
      const row = s.type === 'bool' ? [el('label', { className: 'check', for: id }, [c, el('strong', { textContent: s.key })].concat(tags))] : [label, el('div', {}, [c])];
      box.append(...row, about, problem);
      fs.append(box);
    }
    groups.append(fs);
  }
}

async function save(restart) {
  if (!Object.keys(changes).length && !restart) return showResult($('settings-result'), { ok: true }, 'Nothing changed');
  const problems = Array.from(document.querySelectorAll('.problem')).map((p) => p.textContent).filter(Boolean);
  if (problems.length) return showResult($('settings-result'), { ok: false, data: { error: 'Correct the values marked first' } });
  let r = { ok: true, data: {} };
  if (Object.keys(changes).length) r = await kivApi('PUT', '/kivd/config/settings' + (restart ? '?restart=1' : ''), changes);
  else r = await kivApi('POST', '/kivd/command', { command: 'Restart KIVD' });
  if (!r.ok) return showResult($('settings-result'), r);
  const saved = Object.keys(changes);
  const waiting = (r.data.restartNeeded || []);
  changes = {};
  kivEdits.pending = false;
  let text = saved.length ? 'Saved ' + saved.join(', ') : 'Nothing changed';
  if (restart) text += '; kivd restarts';
  else if (waiting.length) text += '; ' + waiting.join(', ') + ' take effect after a restart';
  showResult($('settings-result'), r, text);
  if (r.data.settings) { list = r.data.settings; render(); }
}

$('save').addEventListener('click', () => save(false));
$('save-restart').addEventListener('click', () => save(true));
$('discard').addEventListener('click', () => { changes = {}; kivEdits.pending = false; $('settings-result').textContent = 'Changes thrown away'; render(); });
watchChanges(load);
