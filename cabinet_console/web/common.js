'use strict';
// Helpers shared by the console's pages. Every text from the server is put
// into the page with textContent, never as HTML.

const metaContent = (name) => document.querySelector('meta[name="' + name + '"]')?.content || '';

const consoleUser = {
  name: metaContent('user'),
  role: metaContent('role'),
  csrf: metaContent('csrf-token'),
};

// The units the dosimeters report (settings dose_unit, rate_unit).
const consoleUnits = { dose: metaContent('dose-unit'), rate: metaContent('rate-unit') };

// A dose or rate for a table or a tile: 3 significant digits (the API and the
// CSV keep every digit). Text that is not a number is shown as it is.
const threeDigits = new Intl.NumberFormat('ru-RU', { minimumSignificantDigits: 3, maximumSignificantDigits: 3 });
function formatMeasure(value) {
  if (value === null || value === undefined || value === '') return '';
  const n = typeof value === 'number' ? value : Number(String(value).trim());
  if (!Number.isFinite(n)) return String(value);
  return n === 0 ? '0' : threeDigits.format(n);
}
function withUnit(value, unit) {
  const text = formatMeasure(value);
  return text === '' ? '' : text + '\u00a0' + unit;
}

// "Нет данных" with what to do, in place of an empty table body or chart.
function emptyState(text, hint) {
  return el('div', { className: 'empty-state' }, el('p', { className: 'empty-title' }, text),
    hint ? el('p', { className: 'empty-hint' }, hint) : null);
}

// The one row of an empty table body, across its colCount columns.
function emptyRow(colCount, text, hint) {
  return el('tr', null, el('td', { colSpan: colCount, className: 'wrap' }, emptyState(text, hint)));
}

// Builds an element: el('td', {className: 'x'}, 'text', otherElement).
function el(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

class ApiError extends Error {
  constructor(status, text, data) {
    super(text);
    this.status = status;
    this.data = data || {};
  }
}

// GET when body is undefined, POST with JSON otherwise. Resolves to the JSON
// reply; rejects with ApiError. A lost session goes back to the login page.
async function api(path, body) {
  const init = { credentials: 'same-origin', headers: {} };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers['Content-Type'] = 'application/json';
    init.headers['X-CSRF-Token'] = consoleUser.csrf;
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    throw new ApiError(0, 'Пульт не отвечает');
  }
  const data = await response.json().catch(() => ({}));
  if (response.status === 401) {
    location.replace('/login');
    throw new ApiError(401, data.error || 'Нужно войти');
  }
  if (!response.ok) {
    throw new ApiError(response.status, data.error || ('Ошибка ' + response.status), data);
  }
  return data;
}

function showMessage(node, text, kind) {
  node.textContent = text;
  node.dataset.kind = kind || 'info';
}

// The header: the current page's link, account, role, logout; technician-only links.
function setUpHeader() {
  const who = document.getElementById('who');
  if (who) {
    who.textContent = consoleUser.name + ' (' +
      (consoleUser.role === 'technician' ? 'техник' : 'наблюдатель') + ')';
  }
  for (const link of document.querySelectorAll('header.top nav a')) {
    if (link.getAttribute('href') === location.pathname) link.setAttribute('aria-current', 'page');
  }
  for (const node of document.querySelectorAll('.technician-only')) {
    node.hidden = consoleUser.role !== 'technician';
  }
  const logout = document.getElementById('logout');
  if (logout) {
    logout.addEventListener('click', async () => {
      try { await api('/api/logout', {}); } catch (e) { /* the login page follows anyway */ }
      location.replace('/login');
    });
  }
}

setUpHeader();
