'use strict';
// The rack map: polls /api/rack every 2 s and redraws the cells in place;
// a click on a cell opens its details and, for a technician, its actions.

const READING_LABELS = {
  n: 'Номер дозиметра',
  u: 'Идентификатор работника',
  duty: 'Наряд',
  d: 'Доза γ',
  r: 'Макс. мощность дозы γ',
  tm: 'Время макс. мощности γ',
  dn: 'Доза n',
  rn: 'Макс. мощность дозы n',
  tmn: 'Время макс. мощности n',
};

// A reading as the panel shows it: doses and rates with their unit, times of
// the highest rates as date-times in the cabinet's zone.
function readingText(cell, key) {
  const r = cell.readings || {};
  if (key === 'd' || key === 'dn') return withUnit(r[key], consoleUnits.dose);
  if (key === 'r' || key === 'rn') return withUnit(r[key], consoleUnits.rate);
  if (key === 'tm' || key === 'tmn') {
    return (cell.readingTimes || {})[key] || (Number(r[key]) === 0 ? 'нет' : r[key]);
  }
  return r[key];
}

// The state in one or two short words, for the narrow tiles of a phone.
const SHORT_WORDS = {
  empty: 'пусто', resting: 'отдых', ready: 'готов', issued: 'выдан', returned: 'сдан',
  blocked: 'блок', failed: 'ошибка',
};

const rack = {
  cells: [],          // the last /api/rack cells
  selected: 0,        // the cell whose panel is open
  nodes: new Map(),   // cell number -> its button
  timer: 0,
  busy: false,
};

function cellDetail(cell) {
  if (cell.state === 'resting') return 'ещё ' + cell.left + ' с';
  if (cell.state === 'returned') {
    const r = cell.readings || {};
    return 'доза ' + formatMeasure(r.d) + (r.dn !== undefined ? ' / ' + formatMeasure(r.dn) : '') +
      '\u00a0' + consoleUnits.dose;
  }
  if (cell.state === 'blocked' || cell.state === 'failed') return cell.text;
  return '';
}

function drawCell(node, cell) {
  node.dataset.state = cell.state;
  node.querySelector('.num').textContent = cell.cell;
  node.querySelector('.dos').textContent = cell.number ? '№ ' + cell.number : '—';
  node.querySelector('.word').textContent = cell.word;
  node.querySelector('.word-short').textContent =
    SHORT_WORDS[cell.state] + (cell.state === 'resting' ? ' ' + cell.left + ' с' : '');
  node.querySelector('.extra').textContent = cellDetail(cell);
  node.title = 'Ячейка ' + cell.cell + ': ' + cell.word + (cell.text ? ' — ' + cell.text : '');
  node.setAttribute('aria-pressed', String(cell.cell === rack.selected));
}

function drawRack(data) {
  const grid = document.getElementById('rack');
  grid.style.setProperty('--columns', data.columns);
  if (rack.nodes.size !== data.cells.length) {
    grid.replaceChildren();
    rack.nodes.clear();
    for (const cell of data.cells) {
      const node = el('button', { type: 'button', className: 'cell' },
        el('span', { className: 'num' }), el('span', { className: 'dos' }),
        el('span', { className: 'word' }), el('span', { className: 'word-short', ariaHidden: 'true' }),
        el('span', { className: 'extra' }));
      node.dataset.cell = cell.cell;
      node.addEventListener('click', () => openPanel(Number(node.dataset.cell)));
      rack.nodes.set(cell.cell, node);
      grid.append(node);
    }
  }
  for (const cell of data.cells) drawCell(rack.nodes.get(cell.cell), cell);
  rack.cells = data.cells;
  const counts = {};
  for (const cell of data.cells) counts[cell.word] = (counts[cell.word] || 0) + 1;
  document.getElementById('rack-summary').textContent = 'Ячеек: ' + data.count + ' · тип ' + data.type + ' · ' +
    Object.entries(counts).map(([word, n]) => word + ': ' + n).join(', ');
  document.getElementById('rack-updated').textContent = 'обновлено ' + data.nowText;
  document.getElementById('rack-empty').hidden = data.cells.length > 0;
  if (rack.selected) drawPanel();
}

async function refresh() {
  clearTimeout(rack.timer);
  try {
    drawRack(await api('/api/rack'));
    if (!window.rackReadyAt) window.rackReadyAt = performance.now();
    const message = document.getElementById('rack-message');
    if (message.dataset.kind === 'stale') showMessage(message, '', 'info');
  } catch (e) {
    if (e.status !== 401) {
      showMessage(document.getElementById('rack-message'), 'Карта не обновляется: ' + e.message, 'stale');
    }
  }
  rack.timer = setTimeout(refresh, 2000);
}

function fact(list, term, value) {
  list.append(el('dt', {}, term), el('dd', {}, value === undefined || value === '' ? '—' : value));
}

function selectedCell() {
  return rack.cells.find((c) => c.cell === rack.selected);
}

function drawPanel() {
  const cell = selectedCell();
  const panel = document.getElementById('panel');
  if (!cell) { panel.hidden = true; return; }
  panel.hidden = false;
  document.getElementById('panel-title').textContent = 'Ячейка ' + cell.cell + ': ' + cell.word;
  const facts = document.getElementById('panel-facts');
  facts.replaceChildren();
  fact(facts, 'Дозиметр', cell.number);
  fact(facts, 'Устройство', cell.port);
  if (cell.state === 'resting') fact(facts, 'До выдачи', cell.left + ' с');
  if (cell.state === 'blocked') fact(facts, 'Текст блокировки', cell.text);
  if (cell.state === 'failed') fact(facts, 'Ошибка', cell.text);
  if (cell.state === 'returned') {
    for (const [key, label] of Object.entries(READING_LABELS)) {
      if (cell.readings && key in cell.readings && key !== 'n') fact(facts, label, readingText(cell, key));
    }
  }
  const stopped = cell.state === 'blocked' || cell.state === 'failed';
  // A block would replace the line of an issued dosimeter or of a dose waiting for confirmation.
  document.getElementById('block-form').hidden = stopped || cell.state === 'issued' || cell.state === 'returned';
  document.getElementById('unblock-button').hidden = !stopped;
  document.getElementById('history-button').hidden = !cell.number;
  document.getElementById('confirm-button').hidden = cell.state !== 'returned';
  for (const node of rack.nodes.values()) {
    node.setAttribute('aria-pressed', String(Number(node.dataset.cell) === rack.selected));
  }
}

function openPanel(number) {
  if (rack.selected !== number) {
    document.getElementById('history').hidden = true;
    showMessage(document.getElementById('panel-message'), '', 'info');
  }
  rack.selected = number;
  drawPanel();
  document.getElementById('panel').scrollIntoView({ block: 'nearest' });
}

// Runs one service action with the buttons locked; shows its outcome.
async function act(label, path, body, onDone) {
  if (rack.busy) return;
  rack.busy = true;
  const message = document.getElementById(rack.selected ? 'panel-message' : 'rack-message');
  showMessage(message, label + '…', 'info');
  for (const b of document.querySelectorAll('#panel-actions button, #poll-returns')) b.disabled = true;
  try {
    const data = await api(path, body);
    if (data.error) showMessage(message, label + ': ' + data.error, 'error');
    else showMessage(message, label + ': выполнено', 'ok');
    if (onDone) onDone(data);
    await refresh();
  } catch (e) {
    // Confirmed meanwhile by someone else: nothing is lost, the map shows it.
    showMessage(message, label + ': ' + e.message, e.data && e.data.already ? 'ok' : 'error');
    if (e.status === 409) await refresh();
  } finally {
    for (const b of document.querySelectorAll('#panel-actions button, #poll-returns')) b.disabled = false;
    rack.busy = false;
  }
}

function showHistory(data) {
  const text = (data.reply && data.reply.history_all) || '';
  const records = text.match(/.{1,32}/g) || [];
  const pre = document.getElementById('history');
  pre.textContent = records.length
    ? 'Записей: ' + records.length + '\n' + records.join('\n')
    : 'История пуста';
  pre.hidden = false;
}

function askConfirmation() {
  const cell = selectedCell();
  if (!cell || cell.state !== 'returned') return;
  const dialog = document.getElementById('confirm-dialog');
  dialog.dataset.cell = cell.cell;
  dialog.dataset.number = cell.number;
  document.getElementById('confirm-question').textContent =
    'Дозиметр № ' + cell.number + ' в ячейке ' + cell.cell + '. После подтверждения его показания будут сброшены.';
  const facts = document.getElementById('confirm-facts');
  facts.replaceChildren();
  for (const [key, label] of Object.entries(READING_LABELS)) {
    if (cell.readings && key in cell.readings) fact(facts, label, readingText(cell, key));
  }
  dialog.showModal();
}

function setUpActions() {
  document.getElementById('panel-close').addEventListener('click', () => {
    rack.selected = 0;
    document.getElementById('panel').hidden = true;
    for (const node of rack.nodes.values()) node.setAttribute('aria-pressed', 'false');
  });
  document.getElementById('block-button').addEventListener('click', () => {
    const text = document.getElementById('block-text').value;
    act('Блокировка', '/api/cell/block', { cell: rack.selected, text },
      () => { document.getElementById('block-text').value = ''; });
  });
  document.getElementById('unblock-button').addEventListener('click',
    () => act('Разблокировка', '/api/cell/unblock', { cell: rack.selected }));
  document.getElementById('history-button').addEventListener('click',
    () => act('Чтение истории', '/api/cell/history', { cell: rack.selected }, showHistory));
  document.getElementById('confirm-button').addEventListener('click', askConfirmation);
  document.getElementById('confirm-no').addEventListener('click',
    () => document.getElementById('confirm-dialog').close());
  document.getElementById('confirm-yes').addEventListener('click', () => {
    const dialog = document.getElementById('confirm-dialog');
    dialog.close();
    act('Подтверждение сдачи', '/api/cell/confirm',
      { cell: Number(dialog.dataset.cell), number: dialog.dataset.number });
  });
  document.getElementById('poll-returns').addEventListener('click', () => {
    act('Опрос возвратов', '/api/out', {}, (data) => {
      const r = data.reply || {};
      const text = r.OUT ? 'сдан дозиметр № ' + r.n + ' в ячейку ' + r.c : (r.error ? '' : 'возвратов нет');
      if (text) showMessage(document.getElementById('rack-message'), 'Опрос возвратов: ' + text, 'ok');
    });
  });
}

setUpActions();
refresh();
