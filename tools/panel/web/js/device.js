// The device card: what the instrument is, and how its stream is doing.
import { el } from './api.js';

export class DeviceCard {
  constructor(root, device) {
    this.list = el('dl');
    this.live = {};
    const add = (label, value, key) => {
      const dd = el('dd', { text: value });
      if (key) this.live[key] = dd;
      this.list.append(el('dt', { text: label }), dd);
    };
    add('product', device.product + (device.virtual ? ' (virtual)' : ''));
    add('device version', device.device_version);
    add('driver version', device.driver_version);
    add('library', `${device.library_version} (${device.library_build})`);
    add('inputs', `${device.in_channels} of ${device.in_bits} bits`);
    add('outputs', `${device.out_channels} of ${device.out_bits} bits`);
    add('input rates', device.in_rates.join(' '));
    add('output rates', device.out_rates.join(' '));
    add('stream', '', 'stream');
    add('data rate', '', 'mbps');
    add('samples lost', '', 'lost');
    add('display frames skipped', '', 'skipped');
    add('transfer threads', '', 'threads');
    add('doctor', device.doctor);
    root.append(this.list);
  }

  update(status) {
    this.live.stream.textContent = status.streaming ? `running at ${status.rate} Hz` : (status.error || 'stopped');
    this.live.mbps.textContent = `${status.mbps.toFixed(2)} MB/s`;
    const lost = status.channels.reduce((sum, c) => sum + c.overwritten + c.dropped, 0);
    const failures = status.channels.reduce((max, c) => Math.max(max, c.transfer_failures), 0);
    const device = status.device_dropped_frames !== undefined ? `, frames the virtual device dropped: ${status.device_dropped_frames}` : '';
    this.live.lost.textContent = `${lost} (failed transfers: ${failures}${device})`;
    this.live.lost.className = lost || failures || status.device_dropped_frames ? 'loss' : '';
    this.live.skipped.textContent = String(status.skipped_frames);
    this.live.threads.textContent = status.transfer_threads;
  }
}
