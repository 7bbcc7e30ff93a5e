// The page: fetches the instrument's description, builds one view per part, and hands each
// WebSocket message to the views that show it.
import { state, say } from './api.js';
import { decodeFrame } from './frames.js';
import { DeviceCard } from './device.js';
import { ChannelGrid } from './channels.js';
import { RecordControl } from './record.js';
import { AuxView } from './aux.js';

async function loadPlotting() {
  try {
    return (await import('../vendor/uPlot.esm.js')).default;
  } catch (error) {
    return null;
  }
}

function connect(handlers) {
  const badge = document.getElementById('connection');
  const url = new URL('ws', location.href);
  url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const socket = new WebSocket(url);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => {
    badge.textContent = 'live';
    badge.className = 'badge live';
    socket.send('credit');  // display frames one at a time, each asked for once drawn
  };
  socket.onclose = () => {
    badge.textContent = 'disconnected';
    badge.className = 'badge';
    setTimeout(() => connect(handlers), 1000);
  };
  // Only the newest frame of each kind is drawn, at the display's pace: a page that draws
  // slower than frames arrive skips frames instead of falling behind.
  const latest = {};
  let scheduled = false;
  const draw = () => {
    scheduled = false;
    for (const [kind, data] of Object.entries(latest)) {
      delete latest[kind];
      const frame = decodeFrame(data);
      if (frame) handlers[frame.kind](frame);
      if (socket.readyState === WebSocket.OPEN) socket.send('ready');
    }
  };
  socket.onmessage = (event) => {
    if (typeof event.data === 'string') {
      handlers.status(JSON.parse(event.data));
      return;
    }
    const kind = new DataView(event.data).getUint16(6, true);
    latest[kind] = event.data;
    if (!scheduled) {
      scheduled = true;
      requestAnimationFrame(draw);
    }
  };
}

function tabs() {
  for (const button of document.querySelectorAll('nav button')) {
    button.addEventListener('click', () => {
      for (const b of document.querySelectorAll('nav button')) b.classList.toggle('active', b === button);
      for (const tab of document.querySelectorAll('.tab')) tab.hidden = tab.id !== `tab-${button.dataset.tab}`;
      window.dispatchEvent(new Event('resize'));
    });
  }
}

async function start() {
  tabs();
  const [info, uPlot] = await Promise.all([state(), loadPlotting()]);
  const device = new DeviceCard(document.getElementById('device'), info.device);
  const grid = new ChannelGrid(document.getElementById('channels'), info.device, info.settings);
  const record = new RecordControl(document.getElementById('record'));
  new AuxView(document.getElementById('tab-aux'), info.device, info.settings);
  let scope = null;
  let spectrum = null;
  if (uPlot) {
    const { ScopeView } = await import('./scope.js');
    const { SpectrumView } = await import('./spectrum.js');
    scope = new ScopeView(document.getElementById('tab-scope'), uPlot, info.device, info.settings);
    spectrum = new SpectrumView(document.getElementById('tab-spectrum'), uPlot, info.device, info.settings);
  } else {
    for (const id of ['tab-scope', 'tab-spectrum']) {
      document.getElementById(id).innerHTML =
        '<p class="notice">The plots were not built: npm was missing when the tool was built. ' +
        'Run scripts/install-deps.sh, then build again.</p>';
    }
  }
  connect({
    status: (s) => { device.update(s); grid.update(s); record.update(s); },
    scope: (f) => scope && scope.draw(f),
    spectrum: (f) => spectrum && spectrum.draw(f),
  });
}

start().catch((error) => say(`the panel could not start: ${error}`));
