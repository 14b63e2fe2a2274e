#!/usr/bin/env node
// The browser page in Debian's Chromium (headless), against the real karvo
// serving fake GPUs on a loopback port picked here.
//
//   node page_checks.cjs --karvo EXE --npm BUILD/npm --artefacts DIR
//        (--machine karvo_fake_machine | --fakes BIN/fakes --runner scripts/wine-run.sh)
//
// Linux (--machine): the live machine of tests/fixtures/fake_machine.cpp, two
// GPUs and five processes. Windows (--fakes): karvo.exe under Wine beside the
// fake display library, two GPUs and no processes (Wine has no PDH counters).
//
// Chromium's own flags first: --dump-dom after a virtual time budget must show
// each GPU's name, one chart per figure and the processes in VRAM order, with
// no console message at all (--enable-logging=stderr); a wrong token must show
// "unauthorized". Then puppeteer-core drives the same binary: the fragment is
// taken and removed, clicks sort and filter the processes, pause stops the
// polls, the token prompt, GPU % from engine time, a server that went away,
// HTTPS (Linux), and screenshots at 1280x800 and 390x844 into DIR.
'use strict';

const { spawn, execFile } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const CHROMIUM = '/usr/bin/chromium';
const TOKEN = 'page-check-token-0123456789abcdef';

const options = {};
for (let i = 2; i < process.argv.length; i += 2) options[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const windows = Boolean(options.fakes);
const suffix = windows ? '-windows' : '';
const artefacts = path.resolve(options.artefacts);
fs.mkdirSync(artefacts, { recursive: true });
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'karvo-page-'));

let passed = 0;
const failures = [];
function check(condition, message) {
  if (condition) {
    passed++;
  } else {
    failures.push(message);
    console.log('FAIL: ' + message);
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const children = [];
function cleanUp() {
  for (const child of children) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  }
  fs.rmSync(work, { recursive: true, force: true });
}

async function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const port = probe.address().port;
      probe.close(() => resolve(port));
    });
  });
}

// The fake machine of the Linux run: a live tree of kernel files.
async function startMachine() {
  const machine = spawn(options.machine, ['--live'], { stdio: ['pipe', 'pipe', 'inherit'] });
  children.push(machine);
  let out = '';
  machine.stdout.on('data', (chunk) => { out += chunk; });
  for (let i = 0; i < 300 && !/tree: .*\n/.test(out); i++) await sleep(100);
  const match = /tree: (.*)\n/.exec(out);
  if (!match) throw new Error('the fake machine did not start');
  return { root: match[1], stop: () => machine.stdin.end() };
}

// karvo.exe beside the fake display library, which reports two GPUs.
function windowsInstall() {
  const folder = path.join(work, 'app');
  fs.mkdirSync(folder);
  fs.copyFileSync(options.karvo, path.join(folder, 'karvo.exe'));
  fs.copyFileSync(path.join(options.fakes, 'adl', 'atiadlxx.dll'), path.join(folder, 'atiadlxx.dll'));
  const scenario = path.join(folder, 'adl.txt');
  fs.writeFileSync(scenario, [
    'adapter 0 4098 3 0 0', 'udid PCI_VEN_1002&DEV_744C&SUBSYS_0E3B1002', 'name AMD Radeon RX 7900 XTX',
    'driver 31.0.24027.1012', 'sensor 8 45', 'sensor 9 62', 'sensor 27 71', 'sensor 19 37', 'sensor 73 2125',
    'sensor 40 16000', 'sensor 41 16', 'memory ADL2_Adapter_MemoryInfoX4_Get GDDR6',
    'adapter 1 4098 12 0 0', 'udid PCI_VEN_1002&DEV_7480&SUBSYS_1', 'name AMD Radeon RX 7600',
    'sensor 8 50', 'sensor 27 66', 'sensor 19 12', 'sensor 23 455', 'memory ADL2_Adapter_MemoryInfoX4_Get GDDR6',
    ''].join('\n'));
  return { program: path.join(folder, 'karvo.exe'), env: { KARVO_FAKE_ADL: scenario } };
}

// karvo --serve on a free port, once its banner is out.
async function startKarvo(program, args, env) {
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const log = path.join(work, 'karvo-' + port);
    const out = fs.openSync(log + '.out', 'w');
    const err = fs.openSync(log + '.err', 'w');
    const runner = options.runner ? [options.runner] : [];
    const command = runner.concat([program, '--serve', String(port)], args);
    const child = spawn(command[0], command.slice(1), {
      stdio: ['ignore', out, err], env: Object.assign({}, process.env, env),
    });
    children.push(child);
    for (let i = 0; i < 600 && child.exitCode === null; i++) {
      if (fs.readFileSync(log + '.out', 'utf8').split('\n').length > 3) {
        return { port: port, child: child, banner: fs.readFileSync(log + '.out', 'utf8') };
      }
      await sleep(100);
    }
    child.kill('SIGKILL');
    console.log('karvo did not start on ' + port + ': ' + fs.readFileSync(log + '.err', 'utf8'));
  }
  throw new Error('karvo did not start serving');
}

const browserFlags = ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
let profiles = 0;
const freshProfile = () => path.join(work, 'profile-' + ++profiles);

// Chromium on its own: the DOM after `budget` ms of virtual time, and the console lines it logged.
function dumpDom(url, budget) {
  return new Promise((resolve) => {
    const args = browserFlags.concat(['--user-data-dir=' + freshProfile(), '--enable-logging=stderr', '--v=0',
      '--virtual-time-budget=' + budget, '--dump-dom', url]);
    execFile(CHROMIUM, args, { timeout: 120000, maxBuffer: 32 << 20 }, (error, stdout, stderr) => {
      const consoleLines = stderr.split('\n').filter((line) => /:CONSOLE[:(]/.test(line));
      resolve({ dom: stdout, consoleLines: consoleLines, error: error });
    });
  });
}

// The cards of a dumped page: name, charts (figure ids with a drawn plot), status.
function cardsOf(dom) {
  return dom.split('<article class="gpu').slice(1).map((card) => ({
    name: (/<h2 class="gpu-name">([^<]*)<\/h2>/.exec(card) || [])[1],
    status: (/<p class="gpu-status" role="status">([^<]*)<\/p>/.exec(card) || [])[1],
    figures: Array.from(card.matchAll(/<div class="chart" data-figure="([a-z]+)">/g), (m) => m[1]),
    plots: (card.match(/<div class="uplot/g) || []).length,
    canvases: (card.match(/<canvas/g) || []).length,
    notice: card.startsWith(' notice'),
  }));
}
const rowsOf = (dom) => Array.from(dom.matchAll(/<tr data-pid="(\d+)" data-gpu="(\d+)">/g), (m) => Number(m[1]));

const FIGURES = ['use', 'vram', 'gtt', 'temp', 'power'];
const NAMES = windows ? ['AMD Radeon RX 7900 XTX', 'AMD Radeon RX 7600'] : ['AMD Radeon RX 7900 XTX', 'AMD Radeon RX 7600 XT'];
const VRAM_ORDER = windows ? [] : [5150, 4242, 3131, 977, 1234];

async function chromiumChecks(base) {
  const good = await dumpDom(base + '/ui#token=' + TOKEN, 8000);
  const cards = cardsOf(good.dom);
  check(!good.error, 'chromium --dump-dom ran: ' + good.error);
  check(JSON.stringify(cards.map((c) => c.name)) === JSON.stringify(NAMES),
    'dump-dom shows each GPU by name: ' + JSON.stringify(cards.map((c) => c.name)));
  for (const card of cards) {
    check(JSON.stringify(card.figures) === JSON.stringify(FIGURES) && card.plots === 5 && card.canvases === 5,
      card.name + ': one drawn chart per figure: ' + JSON.stringify(card));
    check(!card.status, card.name + ': no failure shown: ' + card.status);
  }
  check(JSON.stringify(rowsOf(good.dom)) === JSON.stringify(VRAM_ORDER),
    'processes in VRAM order: ' + JSON.stringify(rowsOf(good.dom)));
  check(/<p id="no-processes" class="empty"( hidden="")?>/.exec(good.dom)[1] === (VRAM_ORDER.length ? ' hidden=""' : undefined),
    'the empty-table note shows exactly when there is no process');
  check(good.consoleLines.length === 0, 'no console message: ' + good.consoleLines.join('\n'));

  const wrong = await dumpDom(base + '/ui#token=not-the-token-0123456789', 4000);
  const notice = cardsOf(wrong.dom);
  check(notice.length === 1 && notice[0].notice && notice[0].status === 'unauthorized',
    'a wrong token shows "unauthorized": ' + JSON.stringify(notice));
  check(/<form id="login" class="login">/.test(wrong.dom), 'a wrong token shows the token prompt');
  check(/class="status failed"[^>]*>unauthorized, trying again in \d+ s</.test(wrong.dom),
    'the status line says so and when it tries again');
  // The browser reports the refused requests themselves, nothing else.
  const unexpected = wrong.consoleLines.filter((line) => !/status of 401 \(Unauthorized\)/.test(line));
  check(unexpected.length === 0, 'nothing but the 401s logged: ' + unexpected.join('\n'));
}

async function puppeteerChecks(base, httpsBase) {
  const puppeteer = require(path.join(path.resolve(options.npm), 'node_modules', 'puppeteer-core'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM, headless: true, acceptInsecureCerts: true, userDataDir: freshProfile(),
    args: browserFlags.filter((flag) => !flag.startsWith('--headless')), protocolTimeout: 60000,
  });
  try {
    const page = await browser.newPage();
    const messages = [];
    const requests = [];
    page.on('console', (message) => messages.push(message.type() + ': ' + message.text()));
    page.on('pageerror', (error) => messages.push('page error: ' + error.message));
    page.on('request', (request) => requests.push(request.url()));
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(base + '/ui#token=' + TOKEN, { waitUntil: 'load' });
    await page.waitForSelector('.gpu-name', { timeout: 30000 });
    const where = await page.evaluate(() => [location.href, sessionStorage.getItem('karvo.token')]);
    check(where[0] === base + '/ui' && where[1] === TOKEN, 'the fragment is kept in sessionStorage and removed: ' + where);
    await page.select('#interval', '1');

    const rows = () => page.$$eval('#process-rows tr', (trs) => trs.map((tr) => Number(tr.dataset.pid)));
    const cell = (pid, column) => page.$eval(`#process-rows tr[data-pid="${pid}"]`,
      (tr, c) => tr.children[c].textContent, column);
    if (!windows) {
      // Two polls a second apart give each process its GPU % (the machine keeps
      // ollama 90 % and blender 45 % busy; llama-server has no engine time).
      await page.waitForFunction(() => /^\d/.test(document.querySelector('#process-rows tr[data-pid="5150"] td:nth-child(6)').textContent),
        { timeout: 20000 });
      await sleep(2500);
      const ollama = Number(await cell(5150, 5));
      const blender = Number(await cell(4242, 5));
      check(ollama >= 60 && ollama <= 100 && blender >= 25 && blender <= 65,
        'GPU % from busy_ns: ollama ' + ollama + ', blender ' + blender);
      check(await cell(3131, 5) === '–', 'no GPU % without engine time');
      check(await cell(5150, 7) === 'llm/ollama-0 (ollama)', 'container and pod: ' + await cell(5150, 7));

      const header = (key) => page.click(`#process-table th[data-key="${key}"] button`);
      await header('name');
      check(JSON.stringify(await rows()) === '[4242,3131,5150,977,1234]', 'sorted by name: ' + await rows());
      await header('name');
      check(JSON.stringify(await rows()) === '[1234,977,5150,3131,4242]', 'sorted by name, reversed: ' + await rows());
      await header('vram');
      check(JSON.stringify(await rows()) === JSON.stringify(VRAM_ORDER), 'back to VRAM order: ' + await rows());
      const second = await page.$eval('#gpu-filter', (s) => s.options[2].value);
      await page.select('#gpu-filter', second);
      check(JSON.stringify(await rows()) === '[5150,1234]', 'filtered to GPU 1: ' + await rows());
      await page.waitForFunction(() => document.querySelectorAll('#process-rows tr').length === 2 &&
        document.querySelector('#status').textContent.startsWith('updated'), { timeout: 10000 });
      check(JSON.stringify(await rows()) === '[5150,1234]', 'the filter holds across polls: ' + await rows());
      await page.select('#gpu-filter', '');
    }
    await sleep(3000);  // a few points on every chart
    await page.screenshot({ path: path.join(artefacts, 'page-1280x800' + suffix + '.png') });

    // Pause stops the polls; resuming polls at once.
    const polls = () => requests.filter((url) => url === base + '/').length;
    await page.click('#pause');
    const paused = polls();
    await sleep(2500);
    check(polls() === paused && await page.$eval('#status', (s) => s.textContent) === 'paused',
      'no poll while paused: ' + (polls() - paused));
    await page.click('#pause');
    await sleep(1000);
    check(polls() > paused, 'resuming polls again');

    await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);
    await sleep(300);
    const dark = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    check(dark === 'rgb(20, 22, 26)', 'dark colours follow the preference: ' + dark);
    await page.screenshot({ path: path.join(artefacts, 'page-1280x800-dark' + suffix + '.png') });
    await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'light' }]);

    await page.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    await sleep(1500);
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth);
    check(overflow <= 390, 'nothing wider than a phone: ' + overflow);
    await page.screenshot({ path: path.join(artefacts, 'page-390x844' + suffix + '.png') });

    check(messages.length === 0, 'no console message: ' + messages.join('\n'));
    const foreign = requests.filter((url) => !url.startsWith(base + '/') && !url.startsWith('data:'));
    check(foreign.length === 0, 'nothing from another host: ' + foreign.join(' '));

    // Without a token the page asks for one, then shows the GPUs.
    const context = await browser.createBrowserContext();
    const fresh = await context.newPage();
    await fresh.goto(base + '/ui', { waitUntil: 'load' });
    await fresh.waitForSelector('#login:not([hidden])', { timeout: 20000 });
    await fresh.type('#token', TOKEN);
    await fresh.click('#login button');
    await fresh.waitForSelector('.gpu-name', { timeout: 20000 });
    check(await fresh.$eval('#login', (f) => f.hidden), 'the prompt goes once the token is taken');
    check(await fresh.evaluate(() => sessionStorage.getItem('karvo.token')) === TOKEN, 'the prompt keeps the token');
    await context.close();

    if (httpsBase) {
      const secure = await browser.newPage();
      await secure.goto(httpsBase + '/ui#token=' + TOKEN, { waitUntil: 'load' });
      await secure.waitForSelector('.gpu-name', { timeout: 30000 });
      check((await secure.$$('.chart .uplot')).length === 10, 'the page over HTTPS');
      await secure.close();
    }
    return page;
  } catch (error) {
    await browser.close();
    throw error;
  }
}

async function main() {
  let program = options.karvo;
  let env = { KARVO_TOKEN: TOKEN, KARVO_TOKEN_FILE: '' };
  let machine = null;
  if (windows) {
    const install = windowsInstall();
    program = install.program;
    Object.assign(env, install.env);
  } else {
    machine = await startMachine();
    env.KARVO_SYSROOT = machine.root;
  }
  const server = await startKarvo(program, [], env);
  const base = 'http://127.0.0.1:' + server.port;
  check(server.banner.includes('Browser page: ' + base + '/ui (append #token=<token>'),
    'the banner gives the page: ' + server.banner);

  let httpsBase = null;
  if (!windows) {
    const key = path.join(work, 'key.pem');
    const cert = path.join(work, 'cert.pem');
    await new Promise((resolve, reject) => execFile('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt',
      'ec_paramgen_curve:P-256', '-nodes', '-days', '2', '-subj', '/CN=localhost', '-addext',
      'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', cert], (e) => (e ? reject(e) : resolve())));
    fs.chmodSync(key, 0o600);
    const secure = await startKarvo(program, ['--tls-cert-file', cert, '--tls-key-file', key], env);
    httpsBase = 'https://127.0.0.1:' + secure.port;
  }

  await chromiumChecks(base);
  const page = await puppeteerChecks(base, httpsBase);

  // The server goes away: every card says so, and the page keeps trying.
  server.child.kill('SIGKILL');
  await page.waitForFunction(() => Array.from(document.querySelectorAll('.gpu-status')).every((s) => s.textContent === 'unreachable'),
    { timeout: 15000 }).catch(() => {});
  const statuses = await page.$$eval('.gpu-status', (all) => all.map((s) => s.textContent));
  check(statuses.length === 2 && statuses.every((s) => s === 'unreachable'), 'a lost server shows "unreachable": ' + statuses);
  check(/^unreachable, trying again in \d+ s$/.test(await page.$eval('#status', (s) => s.textContent)),
    'and when the page tries again');
  await page.browser().close();
  if (machine) machine.stop();
}

main().catch((error) => {
  check(false, 'the run stopped: ' + (error && error.stack || error));
}).finally(() => {
  cleanUp();
  console.log('browser page' + suffix + ': ' + passed + ' passed, ' + failures.length + ' failed');
  process.exitCode = failures.length ? 1 : 0;
});
