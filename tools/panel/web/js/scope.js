// The scope: every enabled input as a min/max band per pixel column (reduced on the server),
// rolling or as a triggered sweep.
import { control, el, select } from './api.js';

const COLOURS = ['#1565c0', '#c62828', '#2e7d32', '#ef6c00', '#6a1b9a', '#00838f', '#ad1457', '#4e342e'];
const TIMEBASES = [[0.001, '1 ms'], [0.01, '10 ms'], [0.05, '50 ms'], [0.1, '100 ms'], [0.5, '500 ms'], [1, '1 s'], [5, '5 s'], [10, '10 s']];

export class ScopeView {
  constructor(root, uPlot, device, settings) {
    this.uPlot = uPlot;
    this.device = device;
    this.root = root;
    this.settings = { ...settings.scope };
    this.plot = null;
    this.channels = '';
    this.frames = 0;
    const s = this.settings;
    const mode = select(['rolling', 'triggered'], s.mode);
    const timebase = select(TIMEBASES, s.timebase_s);
    const trigger = select([...Array(device.in_channels).keys()], s.trigger_channel);
    const level = el('input', { type: 'number', value: s.level, step: 1 });
    const edge = select(['rising', 'falling'], s.edge);
    const pre = el('input', { type: 'number', value: s.pre_trigger, min: 0, max: 1, step: 0.05 });
    const sweep = select(['auto', 'normal', 'single'], s.sweep);
    mode.id = 'scope-mode';
    trigger.id = 'scope-trigger-channel';
    const apply = () => {
      Object.assign(this.settings, {
        mode: mode.value, timebase_s: Number(timebase.value), trigger_channel: Number(trigger.value),
        level: Number(level.value), edge: edge.value, pre_trigger: Number(pre.value), sweep: sweep.value,
      });
      this.send();
    };
    for (const input of [mode, timebase, trigger, level, edge, pre, sweep]) input.addEventListener('change', apply);
    this.pause = el('button', { text: 'Pause', id: 'scope-pause', onclick: () => {
      this.settings.paused = !this.settings.paused;
      this.pause.textContent = this.settings.paused ? 'Run' : 'Pause';
      this.send();
    } });
    const arm = el('button', { text: 'Arm', onclick: () => control('arm') });
    this.info = el('span', { id: 'scope-info' });
    root.append(el('div', { className: 'controls' },
      el('label', { text: 'mode' }, mode), el('label', { text: 'time base' }, timebase),
      el('label', { text: 'trigger ch' }, trigger), el('label', { text: 'level' }, level),
      el('label', { text: 'edge' }, edge), el('label', { text: 'pre-trigger' }, pre),
      el('label', { text: 'sweep' }, sweep), arm, this.pause, this.info));
    this.area = el('div', { id: 'scope' });
    root.append(this.area);
    window.addEventListener('resize', () => this.plot && this.plot.setSize(this.size()));
  }

  size() {
    return { width: Math.max(400, this.area.clientWidth || 900), height: 420 };
  }

  send() {
    const columns = Math.min(4096, Math.max(64, Math.round(this.size().width)));
    control('scope', { ...this.settings, columns });
  }

  build(frame) {
    if (this.plot) this.plot.destroy();
    const series = [{ label: 's' }];
    const bands = [];
    frame.channels.forEach((channel, i) => {
      const stroke = COLOURS[channel % COLOURS.length];
      series.push({ label: `ch ${channel} max`, stroke, width: 1, points: { show: false } });
      series.push({ label: `ch ${channel} min`, stroke, width: 1, points: { show: false } });
      // Filled bands cost a second pass per channel: kept for the views a reader can tell apart.
      if (frame.channels.length <= 16) bands.push({ series: [1 + 2 * i, 2 + 2 * i], fill: stroke + '55' });
    });
    this.plot = new this.uPlot({
      ...this.size(), series, bands, legend: { show: frame.channels.length <= 16 },
      scales: { x: { time: false } }, axes: [{ label: 'seconds' }, { label: 'counts', size: 80 }],
    }, [[]], this.area);
    this.channels = frame.channels.join(',');
    this.area.dataset.channels = this.channels;
  }

  draw(frame) {
    const started = performance.now();
    if (frame.channels.join(',') !== this.channels || !this.plot) this.build(frame);
    const x = new Float64Array(frame.columns);
    // A sweep's time is counted from its trigger, the rolling view's back from the newest column.
    const origin = !frame.triggered ? frame.columns - 1 : (frame.triggerColumn !== 0xFFFFFFFF ? frame.triggerColumn : 0);
    for (let k = 0; k < frame.columns; k++) x[k] = ((k - origin) * frame.perColumn) / frame.rate;
    const data = [x];
    frame.channels.forEach((_, i) => {
      const max = Array.from(frame.maxima[i], (v, k) => (v < frame.minima[i][k] ? null : v));
      const min = Array.from(frame.minima[i], (v, k) => (max[k] === null ? null : v));
      data.push(max, min);
    });
    this.plot.setData(data);
    this.frames += 1;
    this.area.dataset.frames = String(this.frames);
    // Mean drawing time of the latest frames, for the benchmarks.
    this.drawMs = 0.9 * (this.drawMs || 0) + 0.1 * (performance.now() - started);
    this.area.dataset.drawMs = this.drawMs.toFixed(1);
    this.info.textContent = frame.triggered ? (frame.triggerColumn === 0xFFFFFFFF ? 'auto' : 'triggered') : 'rolling';
  }
}
