// One trace as call trees, one column per thread, side by side. Rows are
// made only for the calls that are shown (folded calls cost nothing), so
// that traces of many thousand calls open quickly. Search marks the calls
// whose name, arguments, return value or path hold the text, and unfolds
// their callers. Every recorded value is shown as text.
"use strict";

(function () {
  const { el } = sarn;
  const traceId = decodeURIComponent(location.pathname.split("/").pop());
  const api = "/api/traces/" + encodeURIComponent(traceId);
  // Rows unfolded when the page opens, and at most by "Expand all".
  const FIRST_ROWS = 400;
  const MOST_ROWS = 20000;
  // Matches whose callers a search unfolds.
  const SHOWN_MATCHES = 500;
  // Calls shown at first under one caller; "more" shows this many again.
  const CHUNK = 200;

  let nodes = [];
  let parents = [];
  let positions = [];  // a node's place among its caller's calls
  let groupOf = [];  // the key of the list a node is in: its caller, or its thread
  let threads = [];
  let spanStart = 0;
  let spanLength = 1;
  const expanded = new Set();
  const shownCounts = new Map();  // list key -> how many of its calls are shown
  let needle = "";
  let matches = [];
  let matchSet = new Set();
  let currentMatch = -1;
  let selected = null;

  // ------------------------------------------------------------------
  // The tree

  function haystack(node) {
    if (node.h === undefined) {
      node.h = [node.n, node.a, node.r, node.t, node.q, node.p].filter(Boolean).join(" ").toLowerCase();
    }
    return node.h;
  }

  function highlighted(text, className) {
    const span = el("span", className);
    if (!needle || !text) {
      span.textContent = text || "";
      return span;
    }
    const lower = text.toLowerCase();
    let at = 0;
    for (;;) {
      const found = lower.indexOf(needle, at);
      if (found < 0) break;
      span.append(text.slice(at, found), el("mark", null, text.slice(found, found + needle.length)));
      at = found + needle.length;
    }
    span.append(text.slice(at));
    return span;
  }

  function bar(node) {
    const track = el("span", "bar");
    if (typeof node.s !== "number") return track;
    const fill = el("span", node.e === undefined || node.e === null ? "fill instant" : "fill");
    const end = typeof node.e === "number" ? node.e : node.s;
    fill.style.left = (100 * (node.s - spanStart) / spanLength).toFixed(3) + "%";
    fill.style.width = Math.max(0.2, 100 * (end - node.s) / spanLength).toFixed(3) + "%";
    track.append(fill);
    return track;
  }

  function callLabel(node) {
    const label = el("span", "label", highlighted(node.n, "name"));
    if (node.k === "start_test") label.prepend(el("span", "tag", "test start"));
    if (node.k === "end_test") label.prepend(el("span", "tag", "test end"));
    if (node.k === "body") label.prepend(el("span", "tag quiet", node.n.endsWith("<module>") ? "module" : "class"));
    if (node.u) label.prepend(el("span", "tag quiet", "resumed"));
    if (node.a) label.append(highlighted(node.k === "call" ? node.a : " " + node.a, "args"));
    // A return that suspended a generator's frame gave the value it yielded;
    // a frame ended by an exception gave none.
    const arrow = node.y ? " ← yield " : " → ";
    if (node.r !== undefined) label.append(el("span", "arrow", arrow), highlighted(node.r, "ret"));
    if (node.t !== undefined) label.append(el("span", "arrow raised", " !! "), highlighted(node.t, "ret"));
    // sys.exit(0) and the like: the program's normal end, not a failure.
    if (node.q !== undefined) label.append(el("span", "arrow", " exits: "), highlighted(node.q, "ret"));
    if (node.x) label.append(el("span", "note", " [" + node.x + "]"));
    if (node.p) label.append(highlighted(node.p.split("/").pop(), "path"));
    return label;
  }

  function row(id, depth) {
    const node = nodes[id];
    const open = expanded.has(id);
    const line = el("div", "row kind-" + node.k);
    line.dataset.id = String(id);
    line.setAttribute("role", "treeitem");
    if (node.c) line.setAttribute("aria-expanded", String(open));
    if (matchSet.has(id)) line.classList.add("match");
    if (selected === id) line.classList.add("selected");
    line.style.paddingLeft = (6 + depth * 16) + "px";
    const toggle = el("span", "toggle", node.c ? (open ? "▾" : "▸") : "");
    const label = sarnOutside.KINDS.has(node.k) ? sarnOutside.label(node, highlighted) : callLabel(node);
    if (node.p) line.title = node.p + (node.w ? ", called from " + node.w : "");
    const duration = typeof node.e === "number" && typeof node.s === "number" ? sarn.duration(node.e - node.s) : "";
    line.append(toggle, label, el("span", "dur", duration), bar(node));
    return line;
  }

  function item(id, depth) {
    const box = el("div", "item", row(id, depth));
    if (expanded.has(id) && nodes[id].c) box.append(children(nodes[id].c, depth + 1, id));
    return box;
  }

  // The calls of one list (a caller's, or a thread's top level), the first
  // CHUNK of them until more are asked for.
  function children(ids, depth, key) {
    const box = el("div", "children");
    box.setAttribute("role", "group");
    const limit = Math.min(ids.length, shownCounts.get(key) || CHUNK);
    for (let index = 0; index < limit; index += 1) box.append(item(ids[index], depth));
    if (limit < ids.length) {
      const more = el("div", "row more", el("span", "toggle", ""),
        el("span", "label", "… " + (ids.length - limit) + " more calls: show " + Math.min(ids.length - limit, 5 * CHUNK) + " more"));
      more.style.paddingLeft = (6 + depth * 16) + "px";
      more.dataset.more = String(key);
      box.append(more);
    }
    return box;
  }

  function showMore(key, moreRow) {
    shownCounts.set(key, (shownCounts.get(key) || CHUNK) + 5 * CHUNK);
    if (String(key).startsWith("thread:")) {
      drawThreads();
      return;
    }
    const id = Number(key);
    const itemBox = moreRow.closest(".children").parentElement;
    itemBox.replaceWith(item(id, depthOf(id)));
  }

  // Unfold the callers of a node and show it among its caller's calls.
  function reveal(id) {
    for (let at = id; at !== -1; at = parents[at]) {
      if (parents[at] !== -1) expanded.add(parents[at]);
      const need = positions[at] + 1;
      const key = groupOf[at];
      if ((shownCounts.get(key) || CHUNK) < need) shownCounts.set(key, Math.ceil(need / CHUNK) * CHUNK);
    }
  }

  function depthOf(id) {
    let depth = 0;
    for (let up = parents[id]; up !== -1; up = parents[up]) depth += 1;
    return depth;
  }

  function toggle(id, itemBox) {
    const node = nodes[id];
    if (!node.c) return;
    const depth = depthOf(id);
    if (expanded.has(id)) expanded.delete(id);
    else expanded.add(id);
    itemBox.replaceWith(item(id, depth));
  }

  function drawThreads() {
    const columns = threads.map((thread, index) => {
      const calls = thread.calls + (thread.calls === 1 ? " call" : " calls");
      // An asyncio task's lane: its name, its thread, and its title (where
      // it was made, how long it ran and waited, how it ended) on hover.
      const head = thread.task
        ? el("h2", "thread-head task-head",
          el("span", "thread-name", "task " + thread.name),
          el("span", "dim", " · on " + thread.task.thread + " · " + calls + " · " + thread.task.state))
        : el("h2", "thread-head",
          el("span", "thread-name", thread.name),
          el("span", "dim", " · native id " + thread.native_id + " · " + calls));
      if (thread.task) head.title = thread.task.title;
      const tree = children(thread.roots, 0, "thread:" + index);
      tree.classList.add("tree");
      tree.setAttribute("role", "tree");
      const column = el("section", "thread", head, tree);
      column.dataset.thread = String(index);
      return column;
    });
    const main = document.getElementById("threads");
    main.replaceChildren(...columns);
    main.classList.toggle("many", threads.length > 1);
  }

  // Unfold breadth first until about `limit` rows are shown.
  function unfold(limit) {
    let level = [];
    for (const thread of threads) level.push(...thread.roots.slice(0, CHUNK));
    let shown = level.length;
    while (level.length && shown < limit) {
      const next = [];
      for (const id of level) {
        const kids = nodes[id].c;
        if (!kids || shown >= limit) continue;
        expanded.add(id);
        const visible = kids.slice(0, shownCounts.get(id) || CHUNK);
        shown += visible.length;
        next.push(...visible);
      }
      level = next;
    }
  }

  // ------------------------------------------------------------------
  // Search

  function search(text) {
    needle = text.trim().toLowerCase();
    matches = [];
    if (needle) {
      for (let id = 0; id < nodes.length; id += 1) {
        if (haystack(nodes[id]).includes(needle)) matches.push(id);
      }
    }
    matchSet = new Set(matches);
    for (const id of matches.slice(0, SHOWN_MATCHES)) reveal(id);
    currentMatch = -1;
    drawThreads();
    showMatchCount();
    if (matches.length) step(1);
  }

  function showMatchCount() {
    const info = document.getElementById("matches");
    if (!needle) info.textContent = "";
    else if (!matches.length) info.textContent = "no match";
    else {
      const more = matches.length > SHOWN_MATCHES ? " (first " + SHOWN_MATCHES + " unfolded)" : "";
      info.textContent = (currentMatch + 1) + " of " + matches.length + more;
    }
  }

  function rowOf(id) {
    return document.querySelector('.row[data-id="' + id + '"]');
  }

  function step(direction) {
    if (!matches.length) return;
    currentMatch = (currentMatch + direction + matches.length) % matches.length;
    const id = matches[currentMatch];
    if (!rowOf(id)) {
      reveal(id);
      drawThreads();
    }
    document.querySelectorAll(".row.current").forEach((line) => line.classList.remove("current"));
    const line = rowOf(id);
    if (line) {
      line.classList.add("current");
      line.scrollIntoView({ block: "center" });
    }
    select(id);
    showMatchCount();
  }

  // ------------------------------------------------------------------
  // Details of one call

  function table(title, pairs) {
    const section = el("section", "values", el("h3", null, title));
    if (!pairs || !pairs.length) {
      section.append(el("p", "dim", "none"));
      return section;
    }
    const list = el("dl");
    for (const [name, text] of pairs) {
      list.append(el("dt", null, name), el("dd", null, el("pre", null, text)));
    }
    section.append(list);
    return section;
  }

  // An SQL query, HTTP call, log record or template render selects the call
  // that issued it as well: the details are that call's, after its own.
  async function select(id) {
    selected = id;
    document.querySelectorAll(".row.selected").forEach((line) => line.classList.remove("selected"));
    const line = rowOf(id);
    if (line) line.classList.add("selected");
    const issuer = sarnOutside.KINDS.has(nodes[id].k) ? parents[id] : -1;
    if (issuer !== -1 && rowOf(issuer)) rowOf(issuer).classList.add("selected");
    const aside = document.getElementById("details");
    try {
      const details = await sarn.getJSON(api + "/nodes/" + id);
      if (selected !== id) return;
      const facts = el("dl", "facts-list");
      const fact = (name, value) => {
        if (value !== null && value !== undefined && value !== "") facts.append(el("dt", null, name), el("dd", null, String(value)));
      };
      fact("where", details.path);
      fact("called from", details.site);
      if (details.left) fact(details.left[0], details.left[1]);
      fact("thread", details.thread + (details.native_id !== null ? " (" + details.native_id + ")" : ""));
      fact("started", typeof details.start === "number" ? "+" + sarn.duration(details.start) : "");
      fact("took", sarn.duration(details.duration));
      fact("frame id", details.frame_id);
      const parts = details.operation ? sarnOutside.details(details.operation, table) : [];
      if (details.operation && details.issuer !== null) parts.push(el("h3", "issued-by", "Issued by"));
      parts.push(el("h2", "detail-name", details.name), facts);
      if (details.data) parts.push(table("Data", details.data));
      if (details.arguments) parts.push(table("Arguments", details.arguments));
      if (details.locals) parts.push(table("Locals at return", details.locals));
      if (details.return !== undefined) parts.push(table("Return value", [["", details.return]]));
      if (details.raised !== undefined) parts.push(table("Ended by", [["", details.raised]]));
      if (details.exited !== undefined) parts.push(table("Exited by", [["", details.exited]]));
      aside.replaceChildren(...parts);
    } catch (error) {
      aside.replaceChildren(el("p", "error", String(error.message || error)));
    }
  }

  // Show an entry of the panel in the tree, and select it.
  function pick(id) {
    reveal(id);
    drawThreads();
    const line = rowOf(id);
    if (line) line.scrollIntoView({ block: "center" });
    select(id);
  }

  // ------------------------------------------------------------------
  // The page

  function header(trace) {
    const facts = trace.facts || {};
    document.title = "sarn: " + (trace.what || trace.id);
    document.getElementById("what").textContent = trace.what || trace.id;
    const shown = sarn.badge(facts);
    if (shown) {
      const badge = document.getElementById("status");
      badge.textContent = shown[0];
      badge.className = shown[1];
      badge.hidden = false;
    }
    document.getElementById("duration").textContent = sarn.duration(facts.duration);
    const box = document.getElementById("facts");
    const add = (name, value) => {
      if (value !== null && value !== undefined && value !== "") box.append(el("span", "fact", el("b", null, name + " "), String(value)));
    };
    add("trace", trace.id);
    add("source", trace.source);
    add("started", sarn.time(trace.started));
    add("command", trace.command);
    add("commit", trace.commit ? trace.commit.slice(0, 12) : "");
    add("query", facts.query);
    add("error", facts.error);
    add("failure", facts.failure);
    if (facts.concurrent > 0) {
      const warning = document.getElementById("warning");
      warning.textContent = facts.concurrent + " other request" + (facts.concurrent === 1 ? "" : "s") +
        " ran while this one was recorded. Their own code was left out, but what they handed to " +
        "tasks of their own may appear here.";
      warning.hidden = false;
    }
    const download = document.getElementById("download");
    download.href = api + "/chrome";
  }

  function index(trace) {
    nodes = trace.nodes;
    threads = trace.threads;
    parents = new Array(nodes.length).fill(-1);
    positions = new Array(nodes.length).fill(0);
    groupOf = new Array(nodes.length);
    threads.forEach((thread, index) => thread.roots.forEach((id, place) => {
      positions[id] = place;
      groupOf[id] = "thread:" + index;
    }));
    let low = Infinity;
    let high = -Infinity;
    nodes.forEach((node, id) => {
      if (node.c) node.c.forEach((child, place) => {
        parents[child] = id;
        positions[child] = place;
        groupOf[child] = id;
      });
      if (typeof node.s === "number") low = Math.min(low, node.s);
      if (typeof node.e === "number") high = Math.max(high, node.e);
      else if (typeof node.s === "number") high = Math.max(high, node.s);
    });
    spanStart = Number.isFinite(low) ? low : 0;
    spanLength = Number.isFinite(high) && high > spanStart ? high - spanStart : 1;
  }

  function wire() {
    const input = document.getElementById("search");
    let timer = null;
    input.addEventListener("input", () => {
      clearTimeout(timer);
      timer = setTimeout(() => search(input.value), 150);
    });
    input.addEventListener("keydown", (event) => {
      if (event.key !== "Enter") return;
      event.preventDefault();
      clearTimeout(timer);
      if (input.value.trim().toLowerCase() !== needle) search(input.value);
      else step(event.shiftKey ? -1 : 1);
    });
    document.getElementById("next").addEventListener("click", () => step(1));
    document.getElementById("previous").addEventListener("click", () => step(-1));
    document.getElementById("expand").addEventListener("click", () => {
      unfold(MOST_ROWS);
      drawThreads();
    });
    document.getElementById("collapse").addEventListener("click", () => {
      expanded.clear();
      shownCounts.clear();
      drawThreads();
    });
    document.getElementById("threads").addEventListener("click", (event) => {
      const line = event.target.closest(".row");
      if (!line) return;
      if (line.dataset.more !== undefined) {
        const key = line.dataset.more;
        showMore(key.startsWith("thread:") ? key : Number(key), line);
        return;
      }
      const id = Number(line.dataset.id);
      if (event.target.closest(".toggle")) toggle(id, line.parentElement);
      else select(id);
    });
    document.getElementById("threads").addEventListener("dblclick", (event) => {
      const line = event.target.closest(".row");
      if (line && line.dataset.id !== undefined) toggle(Number(line.dataset.id), line.parentElement);
    });
  }

  // The traces of the process that started this one's and of those it
  // started, as links beside the facts.
  async function family() {
    const kin = await sarn.getJSON(api + "/family");
    const box = document.getElementById("facts");
    const link = (trace) => {
      const anchor = el("a", "family-link", trace.what || trace.id);
      anchor.href = "/trace/" + encodeURIComponent(trace.id);
      return anchor;
    };
    const startedBy = (site) => site && site.function ? " (started by " + site.function + " at " +
      String(site.path).split("/").pop() + ":" + site.line + ")" : "";
    if (kin.parent) {
      box.append(el("span", "fact family", el("b", null, "child of "), link(kin.parent), startedBy(kin.started_by)));
    }
    if (kin.children.length) {
      const list = el("span", "fact family", el("b", null, kin.children.length + " child trace" +
        (kin.children.length === 1 ? "" : "s") + " "));
      kin.children.forEach((child, index) => {
        if (index) list.append(", ");
        list.append("\u00a0".repeat(2 * (child.depth - 1)), link(child));
      });
      box.append(list);
    }
  }

  async function load() {
    try {
      const trace = await sarn.getJSON(api);
      header(trace);
      family().catch(() => {});
      index(trace);
      unfold(FIRST_ROWS);
      drawThreads();
      sarnOutside.panel(trace.outside, nodes, pick);
      wire();
      document.body.dataset.ready = "true";
    } catch (error) {
      sarn.showError(error);
    }
  }

  load();
})();
