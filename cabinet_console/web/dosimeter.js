'use strict';
// One dosimeter: its issues and doses per month (an aggregate from the
// server), its journal events paged newest first, and the last history
// read-out, one 16-byte record a line.

const dosimeter = { number: '', page: 1, chart: null };
const lifeColumns = ['time', 'kind', 'cell', 'uid', 'uname', 'dose_gamma', 'rate_gamma', 'operator', 'remark'];

function drawMonths(months) {
  const empty = !months.length;
  document.getElementById('months-empty').hidden = !empty;
  document.getElementById('chart-box').hidden = empty;
  if (dosimeter.chart) dosimeter.chart.destroy();
  dosimeter.chart = null;
  if (empty) return;
  dosimeter.chart = new Chart(document.getElementById('months-chart'), {
    data: {
      labels: months.map((m) => m.month),
      datasets: [
        { type: 'bar', label: 'Выдач', data: months.map((m) => m.issues), backgroundColor: '#74c0fc', yAxisID: 'y' },
        { type: 'line', label: 'Доза при сдаче, ' + consoleUnits.dose, data: months.map((m) => m.dose),
          borderColor: '#e8590c', backgroundColor: '#e8590c', yAxisID: 'dose' },
      ],
    },
    options: { responsive: true, maintainAspectRatio: false, animation: false,
      scales: { y: { beginAtZero: true, position: 'left', ticks: { precision: 0 } },
        dose: { beginAtZero: true, position: 'right', grid: { drawOnChartArea: false },
          ticks: { callback: (v) => formatMeasure(v) } } } },
  });
}

async function loadDosimeter() {
  const message = document.getElementById('dosimeter-message');
  const body = document.getElementById('dosimeter-body');
  if (!dosimeter.number) {
    body.hidden = true;
    showMessage(message, 'Введите номер дозиметра и нажмите «Показать».', 'info');
    return;
  }
  try {
    const data = await api('/api/dosimeter?number=' + encodeURIComponent(dosimeter.number) +
      '&page=' + dosimeter.page);
    body.hidden = false;
    document.getElementById('dosimeter-title').textContent = 'Дозиметр ' + data.number;
    drawMonths(data.months);
    fillTable(document.getElementById('life'), lifeColumns, data.life,
      'В журнале нет событий дозиметра ' + data.number + '.', 'Проверьте номер: он напечатан на корпусе дозиметра.');
    drawPager(data);
    const info = document.getElementById('history-info');
    const pre = document.getElementById('history-records');
    if (data.history) {
      info.textContent = data.history.time + ', ячейка ' + formatValue('cell', data.history.cell) +
        ', записей: ' + data.history.records.length;
      pre.textContent = data.history.records.map((r, i) => String(i + 1).padStart(4, ' ') + '  ' + r).join('\n');
      pre.hidden = false;
    } else {
      info.textContent = 'История этого дозиметра не читалась. Её читает техник кнопкой «Прочитать историю» ' +
        'на карте стойки, пока сданный дозиметр ждёт подтверждения.';
      pre.textContent = '';
      pre.hidden = true;
    }
    showMessage(message, '', 'info');
  } catch (e) {
    showMessage(message, e.message, 'error');
  }
}

const numberInput = document.getElementById('number');
numberInput.value = queryParam('number');
dosimeter.number = numberInput.value.trim();
dosimeter.page = Math.max(1, parseInt(queryParam('page'), 10) || 1);
document.getElementById('number-form').addEventListener('submit', (e) => {
  e.preventDefault();
  dosimeter.number = numberInput.value.trim();
  dosimeter.page = 1;
  history.replaceState(null, '', '/dosimeter?number=' + encodeURIComponent(dosimeter.number));
  loadDosimeter();
});
function turn(delta) {
  dosimeter.page += delta;
  history.replaceState(null, '', '/dosimeter?number=' + encodeURIComponent(dosimeter.number) +
    '&page=' + dosimeter.page);
  loadDosimeter();
}
document.getElementById('prev').addEventListener('click', () => turn(-1));
document.getElementById('next').addEventListener('click', () => turn(1));
loadDosimeter();
