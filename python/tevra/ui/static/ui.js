// Live updates and keyboard moves for tevra ui. Every page works without this file;
// with it, counts, states, running runs and the run list follow the history without
// a reload. Texts from the server are set as text, never as markup.
(function () {
  "use strict";
  var page = document.body.dataset.live;
  if (!page) return;
  var INTERVAL = 500;

  function setText(el, value) {
    if (el && el.textContent !== value) el.textContent = value;
  }

  function link(href, label) {
    var a = document.createElement("a");
    a.href = href;
    a.textContent = label;
    return a;
  }

  function cell(row, content) {
    var td = document.createElement("td");
    if (typeof content === "string") td.textContent = content;
    else td.appendChild(content);
    row.appendChild(td);
    return td;
  }

  function assetHref(key) {
    return "/asset?key=" + encodeURIComponent(key);
  }

  function runRow(r, withAsset) {
    var tr = document.createElement("tr");
    cell(tr, link("/run/" + r.id, String(r.id)));
    if (withAsset) cell(tr, link(assetHref(r.asset), r.label));
    cell(tr, r.partition);
    var state = document.createElement("span");
    state.className = "state " + r.css;
    state.textContent = r.status;
    cell(tr, state);
    cell(tr, r.started);
    cell(tr, r.took);
    cell(tr, r.note).className = "note";
    return tr;
  }

  function updateRunning(data) {
    setText(document.getElementById("running-count"),
      data.running_count ? data.running_count + " running" : "nothing running");
    var list = document.getElementById("running-list");
    if (!list) return;
    var items = data.running.map(function (r) {
      var li = document.createElement("li");
      li.appendChild(link("/run/" + r.id, "run " + r.id));
      li.appendChild(document.createTextNode(" " + r.label + (r.partition ? " [" + r.partition + "]" : "") +
        " · " + r.took));
      return li;
    });
    if (!items.length) {
      var li = document.createElement("li");
      li.textContent = "nothing is running";
      items.push(li);
    }
    list.replaceChildren.apply(list, items);
  }

  function updateAssets(assets) {
    Object.keys(assets).forEach(function (key) {
      var a = assets[key];
      document.querySelectorAll('[data-asset="' + CSS.escape(key) + '"]').forEach(function (el) {
        if (el.dataset.field === "detail") { setText(el, a.detail); return; }
        if (el.classList.contains("node")) {
          el.setAttribute("class", "node " + a.css);
          setText(el.querySelector('[data-field="node-counts"]'), a.state + " · " + a.counts);
          setText(el.querySelector("title"), el.querySelector(".name").textContent + ": " + a.state);
        }
        var state = el.querySelector('[data-field="state"]');
        if (state) { state.className = "state " + a.css; setText(state, a.glyph + " " + a.state); }
        setText(el.querySelector('[data-field="detail"]'), a.detail);
      });
      var head = document.querySelector("[data-asset-state]");
      if (head && page === "asset") { head.className = "state " + a.css; setText(head, a.glyph + " " + a.state); }
    });
  }

  function updateCells(cells) {
    var links = document.querySelectorAll("#cells a.cell");
    if (links.length !== cells.length) return;
    cells.forEach(function (c, i) {
      var a = links[i];
      var holder = a.parentElement.tagName === "TD" ? a.parentElement : a;
      var css = holder === a ? "cell " + c[0] : c[0];
      if (holder.className !== css) holder.className = css;
      setText(a, c[1]);
      if (a.title !== c[2]) a.title = c[2];
      if (c[3] !== null) a.setAttribute("href", "/run/" + c[3]);
      else a.removeAttribute("href");
    });
  }

  function updateRuns(rows) {
    var body = document.getElementById("runs-body");
    if (!body) return;
    if (!rows.length) return;
    var first = body.querySelector("a");
    if (first && first.textContent === String(rows[0].id) && body.children.length === rows.length) {
      // Same newest run: refresh statuses in place only when one changed.
      var same = rows.every(function (r, i) {
        var st = body.children[i].querySelector(".state");
        return st && st.textContent === r.status;
      });
      if (same) return;
    }
    body.replaceChildren.apply(body, rows.map(function (r) { return runRow(r, true); }));
  }

  function query() {
    var q = new URLSearchParams(location.search);
    q.set("page", page);
    return q.toString();
  }

  function poll() {
    fetch("/api/live?" + query(), { credentials: "same-origin" })
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (data) {
        if (!data) return;
        updateRunning(data);
        if (data.assets) updateAssets(data.assets);
        if (data.cells) updateCells(data.cells);
        if (data.runs) updateRuns(data.runs);
      })
      .catch(function () {})
      .then(function () { setTimeout(poll, INTERVAL); });
  }

  function pollLaunch(number) {
    fetch("/api/launch/" + number, { credentials: "same-origin" })
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (data) {
        if (!data) return;
        setText(document.getElementById("launch-state"), data.state);
        setText(document.getElementById("launch-output"), data.output.join("\n"));
        if (data.state === "running") setTimeout(function () { pollLaunch(number); }, INTERVAL);
      })
      .catch(function () { setTimeout(function () { pollLaunch(number); }, INTERVAL); });
  }

  // Arrow keys move between the grid's cells; Tab enters and leaves the grid once.
  function gridKeys() {
    var grid = document.getElementById("cells");
    if (!grid) return;
    var links = Array.prototype.slice.call(grid.querySelectorAll("a.cell"));
    if (!links.length) return;
    links.forEach(function (a, i) { a.tabIndex = i === 0 ? 0 : -1; });
    var width = grid.tagName === "TABLE" ? grid.querySelector("tbody tr").querySelectorAll("a.cell").length : 0;
    grid.addEventListener("keydown", function (e) {
      var i = links.indexOf(document.activeElement);
      if (i < 0) return;
      var step = { ArrowRight: 1, ArrowLeft: -1, ArrowDown: width || 1, ArrowUp: -(width || 1),
                   Home: -i, End: links.length - 1 - i }[e.key];
      if (step === undefined) return;
      var j = Math.max(0, Math.min(links.length - 1, i + step));
      e.preventDefault();
      links[i].tabIndex = -1;
      links[j].tabIndex = 0;
      links[j].focus();
    });
  }

  gridKeys();
  var launch = document.getElementById("launch-state");
  if (launch) pollLaunch(launch.dataset.launch);
  poll();
})();
