// Playlists page: pick or create a playlist, edit its entries in three
// sections (add, remove, reorder), save it for the daemon to check.
'use strict';

const SECTIONS = [['leadIn', 'Lead-in'], ['mainPlaylist', 'Main'], ['leadOut', 'Lead-out']];
const FILE_KEY = { sequence: 'sequenceName', both: 'sequenceName', media: 'mediaName', image: 'imagePath' };
let current = null;   // name being edited
let isNew = false;    // made with "New" and not saved yet
let doc = null;       // its document, kept up to date as the user types
let names = [];       // the playlists on the board at the last look

async function loadList() {
  const r = await kivApi('GET', '/kivd/playlists');
  if (!r.ok) return;
  const ul = $('playlist-list');
  ul.textContent = '';
  names = r.data.map((p) => p.name);
  for (const p of r.data) {
    const a = el('a', { href: '#', textContent: p.name, id: 'pick-' + p.name });
    a.onclick = (ev) => { ev.preventDefault(); edit(p.name); };
    ul.append(el('li', {}, [a, el('span', { className: 'dim', textContent: p.description })]));
  }
}

function emptyDoc() { return { description: '', leadIn: [], mainPlaylist: [], leadOut: [] }; }

function say(ok, text) { showResult($('playlist-result'), { ok, data: { error: text } }, text); }

// Puts a playlist in the editor; the description is filled in here only,
// so that redrawing the entries leaves what was typed in it.
function show(name, d, fresh) {
  current = name;
  doc = d;
  isNew = fresh;
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

function render() {
  const box = $('sections');
  box.textContent = '';
  if (!doc) return;
  for (const [key, title] of SECTIONS) {
    const entries = doc[key] || (doc[key] = []);
    const ol = el('ol', { className: 'entries', id: 'section-' + key });
    entries.forEach((e, i) => {
      const type = selectOf(['sequence', 'both', 'media', 'image'], e.type);
      type.onchange = () => { e.type = type.value; render(); };
      const file = el('input', { value: e[FILE_KEY[e.type]] || '', placeholder: FILE_KEY[e.type] || 'file', className: 'file' });
      file.oninput = () => { e[FILE_KEY[e.type]] = file.value; };
      const move = (d) => () => { const j = i + d; if (j < 0 || j >= entries.length) return; [entries[i], entries[j]] = [entries[j], entries[i]]; render(); };
      const up = el('button', { textContent: '\u2191', className: 'small', type: 'button' }); up.onclick = move(-1);
      const down = el('button', { textContent: '\u2193', className: 'small', type: 'button' }); down.onclick = move(1);
      const del = el('button', { textContent: '\u2715', className: 'small danger', type: 'button' });
      del.onclick = () => { entries.splice(i, 1); render(); };
      const row = [type, file];
      if (e.type === 'image') {
        const model = el('input', { value: e.modelName || '', placeholder: 'modelName', className: 'file' });
        model.oninput = () => { e.modelName = model.value; };
        row.push(model);
      }
      ol.append(el('li', {}, row.concat([up, down, del])));
    });
    const add = el('button', { textContent: 'Add entry', type: 'button', className: 'small', id: 'add-' + key });
    add.onclick = () => { entries.push({ type: 'sequence', sequenceName: '' }); render(); };
    box.append(el('h3', { textContent: title }), ol, add);
  }
}

$('description').addEventListener('input', () => { if (doc) doc.description = $('description').value; });
$('new-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const name = $('new-name').value.trim();
  if (!name) return say(false, 'Type a name for the new playlist first');
  // Saving under a name already taken would silently replace that playlist.
  if (names.includes(name)) return say(false, 'A playlist named ' + name + ' already exists: pick it in the list to edit it');
  $('playlist-result').textContent = '';
  show(name, emptyDoc(), true);
});
$('save').addEventListener('click', async () => {
  if (!current) return say(false, 'Nothing to save: pick a playlist in the list or make a new one');
  const path = '/kivd/playlists/' + encodeURIComponent(current);
  // Made elsewhere since "New" was pressed here: replaced only when asked for.
  if (isNew && (await kivApi('GET', path)).ok &&
      !confirm('A playlist named ' + current + ' was saved meanwhile. Replace it with this one?')) {
    return say(false, 'Not saved: the playlist ' + current + ' on the board is left as it was');
  }
  const r = await kivApi('PUT', path, doc);
  if (r.ok) isNew = false;
  showResult($('playlist-result'), r, 'Saved ' + current);
});
$('delete').addEventListener('click', async () => {
  if (!current) return say(false, 'Nothing to delete: pick a playlist in the list first');
  if (!confirm('Delete playlist ' + current + '?')) return;
  const name = current;
  const r = await kivApi('DELETE', '/kivd/playlists/' + encodeURIComponent(name));
  showResult($('playlist-result'), r, 'Deleted ' + name);
  if (r.ok) show(null, null, false);
});
watchChanges(loadList);
