// The night's report: sorting, filtering and the explanations of the persons touched. Built
// into parvekctl and written inline into every page; it fetches nothing.
//
// A page opened with "#selftest=STEP;STEP..." (filter:TYPE, outcome:WORD, pnr:TEXT, sort:COLUMN,
// open:PNR, all) takes those steps once it has loaded and writes what it then shows, as JSON, into a
// new element "selftest-result", for the tests that open it in a headless browser.
(function () {
  'use strict';
  var table = document.getElementById('persons');
  var lines = JSON.parse(document.getElementById('explanations').textContent);
  var rows = Array.prototype.slice.call(table.tBodies);
  var pnrs = rows.map(function (b) { return b.rows[0].cells[0].textContent; });
  var shown = document.getElementById('shown');
  var type = document.getElementById('f-type');
  var outcome = document.getElementById('f-outcome');
  var pnr = document.getElementById('f-pnr');
  var ready = performance.now();

  // A long list shows its first rows only (the page says how many, the rest are a button away):
  // laying out tens of thousands of rows would keep the page from opening.
  var limit = +table.dataset.limit || Infinity;
  var more = document.getElementById('show-all');
  var matching = rows.length;

  function filter() {
    var t = type.value ? ' ' + type.value + ' ' : '';
    var o = outcome.value ? ' ' + outcome.value + ' ' : '';
    var p = pnr.value.trim();
    var n = 0;
    var bodies = table.tBodies;
    for (var i = 0; i < bodies.length; i++) {
      var b = bodies[i];
      var match = (!t || b.dataset.t.indexOf(t) >= 0) && (!o || b.dataset.o.indexOf(o) >= 0) &&
        (!p || b.rows[0].cells[0].textContent.indexOf(p) >= 0);
      if (match) n++;
      var show = match && n <= limit;
      if (b.hidden === show) b.hidden = !show;
    }
    matching = n;
    var all = !t && !o && !p;
    var what = all ? ' persons' : ' matching persons (' + rows.length + ' in all)';
    shown.textContent = n > limit ? 'Showing the first ' + limit + ' of ' + n + what + '.'
      : all ? n + ' persons.' : 'Showing ' + n + ' of ' + rows.length + ' persons.';
    more.hidden = n <= limit;
    more.textContent = 'Show all ' + n;
  }

  function toggle(button) {
    var body = button.closest('tbody');
    var open = button.getAttribute('aria-expanded') === 'true';
    if (open) {
      body.removeChild(body.rows[1]);
      button.setAttribute('aria-expanded', 'false');
      return;
    }
    var text = body.dataset.x.split(' ').filter(Boolean)
      .map(function (i) { return lines[+i]; }).join('\n');
    var tr = document.createElement('tr');
    tr.className = 'explanation';
    tr.id = 'x-' + rows.indexOf(body);
    var td = document.createElement('td');
    td.colSpan = 7;
    var pre = document.createElement('pre');
    pre.textContent = text;
    td.appendChild(pre);
    tr.appendChild(td);
    body.appendChild(tr);
    button.setAttribute('aria-controls', tr.id);
    button.setAttribute('aria-expanded', 'true');
  }

  var collator = new Intl.Collator('en', { numeric: true });
  function sort(col) {
    var th = table.tHead.rows[0].cells[col];
    var up = th.getAttribute('aria-sort') !== 'ascending';
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (c) {
      c.setAttribute('aria-sort', 'none');
    });
    th.setAttribute('aria-sort', up ? 'ascending' : 'descending');
    var keyed = rows.map(function (b, i) { return [b.rows[0].cells[col].textContent, i, b]; });
    keyed.sort(function (a, b) {
      var c = collator.compare(a[0], b[0]);
      return (up ? c : -c) || a[1] - b[1];
    });
    var frag = document.createDocumentFragment();
    keyed.forEach(function (k) { frag.appendChild(k[2]); });
    table.appendChild(frag);
    filter();
  }

  table.addEventListener('click', function (e) {
    var button = e.target.closest('button');
    if (!button) return;
    if (button.classList.contains('x')) toggle(button);
    else if (button.dataset.col) sort(+button.dataset.col);
  });
  [type, outcome].forEach(function (s) { s.addEventListener('change', filter); });
  pnr.addEventListener('input', filter);
  more.addEventListener('click', function () {
    limit = Infinity;
    filter();
  });
  document.querySelector('form.controls').addEventListener('submit', function (e) {
    e.preventDefault();
  });

  function selftest(steps) {
    // Laid out whole, as opened: what the browser draws next is the page as read.
    var laidOut = document.body.offsetHeight >= 0 ? performance.now() : -1;
    var opened = null;
    steps.forEach(function (step) {
      var at = step.indexOf(':');
      var what = step.slice(0, at), value = decodeURIComponent(step.slice(at + 1));
      if (what === 'filter') type.value = value;
      if (what === 'outcome') outcome.value = value;
      if (what === 'pnr') pnr.value = value;
      if (what === 'filter' || what === 'outcome' || what === 'pnr') filter();
      if (what === 'sort') sort(+value);
      if (what === 'open') {
        var i = pnrs.indexOf(value);
        if (i >= 0) {
          toggle(rows[i].rows[0].cells[0].firstElementChild);
          opened = { pnr: value, text: rows[i].rows[1].textContent };
        }
      }
    });
    if (steps.indexOf('all') >= 0) { limit = Infinity; filter(); }
    var visible = Array.prototype.filter.call(table.tBodies, function (b) { return !b.hidden; });
    var nav = performance.getEntriesByType('navigation')[0];
    var out = document.createElement('pre');
    out.id = 'selftest-result';
    out.textContent = JSON.stringify({
      status: document.getElementById('outcome').dataset.status,
      total: rows.length,
      visible: visible.length,
      matching: matching,
      pnrs: visible.map(function (b) { return b.rows[0].cells[0].textContent; }),
      types: visible.map(function (b) { return b.dataset.t.trim(); }),
      opened: opened,
      shown: shown.textContent,
      ready_ms: Math.round(ready),
      laid_out_ms: Math.round(laidOut),
      loaded_ms: nav ? Math.round(nav.loadEventStart) : -1,
      timing: nav ? [nav.responseEnd, nav.domInteractive, nav.domContentLoadedEventEnd, nav.domComplete].map(Math.round) : [],
      paints: performance.getEntriesByType('paint').map(function (p) { return p.name + ' ' + Math.round(p.startTime); }),
      errors: window.reportErrors
    });
    document.body.appendChild(out);
  }

  var m = /^#selftest=(.*)$/.exec(location.hash);
  if (m) {
    // At the load event itself, so that a browser dumping the page once loaded finds the result.
    window.addEventListener('load', function () { selftest(m[1].split(';').filter(Boolean)); });
  }
})();
