// The status pages in a real browser: Debian's Chromium, driven through
// playwright-core, against orvik.cgi as a FastCGI application under
// lighttpd with the example design description and a copy of the example
// card; and a page of a second origin that tries to change the card.
//
// usage: node status_pages.test.js BUILD_DIR
// Exits non-zero on any failure, including a browser that will not start.
'use strict';

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const path = require('node:path');
const { chromium } = require('playwright-core');

const ROOT = path.resolve(__dirname, '..', '..');
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu',
  '--disable-background-networking', '--disable-quic', '--no-first-run',
  '--disable-component-update', '--disable-sync'];
const MAC2 = 0x11000; // base address of the second MAC instance in the example

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

async function waitForPort(port, server) {
  for (let i = 0; i < 100; i++) {
    if (server.exitCode !== null) throw new Error(`lighttpd exited with ${server.exitCode}`);
    const up = await new Promise((resolve) => {
      const sock = net.connect(port, '127.0.0.1');
      sock.on('connect', () => { sock.destroy(); resolve(true); });
      sock.on('error', () => resolve(false));
    });
    if (up) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`lighttpd does not answer on port ${port}`);
}

// A number in C notation, as the card file writes them.
function cNumber(text) {
  if (/^0x/i.test(text)) return parseInt(text, 16);
  if (/^0[0-7]+$/.test(text)) return parseInt(text, 8);
  return parseInt(text, 10);
}

// The local-bus word at base/offset in the card file (0 when no line names it).
function cardWord(cardFile, base, offset) {
  let word = 0;
  for (const line of fs.readFileSync(cardFile, 'utf8').split('\n')) {
    const m = /^\s*vq\s+(\S+)\s+(\S+)\s+(\S+)/.exec(line);
    if (m && cNumber(m[1]) === base && cNumber(m[2]) === offset) word = cNumber(m[3]);
  }
  return word >>> 0;
}

class Site {
  constructor(build) {
    this.build = build;
    this.rundir = path.join(build, 'browser-test');
    this.shots = path.join(this.rundir, 'shots');
    this.card = path.join(this.rundir, 'card.sim');
  }

  async start() {
    this.port = await freePort();
    execFileSync(path.join(ROOT, 'scripts', 'lighttpd-setup'),
      [this.build, this.rundir, String(this.port)], { stdio: 'inherit' });
    fs.mkdirSync(this.shots, { recursive: true });
    this.server = spawn('lighttpd', ['-D', '-f', path.join(this.rundir, 'lighttpd.conf')],
      { stdio: ['ignore', 'inherit', 'inherit'] });
    process.on('exit', () => this.stop());
    for (const sig of ['SIGINT', 'SIGTERM']) {
      process.on(sig, () => { this.stop(); process.exit(1); });
    }
    await waitForPort(this.port, this.server);
    this.base = `http://127.0.0.1:${this.port}/cgi-bin/orvik.cgi`;
  }

  stop() {
    if (this.server && this.server.exitCode === null) this.server.kill('SIGTERM');
  }
}

async function shot(page, site, name) {
  await page.screenshot({ path: path.join(site.shots, `${name}.png`), fullPage: true });
}

async function checkListPage(page, site) {
  const resp = await page.goto(site.base);
  assert.equal(resp.status(), 200);
  assert.equal(await page.locator('h1').first().textContent(), 'Available sections');
  const sections = await page.locator('a[href^="?s="]').allTextContents();
  assert.deepEqual(sections.slice(0, 2), ['MAC', 'MAC 2']);
  assert.match(await page.content(), /FW version: 66051/);
  assert.equal(await page.locator('meta[http-equiv="refresh"]').count(), 0);
  await shot(page, site, '1-list');
}

async function checkSectionPage(page, site) {
  await page.getByRole('link', { name: 'MAC 2', exact: true }).click();
  await page.waitForURL(/\?s=2$/);
  assert.equal(await page.locator('meta[http-equiv="refresh"]').getAttribute('content'), '5');
  assert.ok(await page.locator('table tr').count() > 5, 'the section shows its items');
  assert.equal(await mtuField(page).inputValue(), '9000');
  const images = page.locator('img[src^="/images/indicate_"]');
  assert.ok(await images.count() > 0, 'indicators are shown');
  await page.waitForLoadState('load');
  const widths = await images.evaluateAll((imgs) => imgs.map((i) => i.complete && i.naturalWidth));
  assert.ok(widths.every((w) => w > 0), `every indicator image loads: ${widths}`);
  await shot(page, site, '2-section');
}

function mtuField(page) {
  return page.locator('form:has(input[name="S"][value="mac_mtu~2"]) input[name="val"]');
}

async function checkEditForm(page, site, mtu = 1500) {
  await mtuField(page).fill(String(mtu));
  await page.locator('form:has(input[name="S"][value="mac_mtu~2"]) input[type="submit"]').click();
  await page.waitForURL(/\?s=2$/);
  assert.equal(await mtuField(page).inputValue(), String(mtu));
  assert.equal(cardWord(site.card, MAC2, 0x4) & 0xffff, mtu);
  await shot(page, site, `3-after-edit-${mtu}`);
}

async function checkSelection(page, site) {
  const form = page.locator('form:has(input[name="S"][value="mac_speed~2"])');
  await form.locator('select').selectOption({ label: '10 Gb/s' });
  await form.locator('input[type="submit"]').click();
  await page.waitForURL(/\?s=2$/);
  assert.equal(await page.locator('form:has(input[value="mac_speed~2"]) select').inputValue(), '3');
  assert.equal((cardWord(site.card, MAC2, 0x0) >> 4) & 3, 3);
}

async function checkToggleLink(page, site) {
  const enableCell = page.locator('tr:has(a[href="?S=mac_enable~2"]) td img');
  assert.equal(await enableCell.getAttribute('alt'), 'ON');
  const before = cardWord(site.card, MAC2, 0x0);
  await page.locator('a[href="?S=mac_enable~2"]').click();
  await page.waitForURL(/\?s=2$/);
  assert.equal(await enableCell.getAttribute('alt'), 'OFF');
  assert.equal(cardWord(site.card, MAC2, 0x0), (before ^ 1) >>> 0);
  await shot(page, site, '4-after-toggle');
}

// A site of another origin (another port on 127.0.0.1) whose page embeds a
// change request as an image and submits a change form to the status page.
async function startOtherSite(site) {
  const port = await freePort();
  const html = `<!DOCTYPE html><html><body>
<img id="probe" src="${site.base}?S=mac_enable~2">
<form id="f" action="${site.base}" method="GET">
<input type="hidden" name="S" value="mac_mtu~2"><input type="hidden" name="val" value="1234">
<input type="submit" value="Win a prize"></form></body></html>`;
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end(html);
  });
  await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
  return { server, url: `http://127.0.0.1:${port}/` };
}

async function checkOtherSiteCannotChange(page, site) {
  const other = await startOtherSite(site);
  try {
    const before = fs.readFileSync(site.card, 'utf8');
    await page.goto(other.url);
    await page.waitForLoadState('load');
    const [resp] = await Promise.all([
      page.waitForResponse((r) => r.url().startsWith(site.base)),
      page.locator('input[type="submit"]').click(),
    ]);
    assert.equal(resp.status(), 403);
    assert.match(await page.content(), /change request from another site/);
    assert.equal(fs.readFileSync(site.card, 'utf8'), before, 'the card file is unchanged');
    await shot(page, site, '5-other-site-refused');
  } finally {
    other.server.close();
  }
}

async function main() {
  const build = path.resolve(process.argv[2] || path.join(ROOT, 'build'));
  const site = new Site(build);
  let browser;
  try {
    await site.start();
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS, timeout: 60000,
    });
    const page = await browser.newPage();
    page.setDefaultTimeout(15000);
    await checkListPage(page, site);
    await checkSectionPage(page, site);
    await checkEditForm(page, site);
    await checkSelection(page, site);
    await checkToggleLink(page, site);
    await checkOtherSiteCannotChange(page, site);
    // The status page's own forms still change values afterwards.
    await page.goto(`${site.base}?s=2`);
    await checkEditForm(page, site, 4000);
  } finally {
    if (browser) await browser.close();
    site.stop();
  }
}

main().then(
  () => console.log('browser test passed'),
  (e) => { console.error('browser test FAILED:', e); process.exitCode = 1; },
);
