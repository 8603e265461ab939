// The trace page read from a file: the page's own scripts ask for
// /api/traces/ID and /api/traces/ID/nodes/N as under `sarn view`, and this
// answers them from the data written into the file, so that nothing is
// fetched. Links that need the server (the list of traces, the Trace Event
// download) are taken off.
"use strict";

(function () {
  const data = JSON.parse(document.getElementById("sarn-offline-data").textContent);
  const megabytes = Math.round(data.limit / (1024 * 1024));

  function answer(status, body) {
    const text = typeof body === "string" ? body : JSON.stringify(body);
    const type = typeof body === "string" ? "text/plain" : "application/json";
    return Promise.resolve(new Response(text, { status: status, headers: { "Content-Type": type } }));
  }

  window.fetch = function (url) {
    const path = String(url);
    const node = /\/nodes\/(\d+)$/.exec(path);
    if (node) {
      const number = Number(node[1]);
      if (number >= data.details.length) return answer(404, "no such node");
      const details = data.details[number];
      if (details !== null) return answer(200, details);
      return answer(404, "This file leaves out the details of this call: it holds those of the outermost " +
        data.included + " of its " + data.details.length + " entries, as an HTML export holds at most " +
        megabytes + " MB of data. Shared as a trace file (sarn export ID -o trace.sarn), the trace shows " +
        "them all in sarn view.");
    }
    if (/\/api\/traces\/[^/]*$/.test(path)) return answer(200, data.page);
    return answer(404, "not in this file: " + path);
  };

  // Once the page is drawn (it sets the download link's address then), and
  // when the document is parsed, in case it never is drawn.
  function unlink() {
    const download = document.getElementById("download");
    if (download) download.style.display = "none";
    for (const link of document.querySelectorAll("a[href]")) link.removeAttribute("href");
  }
  document.addEventListener("DOMContentLoaded", unlink);
  new MutationObserver((changes, observer) => {
    if (document.body && document.body.dataset.ready) {
      unlink();
      observer.disconnect();
    }
  }).observe(document.documentElement, { attributes: true, subtree: true, attributeFilter: ["data-ready"] });
})();
