// Shared helpers of the sarn pages. Recorded values are untrusted: every
// piece of data reaches the page as a text node (el() and textContent),
// never as markup.
"use strict";

const sarn = {
  // An element with a class and children (strings become text nodes).
  el(tag, className, ...children) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(typeof child === "string" ? document.createTextNode(child) : child);
    }
    return node;
  },

  async getJSON(url) {
    const response = await fetch(url, { headers: { Accept: "application/json" } });
    if (!response.ok) {
      throw new Error((await response.text()).trim() || response.status + " " + response.statusText);
    }
    return response.json();
  },

  duration(seconds) {
    if (seconds === null || seconds === undefined) return "";
    if (seconds < 1e-6) return "<1 µs";
    if (seconds < 1e-3) return Math.round(seconds * 1e6) + " µs";
    if (seconds < 1) return (seconds * 1e3).toFixed(2) + " ms";
    return seconds.toFixed(3) + " s";
  },

  size(bytes) {
    if (bytes === null || bytes === undefined) return "";
    const units = ["B", "KB", "MB", "GB"];
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    return unit === 0 ? value + " B" : value.toFixed(1) + " " + units[unit];
  },

  time(seconds) {
    if (typeof seconds !== "number") return "";
    const when = new Date(seconds * 1000);
    const pad = (n) => String(n).padStart(2, "0");
    return when.getFullYear() + "-" + pad(when.getMonth() + 1) + "-" + pad(when.getDate()) + " " +
      pad(when.getHours()) + ":" + pad(when.getMinutes()) + ":" + pad(when.getSeconds());
  },

  // A test's outcome at a glance: passed (or failed as expected), failed, or neither.
  outcomeClass(outcome) {
    if (outcome === "passed" || outcome === "xfailed") return "badge good";
    if (outcome === "failed" || outcome === "error" || outcome === "interrupted") return "badge bad";
    return "badge warn";
  },

  // The badge of a request's status or a test's outcome, or null.
  badge(facts) {
    if (facts.status !== undefined && facts.status !== null) return [String(facts.status), this.statusClass(facts.status)];
    if (typeof facts.outcome === "string") return [facts.outcome, this.outcomeClass(facts.outcome)];
    return null;
  },

  statusClass(status) {
    if (typeof status !== "number") return "badge";
    return "badge " + (status >= 500 ? "bad" : status >= 400 ? "warn" : "good");
  },

  showError(error) {
    const box = document.getElementById("error");
    box.textContent = String(error.message || error);
    box.hidden = false;
  },
};
