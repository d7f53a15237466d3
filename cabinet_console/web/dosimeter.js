'use strict';
// One dosimeter: every journal event and the last history read-out, one
// 16-byte record a line.

async function loadDosimeter(number) {
  const message = document.getElementById('dosimeter-message');
  if (!number) {
    showMessage(message, 'Введите номер дозиметра', 'info');
    return;
  }
  try {
    const data = await api('/api/dosimeter?number=' + encodeURIComponent(number));
    document.getElementById('dosimeter-title').textContent = 'Дозиметр ' + data.number;
    fillTable(document.getElementById('life'), data.columns, data.life, 'В журнале нет событий этого дозиметра');
    const info = document.getElementById('history-info');
    const pre = document.getElementById('history-records');
    if (data.history) {
      info.textContent = data.history.time_text + ', ячейка ' + formatValue('cell', data.history.cell) +
        ', записей: ' + data.history.records.length;
      pre.textContent = data.history.records.map((r, i) => String(i + 1).padStart(4, ' ') + '  ' + r).join('\n');
    } else {
      info.textContent = 'История этого дозиметра не читалась';
      pre.textContent = '';
    }
    showMessage(message, '', 'info');
  } catch (e) {
    showMessage(message, e.message, 'error');
  }
}

const numberInput = document.getElementById('number');
numberInput.value = queryParam('number');
document.getElementById('number-form').addEventListener('submit', (e) => {
  e.preventDefault();
  history.replaceState(null, '', '/dosimeter?number=' + encodeURIComponent(numberInput.value.trim()));
  loadDosimeter(numberInput.value.trim());
});
loadDosimeter(numberInput.value.trim());
