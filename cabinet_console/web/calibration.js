'use strict';
// The calibration wizard: one step per cell, each records the USB position
// of the one dosimeter plugged in since the previous step.

const wizardMessage = () => document.getElementById('wizard-message');

function drawWizard(data) {
  document.getElementById('wizard').hidden = !data.active;
  document.getElementById('wizard-prompt').textContent =
    'Вставьте дозиметр в ячейку ' + data.nextCell + ' и нажмите «Записать ячейку ' + data.nextCell + '»';
  document.getElementById('step-button').textContent = 'Записать ячейку ' + data.nextCell;
  const body = document.querySelector('#done-table tbody');
  body.replaceChildren(...data.done.map((s) => el('tr', {}, el('td', {}, s.cell), el('td', {}, s.port),
    el('td', {}, s.hub))));
  document.getElementById('hub-lines').replaceChildren(...data.hub.map((line) => el('li', {}, line || '—')));
  document.getElementById('devices').textContent = data.devices.length ? data.devices.join(', ') : 'нет';
}

async function wizardCall(path, body, success) {
  for (const b of document.querySelectorAll('main button')) b.disabled = true;
  try {
    const data = await api(path, body);
    drawWizard(data);
    if (success) showMessage(wizardMessage(), success(data), 'ok');
  } catch (e) {
    showMessage(wizardMessage(), e.message, 'error');
    if (e.status === 409) {
      try { drawWizard(await api('/api/calibration')); } catch (ignored) { /* the message stays */ }
    }
  } finally {
    for (const b of document.querySelectorAll('main button')) b.disabled = false;
  }
}

document.getElementById('start-restart').addEventListener('click', () =>
  wizardCall('/api/calibration/start', { restart: true }, () => 'Калибровка начата с ячейки 1'));
document.getElementById('start-continue').addEventListener('click', () =>
  wizardCall('/api/calibration/start', { restart: false }, (d) => 'Калибровка продолжается с ячейки ' + d.nextCell));
document.getElementById('step-button').addEventListener('click', () =>
  wizardCall('/api/calibration/step', {}, (d) =>
    'Ячейка ' + d.step.cell + ' записана: ' + d.step.port + ', разъём ' + d.step.hub));
document.getElementById('stop-button').addEventListener('click', () =>
  wizardCall('/api/calibration/stop', {}, () => 'Калибровка закончена'));

wizardCall('/api/calibration');
