// The spectrum of one channel, computed on the server from its full-rate samples.
import { control, el, select } from './api.js';

export class SpectrumView {
  constructor(root, uPlot, device, settings) {
    this.uPlot = uPlot;
    this.plot = null;
    this.bins = 0;
    const s = settings.spectrum;
    const channel = select([[-1, 'off'], ...[...Array(device.in_channels).keys()]], s.channel);
    channel.id = 'spectrum-channel';
    const size = select([256, 1024, 4096, 16384, 65536], s.size);
    const window = select(['rectangular', 'hann', 'blackman-harris'], s.window);
    const averages = select([1, 2, 4, 8, 16, 32], s.averages);
    const apply = () => control('spectrum', {
      channel: Number(channel.value), size: Number(size.value), window: window.value, averages: Number(averages.value),
    });
    for (const input of [channel, size, window, averages]) input.addEventListener('change', apply);
    this.info = el('span');
    root.append(el('div', { className: 'controls' }, el('label', { text: 'channel' }, channel),
      el('label', { text: 'FFT size' }, size), el('label', { text: 'window' }, window),
      el('label', { text: 'averages' }, averages), this.info));
    this.area = el('div', { id: 'spectrum' });
    root.append(this.area);
    globalThis.addEventListener('resize', () => this.plot && this.plot.setSize(this.size()));
  }

  size() {
    return { width: Math.max(400, this.area.clientWidth || 900), height: 420 };
  }

  draw(frame) {
    if (!this.plot || this.bins !== frame.levels.length) {
      if (this.plot) this.plot.destroy();
      this.bins = frame.levels.length;
      this.plot = new this.uPlot({
        ...this.size(), series: [{ label: 'Hz' }, { label: 'dBFS', stroke: '#1565c0', width: 1, points: { show: false } }],
        scales: { x: { time: false }, y: { range: [-160, 10] } }, axes: [{ label: 'Hz' }, { label: 'dB full scale' }],
      }, [[]], this.area);
    }
    const n = 2 * (frame.levels.length - 1);
    const x = Float64Array.from({ length: frame.levels.length }, (_, k) => (k * frame.rate) / n);
    this.plot.setData([x, Array.from(frame.levels)]);
    this.info.textContent = `channel ${frame.channel}, ${frame.averaged} averaged, ${(frame.rate / n).toFixed(2)} Hz per bin`;
  }
}
