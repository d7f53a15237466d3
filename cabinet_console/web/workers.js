'use strict';
// This year's dose of each worker, highest first, against the limit.

async function loadWorkers() {
  const yearInput = document.getElementById('year');
  const message = document.getElementById('workers-message');
  try {
    const data = await api('/api/workers?year=' + encodeURIComponent(yearInput.value));
    yearInput.value = data.year;
    document.getElementById('workers-note').textContent = data.limits
      ? 'Выше ' + Math.round(data.nearShare * 100) + ' % годового предела — выделены.'
      : 'Пределы доз неизвестны: в базе нет таблицы users или не задан ключ annual_dose_key.';
    const body = document.querySelector('#workers tbody');
    if (!data.workers.length) {
      body.replaceChildren(emptyRow(7, 'За ' + data.year + ' год в журнале нет выдач и подтверждённых сдач.',
        'Выберите другой год; работник появляется здесь после первой выдачи ему дозиметра.'));
    } else {
      body.replaceChildren(...data.workers.map(w => el('tr', { className: w.near ? 'near-limit' : '' },
        el('td', null, valueNode('uid', w.uid)),
        el('td', null, w.name || ''),
        el('td', null, w.issues),
        el('td', null, w.returns),
        el('td', { className: 'num' }, formatMeasure(w.dose)),
        el('td', { className: 'num' }, formatMeasure(w.dose_limit)),
        el('td', null, typeof w.share === 'number'
          ? Math.round(w.share * 100) + ' %' + (w.near ? ' — близко к пределу' : '') : ''))));
    }
    showMessage(message, '', 'info');
  } catch (e) {
    showMessage(message, e.message, 'error');
  }
}

document.getElementById('year').value = queryParam('year') || new Date().getFullYear();
document.getElementById('year-form').addEventListener('submit', (e) => { e.preventDefault(); loadWorkers(); });
loadWorkers();
