'use strict';
// Journal events: the filter goes to the address bar and to the server, which
// pages the rows; the CSV link carries the same filter.

const records = { page: 1, pages: 1 };
const filterFields = ['from', 'to', 'uid', 'cell', 'number', 'kind'];

function filterParams() {
  const params = new URLSearchParams();
  for (const name of filterFields) {
    const value = document.getElementById('f-' + name).value.trim();
    if (value) params.set(name, value);
  }
  return params;
}

async function loadEvents() {
  const params = filterParams();
  document.getElementById('csv').href = '/api/events.csv?' + params.toString();
  params.set('page', String(records.page));
  history.replaceState(null, '', '/records?' + params.toString());
  const message = document.getElementById('records-message');
  try {
    const data = await api('/api/events?' + params.toString());
    records.pages = data.pages;
    fillKinds(data.kinds);
    fillTable(document.getElementById('events'), data.columns, data.events, 'Нет записей');
    document.getElementById('page-info').textContent =
      'Страница ' + data.page + ' из ' + data.pages + ' · записей: ' + data.total;
    document.getElementById('prev').disabled = data.page <= 1;
    document.getElementById('next').disabled = data.page >= data.pages;
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
  records.page = Math.max(1, parseInt(queryParam('page'), 10) || 1);
  document.getElementById('filter').addEventListener('submit', (e) => {
    e.preventDefault();
    records.page = 1;
    loadEvents();
  });
  document.getElementById('prev').addEventListener('click', () => { records.page -= 1; loadEvents(); });
  document.getElementById('next').addEventListener('click', () => { records.page += 1; loadEvents(); });
  loadEvents();
}

start();
