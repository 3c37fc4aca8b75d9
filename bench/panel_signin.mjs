// Measures in headless chromium, for bench/panel.sh: the time from pressing
// Sign in to the overview's host name on the page, and the time of one
// GET /api/system made by the same page; prints both medians in ms.
//   PANEL_PASSWORD=... node panel_signin.mjs ORIGIN COUNT
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const { chromium } = await import(join(here, '..', 'tests', 'browser', 'node_modules', 'playwright-core', 'index.mjs'));
const [origin, count] = [process.argv[2], Number(process.argv[3] || 20)];
const password = process.env.PANEL_PASSWORD;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];

process.env.NODE_TLS_REJECT_UNAUTHORIZED = '0';
for (let i = 0; i < 100; i++) {
  try { if ((await fetch(origin + '/')).status === 200) break; } catch { /* not up yet */ }
  await sleep(100);
}
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] });
try {
  const page = await browser.newPage({ ignoreHTTPSErrors: true });
  await page.goto(origin + '/');
  const signin = [];
  const api = [];
  // One turn more than counted: the first pays for the TLS handshake.
  for (let turn = 0; turn <= count; turn++) {
    await page.fill('#password', password);
    const ms = await page.evaluate(() => new Promise((resolve) => {
      const host = document.getElementById('sys-host');
      const start = performance.now();
      const seen = new MutationObserver(() => {
        if (host.textContent) { seen.disconnect(); resolve(performance.now() - start); }
      });
      seen.observe(host, { childList: true, characterData: true, subtree: true });
      document.getElementById('signin-button').click();
    }));
    // The yardstick: the same request made by the page, without the page.
    const bare = await page.evaluate(async (secret) => {
      const bytes = new TextEncoder().encode('root:' + secret);
      const auth = 'Basic ' + btoa(String.fromCharCode(...bytes));
      const start = performance.now();
      const response = await fetch('/api/system', { headers: { Authorization: auth }, cache: 'no-store' });
      await response.json();
      return response.ok ? performance.now() - start : -1;
    }, password);
    await page.click('#sign-out');
    if (bare < 0) throw new Error('GET /api/system failed');
    if (turn > 0) { signin.push(ms); api.push(bare); }
    await sleep(450);   // nginx lets one address make 5 API requests a second
  }
  console.log(median(signin).toFixed(1) + ' ' + median(api).toFixed(1));
} finally {
  await browser.close();
}
