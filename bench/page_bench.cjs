#!/usr/bin/env node
// The browser page in Debian's Chromium against `karvo --serve` over the live
// fake machine (two busy GPUs, five processes):
//   - first load: the bytes the browser receives for /ui and its files (and
//     for the first poll), headers included;
//   - the page's memory over polls every second, in two runs:
//       real time, KARVO_PAGE_REAL_MINUTES minutes (default 3): the JS heap
//       after a forced garbage collection every 15 s, and its growth per
//       minute over the last half of the run, extrapolated linearly to an
//       hour (the charts' history fills for the first ten minutes, so the
//       first half is left out of the slope);
//       virtual time, one whole hour: Chromium's virtual clock runs the
//       page's timers at once while every poll still goes to the server
//       (it stops while a fetch is open), so 3,600 real polls take a few
//       minutes; the heap after a collection every five virtual minutes.
//
//   node page_bench.cjs KARVO FAKE_MACHINE NPM_FOLDER
'use strict';

const { spawn } = require('child_process');
const net = require('net');
const path = require('path');

const [karvo, fakeMachine, npm] = process.argv.slice(2);
const puppeteer = require(path.join(path.resolve(npm), 'node_modules', 'puppeteer-core'));
const realMinutes = Number(process.env.KARVO_PAGE_REAL_MINUTES || 3);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const kb = (bytes) => (bytes / 1024).toFixed(1) + ' KiB';

async function freePort() {
  return new Promise((resolve) => {
    const probe = net.createServer().listen(0, '127.0.0.1', () => {
      const port = probe.address().port;
      probe.close(() => resolve(port));
    });
  });
}

async function main() {
  const machine = spawn(fakeMachine, ['--live', '--seconds', '7200'], { stdio: ['pipe', 'pipe', 'inherit'] });
  let out = '';
  machine.stdout.on('data', (chunk) => { out += chunk; });
  while (!/tree: .*\n/.test(out)) await sleep(100);
  const port = await freePort();
  const server = spawn(karvo, ['--serve', String(port)], {
    env: Object.assign({}, process.env, { KARVO_SYSROOT: /tree: (.*)\n/.exec(out)[1] }), stdio: 'ignore',
  });
  await sleep(500);
  const base = 'http://127.0.0.1:' + port;
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  try {
    // First load: what arrives over the wire for each request.
    const page = await browser.newPage();
    const cdp = await page.createCDPSession();
    await cdp.send('Network.enable');
    const urls = new Map();
    const received = [];
    cdp.on('Network.requestWillBeSent', (e) => urls.set(e.requestId, e.request.url));
    cdp.on('Network.loadingFinished', (e) => received.push([urls.get(e.requestId), e.encodedDataLength]));
    await page.goto(base + '/ui', { waitUntil: 'load' });
    await page.waitForSelector('.gpu-name');
    await sleep(300);
    const files = received.filter(([url]) => url !== base + '/');
    const firstPoll = received.find(([url]) => url === base + '/');
    console.log('first load (page and its files, headers included):');
    for (const [url, bytes] of files) console.log('  ' + url.slice(base.length).padEnd(44) + String(bytes).padStart(7));
    const total = files.reduce((sum, [, bytes]) => sum + bytes, 0);
    console.log('  total ' + total + ' bytes (' + kb(total) + '); the first poll adds ' + (firstPoll ? firstPoll[1] : '?') +
      ' bytes of JSON');

    const heap = async () => {
      await cdp.send('HeapProfiler.collectGarbage');
      const m = await page.metrics();
      return { heap: m.JSHeapUsedSize, nodes: m.Nodes, listeners: m.JSEventListeners };
    };
    await page.select('#interval', '1');

    console.log('\nreal time, polls every second, ' + realMinutes + ' min:');
    const real = [];
    const started = Date.now();
    for (let t = 0; t <= realMinutes * 60; t += 15) {
      if (t > 0) await sleep(started + t * 1000 - Date.now());
      const sample = await heap();
      real.push([t, sample.heap]);
      console.log('  ' + String(t).padStart(4) + ' s  heap ' + kb(sample.heap).padStart(11) + '  nodes ' + sample.nodes +
        '  listeners ' + sample.listeners);
    }
    const half = real.filter(([t]) => t >= realMinutes * 30);
    const n = half.length;
    const meanT = half.reduce((s, [t]) => s + t, 0) / n;
    const meanH = half.reduce((s, [, h]) => s + h, 0) / n;
    const slope = half.reduce((s, [t, h]) => s + (t - meanT) * (h - meanH), 0) /
      half.reduce((s, [t]) => s + (t - meanT) ** 2, 0);
    console.log('  slope over the second half: ' + kb(slope * 60) + ' a minute; linear to an hour: ' +
      kb(real[real.length - 1][1] + slope * (3600 - real[real.length - 1][0])) +
      ' (an upper bound: the history stops growing at ten minutes)');

    console.log('\nvirtual time, polls every (virtual) second, one hour:');
    let polls = 0;
    page.on('request', (request) => { if (request.url() === base + '/') polls++; });
    const virtualStart = Date.now();
    for (let minute = 5; minute <= 60; minute += 5) {
      await new Promise((resolve) => {
        cdp.once('Emulation.virtualTimeBudgetExpired', resolve);
        cdp.send('Emulation.setVirtualTimePolicy', { policy: 'pauseIfNetworkFetchesPending', budget: 300000 });
      });
      const sample = await heap();
      console.log('  ' + String(minute).padStart(3) + ' min  polls ' + String(polls).padStart(5) + '  heap ' +
        kb(sample.heap).padStart(11) + '  nodes ' + sample.nodes + '  listeners ' + sample.listeners);
    }
    console.log('  (' + ((Date.now() - virtualStart) / 1000).toFixed(0) + ' s of real time)');
  } finally {
    await browser.close();
    server.kill();
    machine.stdin.end();
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
