'use strict';
// Shared by the dose-record pages: column and event names, value formats,
// tables built from rows. Text only, never HTML.

const columnTitles = {
  time_text: 'Время', kind: 'Событие', cell: 'Ячейка', number: 'Дозиметр', uid: 'Работник',
  uname: 'Имя', work_order: 'Наряд', operator: 'Учётная запись', dose_gamma: 'Доза γ',
  dose_neutron: 'Доза n', rate_gamma: 'Мощн. γ', rate_neutron: 'Мощн. n', outcome: 'Ошибка',
  note: 'Примечание', command: 'Команда', cabinet_id: 'Стойка', seq: '№',
};

const kindWords = {
  issue: 'выдача', readout: 'сдача (показания)', readout_failed: 'сдача не прочитана',
  confirm: 'сдача подтверждена', not_confirmed: 'сдача не подтверждена', history: 'история прочитана',
  cell_free: 'дозиметр забран', freed: 'дозиметр забран', still_there: 'дозиметр ещё в ячейке',
  cell_block: 'ячейка заблокирована', cell_unblock: 'ячейка разблокирована',
  registered: 'дозиметр зарегистрирован', unregistered: 'регистрация снята', hub: 'калибровка ячейки',
  scan_error: 'ошибка опроса', startup: 'запуск контроллера', gap: 'пропуск в журнале',
  journal_replaced: 'журнал заменён',
};

// Long free texts wrap; every other column stays on one line.
const wrappedColumns = new Set(['uname', 'work_order', 'outcome', 'note']);

function formatValue(column, value) {
  if (value === null || value === undefined) return '';
  if (column === 'kind') return kindWords[value] || value;
  if (column === 'time_text') return String(value).replace('T', ' ');
  if (typeof value === 'number' && !Number.isInteger(value)) return value.toPrecision(6).replace(/\.?0+$/, '');
  return String(value);
}

// A link to a worker's or a dosimeter's page, or plain text.
function valueNode(column, value) {
  const text = formatValue(column, value);
  if (text === '') return '';
  if (column === 'uid') return el('a', { href: '/worker?uid=' + encodeURIComponent(text) }, text);
  if (column === 'number') return el('a', { href: '/dosimeter?number=' + encodeURIComponent(text) }, text);
  return text;
}

// Fills a table's head and body from column names and row objects.
function fillTable(table, columns, rows, emptyText) {
  const head = table.tHead;
  head.replaceChildren(el('tr', null, ...columns.map(c => el('th', { scope: 'col' }, columnTitles[c] || c))));
  const body = table.tBodies[0];
  if (!rows.length) {
    body.replaceChildren(el('tr', null, el('td', { colSpan: columns.length, className: 'muted' }, emptyText)));
    return;
  }
  body.replaceChildren(...rows.map(row =>
    el('tr', { className: row.kind ? 'kind-' + row.kind : '' },
      ...columns.map(c => el('td', { className: wrappedColumns.has(c) ? 'wrap' : '' }, valueNode(c, row[c]))))));
}

function queryParam(name) {
  return new URLSearchParams(location.search).get(name) || '';
}
