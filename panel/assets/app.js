// The VORNA panel page. Plain script, no outside resources: it runs under
// the server's fixed Content-Security-Policy, so nothing here is inline and
// every element is built with the DOM.
//
// The root password lives only in the variable below, for as long as this
// tab is open and signed in. Every /api/ request carries it as Basic
// credentials; task requests also carry the request token that
// /api/system hands out.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);

  let password = null;     // root's password while signed in, else null
  let token = '';          // "csrf" of the last /api/system reply
  let session = 0;         // bumped at each sign-in and sign-out
  let current = '';        // the view on show
  let sampled = 0;         // when /api/system last answered (ms)
  const timers = { overview: 0, follow: 0 };

  const views = ['overview', 'logs', 'services', 'packages', 'network'];
  const refreshMs = 3000;
  const followMs = 2000;
  const pollMs = 500;
  const cpuSamples = 40;

  // The server's rule for service and package names: 1 to 63 ASCII
  // letters, digits, "-" and "_", not beginning with "-" (which the tool
  // would take for an option).
  const safeName = (name) => /^[A-Za-z0-9_][A-Za-z0-9_-]{0,62}$/.test(name);

  // ---- requests -------------------------------------------------------

  function basic(secret) {
    const bytes = new TextEncoder().encode('root:' + secret);
    let text = '';
    for (const b of bytes) text += String.fromCharCode(b);
    return 'Basic ' + btoa(text);
  }

  function failure(status, text) {
    const error = new Error(text);
    error.status = status;
    return error;
  }

  // One /api/ request. Resolves with the response when it is 2xx; rejects
  // with the server's sentence otherwise. A 401 signs out.
  async function call(path, init = {}) {
    if (password === null) throw failure(401, 'Signed out.');
    const mine = session;
    const headers = Object.assign({ Authorization: basic(password) }, init.headers || {});
    let response;
    try {
      response = await fetch(path, Object.assign({}, init, {
        headers, cache: 'no-store', credentials: 'omit', redirect: 'error',
      }));
    } catch (e) {
      throw failure(0, 'The panel cannot be reached. Check the connection and try again.');
    }
    if (mine !== session) throw failure(401, 'Signed out.');
    if (response.ok) return response;
    const text = (await response.text()).trim() || 'Request failed (' + response.status + ').';
    if (response.status === 401) {
      signOut(text);
      throw failure(401, text);
    }
    throw failure(response.status, text);
  }

  async function system() {
    const data = await (await call('/api/system')).json();
    if (typeof data.csrf === 'string') token = data.csrf;
    sampled = Date.now();
    return data;
  }

  // POST /api/run; a refused token (the server restarted) is fetched anew
  // and the request sent once more.
  async function run(fields) {
    const body = Object.keys(fields).map((k) => k + '=' + fields[k]).join('&');
    for (let attempt = 0; ; attempt++) {
      try {
        const response = await call('/api/run', {
          method: 'POST',
          headers: { 'Content-Type': 'application/x-www-form-urlencoded', 'X-Dashwick-Token': token },
          body,
        });
        return (await response.json()).job;
      } catch (e) {
        if (e.status !== 403 || attempt > 0) throw e;
        await system();
      }
    }
  }

  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  // ---- small helpers --------------------------------------------------

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function showError(view, error) {
    const place = $(view + '-error');
    if (place) place.textContent = error ? error.message || String(error) : '';
  }

  function bytes(n) {
    const units = ['bytes', 'KiB', 'MiB', 'GiB', 'TiB'];
    let i = 0;
    while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
    return (i === 0 ? String(n) : n.toFixed(n < 10 ? 1 : 0)) + ' ' + units[i];
  }

  function duration(seconds) {
    const parts = [];
    const units = [['day', 86400], ['hour', 3600], ['minute', 60]];
    for (const [name, size] of units) {
      const count = Math.floor(seconds / size);
      seconds -= count * size;
      if (count > 0) parts.push(count + ' ' + name + (count === 1 ? '' : 's'));
    }
    if (parts.length === 0) return seconds + ' second' + (seconds === 1 ? '' : 's');
    return parts.slice(0, 2).join(', ');
  }

  // Keeps a scrolled box at its end when it was there before new text.
  function setText(box, text, stick) {
    const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
    if (box.textContent !== text) box.textContent = text;
    if (stick || atEnd) box.scrollTop = box.scrollHeight;
  }

  // ---- signing in and out ---------------------------------------------

  async function signIn(event) {
    event.preventDefault();
    const field = $('password');
    const button = $('signin-button');
    $('signin-error').textContent = '';
    button.disabled = true;
    password = field.value;
    session++;
    try {
      const data = await system();
      field.value = '';
      $('bar').hidden = false;
      $('view-signin').hidden = true;
      updateSystem(data, true);
      route();
      focusHeading();
    } catch (e) {
      if (e.status !== 401) {
        password = null;
        $('signin-error').textContent = e.message;
      }
      field.focus();
    } finally {
      button.disabled = false;
    }
  }

  function signOut(reason) {
    password = null;
    token = '';
    session++;
    stopTimers();
    current = '';
    samples.length = 0;
    // Nothing read while signed in stays on the page.
    for (const id of ['log-list', 'log-text', 'log-count', 'services-rows', 'packages-rows', 'cpu-graph',
      'bar-host', 'sys-host', 'sys-release', 'sys-uptime', 'mem-text', 'cpu-figure']) $(id).textContent = '';
    $('log-name').textContent = 'Choose a log';
    $('log-filter').value = '';
    $('log-follow').checked = false;
    $('log-follow').disabled = true;
    $('log-refresh').disabled = true;
    for (const id of ['services-task', 'packages-task', 'network-task', 'services-table', 'packages-table']) {
      $(id).hidden = true;
      if (id.endsWith('task')) $(id).textContent = '';
    }
    for (const view of views) { showError(view, null); $('view-' + view).hidden = true; }
    logName = '';
    logBody = '';
    loaded.clear();
    $('bar').hidden = true;
    $('view-signin').hidden = false;
    $('signin-error').textContent = typeof reason === 'string' ? reason : '';
    $('password').focus();
  }

  // ---- views ----------------------------------------------------------

  const loaded = new Set();  // views whose first content was asked for

  function stopTimers() {
    clearTimeout(timers.overview);
    clearTimeout(timers.follow);
    timers.overview = 0;
    timers.follow = 0;
  }

  // Moves the keyboard focus to the heading of the view on show.
  function focusHeading() {
    const heading = $(current + '-title');
    heading.tabIndex = -1;
    heading.focus();
  }

  function route() {
    if (password === null) return;
    let view = location.hash.slice(1);
    if (!views.includes(view)) view = 'overview';
    if (view === current) return;
    const moved = current !== '';
    current = view;
    stopTimers();
    for (const name of views) {
      $('view-' + name).hidden = name !== view;
      const tab = $('tab-' + name);
      if (name === view) tab.setAttribute('aria-current', 'page');
      else tab.removeAttribute('aria-current');
    }
    if (moved) focusHeading();
    if (view === 'overview') overview();
    if (view === 'logs') logs();
    if (view === 'logs' && $('log-follow').checked) follow();
    if (!loaded.has(view)) {
      loaded.add(view);
      if (view === 'services') listServices();
      if (view === 'packages') listPackages(true);
      if (view === 'network') showNetwork();
    }
  }

  // ---- overview -------------------------------------------------------

  const samples = [];

  function updateSystem(data, first) {
    $('bar-host').textContent = data.hostname || '';
    $('sys-host').textContent = data.hostname || 'unknown';
    $('sys-release').textContent = data.release || 'unknown';
    $('sys-uptime').textContent = duration(Math.max(0, Number(data.uptime) || 0));
    const total = Number(data.memory_total) || 0;
    const used = Math.min(total, Number(data.memory_used) || 0);
    const share = total > 0 ? Math.round((used * 100) / total) : 0;
    $('mem-text').textContent = bytes(used) + ' of ' + bytes(total) + ' used (' + share + '%)';
    $('mem-bar').value = share;
    $('mem-bar').textContent = share + '%';
    const cpu = Number(data.cpu_core_percent);
    // The first answer of a session measures from whatever asked before,
    // perhaps long ago; figures count from the second one on.
    if (first) {
      $('cpu-figure').textContent = 'measuring…';
    } else if (Number.isFinite(cpu) && cpu >= 0) {
      $('cpu-figure').textContent = cpu.toFixed(1) + '%';
      samples.push(cpu);
      if (samples.length > cpuSamples) samples.shift();
    } else {
      $('cpu-figure').textContent = 'not available';
    }
    drawGraph();
  }

  function drawGraph() {
    const ns = 'http://www.w3.org/2000/svg';
    const width = 400;
    const height = 100;
    const top = Math.max(100, Math.ceil(Math.max(0, ...samples) / 100) * 100);
    const svg = document.createElementNS(ns, 'svg');
    svg.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
    svg.setAttribute('preserveAspectRatio', 'none');
    svg.setAttribute('aria-hidden', 'true');
    svg.setAttribute('focusable', 'false');
    for (const level of [0.25, 0.5, 0.75]) {
      const line = document.createElementNS(ns, 'line');
      line.setAttribute('x1', '0');
      line.setAttribute('x2', String(width));
      line.setAttribute('y1', String(height * level));
      line.setAttribute('y2', String(height * level));
      line.setAttribute('class', 'grid-line');
      svg.appendChild(line);
    }
    if (samples.length > 0) {
      const step = width / (cpuSamples - 1);
      const start = width - step * (samples.length - 1);
      const points = samples.map((v, i) => (start + i * step).toFixed(1) + ',' + (height - (v / top) * height).toFixed(1));
      const area = document.createElementNS(ns, 'polygon');
      area.setAttribute('points', start.toFixed(1) + ',' + height + ' ' + points.join(' ') + ' ' + width + ',' + height);
      area.setAttribute('class', 'area');
      const line = document.createElementNS(ns, 'polyline');
      line.setAttribute('points', points.join(' '));
      line.setAttribute('class', 'line');
      svg.append(area, line);
    }
    const graph = $('cpu-graph');
    graph.replaceChildren(svg);
    const scale = element('span', 'scale', top + '%');
    scale.setAttribute('aria-hidden', 'true');
    graph.appendChild(scale);
    const last = samples.length ? samples[samples.length - 1].toFixed(1) + '% now' : 'no samples yet';
    graph.setAttribute('aria-label', 'CPU use over the last ' + samples.length + ' samples, ' + last);
  }

  async function overview() {
    const mine = session;
    clearTimeout(timers.overview);
    try {
      // Each answer measures the CPU since the one before, so a second ask
      // right after the first would give a figure over a few milliseconds.
      if (Date.now() - sampled >= refreshMs / 2) updateSystem(await system());
      showError('overview', null);
    } catch (e) {
      if (e.status === 401) return;
      showError('overview', e);
    }
    if (mine === session && current === 'overview') timers.overview = setTimeout(overview, refreshMs);
  }

  // ---- logs -----------------------------------------------------------

  let logName = '';
  let logBody = '';

  async function logs() {
    try {
      const names = await (await call('/api/logs')).json();
      names.sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
      const list = $('log-list');
      list.textContent = '';
      for (const name of names) {
        const item = element('li');
        const button = element('button', 'pick', name);
        button.type = 'button';
        button.dataset.name = name;
        if (name === logName) button.setAttribute('aria-pressed', 'true');
        else button.setAttribute('aria-pressed', 'false');
        button.addEventListener('click', () => openLog(name));
        item.appendChild(button);
        list.appendChild(item);
      }
      $('log-empty').hidden = names.length > 0;
      showError('logs', null);
    } catch (e) {
      if (e.status !== 401) showError('logs', e);
    }
  }

  async function openLog(name) {
    logName = name;
    for (const button of $('log-list').querySelectorAll('button')) {
      button.setAttribute('aria-pressed', button.dataset.name === name ? 'true' : 'false');
    }
    $('log-name').textContent = name;
    $('log-refresh').disabled = false;
    $('log-follow').disabled = false;
    logBody = '';
    showLog(true);
    await readLog(true);
  }

  async function readLog(stick) {
    if (!logName) return;
    const name = logName;
    try {
      const text = await (await call('/api/log?name=' + name)).text();
      if (name !== logName) return;
      logBody = text;
      showLog(stick);
      showError('logs', null);
    } catch (e) {
      if (e.status !== 401) showError('logs', e);
    }
  }

  function showLog(stick) {
    const filter = $('log-filter').value.toLowerCase();
    let lines = logBody.split('\n');
    if (lines.length && lines[lines.length - 1] === '') lines.pop();
    const total = lines.length;
    if (filter) lines = lines.filter((line) => line.toLowerCase().includes(filter));
    setText($('log-text'), lines.join('\n'), stick || $('log-follow').checked);
    $('log-count').textContent = !logName ? '' : filter
      ? lines.length + ' of ' + total + ' lines match'
      : total + ' line' + (total === 1 ? '' : 's');
  }

  async function follow() {
    clearTimeout(timers.follow);
    const mine = session;
    if (!$('log-follow').checked || current !== 'logs') return;
    await readLog(true);
    if (mine === session && current === 'logs' && $('log-follow').checked) {
      timers.follow = setTimeout(follow, followMs);
    }
  }

  // ---- tasks ----------------------------------------------------------

  // Starts a task, shows its output while it runs and its exit status when
  // done. Resolves with { status, output }, or null when it did not run.
  async function task(view, title, fields) {
    const mine = session;
    const block = $(view + '-task');
    showError(view, null);
    let job;
    try {
      job = await run(fields);
    } catch (e) {
      if (e.status !== 401) showError(view, e);
      return null;
    }
    const head = element('div', 'task-head');
    const heading = element('h2', 'task-title', title);
    const badge = element('span', 'badge running', 'Running');
    badge.setAttribute('role', 'status');
    head.append(heading, badge);
    const output = element('pre', 'output');
    output.tabIndex = 0;
    output.setAttribute('aria-label', 'Output of ' + title);
    block.replaceChildren(head, output);
    block.hidden = false;
    block.dataset.job = String(job);
    for (;;) {
      let data;
      try {
        data = await (await call('/api/job?id=' + job)).json();
      } catch (e) {
        if (e.status === 401 || mine !== session) return null;
        badge.className = 'badge bad';
        badge.textContent = 'Unknown';
        showError(view, e);
        return null;
      }
      if (mine !== session || block.dataset.job !== String(job)) return null;
      setText(output, data.output || '', false);
      if (data.done) {
        const ok = data.exit === 0;
        badge.className = 'badge ' + (ok ? 'good' : 'bad');
        badge.textContent = 'Exit status ' + data.exit;
        return { status: data.exit, output: data.output || '' };
      }
      await sleep(pollMs);
    }
  }

  // Lines of a listing whose first word is a name the page can send back;
  // headings written in capitals are left out.
  function listing(output) {
    const rows = [];
    for (const line of output.split('\n')) {
      const words = line.trim().split(/\s+/);
      if (!safeName(words[0]) || /^[A-Z]+$/.test(words[0])) continue;
      rows.push({ name: words[0], rest: words.slice(1).join(' ') });
    }
    return rows;
  }

  const capital = (word) => word[0].toUpperCase() + word.slice(1);

  function actionButton(action, name, handler, kind) {
    const button = element('button', 'small' + (kind ? ' ' + kind : ''), capital(action));
    button.type = 'button';
    button.setAttribute('aria-label', capital(action) + ' ' + name);
    button.addEventListener('click', handler);
    return button;
  }

  // The words after a name, as small labels; a few well-known states are
  // coloured.
  function showWords(cell, text) {
    cell.textContent = '';
    for (const word of text.split(' ').filter(Boolean)) {
      const kind = /^(running|active|up|enabled)$/.test(word) ? ' good'
        : /^(stopped|failed|inactive|down)$/.test(word) ? ' bad' : '';
      cell.appendChild(element('span', 'word' + kind, word));
    }
  }

  // One table row per listed name: the name, its words and the buttons
  // that fill(row, cell) puts in.
  function tableRows(id, rows, fill) {
    const body = $(id);
    body.textContent = '';
    for (const row of rows) {
      const tr = element('tr');
      const name = element('th', 'name', row.name);
      name.scope = 'row';
      const words = element('td', 'state');
      showWords(words, row.rest);
      const cell = element('td', 'actions');
      const buttons = element('div', 'buttons');
      fill(row, buttons);
      cell.appendChild(buttons);
      tr.append(name, words, cell);
      body.appendChild(tr);
    }
  }

  // ---- services -------------------------------------------------------

  const panelServices = ['dashwick', 'nginx'];

  async function listServices() {
    const done = await task('services', 'Services', { operation: 'services' });
    if (!done) return;
    const rows = listing(done.output);
    tableRows('services-rows', rows, (row, cell) => {
      if (panelServices.includes(row.name)) {
        cell.appendChild(element('span', 'hint', 'Managed from SSH'));
        return;
      }
      for (const action of ['start', 'stop', 'restart', 'enable', 'disable']) {
        cell.appendChild(actionButton(action, row.name, () => serviceAction(action, row.name)));
      }
    });
    $('services-table').hidden = rows.length === 0;
  }

  async function serviceAction(action, name) {
    if (!safeName(name)) {
      showError('services', 'A service name is 1 to 63 letters, digits, "-" or "_", not beginning with "-".');
      return;
    }
    const done = await task('services', capital(action) + ' ' + name,
      { operation: 'service', action, name });
    if (done) refreshServiceRows();
  }

  // After a change the list is read again, quietly, so that the output of
  // the task just shown stays on screen.
  async function refreshServiceRows() {
    const done = await quietTask({ operation: 'services' });
    if (done) fillServices(done.output);
  }

  function fillServices(output) {
    const states = new Map(listing(output).map((row) => [row.name, row.rest]));
    for (const tr of $('services-rows').children) {
      const name = tr.firstChild.textContent;
      if (states.has(name)) showWords(tr.children[1], states.get(name));
    }
  }

  // A listing task whose output is only parsed, never shown.
  async function quietTask(fields) {
    const mine = session;
    let job;
    try {
      job = await run(fields);
    } catch (e) {
      return null;
    }
    for (let i = 0; i < 400 && mine === session; i++) {
      let data;
      try {
        data = await (await call('/api/job?id=' + job)).json();
      } catch (e) {
        return null;
      }
      if (data.done) return { status: data.exit, output: data.output || '' };
      await sleep(pollMs);
    }
    return null;
  }

  // ---- packages -------------------------------------------------------

  let installedShown = true;

  async function listPackages(installed) {
    installedShown = installed;
    $('packages-installed').setAttribute('aria-pressed', String(installed));
    $('packages-available').setAttribute('aria-pressed', String(!installed));
    const fields = installed ? { operation: 'packages', action: 'installed' } : { operation: 'packages' };
    const done = await task('packages', installed ? 'Installed packages' : 'Packages on offer', fields);
    if (!done) return;
    packageRows(installed, done.output);
  }

  function packageRows(installed, output) {
    const rows = listing(output);
    $('packages-caption').textContent = installed ? 'Installed packages' : 'Packages on offer';
    tableRows('packages-rows', rows, (row, cell) => {
      for (const action of installed ? ['upgrade', 'remove'] : ['install', 'upgrade']) {
        cell.appendChild(actionButton(action, row.name, () => packageAction(action, row.name),
          action === 'remove' ? 'danger-text' : ''));
      }
    });
    $('packages-table').hidden = rows.length === 0;
  }

  function confirmRemove(name) {
    const dialog = $('confirm');
    $('confirm-text').textContent = 'Remove the package ' + name + '? Programs that need it may stop working.';
    return new Promise((resolve) => {
      const finish = (answer) => {
        dialog.removeEventListener('close', onClose);
        $('confirm-yes').removeEventListener('click', onYes);
        $('confirm-no').removeEventListener('click', onNo);
        if (dialog.open) dialog.close();
        resolve(answer);
      };
      const onYes = () => finish(true);
      const onNo = () => finish(false);
      const onClose = () => finish(false);
      dialog.addEventListener('close', onClose);
      $('confirm-yes').addEventListener('click', onYes);
      $('confirm-no').addEventListener('click', onNo);
      dialog.showModal();
    });
  }

  async function packageAction(action, name) {
    if (!safeName(name)) {
      showError('packages', 'A package name is 1 to 63 letters, digits, "-" or "_", not beginning with "-".');
      return;
    }
    if (action === 'remove' && !(await confirmRemove(name))) return;
    const label = capital(action) + ' ' + name;
    const done = await task('packages', label, { operation: 'package', action, name });
    if (done && installedShown) {
      const list = await quietTask({ operation: 'packages', action: 'installed' });
      if (list && installedShown) packageRows(true, list.output);
    }
  }

  // ---- network --------------------------------------------------------

  function showNetwork() {
    return task('network', 'Addresses', { operation: 'network' });
  }

  // ---- wiring ---------------------------------------------------------

  function nameForm(view, form, input, select, act) {
    $(form).addEventListener('submit', (event) => {
      event.preventDefault();
      const name = $(input).value.trim();
      if (!safeName(name)) {
        showError(view, 'A name is 1 to 63 letters, digits, "-" or "_", not beginning with "-".');
        $(input).focus();
        return;
      }
      act($(select).value, name);
    });
  }

  function start() {
    $('signin-form').addEventListener('submit', signIn);
    $('sign-out').addEventListener('click', () => signOut(''));
    window.addEventListener('hashchange', route);
    $('log-refresh').addEventListener('click', () => readLog(false));
    $('log-filter').addEventListener('input', () => showLog(false));
    $('log-follow').addEventListener('change', () => {
      if ($('log-follow').checked) follow();
      else clearTimeout(timers.follow);
    });
    $('services-list').addEventListener('click', listServices);
    $('packages-available').addEventListener('click', () => listPackages(false));
    $('packages-installed').addEventListener('click', () => listPackages(true));
    $('packages-update').addEventListener('click', () =>
      task('packages', 'Update index', { operation: 'package', action: 'update' }));
    $('network-show').addEventListener('click', showNetwork);
    nameForm('services', 'service-form', 'service-name', 'service-action', serviceAction);
    nameForm('packages', 'package-form', 'package-name', 'package-action', packageAction);
    $('password').focus();
  }

  start();
})();
