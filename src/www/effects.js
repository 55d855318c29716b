// Effects page: start and stop the effect files, see what runs; on each
// pixel overlay model switch its state, fill it, write text on it in a font
// of the board, run a generated effect or stop it.
import { $, el, kivApi, runCommand, showResult, selectOf, labelled, every } from './setup.js';

let fonts = ['DejaVu Sans'];
let modelEffects = [];
let modelsShown = '';

async function loadEffects() {
  const [files, running] = await Promise.all([kivApi('GET', '/kivd/effects/files'), kivApi('GET', '/kivd/effects')]);
  if (files.ok && Array.isArray(files.data)) {
    const s = $('effect-name');
    const keep = s.value;
    s.textContent = '';
    for (const f of files.data) s.append(el('option', { value: f, textContent: f }));
    if (!files.data.length) s.append(el('option', { value: '', textContent: 'no effect files: upload some on the Files page' }));
    if (files.data.includes(keep)) s.value = keep;
  }
  if (running.ok && Array.isArray(running.data)) {
    const ul = $('running');
    ul.textContent = '';
    for (const e of running.data) {
      const stop = el('button', { textContent: 'Stop', 'aria-label': 'Stop ' + e.name });
      stop.onclick = async () => { showResult($('effects-result'), await runCommand('Effect Stop', [e.name])); loadEffects(); };
      ul.append(el('li', {}, [el('span', { textContent: e.name }), el('span', { className: 'dim',
        textContent: 'channels ' + e.startChannel + '\u2013' + (e.startChannel + e.channelCount - 1) + ', frame ' + e.frame + ' of ' + e.frames +
          (e.loop ? ', looping' : '') + (e.background ? ', background' : '') }), stop]));
    }
    if (!running.data.length) ul.append(el('li', { className: 'dim', textContent: 'none' }));
  }
}

function describe(m) {
  const what = m.effect ? 'effect ' + m.effect.name : m.drawing || 'nothing drawn';
  return m.width + ' \u00d7 ' + m.height + (m.startChannel ? ', channels from ' + m.startChannel : '') + ' \u00b7 ' + m.stateName + ' \u00b7 ' + what;
}

// One model's controls; they run at once and say what happened.
function modelCard(m) {
  const id = (s) => 'model-' + m.name.replace(/\W+/g, '-') + '-' + s;
  const out = el('div', { className: 'result', role: 'status', id: id('result') });
  const run = async (command, args) => { showResult(out, await runCommand(command, [m.name].concat(args))); refreshModels(); };
  const state = selectOf(['Off', 'On', 'Transparent', 'Transparent RGB'], m.stateName, { id: id('state') });
  state.onchange = () => run('Overlay Model State', [state.value]);
  const colour = el('input', { type: 'color', value: '#ff0000', id: id('colour') });
  const fill = el('button', { textContent: 'Fill', type: 'button' });
  fill.onclick = () => run('Overlay Model Fill', [colour.value]);
  const clear = el('button', { textContent: 'Clear', type: 'button' });
  clear.onclick = () => run('Overlay Model Clear', []);
  const text = el('input', { id: id('text'), autocomplete: 'off', className: 'name', maxLength: 1000 });
  const textColour = el('input', { type: 'color', value: '#ffffff', id: id('text-colour') });
  const font = selectOf(fonts, fonts.includes('DejaVuSans') ? 'DejaVuSans' : fonts[0], { id: id('font') });
  const size = el('input', { type: 'number', min: 0, max: 256, value: 0, className: 'short', id: id('size') });
  const direction = selectOf(['None', 'Left', 'Right', 'Up', 'Down'], 'None', { id: id('direction') });
  const speed = el('input', { type: 'number', min: 1, max: 1000, value: 10, className: 'short', id: id('speed') });
  const write = el('button', { textContent: 'Write', type: 'button', id: id('write') });
  write.onclick = () => run('Overlay Model Text', [text.value, textColour.value, font.value, size.value, 'Center', direction.value, speed.value]);
  const effect = selectOf(modelEffects, modelEffects[0], { id: id('effect') });
  const params = el('input', { id: id('params'), autocomplete: 'off', className: 'name', placeholder: 'colours=red,white speed=16' });
  const start = el('button', { textContent: 'Run effect', type: 'button' });
  // Parameters as typed, key=value separated by blanks; a value may not hold blanks but for text=...
  start.onclick = () => run('Overlay Model Effect', [effect.value].concat(params.value.match(/\w+=("[^"]*"|\S+)/g) || []).map((p) => p.replace(/="(.*)"$/, '=$1')));
  const stop = el('button', { textContent: 'Stop effect', type: 'button' });
  stop.onclick = () => run('Overlay Model Effect', ['Stop']);
  return el('fieldset', { className: 'model', id: id('card') }, [el('legend', { textContent: m.name }),
    el('div', { className: 'dim', textContent: describe(m) }),
    el('div', { className: 'fields' }, [labelled('State', state), labelled('Colour', colour), fill, clear]),
    el('div', { className: 'fields' }, [labelled('Text', text), labelled('Text colour', textColour), labelled('Font', font),
      labelled('Size (0 fits)', size), labelled('Scroll', direction), labelled('Speed (px/s)', speed), write]),
    el('div', { className: 'fields' }, [labelled('Effect', effect), labelled('Parameters (key=value ...)', params), start, stop]), out]);
}

async function refreshModels() {
  const r = await kivApi('GET', '/kivd/overlays');
  if (!r.ok) return showResult($('models-result'), r);
  // Redrawn only when the models are added or removed, so that typing goes on; the descriptions are updated in place.
  const names = r.data.map((m) => m.name).join('\n');
  if (names !== modelsShown) {
    modelsShown = names;
    const box = $('models');
    box.textContent = '';
    for (const m of r.data) box.append(modelCard(m));
    if (!r.data.length) box.append(el('p', { className: 'dim', textContent: 'No overlay models: they are defined in config/overlay-models.json (docs/overlay-models.md).' }));
  } else {
    for (const m of r.data) {
      const card = $('model-' + m.name.replace(/\W+/g, '-') + '-card');
      if (card) card.children[1].textContent = describe(m);
    }
  }
}

async function start() {
  const [f, c] = await Promise.all([kivApi('GET', '/kivd/fonts'), kivApi('GET', '/kivd/commands')]);
  if (f.ok && Array.isArray(f.data) && f.data.length) fonts = f.data;
  const cmd = c.ok && Array.isArray(c.data) && c.data.find((x) => x.name === 'Overlay Model Effect');
  if (cmd) modelEffects = (cmd.args[1].contents || []).filter((n) => n !== 'Stop');
  every(2000, loadEffects);
  every(2000, refreshModels);
}

$('effect-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  if (!$('effect-name').value) return;
  const args = [$('effect-name').value, $('effect-channel').value || '0', String($('effect-loop').checked), String($('effect-background').checked)];
  showResult($('effects-result'), await runCommand('Effect Start', args));
  loadEffects();
});
$('stop-all').addEventListener('click', async () => { showResult($('effects-result'), await runCommand('Effects Stop All')); loadEffects(); });
start();
