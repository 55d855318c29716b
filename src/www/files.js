// Files page: upload with a progress bar (the kind guessed from the file's
// extension), list with lengths and delete per kind.
import { $, el, kivApi, kivToken, showResult, watchChanges, seconds } from './setup.js';

const KINDS = [['sequences', /\.(hseq|fseq)$/i], ['music', /\.(mp3|ogg|oga|flac|wav|m4a|aac|opus)$/i],
  ['videos', /\.(mp4|mkv|webm|mov|avi|m4v|mpg|mpeg)$/i], ['images', /\.(png|jpe?g|gif|bmp|webp|tiff?|svg|heic|jxl)$/i], ['effects', /\.eseq$/i]];

function upload(ev) {
  ev.preventDefault();
  const file = $('upload-file').files[0];
  if (!file) return;
  const xhr = new XMLHttpRequest();
  xhr.open('PUT', '/kivd/files/' + $('upload-kind').value + '/' + encodeURIComponent(file.name));
  const headers = kivToken.headers({ 'X-Requested-With': 'kivd', 'Content-Type': 'application/octet-stream' });
  for (const h in headers) xhr.setRequestHeader(h, headers[h]);
  xhr.upload.onprogress = (e) => { if (e.lengthComputable) $('upload-bar').style.width = (100 * e.loaded / e.total) + '%'; };
  xhr.onload = () => {
    let data = {};
    try { data = JSON.parse(xhr.responseText); } catch (e) { /* no JSON */ }
    if (xhr.status === 401) $('token-form').hidden = false;
    showResult($('upload-result'), { ok: xhr.status < 300, status: xhr.status, data }, 'Uploaded ' + file.name);
    loadFiles();
  };
  xhr.onerror = () => showResult($('upload-result'), { ok: false, status: 0, data: { error: 'Upload failed' } });
  $('upload-bar').style.width = '0';
  xhr.send(file);
}

function size(n) { return n >= 1048576 ? (n / 1048576).toFixed(1) + ' MB' : Math.ceil(n / 1024) + ' KB'; }

async function loadFiles() {
  const r = await kivApi('GET', '/kivd/files');
  if (!r.ok) return showResult($('files-result'), r);
  const box = $('file-lists');
  box.textContent = '';
  for (const [kind] of KINDS) {
    const list = el('ul', { className: 'list', id: 'list-' + kind });
    for (const f of r.data[kind]) {
      const del = el('button', { textContent: 'Delete', className: 'danger', 'aria-label': 'Delete ' + f.name });
      del.onclick = async () => {
        if (!confirm('Delete ' + f.name + '?')) return;
        showResult($('files-result'), await kivApi('DELETE', '/kivd/files/' + kind + '/' + encodeURIComponent(f.name)), 'Deleted ' + f.name);
        loadFiles();
      };
      const about = [seconds(f.seconds), f.channels ? f.channels + ' channels' : '', f.recording ? 'recorded live' : '', size(f.size)];
      list.append(el('li', {}, [el('span', { textContent: f.name }),
        el('span', { className: 'dim', textContent: about.filter(Boolean).join(' \u00b7 ') }), del]));
    }
    if (!r.data[kind].length) list.append(el('li', { className: 'dim', textContent: 'none' }));
    box.append(el('h3', { textContent: kind }), list);
  }
}

$('upload-file').addEventListener('change', () => {
  const file = $('upload-file').files[0];
  const kind = file && KINDS.find(([, re]) => re.test(file.name));
  if (kind) $('upload-kind').value = kind[0];
});
$('upload-form').addEventListener('submit', upload);
watchChanges(loadFiles);
