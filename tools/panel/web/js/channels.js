// The channel grid: enable, input range and ICP per input channel, with live statistics and
// loss counters.
import { control, el, select } from './api.js';
import { toUnits } from './units.js';

export class ChannelGrid {
  constructor(root, device, settings) {
    this.enabled = new Set(settings.channels);
    this.rows = [];
    const rate = select(device.in_rates, settings.rate);
    rate.id = 'rate';
    rate.addEventListener('change', () => control('rate', { rate: Number(rate.value) }));
    root.append(el('div', { className: 'controls' }, el('label', { text: 'rate (Hz) ' }, rate)));
    const table = el('table', {},
      el('tr', {}, ...['ch', 'on', 'gear', 'ICP', 'min', 'max', 'RMS', 'lost'].map((t) => el('th', { text: t }))));
    for (let c = 0; c < device.in_channels; c++) {
      const on = el('input', { type: 'checkbox', checked: this.enabled.has(c), id: `enable-${c}` });
      on.addEventListener('change', () => this.toggle(c, on.checked));
      const gear = select([[-1, '-'], 0, 1, 2, 3, 4, 5, 6, 7, 8], settings.gear[c]);
      gear.addEventListener('change', () => gear.value >= 0 && control('gear', { channel: c, gear: Number(gear.value) }));
      const icp = el('input', { type: 'checkbox', checked: settings.icp[c] === 1 });
      icp.addEventListener('change', () => control('icp', { channel: c, icp: icp.checked ? 1 : 0 }));
      const cells = { min: el('td'), max: el('td'), rms: el('td'), lost: el('td', { className: 'loss' }) };
      table.append(el('tr', {}, el('td', { text: c }), el('td', {}, on), el('td', {}, gear), el('td', {}, icp),
        cells.min, cells.max, cells.rms, cells.lost));
      this.rows.push({ on, cells });
    }
    root.append(table);
  }

  async toggle(channel, on) {
    const next = new Set(this.enabled);
    if (on) next.add(channel); else next.delete(channel);
    const reply = await control('channels', { channels: [...next].sort((a, b) => a - b) });
    if (reply) this.enabled = next;
    this.rows[channel].on.checked = this.enabled.has(channel);
  }

  update(status) {
    for (const c of status.channels) {
      const row = this.rows[c.channel];
      if (!row) continue;
      const has = c.enabled && c.min !== undefined;
      row.cells.min.textContent = has ? toUnits(c.channel, c.min) : '';
      row.cells.max.textContent = has ? toUnits(c.channel, c.max) : '';
      row.cells.rms.textContent = has ? toUnits(c.channel, c.rms).toFixed(1) : '';
      const lost = c.overwritten + c.dropped;
      row.cells.lost.textContent = lost ? String(lost) : '';
    }
  }
}
