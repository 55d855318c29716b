// Test page: start and stop a test pattern, show the one running.
import { $, runCommand, showResult, every } from './setup.js';

async function status() {
  const r = await runCommand('Get Test Status');
  if (!r.ok) return;
  $('test-status').textContent = r.data.running
    ? 'Running: ' + r.data.mode + ' on channels ' + r.data.channels + ' (' + r.data.order + ')' : 'No test running';
}

$('test-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const args = [$('pattern').value, $('channels').value, $('order').value, $('color').value,
    $('force').checked ? 'true' : 'false', $('step').value];
  showResult($('test-result'), await runCommand('Test Pattern', args), 'Started');
  status();
});
$('stop').addEventListener('click', async () => {
  showResult($('test-result'), await runCommand('Test Stop'), 'Stopped');
  status();
});
every(2000, status);
