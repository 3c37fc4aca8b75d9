// The VORNA panel page. Plain script, no outside resources: it runs under
// the server's fixed Content-Security-Policy, so nothing here is inline and
// every element is built with the DOM; text from the server is only ever
// set as text.
//
// The root password lives only in `auth` below, for as long as this tab is
// open and signed in. Every /api/ request carries it as Basic credentials;
// task requests also carry the request token that /api/system hands out.
//
// Each section of the page is one object in `views`: its own state, and
// wire (once, at start), enter (shown), leave (hidden) and reset (signed
// out). Routing, signing out and start-up walk that table.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);

  const refreshMs = 3000;
  const followMs = 2000;
  const pollMs = 500;
  // The server kills a job after jobLimit seconds; polling stops a little
  // later.
  const jobLimit = 180;
  const jobLimitMs = (jobLimit + 20) * 1000;
  // While the panel cannot be reached, a job is asked after again at
  // twice the wait each time, up to this.
  const backoffMs = 5000;
  const cpuWindowMs = 120000;
  // The server sends at most the last logLimit bytes of a log.
  const logLimit = 65536;

  // Packages that the server refuses to remove, and the SSH server.
  const protectedPackages = ['kernel', 'init', 'sh', 'sbase', 'ubase', 'setup', 'service', 'nginx',
    'dashwick', 'dropbear'];
  const panelServices = ['dashwick', 'nginx'];
  const sshServer = 'dropbear';

  // The words of a service list that tell a service's state, and its
  // setting at boot.
  const upWords = ['running', 'active', 'up'];
  const downWords = ['stopped', 'failed', 'inactive', 'down', 'dead'];
  const bootWords = ['enabled', 'disabled'];

  // Every sentence the page writes itself.
  const say = {
    badPassword: 'The password was not accepted.',
    signedOut: 'Signed out.',
    unreachable: 'The panel cannot be reached. Check the connection and try again.',
    badName: 'A name is 1 to 63 letters, digits, "-" or "_", not beginning with "-".',
    busy: (title) => title + ' is running; the actions return when it ends.',
    tooLong: 'The task did not end within three minutes; its state is unknown.',
    expired: 'The task is no longer known to the server.',
    restarted: 'The panel\'s backend restarted while the task ran: the task\'s result is no longer known.',
    retrying: (status, why) => (status === 0 ? 'The panel cannot be reached at the moment.' : why) +
      ' Trying again…',
    isProtected: (name) => name + ' is protected: the system needs it, so the panel does not remove it.',
    sshLoss: (action, name) => capital(action) + ' ' + name + '? You may lose SSH access to this machine.',
    removeRisk: (name) => 'Remove the package ' + name + '? Programs that need it may stop working.',
    cut: 'Showing the last ' + logLimit / 1024 + ' KiB; the first, partial line is left out.',
    chooseLog: 'Choose a log file',
    emptyLog: 'This log is empty.',
    noMatch: (filter) => 'No lines match “' + filter + '”',
    // nginx in front answers these itself, with a page of HTML.
    front: {
      413: 'The request was too large for the panel.',
      429: 'Too many requests: wait a few seconds and try again.',
      502: 'The panel\'s backend is not running.',
      503: 'The panel is not available at the moment; try again shortly.',
      504: 'The panel\'s backend did not answer in time.',
    },
    failed: (status) => 'The request failed (status ' + status + ').',
  };

  const auth = { password: null, token: '', epoch: 0 };
  let current = '';   // the view on show
  let sampled = 0;    // when /api/system last answered (ms)

  // The server's rule for service and package names: 1 to 63 ASCII
  // letters, digits, "-" and "_", not beginning with "-" (which the tool
  // would take for an option).
  const safeName = (name) => /^[A-Za-z0-9_][A-Za-z0-9_-]{0,62}$/.test(name);
  const capital = (word) => word[0].toUpperCase() + word.slice(1);
  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

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

  // The sentence for a refused request: the server's own plain text, or
  // one of ours for a page of HTML from the front.
  async function sentence(response) {
    if (response.status === 401) return say.badPassword;
    const text = (await response.text()).trim();
    const html = /html/i.test(response.headers.get('Content-Type') || '') || text.startsWith('<');
    if (html || !text) return say.front[response.status] || say.failed(response.status);
    return text;
  }

  // One /api/ request. Resolves with the response when it is 2xx; rejects
  // with a sentence otherwise. A 401 signs out.
  async function call(path, init = {}) {
    if (auth.password === null) throw failure(401, say.signedOut);
    const mine = auth.epoch;
    const headers = Object.assign({ Authorization: basic(auth.password) }, init.headers || {});
    let response;
    try {
      response = await fetch(path, Object.assign({}, init, {
        headers, cache: 'no-store', credentials: 'omit', redirect: 'error',
      }));
    } catch (e) {
      throw failure(0, say.unreachable);
    }
    if (mine !== auth.epoch) throw failure(401, say.signedOut);
    if (response.ok) return response;
    const text = await sentence(response);
    if (response.status === 401) signOut(text);
    throw failure(response.status, text);
  }

  const json = async (path) => (await call(path)).json();

  async function system() {
    const data = await json('/api/system');
    if (typeof data.csrf === 'string') auth.token = data.csrf;
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
          headers: { 'Content-Type': 'application/x-www-form-urlencoded', 'X-Dashwick-Token': auth.token },
          body,
        });
        return (await response.json()).job;
      } catch (e) {
        if (e.status !== 403 || attempt > 0) throw e;
        await system();
      }
    }
  }

  // What the browser or nginx answers while the backend or nginx restarts
  // (or nginx's limit is reached): worth asking again a little later.
  const outage = (e) => [0, 429, 502, 503, 504].includes(e.status);

  // Reads /api/system again, whose token the page then holds; true when it
  // is not token, that is when the backend has restarted since it handed
  // token out, with a job table of its own.
  async function restarted(token) {
    await system();
    return auth.token !== token;
  }

  // Polls a job, started with token, until it is done; seen(output) gets
  // the output as it grows. While the panel cannot be reached it asks again
  // less and less often, and says so through waiting(sentence) ('' once it
  // answers again). A backend that restarted meanwhile knows nothing of the
  // job, even when it answers for its number (its own job of that number):
  // the result is unknown then. So after a time out of reach, and when the
  // job's number is unknown, the token tells whether it was a restart. (A
  // restart between two polls that also ran a job of that number in the
  // new table goes unseen; asking for the token at every poll would spend
  // nginx's limit of requests.)
  async function awaitJob(job, token, seen, waiting) {
    const mine = auth.epoch;
    const until = Date.now() + jobLimitMs;
    let wait = pollMs;
    let doubt = false;   // out of reach since the last answer
    while (Date.now() < until) {
      let data;
      try {
        data = await json('/api/job?id=' + job);
        if (doubt) data.restarted = await restarted(token);
      } catch (e) {
        if (mine !== auth.epoch || e.status === 401) throw failure(401, say.signedOut);
        if (e.status === 404) {
          throw failure(404, (await restarted(token).catch(() => false)) ? say.restarted : say.expired);
        }
        if (!outage(e)) throw e;
        if (waiting) waiting(say.retrying(e.status, e.message));
        doubt = true;
        await sleep(wait);
        wait = Math.min(wait * 2, backoffMs);
        continue;
      }
      if (mine !== auth.epoch) throw failure(401, say.signedOut);
      if (doubt && waiting) waiting('');
      doubt = false;
      wait = pollMs;
      if (data.restarted) throw failure(0, say.restarted);
      if (seen) seen(data.output || '');
      if (data.done) return { status: data.exit, output: data.output || '' };
      await sleep(pollMs);
    }
    throw failure(0, say.tooLong);
  }

  // ---- small helpers --------------------------------------------------

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function showError(view, error) {
    const place = $(view + '-error');
    if (place) place.textContent = !error ? '' : typeof error === 'string' ? error : error.message;
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

  // ---- one task at a time ---------------------------------------------

  // While a task of this page runs, every control that starts one (class
  // "act", wherever it is) is disabled and each view says what runs.
  const busy = { title: '', turn: 0 };

  function setBusy(title) {
    busy.title = title;
    for (const control of document.querySelectorAll('.act')) control.disabled = title !== '';
    for (const note of document.querySelectorAll('.busy-note')) note.textContent = title ? say.busy(title) : '';
  }

  // Runs body() as the one task of the page; does nothing while another
  // runs. A view entered meanwhile gets its first content afterwards.
  async function exclusive(title, body) {
    if (busy.title) return null;
    const mine = ++busy.turn;
    setBusy(title);
    try {
      return await body();
    } finally {
      if (busy.turn === mine) {
        setBusy('');
        if (current) views[current].enter();
      }
    }
  }

  // The card under a view that shows its task: title, badge, an announcement
  // for screen readers, and the output, open for an action and folded into
  // "Tool output" for a listing.
  const cards = {};

  function makeCard(view) {
    const block = $(view + '-task');
    const head = element('div', 'task-head');
    const title = element('h2', 'task-title');
    const badge = element('span', 'badge');
    head.append(title, badge);
    const live = element('p', 'sr');
    live.setAttribute('aria-live', 'polite');
    const output = element('pre', 'output');
    output.tabIndex = 0;
    const fold = element('details', 'fold');
    fold.appendChild(element('summary', '', 'Tool output'));
    block.append(head, live, fold, output);
    cards[view] = { block, title, badge, live, output, fold };
  }

  function clearCard(view) {
    const card = cards[view];
    card.block.hidden = true;
    card.title.textContent = card.badge.textContent = card.live.textContent = card.output.textContent = '';
    delete card.block.dataset.job;
  }

  function setBadge(card, kind, text) {
    card.badge.className = 'badge ' + kind;
    card.badge.textContent = text;
    card.live.textContent = card.title.textContent + ': ' + text.toLowerCase();
  }

  // Starts a task and resolves with { status, output }, or null when it did
  // not run to its end. With show 'action' its output is shown open and
  // scrolled into view, with 'listing' folded away (opened when the tool
  // failed), with 'quiet' not at all.
  async function task(view, title, fields, show) {
    showError(view, null);
    let job;
    try {
      job = await run(fields);
    } catch (e) {
      if (e.status !== 401) showError(view, e);
      return null;
    }
    const token = auth.token;   // the one the job was started with
    const card = cards[view];
    if (show !== 'quiet') {
      card.block.dataset.job = String(job);
      card.title.textContent = title;
      card.output.textContent = '';
      card.output.setAttribute('aria-label', 'Output of ' + title);
      const folded = show === 'listing';
      card.fold.hidden = !folded;
      card.fold.open = false;
      (folded ? card.fold : card.block).appendChild(card.output);
      setBadge(card, 'running', 'Running');
      card.block.hidden = false;
      if (show === 'action') card.block.scrollIntoView({ block: 'nearest' });
    }
    const shown = () => show !== 'quiet' && card.block.dataset.job === String(job);
    try {
      const done = await awaitJob(job, token, (output) => { if (shown()) setText(card.output, output, false); },
        (why) => showError(view, why));
      if (shown()) {
        setBadge(card, done.status === 0 ? 'good' : 'bad', 'Exit status ' + done.status);
        if (done.status !== 0) card.fold.open = true;
      }
      return done;
    } catch (e) {
      if (e.status === 401) return null;
      if (shown()) setBadge(card, 'bad', 'Unknown');
      showError(view, e);
      return null;
    }
  }

  // Lines of a listing whose first word is a name the page can send back;
  // headings written in capitals are left out.
  function listing(output) {
    const rows = [];
    for (const line of output.split('\n')) {
      const words = line.trim().split(/\s+/);
      if (!safeName(words[0]) || /^[A-Z]+$/.test(words[0])) continue;
      rows.push({ name: words[0], words: words.slice(1) });
    }
    return rows;
  }

  function actionButton(action, name, handler, kind) {
    const button = element('button', 'small act' + (kind ? ' ' + kind : ''), capital(action));
    button.type = 'button';
    button.setAttribute('aria-label', capital(action) + ' ' + name);
    button.disabled = busy.title !== '';
    button.addEventListener('click', handler);
    return button;
  }

  // Words as small labels; a few well-known ones are coloured.
  function wordCell(words) {
    const cell = element('td', 'state');
    for (const word of words) {
      const kind = upWords.includes(word) || word === 'enabled' || word === 'installed' ? ' good'
        : downWords.includes(word) ? ' bad'
          : word === 'upgradable' || word === 'protected' ? ' note' : '';
      cell.appendChild(element('span', 'word' + kind, word));
    }
    return cell;
  }

  // One table row per entry: its name, the cells that cells(row) gives and
  // the buttons that fill(row, box) puts in.
  function tableRows(view, rows, cells, fill) {
    const body = $(view + '-rows');
    body.textContent = '';
    for (const row of rows) {
      const tr = element('tr');
      const name = element('th', 'name', row.name);
      name.scope = 'row';
      const actions = element('td', 'actions');
      const box = element('div', 'buttons');
      fill(row, box);
      actions.appendChild(box);
      tr.append(name, ...cells(row), actions);
      body.appendChild(tr);
    }
    $(view + '-table').hidden = rows.length === 0;
  }

  // The confirmation dialog; resolves true only for the named action. The
  // safe choice, Cancel, has the focus.
  function confirmWith(text, yes) {
    const dialog = $('confirm');
    $('confirm-text').textContent = text;
    $('confirm-yes').textContent = yes;
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
      $('confirm-no').focus();
    });
  }

  // A form of name, action and Run: the name is checked here first.
  function nameForm(view, act) {
    $(view.replace(/s$/, '') + '-form').addEventListener('submit', (event) => {
      event.preventDefault();
      const input = event.target.querySelector('input');
      const name = input.value.trim();
      if (!safeName(name)) {
        showError(view, say.badName);
        input.focus();
        return;
      }
      act(event.target.querySelector('select').value, name);
    });
  }

  // ---- signing in and out ---------------------------------------------

  async function signIn(event) {
    event.preventDefault();
    const field = $('password');
    const button = $('signin-button');
    $('signin-error').textContent = '';
    button.disabled = true;
    auth.password = field.value;
    auth.epoch++;
    try {
      const data = await system();
      field.value = '';
      $('bar').hidden = false;
      $('view-signin').hidden = true;
      views.overview.show(data, true);
      route();
      focusHeading();
    } catch (e) {
      if (e.status !== 401) {
        auth.password = null;
        $('signin-error').textContent = e.message;
      }
      field.focus();
    } finally {
      button.disabled = false;
    }
  }

  // Nothing read while signed in stays on the page.
  function signOut(reason) {
    auth.password = null;
    auth.token = '';
    auth.epoch++;
    busy.turn++;
    setBusy('');
    for (const name of Object.keys(views)) {
      if (name === current) views[name].leave();
      views[name].reset();
      showError(name, null);
      $('view-' + name).hidden = true;
    }
    current = '';
    const dialog = $('confirm');
    if (dialog.open) dialog.close();
    $('bar-host').textContent = '';
    $('bar').hidden = true;
    $('view-signin').hidden = false;
    $('signin-error').textContent = typeof reason === 'string' ? reason : '';
    $('password').focus();
  }

  // Moves the keyboard focus to the heading of the view on show.
  function focusHeading() {
    const heading = $(current + '-title');
    heading.tabIndex = -1;
    heading.focus();
  }

  function route() {
    if (auth.password === null) return;
    let view = location.hash.slice(1);
    if (!Object.hasOwn(views, view)) view = 'overview';
    if (view === current) return;
    const moved = current !== '';
    if (moved) views[current].leave();
    current = view;
    for (const name of Object.keys(views)) {
      $('view-' + name).hidden = name !== view;
      const tab = $('tab-' + name);
      if (name === view) tab.setAttribute('aria-current', 'page');
      else tab.removeAttribute('aria-current');
    }
    if (moved) focusHeading();
    views[view].enter();
  }

  // ---- the views --------------------------------------------------------

  const overview = {
    timer: 0,
    samples: [],   // { at (ms), value (%) }, the last two minutes
    top: 100,      // the graph's scale; it grows with the load, never shrinks

    wire() {},
    enter() { overview.refresh(); },
    leave() { clearTimeout(overview.timer); overview.timer = 0; },
    reset() {
      overview.samples.length = 0;
      overview.top = 100;
      for (const id of ['sys-host', 'sys-release', 'sys-uptime', 'mem-text', 'cpu-figure', 'cpu-graph']) {
        $(id).textContent = '';
      }
      $('mem-bar').value = 0;
    },

    async refresh() {
      const mine = auth.epoch;
      clearTimeout(overview.timer);
      try {
        // Each answer measures the CPU since the one before, so a second
        // ask right after the first would give a figure over a few ms.
        if (Date.now() - sampled >= refreshMs / 2) overview.show(await system());
        showError('overview', null);
      } catch (e) {
        if (e.status === 401) return;
        showError('overview', e);
      }
      if (mine === auth.epoch && current === 'overview') overview.timer = setTimeout(overview.refresh, refreshMs);
    },

    show(data, first) {
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
      const now = Date.now();
      // The first answer of a session measures from whatever asked
      // before, perhaps long ago; figures count from the second one on.
      if (first) {
        $('cpu-figure').textContent = 'measuring…';
      } else if (Number.isFinite(cpu) && cpu >= 0) {
        $('cpu-figure').textContent = cpu.toFixed(1) + '%';
        overview.samples.push({ at: now, value: cpu });
        // A figure a hair over a whole number of cores (two busy cores
        // measured as 200.3%) does not add a core's worth of empty scale.
        overview.top = Math.max(overview.top, Math.ceil(cpu / 100 - 0.02) * 100);
      } else {
        $('cpu-figure').textContent = 'not available';
      }
      while (overview.samples.length && now - overview.samples[0].at > cpuWindowMs) overview.samples.shift();
      overview.draw(now);
    },

    // The last two minutes, drawn by time from right (now) to left, on a
    // scale from 0 to overview.top.
    draw(now) {
      const ns = 'http://www.w3.org/2000/svg';
      const width = 400;
      const height = 100;
      const { samples, top } = overview;
      const svg = document.createElementNS(ns, 'svg');
      svg.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
      svg.setAttribute('preserveAspectRatio', 'none');
      svg.setAttribute('aria-hidden', 'true');
      svg.setAttribute('focusable', 'false');
      const line = (x1, y1, x2, y2) => {
        const l = document.createElementNS(ns, 'line');
        for (const [k, v] of [['x1', x1], ['y1', y1], ['x2', x2], ['y2', y2]]) l.setAttribute(k, String(v));
        l.setAttribute('class', 'grid-line');
        svg.appendChild(l);
      };
      for (const level of [0.25, 0.5, 0.75]) line(0, height * level, width, height * level);
      for (const level of [0.5]) line(width * level, 0, width * level, height);
      if (samples.length > 0) {
        const x = (s) => (width - ((now - s.at) / cpuWindowMs) * width).toFixed(1);
        const y = (s) => (height - (Math.min(s.value, top) / top) * height).toFixed(1);
        const points = samples.map((s) => x(s) + ',' + y(s));
        const area = document.createElementNS(ns, 'polygon');
        area.setAttribute('points', x(samples[0]) + ',' + height + ' ' + points.join(' ') + ' ' +
          x(samples[samples.length - 1]) + ',' + height);
        area.setAttribute('class', 'area');
        const trace = document.createElementNS(ns, 'polyline');
        trace.setAttribute('points', points.join(' '));
        trace.setAttribute('class', 'line');
        svg.append(area, trace);
      }
      const graph = $('cpu-graph');
      graph.replaceChildren(svg);
      for (const [place, value] of [['top', top], ['middle', top / 2]]) {
        const label = element('span', 'scale ' + place, value + '%');
        label.setAttribute('aria-hidden', 'true');
        graph.appendChild(label);
      }
      const last = samples.length ? samples[samples.length - 1].value.toFixed(1) + '% now' : 'no samples yet';
      graph.setAttribute('aria-label', 'CPU use over the last two minutes, scale 0 to ' + top + '%, ' +
        samples.length + ' samples, ' + last);
    },
  };

  const logs = {
    name: '',
    body: '',
    cut: false,
    timer: 0,

    wire() {
      $('log-refresh').addEventListener('click', () => logs.read(false));
      $('log-filter').addEventListener('input', () => logs.show(false));
      $('log-follow').addEventListener('change', () => {
        if ($('log-follow').checked) logs.follow();
        else clearTimeout(logs.timer);
      });
    },
    enter() {
      logs.list();
      if ($('log-follow').checked) logs.follow();
    },
    leave() { clearTimeout(logs.timer); logs.timer = 0; },
    reset() {
      logs.name = '';
      logs.body = '';
      logs.cut = false;
      $('log-list').textContent = '';
      $('log-name').textContent = 'Log';
      $('log-filter').value = '';
      $('log-follow').checked = false;
      $('log-follow').disabled = true;
      $('log-refresh').disabled = true;
      logs.show(false);
    },

    async list() {
      try {
        const names = await json('/api/logs');
        names.sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
        const list = $('log-list');
        list.textContent = '';
        for (const name of names) {
          const item = element('li');
          const button = element('button', 'pick', name);
          button.type = 'button';
          button.dataset.name = name;
          button.setAttribute('aria-pressed', String(name === logs.name));
          button.addEventListener('click', () => logs.open(name));
          item.appendChild(button);
          list.appendChild(item);
        }
        $('log-empty').hidden = names.length > 0;
        showError('logs', null);
      } catch (e) {
        if (e.status !== 401) showError('logs', e);
      }
    },

    async open(name) {
      logs.name = name;
      for (const button of $('log-list').querySelectorAll('button')) {
        button.setAttribute('aria-pressed', String(button.dataset.name === name));
      }
      $('log-name').textContent = name;
      $('log-refresh').disabled = false;
      $('log-follow').disabled = false;
      logs.body = '';
      logs.cut = false;
      await logs.read(true);
    },

    async read(stick) {
      if (!logs.name) return;
      const name = logs.name;
      try {
        const raw = await (await call('/api/log?name=' + name)).arrayBuffer();
        if (name !== logs.name) return;
        // A tail of the full 64 KiB is a larger file's last part; it
        // begins wherever the cut fell, so its first line is dropped.
        let text = new TextDecoder().decode(raw);
        logs.cut = raw.byteLength >= logLimit;
        if (logs.cut) text = text.slice(text.indexOf('\n') + 1);
        logs.body = text;
        logs.show(stick);
        showError('logs', null);
      } catch (e) {
        if (e.status !== 401) showError('logs', e);
      }
    },

    show(stick) {
      const filter = $('log-filter').value;
      let lines = logs.body.split('\n');
      if (lines.length && lines[lines.length - 1] === '') lines.pop();
      const total = lines.length;
      if (filter) lines = lines.filter((line) => line.toLowerCase().includes(filter.toLowerCase()));
      const state = !logs.name ? say.chooseLog : total === 0 ? say.emptyLog
        : lines.length === 0 ? say.noMatch(filter) : '';
      $('log-state').textContent = state;
      $('log-state').hidden = state === '';
      $('log-text').hidden = state !== '';
      setText($('log-text'), lines.join('\n'), stick || $('log-follow').checked);
      $('log-cut').textContent = logs.cut ? say.cut : '';
      $('log-cut').hidden = !logs.cut;
      const shown = logs.cut ? ' shown' : '';
      $('log-count').textContent = !logs.name || total === 0 ? '' : filter
        ? lines.length + ' of ' + total + shown + ' lines match'
        : total + shown + ' line' + (total === 1 ? '' : 's');
    },

    async follow() {
      clearTimeout(logs.timer);
      const mine = auth.epoch;
      if (!$('log-follow').checked || current !== 'logs') return;
      await logs.read(true);
      if (mine === auth.epoch && current === 'logs' && $('log-follow').checked) {
        logs.timer = setTimeout(logs.follow, followMs);
      }
    },
  };

  // A service's words in the tool's list: its state and its boot setting.
  function serviceState(words) {
    const running = words.some((w) => upWords.includes(w)) ? true
      : words.some((w) => downWords.includes(w)) ? false : null;
    const enabled = words.includes('enabled') ? true : words.includes('disabled') ? false : null;
    return { running, enabled };
  }

  const services = {
    loaded: false,

    wire() {
      makeCard('services');
      $('services-list').addEventListener('click', () => exclusive('Services', () => services.list('listing')));
      nameForm('services', services.act);
    },
    enter() {
      if (services.loaded || busy.title) return;
      services.loaded = true;
      exclusive('Services', () => services.list('listing'));
    },
    leave() {},
    reset() {
      services.loaded = false;
      $('services-rows').textContent = '';
      $('services-table').hidden = true;
      $('service-name').value = '';
      clearCard('services');
    },

    async list(show) {
      const done = await task('services', 'Services', { operation: 'services' }, show);
      if (done && done.status === 0) services.rows(listing(done.output));
    },

    // Only the actions that fit: Start when stopped, Stop and Restart when
    // running, Enable or Disable by the boot setting; all of them when the
    // list does not say.
    rows(rows) {
      const boot = (word) => bootWords.includes(word);
      tableRows('services', rows,
        (row) => [wordCell(row.words.filter((w) => !boot(w))), wordCell(row.words.filter(boot))],
        (row, box) => {
          if (panelServices.includes(row.name)) {
            box.appendChild(element('span', 'hint', 'Managed from SSH'));
            return;
          }
          const { running, enabled } = serviceState(row.words);
          const actions = [];
          if (running !== true) actions.push('start');
          if (running !== false) actions.push('stop', 'restart');
          if (enabled !== true) actions.push('enable');
          if (enabled !== false) actions.push('disable');
          for (const action of actions) {
            box.appendChild(actionButton(action, row.name, () => services.act(action, row.name),
              action === 'stop' || action === 'disable' ? 'danger-text' : ''));
          }
        });
    },

    async act(action, name) {
      if (name === sshServer && (action === 'stop' || action === 'disable') &&
        !(await confirmWith(say.sshLoss(action, name), capital(action) + ' ' + name))) return;
      const title = capital(action) + ' ' + name;
      // After the change the list is read again, quietly, so that the
      // output of the action stays on screen.
      await exclusive(title, async () => {
        if (await task('services', title, { operation: 'service', action, name }, 'action')) {
          await services.list('quiet');
        }
      });
    },
  };

  const packages = {
    loaded: false,
    shown: 'installed',      // or 'offer'
    installed: new Map(),    // name to version
    offered: new Map(),

    wire() {
      makeCard('packages');
      $('packages-installed').addEventListener('click', () => packages.list('installed'));
      $('packages-available').addEventListener('click', () => packages.list('offer'));
      $('packages-update').addEventListener('click', () => exclusive('Update index', async () => {
        if (await task('packages', 'Update index', { operation: 'package', action: 'update' }, 'action')) {
          await packages.read(packages.shown, 'quiet');
        }
      }));
      nameForm('packages', packages.act);
    },
    enter() {
      if (packages.loaded || busy.title) return;
      packages.loaded = true;
      packages.list('installed');
    },
    leave() {},
    reset() {
      packages.loaded = false;
      packages.installed.clear();
      packages.offered.clear();
      $('packages-rows').textContent = '';
      $('packages-table').hidden = true;
      $('package-name').value = '';
      clearCard('packages');
    },

    list(which) {
      packages.shown = which;
      $('packages-installed').setAttribute('aria-pressed', String(which === 'installed'));
      $('packages-available').setAttribute('aria-pressed', String(which === 'offer'));
      return exclusive('Package lists', () => packages.read(which, 'listing'));
    },

    // Reads both lists, the one on show last, so that its output is the
    // one in the card, and joins them.
    async read(which, show) {
      const tasks = {
        installed: ['Installed packages', { operation: 'packages', action: 'installed' }],
        offer: ['Packages on offer', { operation: 'packages' }],
      };
      const other = which === 'installed' ? 'offer' : 'installed';
      for (const [name, how] of [[other, 'quiet'], [which, show]]) {
        const done = await task('packages', tasks[name][0], tasks[name][1], how);
        if (!done || done.status !== 0) return;
        const map = name === 'installed' ? packages.installed : packages.offered;
        map.clear();
        for (const row of listing(done.output)) map.set(row.name, row.words[0] || '');
      }
      packages.rows();
    },

    rows() {
      const { installed, offered, shown } = packages;
      $('packages-caption').textContent = shown === 'installed' ? 'Installed packages' : 'Packages on offer';
      const names = [...(shown === 'installed' ? installed : offered).keys()].sort();
      const rows = names.map((name) => ({ name, have: installed.get(name), offer: offered.get(name) }));
      tableRows('packages', rows, (row) => {
        const newer = row.have !== undefined && row.offer !== undefined && row.have !== row.offer;
        const version = element('td', 'version', newer ? row.have + ' → ' + row.offer : row.have ?? row.offer);
        const words = [];
        words.push(row.have !== undefined ? 'installed' : 'not installed');
        if (newer) words.push('upgradable');
        if (row.have !== undefined && protectedPackages.includes(row.name)) words.push('protected');
        return [version, wordCell(words)];
      }, (row, box) => {
        const act = (action) => box.appendChild(actionButton(action, row.name,
          () => packages.act(action, row.name), action === 'remove' ? 'danger-text' : ''));
        if (row.have === undefined) act('install');
        else if (row.offer !== undefined && row.have !== row.offer) act('upgrade');
        if (row.have !== undefined && !protectedPackages.includes(row.name)) act('remove');
      });
    },

    async act(action, name) {
      if (action === 'remove' && protectedPackages.includes(name)) {
        showError('packages', say.isProtected(name));
        return;
      }
      if (action === 'remove' && !(await confirmWith(say.removeRisk(name), 'Remove ' + name))) return;
      const title = capital(action) + ' ' + name;
      await exclusive(title, async () => {
        if (await task('packages', title, { operation: 'package', action, name }, 'action')) {
          await packages.read(packages.shown, 'quiet');
        }
      });
    },
  };

  const network = {
    loaded: false,

    wire() {
      makeCard('network');
      $('network-show').addEventListener('click', network.show);
    },
    enter() {
      if (network.loaded || busy.title) return;
      network.loaded = true;
      network.show();
    },
    leave() {},
    reset() {
      network.loaded = false;
      clearCard('network');
    },

    show() {
      return exclusive('Addresses', () => task('network', 'Addresses', { operation: 'network' }, 'open'));
    },
  };

  const views = { overview, logs, services, packages, network };

  function start() {
    $('signin-form').addEventListener('submit', signIn);
    $('sign-out').addEventListener('click', () => signOut(''));
    window.addEventListener('hashchange', route);
    for (const view of Object.values(views)) view.wire();
    for (const view of Object.values(views)) view.reset();
    $('password').focus();
  }

  start();
})();
