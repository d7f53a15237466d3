'use strict';
// One worker: confirmed doses over time as a chart and a table.

async function loadWorker() {
  const uid = queryParam('uid');
  const message = document.getElementById('worker-message');
  try {
    const data = await api('/api/worker?uid=' + encodeURIComponent(uid));
    document.getElementById('worker-title').textContent =
      'Работник ' + data.uid + (data.name ? ' — ' + data.name : '');
    document.title = 'Работник ' + data.uid + ' — пульт стойки дозиметров';
    document.getElementById('worker-total').textContent =
      'Подтверждённых сдач: ' + data.doses.length + ', сумма доз: ' + formatValue('dose', data.total);
    const columns = ['time_text', 'cell', 'number', 'dose_gamma', 'dose_neutron', 'dose'];
    const body = document.querySelector('#doses tbody');
    body.replaceChildren(...data.doses.map(d => el('tr', null,
      ...columns.map(c => el('td', null, valueNode(c, d[c]))))));
    drawChart(data.doses);
    showMessage(message, data.doses.length ? '' : 'Подтверждённых доз нет', 'info');
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
      labels: doses.map(d => (d.time_text || '').slice(0, 16).replace('T', ' ')),
      datasets: [
        { label: 'Доза за выдачу', data: doses.map(d => d.dose), borderColor: '#1864ab', backgroundColor: '#1864ab' },
        { label: 'Нарастающим итогом', data: cumulative, borderColor: '#e8590c', backgroundColor: '#e8590c' },
      ],
    },
    options: { responsive: true, maintainAspectRatio: false, animation: false,
      scales: { y: { beginAtZero: true } } },
  });
}

loadWorker();
