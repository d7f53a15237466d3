'use strict';
// The calibration wizard: one step per cell, each records the USB position
// of the one dosimeter plugged in since the previous step. A run belongs to
// the technician who started it; another one sees it and may take it over.

const wizardMessage = () => document.getElementById('wizard-message');
const wizardState = { hub: [], owner: '', mine: false, active: false };

function drawWizard(data) {
  Object.assign(wizardState, data);
  const foreign = data.active && !data.mine;
  document.getElementById('other-run').hidden = !foreign;
  document.getElementById('other-run-text').textContent = foreign
    ? 'Калибровку ведёт ' + data.owner + ' (следующая ячейка ' + data.nextCell + '). Её шаги делает только он; ' +
      'чтобы продолжить вместо него, примите калибровку.'
    : '';
  document.getElementById('start-buttons').hidden = foreign;
  document.getElementById('wizard').hidden = !(data.active && data.mine);
  document.getElementById('wizard-prompt').textContent =
    'Вставьте дозиметр в ячейку ' + data.nextCell + ' и нажмите «Записать ячейку ' + data.nextCell + '»';
  document.getElementById('step-button').textContent = 'Записать ячейку ' + data.nextCell;
  const body = document.querySelector('#done-table tbody');
  if (data.done.length) {
    body.replaceChildren(...data.done.map((s) => el('tr', {}, el('td', {}, s.cell), el('td', {}, s.port),
      el('td', {}, s.hub))));
  } else {
    body.replaceChildren(emptyRow(3, 'В этом сеансе ещё ничего не записано.',
      data.active ? 'Вставьте дозиметр в ячейку ' + data.nextCell + ' и нажмите «Записать ячейку».'
        : 'Начните калибровку заново или продолжите её.'));
  }
  document.getElementById('hub-empty').hidden = data.hub.length > 0;
  document.getElementById('hub-lines').replaceChildren(...data.hub.map((line) => el('li', {}, line || '—')));
  document.getElementById('devices').textContent = data.devices.length ? data.devices.join(', ') : 'нет';
}

async function wizardCall(path, body, success) {
  for (const b of document.querySelectorAll('main button')) b.disabled = true;
  try {
    const data = await api(path, body);
    drawWizard(data);
    const text = [success ? success(data) : '', data.message || ''].filter(Boolean).join('. ');
    if (text) showMessage(wizardMessage(), text, 'ok');
  } catch (e) {
    showMessage(wizardMessage(), e.message, 'error');
    if (e.status === 409) {
      try { drawWizard(await api('/api/calibration')); } catch (ignored) { /* the message stays */ }
    }
  } finally {
    for (const b of document.querySelectorAll('main button')) b.disabled = false;
  }
}

// A restart replaces every line of hub.ini with the first step: asked once more, naming them.
document.getElementById('start-restart').addEventListener('click', () => {
  const lines = wizardState.hub.length;
  if (lines > 0 && !window.confirm('Начать заново? Первый же шаг заменит все ' + lines + ' строк hub.ini ' +
      '(ячейки 1–' + lines + ') одной строкой для ячейки 1, а следующие шаги запишут ячейки заново.')) {
    return;
  }
  wizardCall('/api/calibration/start', { restart: true, replaces: lines }, () => 'Калибровка начата с ячейки 1');
});
document.getElementById('start-continue').addEventListener('click', () =>
  wizardCall('/api/calibration/start', { restart: false }, (d) => 'Калибровка продолжается с ячейки ' + d.nextCell));
document.getElementById('takeover').addEventListener('click', () => {
  if (!window.confirm('Принять калибровку у ' + wizardState.owner + '? Его следующие шаги будут отклонены.')) return;
  wizardCall('/api/calibration/takeover', { confirm: true }, (d) => 'Калибровка принята, следующая ячейка ' + d.nextCell);
});
document.getElementById('step-button').addEventListener('click', () =>
  wizardCall('/api/calibration/step', {}, (d) =>
    'Ячейка ' + d.step.cell + ' записана: ' + d.step.port + ', разъём ' + d.step.hub));
document.getElementById('stop-button').addEventListener('click', () =>
  wizardCall('/api/calibration/stop', {}, () => 'Калибровка закончена'));

wizardCall('/api/calibration');
