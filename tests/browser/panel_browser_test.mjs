// The panel page in headless chromium against the real dashwick.
//
//   node panel_browser_test.mjs DASHWICK SCREENSHOT_DIR [BASE_URL]
//
// BASE_URL is http://127.0.0.1:8088 (the server itself) by default. With
// https://127.0.0.1:PORT the page is reached through the nginx front
// (scripts/nginx-front, deploy/nginx/dashwick.conf, a throw-away
// certificate) on that port, in front of the same server.
//
// DASHWICK "-" means a panel that already runs at BASE_URL (the guest of
// tests/guest_boot_test.sh): it is signed in to with PANEL_PASSWORD and
// expected to report PANEL_HOSTNAME, and nothing is started or restarted.
// With PANEL_TOOLS=guest its tools are the guest's own (deploy/guest/tools)
// rather than the stand-ins of examples/tools, with crond stopped and
// disabled beforehand.
//
// Run it through run.sh, which gives it a private network namespace: the
// server listens on 127.0.0.1:8088 (880 behind the front) there and chromium reaches it there.
// The server runs under scripts/panel-sandbox with the stand-in tools of
// examples/tools and a few seeded log files.
import { spawn } from 'node:child_process';
import { chmodSync, mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const top = join(here, '..', '..');
const [dashwick, shots, base] = process.argv.slice(2);
if (!dashwick || !shots) {
  console.error('usage: node panel_browser_test.mjs DASHWICK SCREENSHOT_DIR [BASE_URL]');
  process.exit(2);
}

const external = dashwick === '-';
const password = external ? process.env.PANEL_PASSWORD : 'br0wser:test ünïcode';   // a colon, a blank, non-ASCII
const hostName = external ? process.env.PANEL_HOSTNAME : 'node-1';   // the sandbox's own
// What the tools behind the panel offer: the services (one stopped and
// disabled, one running), an installed package with a newer version, one to
// install with its tool's line, and the address the network view shows.
const tools = external && process.env.PANEL_TOOLS === 'guest' ? {
  services: 'crond dashwick dropbear nginx syslogd', stopped: 'crond', running: 'syslogd',
  upgradable: ['hello', '1.0 → 1.1', 'installed upgradable', 'Upgrade Remove'],
  install: ['dirtree', 'dirtree 1.0 installed'], address: 'inet 10.20.0.15/24',
} : {
  services: 'cron dashwick dropbear nginx ntpd syslogd', stopped: 'ntpd', running: 'cron',
  upgradable: ['dropbear', '2022.82 → 2022.83', 'installed upgradable protected', 'Upgrade'],
  install: ['htop', 'htop 3.2.2 installed'], address: 'inet 192.0.2.10/24',
};
const origin = new URL(base ?? 'http://127.0.0.1:8088').origin;
const proxied = origin.startsWith('https:');
// The front's certificate is made for the run: trusted without a check,
// here and in chromium (ignoreHTTPSErrors).
if (proxied) process.env.NODE_TLS_REJECT_UNAUTHORIZED = '0';
let front = null;
const scratch = mkdtempSync(join(tmpdir(), 'panel-browser-'));
const failures = [];
let server = null;
let context = null;

function check(ok, what) {
  if (!ok) failures.push(what);
  console.log((ok ? 'ok   ' : 'FAIL ') + what);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Starts the nginx front in a directory of its own (each start an empty one).
let fronts = 0;
function spawnFront() {
  chmodSync(scratch, 0o711);  // nginx's workers reach their temporary files
  const dir = join(scratch, 'front' + ++fronts);
  mkdirSync(dir);
  front = spawn(join(top, 'scripts', 'nginx-front'), [dir, new URL(origin).port || '443'],
    { stdio: ['ignore', 'inherit', 'inherit'] });
}

// Starts the sandboxed server; resolves once "/" answers (10 s at most).
async function startServer() {
  // The front is started once; it stays while the server restarts behind it.
  if (proxied && !front && !external) spawnFront();
  if (!external) {
    server = spawn(join(top, 'scripts', 'panel-sandbox'), [dashwick, proxied ? '880' : '8088', join(scratch, 'logs')],
      { stdio: ['pipe', 'inherit', 'inherit'], env: { ...process.env, SANDBOX_HOSTNAME: hostName } });
    server.stdin.end(password + '\n');
  }
  await answering();
}

// Resolves once "/" answers (10 s at most).
async function answering() {
  for (let i = 0; i < 100; i++) {
    try {
      if ((await fetch(origin + '/')).status === 200) return;
    } catch { /* not listening yet */ }
    await sleep(100);
  }
  throw new Error('the panel did not answer within 10 s');
}

// Stops it by its pid; the launcher takes the namespace down with it.
async function stopServer() {
  if (!server || server.exitCode !== null) return;
  const ended = new Promise((resolve) => server.once('exit', resolve));
  server.kill('SIGTERM');
  await Promise.race([ended, sleep(5000)]);
  if (server.exitCode === null) server.kill('SIGKILL');
}

// nginx-front is unshare by now: killed by its pid, it takes nginx with it.
async function stopFront() {
  if (!front || front.exitCode !== null) return;
  const gone = new Promise((resolve) => front.once('exit', resolve));
  front.kill('SIGKILL');
  await Promise.race([gone, sleep(5000)]);
}

// ---- the checks ----------------------------------------------------------

const sizes = { desktop: { width: 1280, height: 800 }, phone: { width: 390, height: 844 } };
const logLines = [
  'alpha: service started',
  '\x1b[31mbeta: disk almost full\x1b[0m',
  'gamma: \x1b]0;title\x07link up',
  'delta: Beta test finished\r',
];

// 60 bytes a line with its line feed: the last 64 KiB of 1700 lines begin
// inside line 608.
const bigLine = (n) => 'line ' + String(n).padStart(6, '0') + ' ' + 'x'.repeat(47);

async function textOf(page, selector) {
  return (await page.locator(selector).textContent()) ?? '';
}

async function waitBadge(page, view) {
  const badge = page.locator('#' + view + '-task .badge');
  await badge.filter({ hasText: /Exit status/ }).waitFor({ timeout: 30000 });
  return badge.textContent();
}

async function main() {
  mkdirSync(shots, { recursive: true });
  mkdirSync(join(scratch, 'logs'));
  writeFileSync(join(scratch, 'logs', 'demo.log'), logLines.join('\n') + '\n');
  writeFileSync(join(scratch, 'logs', 'app.log.1'), 'older generation\n');
  writeFileSync(join(scratch, 'logs', 'zeta.log'), '');
  writeFileSync(join(scratch, 'logs', 'big.log'), Array.from({ length: 1700 }, (_, i) => bigLine(i + 1) + '\n').join(''));
  await startServer();

  context = await chromium.launchPersistentContext(join(scratch, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: sizes.desktop,
    ignoreHTTPSErrors: proxied,
  });
  const page = context.pages()[0] ?? await context.newPage();

  // Every console error, page error and policy violation is a failure,
  // except the refusals a step provokes on purpose (listed in allowed).
  const problems = [];
  let allowed = [];
  page.on('console', (m) => {
    if (m.type() !== 'error') return;
    const text = m.text();
    if (allowed.some((a) => text.includes(typeof a === 'number' ? 'status of ' + a : a))) return;
    problems.push('console: ' + text + ' (' + m.location().url + ')');
  });
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  await page.exposeFunction('reportViolation', (v) => problems.push('policy: ' + v));
  await page.addInitScript(() => {
    document.addEventListener('securitypolicyviolation',
      (e) => window.reportViolation(e.violatedDirective + ' ' + e.blockedURI));
  });

  const steps = [
    ['a wrong password is refused with a sentence that says so', [401], async () => {
      await page.goto(origin + '/');
      await page.fill('#password', 'wrong');
      await page.press('#password', 'Enter');
      await page.locator('#signin-error').filter({ hasText: 'The password was not accepted' }).waitFor();
      return (await page.isVisible('#view-signin')) && !(await page.isVisible('#bar'));
    }],
    ['signing in shows the host name and a CPU figure', [], async () => {
      await page.fill('#password', password);
      await page.click('#signin-button');
      await page.locator('#sys-host').filter({ hasText: /\S/ }).waitFor();
      await page.locator('#cpu-figure').filter({ hasText: /%|not available/ }).waitFor({ timeout: 8000 });
      const host = await textOf(page, '#sys-host');
      const cpu = await textOf(page, '#cpu-figure');
      const memory = await textOf(page, '#mem-text');
      console.log('     host ' + host + ', cpu ' + cpu + ', memory ' + memory);
      const focused = await page.evaluate(() => document.activeElement.id);
      return focused === 'overview-title' &&
        host === hostName && (await textOf(page, '#bar-host')) === hostName &&
        /^(\d+\.\d%|not available)$/.test(cpu) && / of .* used \(\d+%\)$/.test(memory);
    }],
    ['the password is kept nowhere but in memory', [], async () => page.evaluate(() =>
      localStorage.length === 0 && sessionStorage.length === 0 && document.cookie === '' &&
      !document.body.innerHTML.includes('ünïcode'))],
    ['the overview refreshes by itself', [], async () => {
      const samples = () => page.locator('#cpu-graph').getAttribute('aria-label');
      const before = await samples();
      await page.waitForFunction((b) => document.getElementById('cpu-graph').getAttribute('aria-label') !== b
        || document.getElementById('cpu-figure').textContent === 'not available', before, { timeout: 8000 });
      await sleep(3500);
      return (await textOf(page, '#sys-uptime')) !== '';
    }],
    ['services offer the actions that fit; all are disabled while a task runs', [], async () => {
      await page.click('#tab-services');
      await page.locator('#services-rows tr').first().waitFor({ timeout: 30000 });
      await page.locator('#services-busy:empty').waitFor({ state: 'attached' });
      const names = await page.locator('#services-rows th').allTextContents();
      const offered = (name) => page.locator('#services-rows tr', { hasText: name }).locator('button')
        .allTextContents().then((t) => t.join(' '));
      const before = [await offered(tools.stopped), await offered(tools.running)];
      const folded = await page.evaluate(() => !document.querySelector('#services-task details').open);
      await page.click(`button[aria-label="Start ${tools.stopped}"]`);
      const disabled = await page.evaluate(() => [...document.querySelectorAll('#view-services .act')]
        .every((b) => b.disabled));
      const note = await textOf(page, '#services-busy');
      await page.locator('#services-task .task-title').filter({ hasText: `Start ${tools.stopped}` }).waitFor();
      const status = await waitBadge(page, 'services');
      const output = await textOf(page, '#services-task pre');
      await page.locator(`button[aria-label="Stop ${tools.stopped}"]`).waitFor({ timeout: 30000 });
      await page.locator('#services-busy:empty').waitFor({ state: 'attached' });
      const enabled = await page.evaluate(() => [...document.querySelectorAll('#view-services .act')]
        .every((b) => !b.disabled));
      console.log('     offered ' + before.join(' | ') + '; while running: ' + note);
      return names.join(' ') === tools.services && folded &&
        before[0] === 'Start Enable' && before[1] === 'Stop Restart Disable' && disabled &&
        note.includes(`Start ${tools.stopped} is running`) && enabled &&
        (await offered(tools.stopped)) === 'Stop Restart Enable' &&
        status === 'Exit status 0' && output.includes(`${tools.stopped}: running`) && !/[\x1b\r]/.test(output);
    }],
    ['stopping dropbear asks first, naming the lost SSH access, Cancel focused', [], async () => {
      await page.click('button[aria-label="Stop dropbear"]');
      await page.locator('#confirm').waitFor();
      const text = await textOf(page, '#confirm-text');
      const focused = await page.evaluate(() => document.activeElement.id);
      await page.keyboard.press('Enter');   // the focused Cancel
      const cancelled = !(await page.isVisible('#confirm')) &&
        (await textOf(page, '#services-task .task-title')) === `Start ${tools.stopped}`;
      await page.click('button[aria-label="Stop dropbear"]');
      await page.click('#confirm-yes');
      await page.locator('#services-task .task-title').filter({ hasText: 'Stop dropbear' }).waitFor();
      await page.locator('button[aria-label="Start dropbear"]').waitFor({ timeout: 30000 });
      await page.click('button[aria-label="Start dropbear"]');   // no question asked
      await page.locator('button[aria-label="Stop dropbear"]').waitFor({ timeout: 30000 });
      return text.includes('You may lose SSH access to this machine') && focused === 'confirm-no' && cancelled;
    }],
    ['a failing task shows its exit status and output', [], async () => {
      await page.fill('#service-name', 'nosuch');
      await page.selectOption('#service-action', 'stop');
      await page.press('#service-name', 'Enter');
      await page.locator('#services-task .task-title').filter({ hasText: 'Stop nosuch' }).waitFor();
      const status = await waitBadge(page, 'services');
      return status === 'Exit status 1' &&
        (await textOf(page, '#services-task pre')).includes('no such service: nosuch');
    }],
    ['refusals show the server\'s sentence; unsafe names never leave the page', [400], async () => {
      let sent = 0;
      const count = (r) => { if (r.url().endsWith('/api/run')) sent++; };
      page.on('request', count);
      const cases = [
        ['nginx', 'Manage panel services from SSH', 1],
        ['bad.name', 'letters, digits', 0],
        ['.hidden', 'letters, digits', 0],
        ['-x', 'not beginning with', 0],
        ['x'.repeat(64), 'letters, digits', 0],
      ];
      let ok = true;
      for (const [name, sentence, requests] of cases) {
        sent = 0;
        await page.evaluate((n) => { document.getElementById('service-name').value = n; }, name);
        await page.selectOption('#service-action', 'restart');
        await page.click('#service-form button[type="submit"]');
        await page.locator('#services-error').filter({ hasText: sentence }).waitFor({ timeout: 5000 });
        await sleep(200);
        if (sent !== requests) { ok = false; console.log('     ' + name + ': ' + sent + ' requests'); }
      }
      page.off('request', count);
      await page.fill('#service-name', '');
      return ok;
    }],
    ['after a Restart on a phone its output is in view and announced', [], async () => {
      await page.setViewportSize(sizes.phone);
      await page.evaluate(() => window.scrollTo(0, 0));
      await page.click(`button[aria-label="Restart ${tools.running}"]`);
      await page.locator('#services-task .task-title').filter({ hasText: `Restart ${tools.running}` }).waitFor();
      const box = await page.evaluate(() => {
        const r = document.querySelector('#services-task pre').getBoundingClientRect();
        return { top: r.top, bottom: r.bottom, height: innerHeight };
      });
      const live = await page.locator('#services-task [aria-live]').count();
      const status = await waitBadge(page, 'services');
      await page.setViewportSize(sizes.desktop);
      console.log('     output at ' + Math.round(box.top) + '..' + Math.round(box.bottom) + ' of ' + box.height);
      return box.top >= 0 && box.bottom <= box.height && live === 1 && status === 'Exit status 0';
    }],
    ['packages: the lists joined; protected ones offer no Remove; install, confirmed removal', [], async () => {
      await page.click('#tab-packages');
      const [upgradable, versions, words, buttons] = tools.upgradable;
      const row = page.locator('#packages-rows tr', { hasText: upgradable });
      await row.waitFor({ timeout: 30000 });
      const joined = (await row.textContent()).includes(versions) &&
        (await row.locator('.word').allTextContents()).join(' ') === words &&
        (await row.locator('button').allTextContents()).join(' ') === buttons;
      const [name, line] = tools.install;
      await page.click('#packages-available');
      await page.locator('#packages-rows tr', { hasText: name }).waitFor({ timeout: 30000 });
      const offer = (await page.locator('#packages-rows tr', { hasText: name }).locator('button')
        .allTextContents()).join(' ') === 'Install';
      await page.click('#packages-installed');
      await page.locator('#packages-rows tr', { hasText: name }).waitFor({ state: 'detached', timeout: 30000 });
      await page.locator('#packages-busy:empty').waitFor({ state: 'attached' });
      // Typed in by hand, a protected name is refused before any request.
      let sent = 0;
      const count = (r) => { if (r.url().endsWith('/api/run')) sent++; };
      page.on('request', count);
      await page.fill('#package-name', 'sh');
      await page.selectOption('#package-action', 'remove');
      await page.press('#package-name', 'Enter');
      await page.locator('#packages-error').filter({ hasText: 'sh is protected' }).waitFor();
      page.off('request', count);
      await page.fill('#package-name', name);
      await page.selectOption('#package-action', 'install');
      await page.press('#package-name', 'Enter');
      await page.locator('#packages-task .task-title').filter({ hasText: `Install ${name}` }).waitFor();
      const installed = await waitBadge(page, 'packages');
      const output = await textOf(page, '#packages-task pre');
      await page.locator('#packages-rows th', { hasText: name }).waitFor({ timeout: 30000 });
      await page.locator('#packages-busy:empty').waitFor({ state: 'attached' });
      // Cancelled with Escape: nothing starts.
      await page.click(`button[aria-label="Remove ${name}"]`);
      await page.keyboard.press('Escape');
      const cancelled = !(await page.isVisible('#confirm')) &&
        (await textOf(page, '#packages-task .task-title')) === `Install ${name}`;
      await page.click(`button[aria-label="Remove ${name}"]`);
      await page.click('#confirm-yes');
      await page.locator('#packages-task .task-title').filter({ hasText: `Remove ${name}` }).waitFor();
      const removed = await waitBadge(page, 'packages');
      await page.locator('#packages-rows th', { hasText: name }).waitFor({ state: 'detached', timeout: 30000 });
      return joined && offer && sent === 0 && installed === 'Exit status 0' && output.includes(line) &&
        cancelled && removed === 'Exit status 0';
    }],
    ['the network view shows the addresses', [], async () => {
      await page.click('#tab-network');
      await waitBadge(page, 'network');
      return (await textOf(page, '#network-task pre')).includes(tools.address);
    }],
    ['the sections are reachable with the keyboard alone', [], async () => {
      await page.click('#tab-overview');
      await page.focus('#sign-out');
      for (let i = 0; i < 8; i++) {
        await page.keyboard.press('Shift+Tab');
        if (await page.evaluate(() => document.activeElement.id === 'tab-logs')) break;
      }
      await page.keyboard.press('Enter');
      await page.locator('#view-logs').waitFor();
      return page.evaluate(() => document.activeElement.id === 'logs-title' &&
        document.getElementById('tab-logs').getAttribute('aria-current') === 'page');
    }],
    ['logs are listed by name, shown filtered and cleaned, and followed', [], async () => {
      // The tasks above ran at a machine's pace: through nginx, its burst of
      // 20 requests is granted again first, as a person's pace would.
      if (proxied) await sleep(4500);
      await page.click('#tab-logs');
      await page.locator('#log-list button', { hasText: 'zeta.log' }).waitFor();
      const choose = await textOf(page, '#log-state');
      const names = await page.locator('#log-list button').allTextContents();
      const sorted = [...names].sort();
      await page.click('#log-list button:text-is("demo.log")');
      await page.locator('#log-text').filter({ hasText: 'alpha' }).waitFor();
      const whole = await textOf(page, '#log-text');
      await page.fill('#log-filter', 'beta');
      const filtered = await textOf(page, '#log-text');
      const count = await textOf(page, '#log-count');
      await page.fill('#log-filter', 'nothing like it');
      const none = await textOf(page, '#log-state');
      await page.fill('#log-filter', 'beta');
      await page.check('#log-follow');
      await sleep(2500);
      return names.includes('demo.log') && names.includes('app.log.1') &&
        names.join() === sorted.join() && !/[\x1b\x07\r]/.test(whole) &&
        whole.includes('gamma: link up') &&
        filtered === 'beta: disk almost full\ndelta: Beta test finished' && count === '2 of 4 lines match' &&
        choose === 'Choose a log file' && none === 'No lines match “nothing like it”';
    }],
    ['a large log says that it shows the last 64 KiB, without its cut first line', [], async () => {
      await page.uncheck('#log-follow');
      await page.fill('#log-filter', '');
      await page.click('#log-list button:text-is("big.log")');
      await page.locator('#log-cut').filter({ hasText: 'Showing the last 64 KiB' }).waitFor();
      const first = (await textOf(page, '#log-text')).split('\n')[0];
      console.log('     first line shown: ' + first.slice(0, 12) + '…; ' + await textOf(page, '#log-count'));
      return first === bigLine(609) && (await textOf(page, '#log-count')) === '1092 shown lines';
    }],
    ['a 429 from nginx is shown as a sentence', [429], async () => {
      if (!proxied) return true;   // the limit is nginx's
      // nginx allows 5 API requests a second with bursts of 20 per address:
      // eight clients keep the burst spent (however slow the front answers)
      // while the page asks again, at most 20 times.
      const tooMany = page.locator('#logs-error').filter({ hasText: 'Too many requests: wait a few seconds' });
      let flooding = true;
      const flood = async () => { while (flooding) await fetch(origin + '/api/logs').catch(() => {}); };
      const clients = Array.from({ length: 8 }, flood);
      try {
        for (let i = 0; i < 20 && !(await tooMany.count()); i++) {
          await page.click('#log-refresh');
          await tooMany.waitFor({ timeout: 1000 }).catch(() => {});
        }
      } finally {
        flooding = false;
        await Promise.all(clients);
      }
      await tooMany.waitFor({ timeout: 1000 });
      await sleep(4500);   // the burst is granted again
      await page.click('#log-refresh');
      await page.locator('#logs-error:empty').waitFor({ state: 'attached' });
      return true;
    }],
    ['nginx\'s 502 while the server is down is a sentence; then the new token is fetched',
      [403, 502, 'ERR_CONNECTION_REFUSED'], async () => {
      await page.uncheck('#log-follow');
      if (external) return null;
      await stopServer();
      await page.click('#tab-network');
      // Without the front the browser gets no reply at all.
      const down = proxied ? 'The panel\'s backend is not running' : 'The panel cannot be reached';
      await page.click('#network-show');
      await page.locator('#network-error').filter({ hasText: down }).waitFor();
      await startServer();
      const before = await page.getAttribute('#network-task', 'data-job');
      await page.click('#network-show');
      await page.waitForFunction((b) => document.getElementById('network-task').dataset.job !== b, before);
      const status = await waitBadge(page, 'network');
      // The job numbers start again with the new server.
      return status === 'Exit status 0' && (await page.getAttribute('#network-task', 'data-job')) === '1';
    }],
    ['restarts under a running task are waited out: after nginx\'s the task\'s own result; after the ' +
      'backend\'s its result no longer known, and the next task goes with the new token',
    [404, 502, 'ERR_CONNECTION_REFUSED'], async () => {
      if (external) return null;
      let refused = 0;
      const count = (r) => { if (r.url().endsWith('/api/run') && r.status() === 403) refused++; };
      page.on('response', count);
      await page.click('#tab-services');
      // Restart cron (1.6 s) with stop() and start() in its middle: its badge at the end.
      const restartCron = async (stop, start) => {
        await page.locator('#services-busy:empty').waitFor({ state: 'attached' });
        await page.click('button[aria-label="Restart cron"]');
        await page.locator('#services-task .badge').filter({ hasText: 'Running' }).waitFor();
        if (stop) {
          await stop();
          await page.locator('#services-error').filter({ hasText: 'Trying again' }).waitFor({ timeout: 5000 });
          await start();
        }
        await page.locator('#services-task .badge').filter({ hasText: /Exit status|Unknown/ }).waitFor({ timeout: 30000 });
        return textOf(page, '#services-task .badge');
      };
      const nginx = !proxied || ((await restartCron(stopFront, async () => { spawnFront(); await answering(); }))
        === 'Exit status 0' && (await textOf(page, '#services-task pre')).includes('cron: running'));
      const backend = await restartCron(stopServer, startServer);
      const message = await textOf(page, '#services-error');
      const next = await restartCron();
      page.off('response', count);
      console.log('     ' + backend + ': ' + message + ' Then: ' + next + ', ' + refused + ' refused tokens');
      // The job numbers start again with the new backend.
      return nginx && backend === 'Unknown' && message.includes('result is no longer known') &&
        next === 'Exit status 0' && (await page.getAttribute('#services-task', 'data-job')) === '1' && refused === 0;
    }],
  ];

  for (const [name, statuses, body] of steps) {
    allowed = statuses;
    let ok = false;
    try {
      ok = await body();
    } catch (e) {
      console.log('     ' + e.message.split('\n')[0]);
    }
    if (ok === null) console.log('skip ' + name + ' (a panel this test did not start)');
    else check(ok, name);
  }
  allowed = [];

  // Accessibility and screenshots: every view, both schemes, both widths.
  const axe = readFileSync(join(here, 'node_modules', 'axe-core', 'axe.min.js'), 'utf8');
  const views = ['overview', 'logs', 'services', 'packages', 'network'];
  const serious = [];
  const shoot = async (name, scheme, size) => {
    await page.setViewportSize(sizes[size]);
    await page.emulateMedia({ colorScheme: scheme });
    await sleep(150);
    await page.screenshot({ path: join(shots, name + '-' + scheme + '-' + size + '.png'), fullPage: true });
  };
  const audit = async (name, scheme) => {
    // Evaluated rather than added as a script tag: the page's policy
    // refuses inline scripts, and that refusal would count as a violation.
    if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(axe);
    const found = await page.evaluate(async () => {
      const result = await window.axe.run(document, { resultTypes: ['violations'] });
      return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
        .map((v) => v.id + ' (' + v.nodes.map((n) => n.target.join(' ')).join(', ') + ')');
    });
    for (const f of found) serious.push(name + ' ' + scheme + ': ' + f);
  };
  for (const view of views) {
    await page.click('#tab-' + view);
    await page.locator('#view-' + view).waitFor();
    if (view === 'network') await waitBadge(page, 'network').catch(() => {});
    for (const scheme of ['light', 'dark']) {
      for (const size of ['phone', 'desktop']) {
        await shoot(view, scheme, size);
        await audit(view, scheme + ' ' + size);
      }
    }
  }
  await page.click('#sign-out');
  check(await page.isVisible('#view-signin') && (await page.inputValue('#password')) === '' &&
    (await textOf(page, '#log-text')) === '' && (await page.evaluate(() => document.body.textContent))
      .indexOf(tools.stopped) < 0, 'signing out returns to the sign-in view and clears what was read');
  for (const scheme of ['light', 'dark']) {
    for (const size of ['phone', 'desktop']) {
      await shoot('signin', scheme, size);
      await audit('signin', scheme + ' ' + size);
    }
  }
  const keyboard = await page.evaluate(() => document.activeElement && document.activeElement.id);
  check(keyboard === 'password', 'after signing out the password field has the focus');

  for (const s of serious) console.log('     ' + s);
  check(serious.length === 0, 'accessibility audit: no serious or critical violations');
  for (const p of problems) console.log('     ' + p);
  check(problems.length === 0, 'no console errors and no policy violations');
}

try {
  await main();
} catch (e) {
  failures.push(e.message);
  console.error(e);
} finally {
  if (context) await context.close().catch(() => {});
  await stopServer();
  await stopFront();
  rmSync(scratch, { recursive: true, force: true });
}
console.log(failures.length ? failures.length + ' failed' : 'all passed; screenshots in ' + shots);
process.exit(failures.length ? 1 : 0);
