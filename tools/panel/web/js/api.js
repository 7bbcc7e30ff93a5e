// Control requests (JSON over HTTP POST) and the page's one message line.
const message = () => document.getElementById('message');

export function say(text) {
  message().textContent = text;
}

// Sends {action, ...fields}; resolves to the reply, or null after showing the server's error.
export async function control(action, fields = {}) {
  try {
    const response = await fetch('api/control', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ action, ...fields }),
    });
    const reply = await response.json();
    if (!reply.ok) {
      say(`${action}: ${reply.error}`);
      return null;
    }
    say('');
    return reply;
  } catch (error) {
    say(`${action}: ${error}`);
    return null;
  }
}

export async function state() {
  const response = await fetch('api/state');
  return response.json();
}

// A small element builder: el('label', {text: 'x'}, child, ...).
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (key in node) node[key] = value;
    else node.setAttribute(key, value);
  }
  node.append(...children);
  return node;
}

export function select(options, value) {
  const node = el('select');
  for (const option of options) {
    const [v, label] = Array.isArray(option) ? option : [option, String(option)];
    node.append(el('option', { value: v, text: label, selected: String(v) === String(value) }));
  }
  return node;
}
