// Playlists page: pick or create a playlist and edit its three sections.
// Every file is picked from those on the board, with its length; entries
// move with buttons or by dragging; the daemon checks what is saved.
import { $, el, kivApi, kivEdits, showResult, say, selectOf, labelled, checkbox, watchChanges, seconds } from './setup.js';

const SECTIONS = [['leadIn', 'Lead-in'], ['mainPlaylist', 'Main'], ['leadOut', 'Lead-out']];
const TYPES = [['sequence', 'Sequence'], ['both', 'Sequence with song'], ['media', 'Song or video'], ['image', 'Picture']];
let current = null;   // name being edited
let isNew = false;    // made with "New" and not saved yet
let doc = null;       // its document, kept up to date as the user edits
let names = [];       // the playlists on the board at the last look
let files = { sequences: [], music: [], videos: [], images: [] };
let models = [];
let dragged = null;   // [section key, index] of the entry being dragged

async function load() {
  const [list, f, o] = await Promise.all([kivApi('GET', '/kivd/playlists'), kivApi('GET', '/kivd/files'), kivApi('GET', '/kivd/overlays')]);
  if (f.ok) files = f.data;
  if (o.ok && Array.isArray(o.data)) models = o.data.map((m) => m.name);
  if (list.ok) {
    const ul = $('playlist-list');
    ul.textContent = '';
    names = list.data.map((p) => p.name);
    for (const p of list.data) {
      const a = el('a', { href: '#', textContent: p.name, id: 'pick-' + p.name, className: 'button' });
      a.onclick = (ev) => { ev.preventDefault(); edit(p.name); };
      ul.append(el('li', {}, [a, el('span', { className: 'dim', textContent: p.description })]));
    }
    if (!list.data.length) ul.append(el('li', { className: 'dim', textContent: 'none yet: make one below' }));
  }
  render();
}

function emptyDoc() { return { description: '', leadIn: [], mainPlaylist: [], leadOut: [] }; }

// Puts a playlist in the editor; the description is filled in here only,
// so that redrawing the entries leaves what was typed in it.
function show(name, d, fresh) {
  current = name;
  doc = d;
  isNew = fresh;
  kivEdits.pending = fresh;
  $('edit-name').textContent = name || '';
  $('description').value = (d && d.description) || '';
  render();
}

async function edit(name) {
  const r = await kivApi('GET', '/kivd/playlists/' + encodeURIComponent(name));
  if (!r.ok) return showResult($('playlist-result'), r);
  $('playlist-result').textContent = '';
  show(name, r.data, false);
}

function edited() { kivEdits.pending = true; }

function fileChoice(label, list, value, onPick, blank) {
  const options = (blank ? [['', blank]] : []).concat(list.map((f) => [f.name, f.name + (f.seconds ? ' (' + seconds(f.seconds) + ')' : '')]));
  if (!blank && !value) options.unshift(['', 'pick a file']);
  const s = selectOf(options, value || '', { className: 'name' });
  s.onchange = () => { onPick(s.value); edited(); render(); };
  return labelled(label, s);
}

function lengthOf(e) {
  const find = (list, name) => (list.find((f) => f.name === name) || {}).seconds;
  if (e.type === 'sequence') return find(files.sequences, e.sequenceName);
  if (e.type === 'both') return Math.max(find(files.sequences, e.sequenceName) || 0, find(files.music.concat(files.videos), e.mediaName) || 0) || undefined;
  if (e.type === 'media') return find(files.music.concat(files.videos), e.mediaName);
  return 0;
}

function entryRow(key, entries, e, i) {
  const type = selectOf(TYPES, e.type);
  type.onchange = () => { e.type = type.value; edited(); render(); };
  const row = [el('span', { className: 'grip', textContent: '\u2630', title: 'Drag to move', 'aria-hidden': 'true' }), labelled('Type', type)];
  const media = files.music.concat(files.videos);
  if (e.type === 'sequence' || e.type === 'both') row.push(fileChoice('Sequence', files.sequences, e.sequenceName, (v) => { e.sequenceName = v; }));
  if (e.type === 'both') row.push(fileChoice('Song', media, e.mediaName, (v) => { if (v) e.mediaName = v; else delete e.mediaName; }, 'the one the sequence names'));
  if (e.type === 'media') row.push(fileChoice('Song or video', media, e.mediaName, (v) => { e.mediaName = v; }));
  if (e.type === 'image') {
    row.push(fileChoice('Picture', files.images, e.imagePath, (v) => { e.imagePath = v; }));
    const m = selectOf([['', 'pick a model']].concat(models), e.modelName || '', { className: 'short' });
    m.onchange = () => { e.modelName = m.value; edited(); };
    row.push(labelled('Model', m));
  }
  const length = lengthOf(e);
  row.push(el('span', { className: 'length', textContent: length ? seconds(length) : '' }));
  const enabled = checkbox('Plays', e.enabled !== false);
  enabled.firstChild.onchange = () => { e.enabled = enabled.firstChild.checked; edited(); };
  const once = checkbox('First pass only', !!e.playOnce);
  once.firstChild.onchange = () => { e.playOnce = once.firstChild.checked; edited(); };
  const move = (d) => () => { const j = i + d; if (j < 0 || j >= entries.length) return; [entries[i], entries[j]] = [entries[j], entries[i]]; edited(); render(); };
  const what = 'entry ' + (i + 1);
  const up = el('button', { textContent: '\u2191', type: 'button', className: 'up', 'aria-label': 'Move ' + what + ' up' }); up.onclick = move(-1);
  const down = el('button', { textContent: '\u2193', type: 'button', className: 'down', 'aria-label': 'Move ' + what + ' down' }); down.onclick = move(1);
  const del = el('button', { textContent: '\u2715', type: 'button', className: 'danger remove', 'aria-label': 'Remove ' + what });
  del.onclick = () => { entries.splice(i, 1); edited(); render(); };
  const li = el('li', { draggable: true }, row.concat([enabled, once, up, down, del]));
  li.addEventListener('dragstart', (ev) => { dragged = [key, i]; li.classList.add('dragging'); ev.dataTransfer.effectAllowed = 'move'; ev.dataTransfer.setData('text/plain', String(i)); });
  li.addEventListener('dragend', () => li.classList.remove('dragging'));
  li.addEventListener('dragover', (ev) => { if (dragged) { ev.preventDefault(); li.classList.add('drop'); } });
  li.addEventListener('dragleave', () => li.classList.remove('drop'));
  li.addEventListener('drop', (ev) => { ev.preventDefault(); drop(key, i); });
  return li;
}

// The dragged entry goes before the entry it is dropped on (or to the end
// of a section dropped on its empty space), within or across sections.
function drop(key, at) {
  if (!dragged) return;
  const [fromKey, from] = dragged;
  dragged = null;
  const [moved] = doc[fromKey].splice(from, 1);
  let to = at === undefined ? doc[key].length : at;
  if (fromKey === key && at !== undefined && from < at) to -= 1;
  doc[key].splice(to, 0, moved);
  edited();
  render();
}

function render() {
  const box = $('sections');
  box.textContent = '';
  if (!doc) return;
  for (const [key, title] of SECTIONS) {
    const entries = doc[key] || (doc[key] = []);
    const ol = el('ol', { className: 'rows', id: 'section-' + key, 'aria-label': title });
    entries.forEach((e, i) => ol.append(entryRow(key, entries, e, i)));
    ol.addEventListener('dragover', (ev) => { if (dragged) ev.preventDefault(); });
    ol.addEventListener('drop', (ev) => { if (ev.target === ol) { ev.preventDefault(); drop(key); } });
    const total = entries.reduce((t, e) => t + (e.enabled === false ? 0 : lengthOf(e) || 0), 0);
    const add = el('button', { textContent: 'Add entry', type: 'button', id: 'add-' + key });
    add.onclick = () => {
      entries.push({ type: 'sequence', sequenceName: files.sequences.length === 1 ? files.sequences[0].name : '' });
      edited();
      render();
    };
    box.append(el('h3', { textContent: title + (total ? ' \u00b7 ' + seconds(total) : '') }), ol, add);
  }
}

$('description').addEventListener('input', () => { if (doc) { doc.description = $('description').value; edited(); } });
$('new-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const name = $('new-name').value.trim();
  if (!name) return say($('playlist-result'), false, 'Type a name for the new playlist first');
  // Saving under a name already taken would silently replace that playlist.
  if (names.includes(name)) return say($('playlist-result'), false, 'A playlist named ' + name + ' already exists: pick it in the list to edit it');
  $('playlist-result').textContent = '';
  show(name, emptyDoc(), true);
});
$('save').addEventListener('click', async () => {
  if (!current) return say($('playlist-result'), false, 'Nothing to save: pick a playlist in the list or make a new one');
  const path = '/kivd/playlists/' + encodeURIComponent(current);
  // Made elsewhere since "New" was pressed here: replaced only when asked for.
  if (isNew && (await kivApi('GET', path)).ok &&
      !confirm('A playlist named ' + current + ' was saved meanwhile. Replace it with this one?')) {
    return say($('playlist-result'), false, 'Not saved: the playlist ' + current + ' on the board is left as it was');
  }
  const r = await kivApi('PUT', path, doc);
  if (r.ok) { isNew = false; kivEdits.pending = false; }
  showResult($('playlist-result'), r, 'Saved ' + current);
});
$('delete').addEventListener('click', async () => {
  if (!current) return say($('playlist-result'), false, 'Nothing to delete: pick a playlist in the list first');
  if (!confirm('Delete playlist ' + current + '?')) return;
  const name = current;
  const r = await kivApi('DELETE', '/kivd/playlists/' + encodeURIComponent(name));
  showResult($('playlist-result'), r, 'Deleted ' + name);
  if (r.ok) show(null, null, false);
});
watchChanges(load);
