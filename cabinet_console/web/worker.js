'use strict';
// One worker: confirmed doses over time as a chart and a table.

async function loadWorker() {
  const uid = queryParam('uid');
  const message = document.getElementById('worker-message');
  if (!uid) {
    showMessage(message, 'Не указан работник: откройте его со страницы «Работники» или «Записи».', 'info');
    document.getElementById('chart-box').hidden = true;
    return;
  }
  try {
    const data = await api('/api/worker?uid=' + encodeURIComponent(uid));
    document.getElementById('worker-title').textContent =
      'Работник ' + data.uid + (data.name ? ' — ' + data.name : '');
    document.title = 'Работник ' + data.uid + ' — пульт стойки дозиметров';
    document.getElementById('worker-total').textContent =
      'Подтверждённых сдач: ' + data.doses.length + ', сумма доз: ' + withUnit(data.total, consoleUnits.dose);
    const columns = ['time', 'cell', 'number', 'dose_gamma', 'dose_neutron', 'dose'];
    const empty = !data.doses.length;
    document.getElementById('worker-empty').hidden = !empty;
    document.getElementById('chart-box').hidden = empty;
    fillTable(document.getElementById('doses'), columns, data.doses, 'Нет подтверждённых доз.');
    if (!empty) drawChart(data.doses);
    showMessage(message, '', 'info');
  } catch (e) {
    showMessage(message, e.message, 'error');
  }
}

function drawChart(doses) {
  let sum = 0;
  const cumulative = doses.map(d => (sum += d.dose || 0));
  new Chart(document.getElementById('dose-chart'), {
    type: 'line',
    data: {
      labels: doses.map(d => (d.time || '').slice(0, 16)),
      datasets: [
        { label: 'Доза за выдачу, ' + consoleUnits.dose, data: doses.map(d => d.dose), borderColor: '#1864ab',
          backgroundColor: '#1864ab' },
        { label: 'Нарастающим итогом, ' + consoleUnits.dose, data: cumulative, borderColor: '#e8590c',
          backgroundColor: '#e8590c' },
      ],
    },
    options: { responsive: true, maintainAspectRatio: false, animation: false,
      scales: { y: { beginAtZero: true, ticks: { callback: (v) => formatMeasure(v) } } } },
  });
}

loadWorker();
