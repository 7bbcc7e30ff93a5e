// Record: an HDF5 capture of the enabled channels, written by the server whatever the page does.
import { control, el } from './api.js';

export class RecordControl {
  constructor(root) {
    const stamp = new Date().toISOString().replace(/[-:]/g, '').replace(/\..*/, '');
    this.name = el('input', { type: 'text', value: `panel-${stamp}.h5`, id: 'record-name', size: 24 });
    this.start = el('button', { text: 'Record', id: 'record-start', onclick: () => this.begin() });
    this.stop = el('button', { text: 'Stop', id: 'record-stop', disabled: true, onclick: () => this.end() });
    this.state = el('span', { id: 'record-state' });
    root.append(this.name, this.start, this.stop, this.state);
  }

  async begin() {
    const reply = await control('record_start', { name: this.name.value });
    if (reply) {
      this.start.disabled = true;
      this.stop.disabled = false;
      delete this.state.dataset.done;
      this.state.textContent = `recording ${reply.path}`;
    }
  }

  async end() {
    const reply = await control('record_stop');
    if (reply) {
      this.start.disabled = false;
      this.stop.disabled = true;
      this.state.textContent = `${reply.path}: ${reply.frames} frames, ${reply.lost} lost`;
      this.state.dataset.done = 'yes';
    }
  }

  // A status sent before the stop may arrive after its reply: it must not overwrite the result.
  update(status) {
    if (status.recording && !this.state.dataset.done) this.state.textContent = `recording ${status.recording.path}: ${status.recording.frames} frames`;
  }
}
