// Decodes the panel's binary WebSocket frames (layout: tools/panel/display/frame_layout.h).
const MAGIC = 0x50445856;

export function decodeFrame(buffer) {
  const view = new DataView(buffer);
  if (buffer.byteLength < 8 || view.getUint32(0, true) !== MAGIC || view.getUint16(4, true) !== 1) {
    return null;
  }
  const kind = view.getUint16(6, true);
  if (kind === 1) {
    const n = view.getUint16(8, true);
    const flags = view.getUint16(10, true);
    const columns = view.getUint32(12, true);
    const frame = {
      kind: 'scope',
      triggered: (flags & 1) !== 0,
      paused: (flags & 2) !== 0,
      columns,
      rate: view.getUint32(16, true),
      bits: view.getUint32(20, true),
      perColumn: view.getUint32(24, true),
      triggerColumn: view.getUint32(28, true),
      firstFrame: Number(view.getBigInt64(32, true)),
      channels: Array.from(new Uint8Array(buffer, 40, n)),
      minima: [],
      maxima: [],
    };
    let at = 40 + Math.ceil(n / 4) * 4;
    for (let c = 0; c < n; c++) {
      frame.minima.push(new Int32Array(buffer, at, columns));
      at += 4 * columns;
      frame.maxima.push(new Int32Array(buffer, at, columns));
      at += 4 * columns;
    }
    return frame;
  }
  if (kind === 2) {
    const bins = view.getUint32(12, true);
    return {
      kind: 'spectrum',
      channel: view.getUint16(8, true),
      window: view.getUint16(10, true),
      rate: view.getUint32(16, true),
      averaged: view.getUint32(20, true),
      levels: new Float32Array(buffer, 24, bins),
    };
  }
  return null;
}
