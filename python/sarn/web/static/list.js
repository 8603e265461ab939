// The list of traces: newest first, filtered as you type, refreshed while
// the page is open so that a development server's requests show up.
"use strict";

(function () {
  const { el } = sarn;
  const body = document.querySelector("#traces tbody");
  const filter = document.getElementById("filter");
  const live = document.getElementById("live");
  const compare = document.getElementById("compare");
  let traces = [];
  // The ids ticked for comparing, kept across refreshes.
  const picked = new Set();

  function pick(trace) {
    const box = el("input", null);
    box.type = "checkbox";
    box.checked = picked.has(trace.id);
    box.setAttribute("aria-label", "compare " + trace.id);
    box.addEventListener("change", () => {
      if (box.checked) picked.add(trace.id);
      else picked.delete(trace.id);
      compare.disabled = picked.size !== 2;
    });
    return box;
  }

  // The older of the two ticked traces is A.
  compare.addEventListener("click", () => {
    const chosen = traces.filter((trace) => picked.has(trace.id)).sort((x, y) => x.created - y.created);
    if (chosen.length === 2) {
      location.href = "/compare/" + chosen.map((trace) => encodeURIComponent(trace.id)).join("/");
    }
  });

  // The SQL queries of a trace and their total time; "?" for a trace saved
  // before they were counted.
  function queries(trace) {
    if (trace.sql_count === null || trace.sql_count === undefined) return "?";
    return trace.sql_count ? trace.sql_count + " in " + sarn.duration(trace.sql_time || 0) : "";
  }

  function row(trace) {
    const facts = trace.facts || {};
    const link = el("a", null, trace.what || trace.id);
    link.href = "/trace/" + encodeURIComponent(trace.id);
    const badge = sarn.badge(facts);
    const status = badge ? el("span", badge[1], badge[0]) : el("span", null);
    const tr = el("tr", null,
      el("td", "pick", pick(trace)),
      el("td", "nowrap", sarn.time(trace.created)),
      el("td", "what", link),
      el("td", null, status),
      el("td", "num", sarn.duration(facts.duration)),
      el("td", null, trace.source || ""),
      el("td", "num", trace.frames === null ? "" : String(trace.frames)),
      el("td", "num queries", queries(trace)),
      el("td", "num", trace.threads === null ? "" : String(trace.threads)),
      el("td", "num", sarn.size(trace.size)),
      el("td", "mono dim", trace.id));
    tr.dataset.search = [trace.what, trace.source, trace.id, badge ? badge[0] : ""].join(" ").toLowerCase();
    return tr;
  }

  function draw() {
    const needle = filter.value.trim().toLowerCase();
    const rows = traces.map(row).filter((tr) => !needle || tr.dataset.search.includes(needle));
    body.replaceChildren(...rows);
    document.getElementById("empty").hidden = traces.length > 0;
    document.getElementById("count").textContent = rows.length + " of " + traces.length + " traces";
  }

  async function load() {
    try {
      const answer = await sarn.getJSON("/api/traces");
      document.getElementById("db").textContent = answer.db;
      traces = answer.traces;
      const known = new Set(traces.map((trace) => trace.id));
      for (const id of [...picked]) if (!known.has(id)) picked.delete(id);
      compare.disabled = picked.size !== 2;
      document.getElementById("error").hidden = true;
      draw();
    } catch (error) {
      sarn.showError(error);
    }
  }

  filter.addEventListener("input", draw);
  setInterval(() => {
    if (live.checked && !document.hidden) load();
  }, 3000);
  load();
})();
