'use strict';
// Shared by the dose-record pages: column and event names, value formats,
// tables built from rows. Text only, never HTML.

const columnTitles = {
  time: 'Время', time_text: 'Время (запись стойки)', kind: 'Событие', cell: 'Ячейка', number: 'Дозиметр',
  uid: 'Работник', uname: 'Имя', work_order: 'Наряд', operator: 'Учётная запись',
  dose_gamma: 'Доза γ, ' + consoleUnits.dose, dose_neutron: 'Доза n, ' + consoleUnits.dose,
  dose: 'Доза, ' + consoleUnits.dose,
  rate_gamma: 'Мощн. γ, ' + consoleUnits.rate, rate_neutron: 'Мощн. n, ' + consoleUnits.rate,
  rate_gamma_time: 'Время мощн. γ', rate_neutron_time: 'Время мощн. n',
  outcome: 'Ошибка', note: 'Примечание', remark: 'Ошибка, примечание', command: 'Команда', cabinet_id: 'Стойка', seq: '№', source: 'Источник',
};

const kindWords = {
  issue: 'выдача', readout: 'сдача (показания)', readout_failed: 'сдача не прочитана',
  confirm: 'сдача подтверждена', not_confirmed: 'сдача не подтверждена', history: 'история прочитана',
  freed: 'дозиметр забран', still_there: 'дозиметр ещё в ячейке', cell_free: 'дозиметр забран',
  cell_block: 'ячейка заблокирована', cell_unblock: 'ячейка разблокирована',
  registered: 'дозиметр зарегистрирован', unregistered: 'регистрация снята', hub: 'калибровка ячейки',
  scan_error: 'ошибка опроса', startup: 'запуск контроллера', gap: 'пропуск в журнале',
  journal_replaced: 'журнал заменён',
};

// Where a read-out's values came from, when not from the return scan.
const sourceWords = {
  recovered: 'восстановлено по строке ячейки', before_reset: 'прочитано перед сбросом',
};

const doseColumns = new Set(['dose_gamma', 'dose_neutron', 'dose']);
const rateColumns = new Set(['rate_gamma', 'rate_neutron']);

// Long free texts wrap; every other column stays on one line.
const wrappedColumns = new Set(['uname', 'work_order', 'outcome', 'note', 'remark']);

function formatValue(column, value, row) {
  // The error and the note of a row in one column.
  if (column === 'remark' && row) {
    return [row.outcome ? 'Ошибка: ' + row.outcome : '', row.note || ''].filter(Boolean).join(' · ');
  }
  if (value === null || value === undefined) return '';
  if (column === 'kind') {
    const source = row && row.source && row.source !== 'scan' ? sourceWords[row.source] || row.source : '';
    return (kindWords[value] || value) + (source ? ' — ' + source : '');
  }
  if (column === 'time_text') return String(value).replace('T', ' ');
  if (doseColumns.has(column) || rateColumns.has(column)) return formatMeasure(value);
  return String(value);
}

// A link to a worker's or a dosimeter's page, or plain text.
function valueNode(column, value, row) {
  const text = formatValue(column, value, row);
  if (text === '') return '';
  if (column === 'uid') return el('a', { href: '/worker?uid=' + encodeURIComponent(text) }, text);
  if (column === 'number') return el('a', { href: '/dosimeter?number=' + encodeURIComponent(text) }, text);
  return text;
}

// Fills a table's head and body from column names and row objects; without
// rows the body is one line that says what is missing and what to do.
function fillTable(table, columns, rows, emptyText, emptyHint) {
  const head = table.tHead;
  head.replaceChildren(el('tr', null, ...columns.map(c => el('th', { scope: 'col' }, columnTitles[c] || c))));
  const body = table.tBodies[0];
  if (!rows.length) {
    body.replaceChildren(emptyRow(columns.length, emptyText, emptyHint));
    return;
  }
  body.replaceChildren(...rows.map(row =>
    el('tr', { className: row.kind ? 'kind-' + row.kind : '' },
      ...columns.map(c => el('td', { className: (wrappedColumns.has(c) ? 'wrap' : '') +
        (doseColumns.has(c) || rateColumns.has(c) ? ' num' : '') }, valueNode(c, row[c], row))))));
}

function queryParam(name) {
  return new URLSearchParams(location.search).get(name) || '';
}

// The pager under a paged table: "Страница P из N · записей: T" and its buttons.
function drawPager(data) {
  document.getElementById('page-info').textContent =
    'Страница ' + data.page + ' из ' + data.pages + ' · записей: ' + data.total;
  document.getElementById('prev').disabled = data.page <= 1;
  document.getElementById('next').disabled = data.page >= data.pages;
}
