// Playlists page: pick or create a playlist, edit its entries in three
// sections (add, remove, reorder), save it for the daemon to check.
'use strict';

const SECTIONS = [['leadIn', 'Lead-in'], ['mainPlaylist', 'Main'], ['leadOut', 'Lead-out']];
const FILE_KEY = { sequence: 'sequenceName', both: 'sequenceName', media: 'mediaName', image: 'imagePath' };
let current = null;   // name being edited
let doc = null;       // its document

async function loadList() {
  const r = await kivApi('GET', '/kivd/playlists');
  if (!r.ok) return;
  const ul = $('playlist-list');
  ul.textContent = '';
  for (const p of r.data) {
    const a = el('a', { href: '#', textContent: p.name, id: 'pick-' + p.name });
    a.onclick = (ev) => { ev.preventDefault(); edit(p.name); };
    ul.append(el('li', {}, [a, el('span', { className: 'dim', textContent: p.description })]));
  }
}

async function edit(name) {
  const r = await kivApi('GET', '/kivd/playlists/' + encodeURIComponent(name));
  current = name;
  doc = r.ok ? r.data : { description: '', leadIn: [], mainPlaylist: [], leadOut: [] };
  render();
}

function render() {
  $('edit-name').textContent = current || '';
  $('description').value = doc.description || '';
  const box = $('sections');
  box.textContent = '';
  for (const [key, title] of SECTIONS) {
    const entries = doc[key] || (doc[key] = []);
    const ol = el('ol', { className: 'entries', id: 'section-' + key });
    entries.forEach((e, i) => {
      const type = selectOf(['sequence', 'both', 'media', 'image'], e.type);
      type.onchange = () => { e.type = type.value; render(); };
      const file = el('input', { value: e[FILE_KEY[e.type]] || '', placeholder: FILE_KEY[e.type] || 'file', className: 'file' });
      file.onchange = () => { e[FILE_KEY[e.type]] = file.value; };
      const move = (d) => () => { const j = i + d; if (j < 0 || j >= entries.length) return; [entries[i], entries[j]] = [entries[j], entries[i]]; render(); };
      const up = el('button', { textContent: '\u2191', className: 'small', type: 'button' }); up.onclick = move(-1);
      const down = el('button', { textContent: '\u2193', className: 'small', type: 'button' }); down.onclick = move(1);
      const del = el('button', { textContent: '\u2715', className: 'small danger', type: 'button' });
      del.onclick = () => { entries.splice(i, 1); render(); };
      const row = [type, file];
      if (e.type === 'image') {
        const model = el('input', { value: e.modelName || '', placeholder: 'modelName', className: 'file' });
        model.onchange = () => { e.modelName = model.value; };
        row.push(model);
      }
      ol.append(el('li', {}, row.concat([up, down, del])));
    });
    const add = el('button', { textContent: 'Add entry', type: 'button', className: 'small', id: 'add-' + key });
    add.onclick = () => { entries.push({ type: 'sequence', sequenceName: '' }); render(); };
    box.append(el('h3', { textContent: title }), ol, add);
  }
}

$('new-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  current = $('new-name').value.trim();
  doc = { description: '', leadIn: [], mainPlaylist: [], leadOut: [] };
  render();
});
$('save').addEventListener('click', async () => {
  if (!current) return;
  doc.description = $('description').value;
  showResult($('playlist-result'), await kivApi('PUT', '/kivd/playlists/' + encodeURIComponent(current), doc), 'Saved ' + current);
});
$('delete').addEventListener('click', async () => {
  if (!current || !confirm('Delete playlist ' + current + '?')) return;
  showResult($('playlist-result'), await kivApi('DELETE', '/kivd/playlists/' + encodeURIComponent(current)), 'Deleted ' + current);
  current = null;
  doc = { leadIn: [], mainPlaylist: [], leadOut: [] };
  render();
});
watchChanges(loadList);
