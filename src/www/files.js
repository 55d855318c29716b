// Files page: upload with a progress bar, list and delete per kind.
'use strict';

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
  for (const kind of ['sequences', 'music', 'videos', 'images']) {
    const list = el('ul', { className: 'list', id: 'list-' + kind });
    for (const f of r.data[kind]) {
      const del = el('button', { textContent: 'Delete', className: 'danger small' });
      del.onclick = async () => {
        if (!confirm('Delete ' + f.name + '?')) return;
        showResult($('files-result'), await kivApi('DELETE', '/kivd/files/' + kind + '/' + encodeURIComponent(f.name)), 'Deleted ' + f.name);
        loadFiles();
      };
      list.append(el('li', {}, [el('span', { textContent: f.name }), el('span', { className: 'dim', textContent: size(f.size) }), del]));
    }
    if (!r.data[kind].length) list.append(el('li', { className: 'dim', textContent: 'none' }));
    box.append(el('h3', { textContent: kind }), list);
  }
}

$('upload-form').addEventListener('submit', upload);
watchChanges(loadFiles);
