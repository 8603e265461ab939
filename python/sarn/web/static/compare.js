// Two runs side by side: the paths to their differences, A on the left and
// B on the right, with what differs marked (as `sarn diff` shows them).
"use strict";

(function () {
  const { el } = sarn;
  const ids = location.pathname.split("/").slice(2, 4).map(decodeURIComponent);

  function side(text, className, depth) {
    const cell = el("td", "side " + className, text === null || text === undefined ? "" : text);
    cell.style.paddingLeft = 8 + depth * 16 + "px";
    return cell;
  }

  function row(item) {
    if (item.kind === "hidden") {
      const text = "… " + item.count + " equal call" + (item.count === 1 ? "" : "s");
      return el("tr", "hidden-calls", side(text, "", item.depth), side(text, "", item.depth));
    }
    const under = item.under ? "  (+" + item.under + " calls under it)" : "";
    const site = item.site ? "  " + item.site : "";
    const tr = el("tr", "kind-" + item.kind,
      side(item.a === null ? null : item.a + (item.kind === "change" ? "" : under + site), "a", item.depth),
      side(item.b === null ? null : item.b + (item.kind === "change" ? "" : under + site), "b", item.depth));
    return tr;
  }

  function heading(facts) {
    return el("th", null, (facts.label || facts.id) + "  ", el("span", "mono dim", facts.id));
  }

  function draw(answer) {
    document.title = "sarn: " + (answer.a.label || answer.a.id) + " vs " + (answer.b.label || answer.b.id);
    document.getElementById("summary").textContent = answer.count + " difference" + (answer.count === 1 ? "" : "s");
    document.getElementById("equal").hidden = answer.count > 0;
    if (answer.first) {
      const first = document.getElementById("first");
      const where = answer.first.path.concat([answer.first.name]).join(" › ");
      const what = answer.first.kind.startsWith("only")
        ? "only in " + (answer.first.kind === "only_a" ? "A" : "B")
        : answer.first.kind + (answer.first.field ? " " + answer.first.field : "") + ": " +
          answer.first.a + "  vs  " + answer.first.b;
      first.textContent = "First difference: " + where + ": " + what;
      first.hidden = false;
    }
    const box = document.getElementById("threads");
    box.replaceChildren(...answer.threads.map((thread) => el("section", "compare-thread",
      el("h2", "thread-head", "thread " + thread.name),
      el("table", "side-by-side",
        el("thead", null, el("tr", null, heading(answer.a), heading(answer.b))),
        el("tbody", null, ...thread.rows.map(row))))));
  }

  sarn.getJSON("/api/compare/" + ids.map(encodeURIComponent).join("/")).then(draw, sarn.showError);
})();
