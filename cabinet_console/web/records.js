'use strict';
// Journal events: the filter goes to the address bar and to the server, which
// pages the rows; the CSV link carries the same filter. A few columns by
// default, the rest behind "Все столбцы".

const records = { page: 1, pages: 1, data: null };
const filterFields = ['from', 'to', 'uid', 'cell', 'number', 'kind'];
const defaultColumns = ['time', 'kind', 'cell', 'number', 'uid', 'uname', 'dose_gamma', 'operator', 'remark'];

function filterParams() {
  const params = new URLSearchParams();
  for (const name of filterFields) {
    const value = document.getElementById('f-' + name).value.trim();
    if (value) params.set(name, value);
  }
  return params;
}

function shownColumns(data) {
  if (document.getElementById('all-columns').checked) return ['time', ...data.columns];
  return defaultColumns;
}

function drawEvents() {
  const data = records.data;
  if (!data) return;
  const filtered = filterFields.some((name) => document.getElementById('f-' + name).value.trim());
  fillTable(document.getElementById('events'), shownColumns(data), data.events,
    filtered ? 'Нет записей, подходящих под фильтр.' : 'В журнале пока нет записей.',
    filtered ? 'Измените или очистите фильтр и нажмите «Показать».'
      : 'Записи появятся после первой выдачи или сдачи дозиметра.');
}

async function loadEvents() {
  const params = filterParams();
  document.getElementById('csv').href = '/api/events.csv?' + params.toString();
  params.set('page', String(records.page));
  if (document.getElementById('all-columns').checked) params.set('all', '1');
  history.replaceState(null, '', '/records?' + params.toString());
  params.delete('all');
  const message = document.getElementById('records-message');
  try {
    const data = await api('/api/events?' + params.toString());
    records.pages = data.pages;
    records.data = data;
    fillKinds(data.kinds);
    drawEvents();
    drawPager(data);
    showMessage(message, '', 'info');
  } catch (e) {
    showMessage(message, e.message, 'error');
  }
}

function fillKinds(kinds) {
  const select = document.getElementById('f-kind');
  if (select.options.length > 1) return;
  const chosen = queryParam('kind');
  for (const kind of kinds) select.append(el('option', { value: kind, selected: kind === chosen }, kindWords[kind] || kind));
}

function start() {
  for (const name of filterFields) {
    const value = queryParam(name);
    if (value) document.getElementById('f-' + name).value = value;
  }
  document.getElementById('all-columns').checked = queryParam('all') === '1';
  records.page = Math.max(1, parseInt(queryParam('page'), 10) || 1);
  document.getElementById('filter').addEventListener('submit', (e) => {
    e.preventDefault();
    records.page = 1;
    loadEvents();
  });
  document.getElementById('all-columns').addEventListener('change', () => {
    const params = new URLSearchParams(location.search);
    if (document.getElementById('all-columns').checked) params.set('all', '1');
    else params.delete('all');
    history.replaceState(null, '', '/records?' + params.toString());
    drawEvents();
  });
  document.getElementById('prev').addEventListener('click', () => { records.page -= 1; loadEvents(); });
  document.getElementById('next').addEventListener('click', () => { records.page += 1; loadEvents(); });
  loadEvents();
}

start();
