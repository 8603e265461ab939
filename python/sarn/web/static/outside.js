// What a trace did outside the program's own code: SQL queries, HTTP calls,
// log records and template renders. Their lines in the call tree, their
// details, and the panel that lists them by kind (the server pairs and sums
// them up; see sarn/web/outside_view.py). Every recorded text is shown as
// text.
"use strict";

const sarnOutside = (function () {
  const { el } = sarn;
  const KINDS = new Set(["sql", "http", "log", "template"]);
  const SECTIONS = [["sql", "Queries"], ["http", "HTTP calls"], ["log", "Log records"], ["template", "Templates"]];

  function parts(node) {
    return (node.q || []).map(([className, text]) => el("span", "part " + (className || ""), "  " + text));
  }

  // The label of an operation's row: its kind, its text, what came of it.
  function label(node, highlighted) {
    const box = el("span", "label", el("span", "tag op " + node.k, node.n));
    if (node.l) box.append(el("span", "lead " + (node.l[0] || ""), node.l[1] + " "));
    box.append(highlighted(node.a, "op-text"), ...parts(node));
    if (node.t !== undefined) box.append(el("span", "arrow raised", "  !! "), highlighted(node.t, "ret"));
    if (node.x) box.append(el("span", "note", " [" + node.x + "]"));
    if (node.m) box.append(el("span", "similar", "similar ×" + node.m));
    if (node.p) box.append(highlighted(node.p.split("/").pop(), "path"));
    return box;
  }

  function fact(list, name, value) {
    if (value !== null && value !== undefined && value !== "") list.append(el("dt", null, name), el("dd", null, String(value)));
  }

  // The operation's part of the details pane: its records in full.
  function details(operation, table) {
    const facts = el("dl", "facts-list");
    fact(facts, "user line", operation.site);
    fact(facts, "took", sarn.duration(operation.duration));
    fact(facts, "similar", operation.similar ? operation.similar + " queries of this SQL from this line" : "");
    return [el("h2", "detail-name", el("span", "tag op " + operation.label.toLowerCase(), operation.label), operation.title), facts,
      table("Recorded", operation.data)];
  }

  function entry(node, id, pick, extra) {
    const line = el("div", "op-entry" + (node.t !== undefined ? " failed" : ""),
      el("span", "when", typeof node.s === "number" ? "+" + sarn.duration(node.s) : ""),
      el("span", "took", typeof node.e === "number" ? sarn.duration(node.e - node.s) : ""),
      el("span", "what", node.l ? node.l[1] + " " : "", node.a, ...parts(node),
        node.t !== undefined ? el("span", "error", "  !! " + node.t) : null),
      el("span", "site", extra || (node.p || "").split("/").pop()));
    line.dataset.id = String(id);
    line.title = node.a;
    line.addEventListener("click", () => pick(id));
    return line;
  }

  // The queries, those run more than once from one line as one group
  // (unfolded on a click) at the place of the first of them.
  function queries(ids, similar, nodes, pick) {
    const groupOf = new Map();
    for (const group of similar) group.forEach((id) => groupOf.set(id, group));
    const list = el("div", "op-list");
    for (const id of ids) {
      const group = groupOf.get(id);
      if (!group) list.append(entry(nodes[id], id, pick));
      else if (group[0] === id) list.append(similarGroup(group, nodes, pick));
    }
    return list;
  }

  function similarGroup(group, nodes, pick) {
    const first = nodes[group[0]];
    const total = group.reduce((sum, id) => sum + (typeof nodes[id].e === "number" ? nodes[id].e - nodes[id].s : 0), 0);
    const head = el("div", "op-entry group",
      el("span", "when", "+" + sarn.duration(first.s)),
      el("span", "took", sarn.duration(total)),
      el("span", "what", el("span", "similar", group.length + "× similar"), first.a),
      el("span", "site", (first.p || "").split("/").pop()));
    head.title = "the same SQL from the same line: click to list them";
    const members = el("div", "op-members");
    members.hidden = true;
    head.addEventListener("click", () => {
      if (!members.firstChild) group.forEach((id, index) => members.append(entry(nodes[id], id, pick, "#" + (index + 1))));
      members.hidden = !members.hidden;
    });
    return el("div", null, head, members);
  }

  // The panel of a trace; `pick(id)` shows one operation in the tree.
  function panel(outside, nodes, pick) {
    const box = document.getElementById("outside");
    if (!outside || !Object.keys(outside.kinds).length) {
      box.hidden = true;
      return;
    }
    const sections = [];
    for (const [kind, title] of SECTIONS) {
      const ids = outside.kinds[kind];
      if (!ids) continue;
      const list = kind === "sql" ? queries(ids, outside.similar, nodes, pick)
        : el("div", "op-list", ...ids.map((id) => entry(nodes[id], id, pick)));
      const section = el("details", "op-section", el("summary", null, title + " (" + ids.length + ")"), list);
      section.open = kind !== "template";
      section.dataset.kind = kind;
      sections.push(section);
    }
    // Queries on the left, the other kinds beside them.
    const others = el("div", "op-column", ...sections.filter((section) => section.dataset.kind !== "sql"));
    const columns = sections[0].dataset.kind === "sql" ? [sections[0], others] : [others];
    box.replaceChildren(el("div", "op-summary", ...outside.summary.map((text) => el("span", null, text))),
      el("div", "op-columns" + (columns.length > 1 && others.firstChild ? " split" : ""), ...columns));
    box.hidden = false;
  }

  return { KINDS, label, details, panel };
})();
