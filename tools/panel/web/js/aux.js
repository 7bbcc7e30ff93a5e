// Outputs and auxiliary I/O: a generator per output channel, GPIO, the digital port, PWM,
// counters, a UART terminal and I2C registers.
import { control, el, select } from './api.js';

const number = (value, id) => el('input', { type: 'number', value, id });

function group(title, ...children) {
  return el('fieldset', {}, el('legend', { text: title }), el('div', { className: 'controls' }, ...children));
}

export class AuxView {
  constructor(root, device, settings) {
    root.append(el('h2', { text: 'Outputs' }));
    for (const g of settings.generators) {
      const wave = select(['off', 'sine', 'square', 'dc', 'counter'], g.waveform);
      wave.id = `generator-${g.channel}-waveform`;
      const frequency = number(g.frequency);
      const amplitude = el('input', { type: 'number', value: g.amplitude, min: 0, max: 1, step: 0.05 });
      const apply = el('button', { text: 'Apply', id: `generator-${g.channel}-apply`, onclick: () => control('generator', {
        channel: g.channel, waveform: wave.value, frequency: Number(frequency.value), amplitude: Number(amplitude.value),
      }) });
      root.append(group(`output ${g.channel}`, el('label', { text: 'waveform' }, wave),
        el('label', { text: 'Hz' }, frequency), el('label', { text: 'amplitude' }, amplitude), apply));
    }
    root.append(el('h2', { text: 'Auxiliary I/O' }));
    const pins = number(1, 'gpio-pins');
    const mode = number(0, 'gpio-mode');
    root.append(group('GPIO', el('label', { text: 'pin mask' }, pins), el('label', { text: 'mode' }, mode),
      el('button', { text: 'Set', onclick: () => control('gpio_mode', { pins: Number(pins.value), mode: Number(mode.value) }) })));

    const port = number(0, 'dio-port');
    const value = number(0, 'dio-value');
    const read = el('span', { id: 'dio-read' });
    root.append(group('Digital port', el('label', { text: 'port' }, port), el('label', { text: 'value' }, value),
      el('button', { text: 'Write', id: 'dio-write', onclick: () => control('dio_write', { port: Number(port.value), value: Number(value.value) }) }),
      el('button', { text: 'Read', onclick: async () => {
        const r = await control('dio_read', { port: Number(port.value) });
        if (r) read.textContent = `0x${r.value.toString(16).padStart(2, '0').toUpperCase()}`;
      } }), read));

    const pwmPin = number(0, 'pwm-pin');
    const pwmFrequency = number(1000, 'pwm-frequency');
    const pwmDuty = number(50, 'pwm-duty');
    root.append(group('PWM', el('label', { text: 'pin' }, pwmPin), el('label', { text: 'frequency' }, pwmFrequency),
      el('label', { text: 'duty' }, pwmDuty),
      el('button', { text: 'Set', id: 'pwm-set', onclick: () => control('pwm', {
        pin: Number(pwmPin.value), frequency: Number(pwmFrequency.value), duty: Number(pwmDuty.value) }) })));

    const cPin = number(0);
    const cMode = number(1);
    const cEdge = number(0);
    const counts = el('span');
    const live = el('input', { type: 'checkbox' });
    root.append(group('Counter', el('label', { text: 'pin' }, cPin), el('label', { text: 'mode' }, cMode),
      el('label', { text: 'edge' }, cEdge),
      el('button', { text: 'Set', onclick: () => control('counter_set', { pin: Number(cPin.value), mode: Number(cMode.value), edge: Number(cEdge.value) }) }),
      el('label', { text: 'live' }, live), counts));
    setInterval(async () => {
      if (!live.checked || root.hidden) return;
      const r = await control('counter_read', { pin: Number(cPin.value) });
      if (r) counts.textContent = `edges ${r.edges}, cycle ${r.cycle}, high ${r.high}, low ${r.low}`;
    }, 500);

    const baud = number(115200);
    const text = el('input', { type: 'text', size: 30 });
    const terminal = el('pre', { className: 'terminal' });
    const listen = el('input', { type: 'checkbox' });
    root.append(group('UART', el('label', { text: 'baud' }, baud),
      el('button', { text: 'Set', onclick: () => control('uart_config', { baud: Number(baud.value) }) }),
      text, el('button', { text: 'Send', onclick: () => text.value && control('uart_write', { text: text.value }) }),
      el('label', { text: 'receive' }, listen)), terminal);
    setInterval(async () => {
      if (!listen.checked || root.hidden) return;
      const r = await control('uart_read', { count: 256 });
      if (r && r.text) { terminal.textContent += r.text; terminal.scrollTop = terminal.scrollHeight; }
    }, 300);

    const reg = number(0);
    const length = number(4);
    const data = el('input', { type: 'text', size: 20, placeholder: 'hex, e.g. 01A0FF' });
    const i2c = el('span');
    root.append(group('I2C', el('label', { text: 'register' }, reg), el('label', { text: 'length' }, length),
      el('button', { text: 'Read', onclick: async () => {
        const r = await control('i2c_read', { reg: Number(reg.value), length: Number(length.value) });
        if (r) i2c.textContent = r.hex;
      } }), data,
      el('button', { text: 'Write', onclick: () => control('i2c_write', { reg: Number(reg.value), data: data.value }) }), i2c));
  }
}
