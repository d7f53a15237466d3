'use strict';
// The login form: sends name and password as JSON with the page's CSRF token.
document.getElementById('login-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const message = document.getElementById('login-message');
  message.textContent = '';
  const token = document.querySelector('meta[name="csrf-token"]').content;
  try {
    const response = await fetch('/api/login', {
      method: 'POST',
      credentials: 'same-origin',
      headers: { 'Content-Type': 'application/json', 'X-CSRF-Token': token },
      body: JSON.stringify({
        name: document.getElementById('name').value,
        password: document.getElementById('password').value,
      }),
    });
    const data = await response.json().catch(() => ({}));
    if (response.ok) {
      location.replace('/');
      return;
    }
    message.textContent = data.error || ('Ошибка ' + response.status);
    if (response.status === 403) {
      message.textContent += '. Обновите страницу.';
    }
  } catch (e) {
    message.textContent = 'Пульт не отвечает';
  }
});
