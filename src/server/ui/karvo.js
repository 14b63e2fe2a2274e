// karvo's browser page: polls the JSON document at the server's root, keeps
// the last ten minutes of each GPU's figures in the page and draws them with
// uPlot; lists the processes with their GPU use from the engine-time counters.
// Everything shown from the server goes in as text, never as markup.
(function () {
  'use strict';

  const HISTORY_S = 600;        // the charts' window
  const MAX_RETRY_S = 30;       // the longest wait after failed polls
  const TOKEN_KEY = 'karvo.token';
  const INTERVAL_KEY = 'karvo.interval';
  const DEFAULT_INTERVAL_S = 2;
  // The document at the root of the server (relative, so a proxy's prefix is kept).
  const DATA_URL = new URL('./', location.href).href;

  const byId = (id) => document.getElementById(id);
  const el = (tag, className, text) => {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  };

  // Storage may be switched off; the page then keeps things for this load only.
  const store = {
    get(area, key) { try { return window[area].getItem(key); } catch (e) { return null; } },
    set(area, key, value) { try { window[area].setItem(key, value); } catch (e) { /* kept in memory only */ } },
  };

  const state = {
    token: null,
    interval: DEFAULT_INTERVAL_S,
    paused: false,
    failures: 0,
    timer: 0,
    polling: false,
    gpus: new Map(),       // GPU key -> {key, card, charts, history, device, index}
    engineTime: new Map(), // GPU key + pid -> {at, busy}
    rows: [],
    sort: null,            // {key, descending} once a column header was clicked
    filter: '',
    lastReason: '',
  };

  // ---- figures -----------------------------------------------------------

  const reported = (v) => (typeof v === 'number' && isFinite(v) ? v : null);
  // Sizes are 0 when not reported; a used size only counts beside a total.
  // The charts show them in GB (GiB, like the MB of the document).
  const gigabytes = (mb) => (reported(mb) === null ? null : mb / 1024);
  const sizeOf = (used, total) => (reported(total) ? gigabytes(used) : null);
  const totalOf = (total) => (reported(total) ? gigabytes(total) : null);

  const fromZero = (u, min, max) => [0, max > 0 ? max * 1.05 : 1];
  const FIGURES = [
    { id: 'use', title: 'GPU use', unit: '%', range: () => [0, 100], series: [
      { label: 'graphics', value: (d) => reported(d.gfx_util_percent), fill: true }] },
    { id: 'vram', title: 'VRAM', unit: 'GB', range: fromZero, series: [
      { label: 'used', value: (d) => sizeOf(d.vram_used_mb, d.vram_total_mb), fill: true },
      { label: 'total', value: (d) => totalOf(d.vram_total_mb), dash: true }] },
    { id: 'gtt', title: 'GTT', unit: 'GB', range: fromZero, series: [
      { label: 'used', value: (d) => sizeOf(d.gtt_used_mb, d.gtt_total_mb), fill: true },
      { label: 'total', value: (d) => totalOf(d.gtt_total_mb), dash: true }] },
    { id: 'temp', title: 'Temperature', unit: '°C', range: (u, min, max) => [0, Math.max(100, (max || 0) + 5)],
      series: [
        { label: 'edge', value: (d) => reported(d.temp_edge_c) },
        { label: 'hotspot', value: (d) => reported(d.temp_hotspot_c) },
        { label: 'memory', value: (d) => reported(d.temp_vram_c) }] },
    { id: 'power', title: 'Power', unit: 'W', range: fromZero, series: [
      { label: 'board', value: (d) => reported(d.power_w), fill: true },
      { label: 'limit', value: (d) => reported(d.power_cap_w), dash: true }] },
  ];

  const formatValue = (v, unit) => {
    if (v === null || v === undefined) return '–';
    const digits = unit === 'W' || unit === 'GB' || (unit === '°C' && !Number.isInteger(v)) ? 1 : 0;
    return v.toFixed(digits) + ' ' + unit;
  };

  // ---- colours (follow the browser's light or dark preference) -----------

  const darkQuery = window.matchMedia ? window.matchMedia('(prefers-color-scheme: dark)') : null;
  function palette() {
    const style = getComputedStyle(document.documentElement);
    const v = (name) => style.getPropertyValue(name).trim();
    return { text: v('--muted'), grid: v('--grid'), series: [v('--s0'), v('--s1'), v('--s2')], fill: v('--fill') };
  }

  // ---- a GPU card --------------------------------------------------------

  const gpuKey = (d) => (d.bdf ? 'bdf:' + d.bdf : 'index:' + d.index);

  function newHistory() {
    return { t: [], figures: FIGURES.map((f) => f.series.map(() => [])) };
  }

  function chartOptions(figure, width, colors) {
    return {
      width: width,
      height: 96,
      legend: { show: false },
      cursor: { y: false, drag: { x: false, y: false }, points: { show: false } },
      scales: {
        // Since the first point (at least a minute), at most the last ten minutes.
        x: { time: true, range: (u, min, max) => {
          const end = max === null || max === undefined ? Date.now() / 1000 : max;
          const span = min === null || min === undefined ? 60 : Math.min(HISTORY_S, Math.max(60, end - min));
          return [end - span, end];
        } },
        y: { range: figure.range },
      },
      axes: [
        { stroke: colors.text, font: '10px system-ui, sans-serif', size: 22, space: 60,
          grid: { stroke: colors.grid, width: 1 }, ticks: { stroke: colors.grid, width: 1, size: 3 } },
        { stroke: colors.text, font: '10px system-ui, sans-serif', size: 38, space: 24,
          grid: { stroke: colors.grid, width: 1 }, ticks: { show: false } },
      ],
      series: [{}].concat(figure.series.map((s, i) => ({
        label: s.label,
        stroke: colors.series[i],
        width: 1.5,
        dash: s.dash ? [4, 3] : undefined,
        fill: s.fill ? colors.fill : undefined,
        points: { show: false },
      }))),
      hooks: { setCursor: [(u) => showValues(u.karvoChart, u.cursor.idx)] },
    };
  }

  function plotWidth(chart) {
    return Math.max(120, Math.floor(chart.plot.clientWidth));
  }

  function buildPlot(chart, colors) {
    if (chart.uplot) chart.uplot.destroy();
    const u = new uPlot(chartOptions(chart.figure, plotWidth(chart), colors), chart.data(), chart.plot);
    u.karvoChart = chart;
    chart.uplot = u;
  }

  function createGpu(key) {
    const card = el('article', 'gpu');
    card.dataset.key = key;
    const head = el('header', 'gpu-head');
    const name = el('h2', 'gpu-name');
    const identity = el('p', 'gpu-identity');
    const status = el('p', 'gpu-status');
    status.setAttribute('role', 'status');
    head.append(name, identity, status);
    const grid = el('div', 'charts');
    card.append(head, grid);

    const gpu = { key: key, card: card, name: name, identity: identity, status: status,
                  history: newHistory(), charts: [], device: null };
    FIGURES.forEach((figure, f) => {
      const box = el('div', 'chart');
      box.dataset.figure = figure.id;
      const title = el('div', 'chart-head');
      title.append(el('span', 'chart-title', figure.title));
      const values = el('span', 'chart-values');
      title.append(values);
      const plot = el('div', 'plot');
      box.append(title, plot);
      grid.append(box);
      const chart = {
        figure: figure, plot: plot, values: values, uplot: null,
        data: () => [gpu.history.t].concat(gpu.history.figures[f]),
      };
      gpu.charts.push(chart);
    });
    return gpu;
  }

  // The chart's values under its title: at the cursor, else the latest.
  function showValues(chart, index) {
    if (!chart) return;
    const data = chart.data();
    const at = index === null || index === undefined ? data[0].length - 1 : index;
    const parts = chart.figure.series.map((s, i) => {
      const part = el('span', 'value');
      part.append(el('i', 'swatch s' + i));
      const v = at >= 0 ? data[i + 1][at] : null;
      part.append(document.createTextNode(s.label + ' ' + formatValue(v, chart.figure.unit)));
      return part;
    });
    chart.values.replaceChildren(...parts);
  }

  function identityText(d) {
    const parts = ['GPU ' + d.index];
    if (d.gfx_version && d.gfx_version !== 'unknown') parts.push(d.gfx_version);
    if (d.bdf) parts.push(d.bdf);
    if (d.vram_type) parts.push(d.vram_type);
    if (d.vram_total_mb) parts.push(d.vram_total_mb + ' MB');
    if (d.pcie_width && d.pcie_speed_gt) parts.push('PCIe ' + d.pcie_speed_gt + ' GT/s x' + d.pcie_width);
    if (d.driver_version) parts.push('driver ' + d.driver_version);
    return parts.join(' · ');
  }

  // One point per refresh for every GPU: the figures, or a gap when the poll failed.
  function record(gpu, now, device) {
    const h = gpu.history;
    h.t.push(now);
    FIGURES.forEach((figure, f) => figure.series.forEach((s, i) => {
      h.figures[f][i].push(device ? s.value(device) : null);
    }));
    let old = 0;
    while (old < h.t.length && h.t[old] < now - HISTORY_S) old++;
    if (old > 0) {
      h.t.splice(0, old);
      h.figures.forEach((series) => series.forEach((values) => values.splice(0, old)));
    }
  }

  function redraw(gpu) {
    const colors = palette();
    gpu.charts.forEach((chart) => {
      if (!chart.uplot) buildPlot(chart, colors);
      else chart.uplot.setData(chart.data());
      showValues(chart, null);
    });
  }

  // ---- processes -----------------------------------------------------------

  // The share of the wall time between two polls that the process kept its
  // busiest engine group busy (each group counts its own nanoseconds).
  function gpuPercent(key, process, now) {
    const busy = process.busy_ns;
    const before = state.engineTime.get(key);
    state.engineTime.set(key, { at: now, busy: busy, seen: true });
    if (!busy || typeof busy !== 'object' || !before || !before.busy || now <= before.at) return null;
    const elapsedNs = (now - before.at) * 1e9;
    let share = null;
    for (const engine of Object.keys(busy)) {
      if (!(engine in before.busy)) continue;  // its time so far is not this interval's
      const delta = busy[engine] - before.busy[engine];
      if (!(delta >= 0)) return null;          // the counter started again: a new process
      share = Math.max(share || 0, delta / elapsedNs * 100);
    }
    return share === null ? null : Math.min(100, share);
  }

  function placeOf(p) {
    if (p.pod) return (p.namespace ? p.namespace + '/' : '') + p.pod + (p.container ? ' (' + p.container + ')' : '');
    return p.container || p.container_id || '';
  }

  function collectRows(devices, now) {
    const rows = [];
    for (const entry of state.engineTime.values()) entry.seen = false;
    devices.forEach((d) => {
      const key = gpuKey(d);
      (Array.isArray(d.processes) ? d.processes : []).forEach((p, order) => {
        rows.push({
          gpuKey: key, gpu: d.index, order: order, pid: p.pid, type: p.proc_type || '',
          vram: reported(p.mem_used_mb) || 0, gtt: reported(p.gtt_used_mb) || 0,
          busy: gpuPercent(key + '|' + p.pid, p, now), name: p.name || '', where: placeOf(p),
        });
      });
    });
    // Processes that are gone are forgotten.
    for (const [key, entry] of state.engineTime) if (!entry.seen) state.engineTime.delete(key);
    return rows;
  }

  const TEXT_KEYS = new Set(['type', 'name', 'where']);
  const currentSort = () => state.sort || { key: 'vram', descending: true };
  // Unknown values (a GPU % not measured yet) go last either way; ties keep
  // the order of the document (largest memory first within a GPU).
  function compareRows(a, b) {
    const sort = currentSort();
    const x = a[sort.key];
    const y = b[sort.key];
    if (x === null || y === null) {
      if (x !== y) return x === null ? 1 : -1;
    } else {
      const c = TEXT_KEYS.has(sort.key) ? String(x).localeCompare(String(y)) : x - y;
      if (c !== 0) return sort.descending ? -c : c;
    }
    return a.gpu - b.gpu || a.order - b.order;
  }

  function renderRows() {
    const body = byId('process-rows');
    const shown = state.rows.filter((r) => !state.filter || r.gpuKey === state.filter).sort(compareRows);
    const fragment = document.createDocumentFragment();
    for (const r of shown) {
      const tr = el('tr');
      tr.dataset.pid = r.pid;
      tr.dataset.gpu = r.gpu;
      const cells = [
        [String(r.pid), 'num'], [String(r.gpu), 'num'], [r.type, ''], [String(r.vram), 'num'],
        [String(r.gtt), 'num'], [r.busy === null ? '–' : r.busy.toFixed(r.busy < 10 ? 1 : 0), 'num'],
        [r.name, 'name'], [r.where, 'where'],
      ];
      for (const [text, className] of cells) tr.append(el('td', className, text));
      fragment.append(tr);
    }
    body.replaceChildren(fragment);
    byId('no-processes').hidden = shown.length > 0;
    const sort = currentSort();
    document.querySelectorAll('#process-table th').forEach((th) => {
      if (th.dataset.key === sort.key) th.setAttribute('aria-sort', sort.descending ? 'descending' : 'ascending');
      else th.removeAttribute('aria-sort');
    });
  }

  function updateFilter() {
    const select = byId('gpu-filter');
    const options = [el('option', '', 'All GPUs')];
    options[0].value = '';
    for (const gpu of state.gpus.values()) {
      const option = el('option', '', 'GPU ' + gpu.device.index + ': ' + gpu.device.market_name);
      option.value = gpu.key;
      options.push(option);
    }
    const wanted = state.gpus.has(state.filter) ? state.filter : '';
    const same = select.options.length === options.length &&
      options.every((o, i) => select.options[i].value === o.value && select.options[i].text === o.text);
    if (!same) select.replaceChildren(...options);
    select.value = wanted;
    state.filter = wanted;
  }

  // ---- polling -------------------------------------------------------------

  function setStatus(text, failed) {
    const status = byId('status');
    status.textContent = text;
    status.classList.toggle('failed', !!failed);
  }

  function notice(text) {
    const main = byId('gpus');
    let card = byId('notice');
    if (!text) {
      if (card) card.remove();
      return;
    }
    if (!card) {
      card = el('article', 'gpu notice');
      card.id = 'notice';
      const status = el('p', 'gpu-status');
      status.setAttribute('role', 'status');
      card.append(status);
      main.prepend(card);
    }
    card.firstChild.textContent = text;
  }

  function update(devices, now) {
    const main = byId('gpus');
    const seen = new Set();
    devices.forEach((d, position) => {
      const key = gpuKey(d);
      seen.add(key);
      let gpu = state.gpus.get(key);
      if (!gpu) {
        gpu = createGpu(key);
        state.gpus.set(key, gpu);
      }
      gpu.device = d;
      // In the document's order; a card is only moved when that changed.
      if (main.children[position] !== gpu.card) main.insertBefore(gpu.card, main.children[position] || null);
      gpu.name.textContent = d.market_name || 'AMD GPU';
      gpu.identity.textContent = identityText(d);
      gpu.status.textContent = '';
      gpu.card.classList.remove('stale');
      record(gpu, now, d);
    });
    for (const [key, gpu] of state.gpus) {
      if (seen.has(key)) continue;
      gpu.charts.forEach((chart) => chart.uplot && chart.uplot.destroy());
      gpu.card.remove();
      state.gpus.delete(key);
    }
    notice(devices.length ? '' : 'No AMD GPU found');  // after the cards: a notice is only there without them
    // Charts are drawn once their cards are in the page and have a width.
    for (const gpu of state.gpus.values()) redraw(gpu);
    state.rows = collectRows(devices, now);
    updateFilter();
    renderRows();
    byId('process-table').classList.remove('stale');
  }

  function failed(reason, now) {
    state.lastReason = reason;
    for (const gpu of state.gpus.values()) {
      gpu.status.textContent = reason;
      gpu.card.classList.add('stale');
      record(gpu, now, null);
      redraw(gpu);
    }
    notice(state.gpus.size ? '' : reason);
    byId('process-table').classList.add('stale');
    byId('login').hidden = reason !== 'unauthorized';
  }

  function retryDelay() {
    return state.failures ? Math.min(MAX_RETRY_S, state.interval * Math.pow(2, state.failures)) : state.interval;
  }

  function schedule() {
    clearTimeout(state.timer);
    state.timer = 0;
    if (state.paused || state.polling) return;
    state.timer = setTimeout(poll, retryDelay() * 1000);
  }

  // The reason a refused request shows: the server's own word when it gives one.
  async function refusal(response) {
    if (response.status === 401) return 'unauthorized';
    try {
      const body = await response.json();
      if (body && typeof body.error === 'string' && body.error) return body.error;
    } catch (e) { /* no JSON body */ }
    return 'HTTP ' + response.status;
  }

  async function poll() {
    state.timer = 0;
    if (state.polling) return;
    state.polling = true;
    let devices = null;
    let reason = '';
    try {
      const headers = { Accept: 'application/json' };
      if (state.token) headers.Authorization = 'Bearer ' + state.token;
      const response = await fetch(DATA_URL, { headers: headers, cache: 'no-store', credentials: 'omit' });
      if (response.ok) {
        try {
          devices = await response.json();
          if (!Array.isArray(devices)) reason = 'bad response';
        } catch (e) {
          reason = 'bad response';
        }
      } else {
        reason = await refusal(response);
      }
    } catch (e) {
      reason = 'unreachable';
    }
    const now = Date.now() / 1000;
    state.polling = false;
    if (reason) {
      state.failures++;
      failed(reason, now);
    } else {
      state.failures = 0;
      state.lastReason = '';
      byId('login').hidden = true;
      update(devices, now);
    }
    showStatus();
    schedule();
  }

  function showStatus() {
    if (state.paused) return setStatus('paused', false);
    if (state.lastReason) return setStatus(state.lastReason + ', trying again in ' + retryDelay() + ' s', true);
    setStatus('updated ' + new Date().toLocaleTimeString(), false);
  }

  function pollNow() {
    clearTimeout(state.timer);
    state.timer = 0;
    if (!state.polling) poll();
  }

  // ---- controls ------------------------------------------------------------

  function takeToken() {
    // #token=... never reaches the server; it is kept for this tab and removed from the address bar.
    const match = /(?:^#|&)token=([^&]*)/.exec(location.hash);
    if (match) {
      let token = match[1];
      try { token = decodeURIComponent(token); } catch (e) { /* kept as written */ }
      token = token.trim();
      if (token) store.set('sessionStorage', TOKEN_KEY, token);
      state.token = token || null;
      history.replaceState(history.state, '', location.pathname + location.search);
    }
    if (!state.token) state.token = store.get('sessionStorage', TOKEN_KEY);
  }

  function setUp() {
    byId('host').textContent = location.host;
    document.title = 'karvo · ' + location.host;
    takeToken();

    const saved = Number(store.get('localStorage', INTERVAL_KEY));
    const interval = byId('interval');
    if ([1, 2, 5, 10].includes(saved)) state.interval = saved;
    interval.value = String(state.interval);
    interval.addEventListener('change', () => {
      state.interval = Number(interval.value) || DEFAULT_INTERVAL_S;
      store.set('localStorage', INTERVAL_KEY, String(state.interval));
      schedule();
    });

    const pause = byId('pause');
    pause.addEventListener('click', () => {
      state.paused = !state.paused;
      pause.textContent = state.paused ? 'Resume' : 'Pause';
      pause.setAttribute('aria-pressed', String(state.paused));
      if (state.paused) {
        clearTimeout(state.timer);
        state.timer = 0;
        showStatus();
      } else {
        pollNow();
      }
    });

    byId('login').addEventListener('submit', (event) => {
      event.preventDefault();
      const input = byId('token');
      const token = input.value.trim();
      if (!token) return;
      state.token = token;
      store.set('sessionStorage', TOKEN_KEY, token);
      input.value = '';
      byId('login').hidden = true;
      state.failures = 0;
      pollNow();
    });

    byId('gpu-filter').addEventListener('change', (event) => {
      state.filter = event.target.value;
      renderRows();
    });

    document.querySelectorAll('#process-table th').forEach((th) => {
      th.querySelector('button').addEventListener('click', () => {
        const key = th.dataset.key;
        const current = currentSort();
        // A new column starts with its largest (numbers) or first (text) value on top.
        state.sort = current.key === key ? { key: key, descending: !current.descending }
                                         : { key: key, descending: !TEXT_KEYS.has(key) };
        renderRows();
      });
    });

    let resizing = 0;
    window.addEventListener('resize', () => {
      cancelAnimationFrame(resizing);
      resizing = requestAnimationFrame(() => {
        for (const gpu of state.gpus.values()) {
          gpu.charts.forEach((chart) => chart.uplot &&
            chart.uplot.setSize({ width: plotWidth(chart), height: chart.uplot.height }));
        }
      });
    });
    if (darkQuery) {
      darkQuery.addEventListener('change', () => {
        const colors = palette();
        for (const gpu of state.gpus.values()) gpu.charts.forEach((chart) => buildPlot(chart, colors));
      });
    }
    poll();
  }

  setUp();
})();
