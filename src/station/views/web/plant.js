"use strict";

// The plant page: every station that records into these records, its newest run refreshed
// every two seconds, and over the chosen period the yield, the failure Paretos and the retest
// rate, refreshed every thirty.
(() => {
  const { el } = ovik;
  const LIVE_EVERY = 2000;
  const CHARTS_EVERY = 30000;
  const PARETO_BARS = 12;
  // A station with more devices than this shows them as small squares, serials in the tooltip.
  const NAMED_CELLS = 48;
  let period = ["day", "week", "month"].includes(window.location.hash.slice(1))
    ? window.location.hash.slice(1) : "day";

  const get = (path) => fetch(path).then((r) => r.json().then((data) => {
    if (!r.ok) throw new Error(data.error || `HTTP ${r.status}`);
    return data;
  }));
  const pct = (part, all) => (all ? `${((100 * part) / all).toFixed(1)} %` : "-");

  // A device cell: its serial, coloured by where its run stands, a link to its runs.
  function cell(d) {
    const kind = d.verdict === "running" ? "running" : d.passed ? "clean"
      : d.verdict === "failed" ? "failing" : "stopped";
    const a = el("a", `cell ${kind}`, d.serial ?? "?");
    if (d.serial !== null) a.href = `/device/${d.serial}`;
    const fails = [d.failed_items, d.failed_ports && `ports ${d.failed_ports}`].filter(Boolean);
    a.title = `${d.serial ?? "no serial"} at ${d.address}: ${d.verdict}` +
              (fails.length ? ` (${fails.join(", ")})` : "");
    return a;
  }

  function showLive(data) {
    const box = document.getElementById("live");
    const stations = data.stations || [];
    if (!stations.length) {
      box.replaceChildren(el("p", "note", "No station has recorded a run here yet."));
      return;
    }
    box.replaceChildren(...stations.map((s) => {
      const card = el("div", "station-card");
      card.dataset.station = s.station;
      card.dataset.state = s.state;
      const count = (pred) => s.devices.filter(pred).length;
      const head = el("div", "head");
      head.append(el("span", "name", s.station || "(unnamed)"),
                  el("span", `badge ${s.state}`, s.state));
      const facts = el("div", "facts",
                       `run ${s.run}, started ${s.started}` + (s.ended ? `, ended ${s.ended}` : "") +
                       ` · ${s.devices.length} devices: ${count((d) => d.verdict === "running")}` +
                       ` running, ${count((d) => d.passed)} passed,` +
                       ` ${count((d) => d.verdict !== "running" && !d.passed)} not passed` +
                       (s.state === "unattended"
                         ? " · no station drives it: its station was stopped;" +
                           " ovikstation resume takes it back" : ""));
      const cells = el("div", s.devices.length > NAMED_CELLS ? "cells compact" : "cells");
      cells.append(...s.devices.map(cell));
      card.append(head, facts, cells);
      return card;
    }));
  }

  function showCharts([y, p, r]) {
    document.getElementById("range").textContent =
      `${new Date(y.since * 1000).toLocaleString()} – now`;
    ovikChart.yieldBars(document.getElementById("yield"), y.stations || [],
                        "No device run ended in this period.");
    ovikChart.pareto(document.getElementById("pareto-items"), p.items || [], PARETO_BARS,
                     "No test item failed in this period.");
    ovikChart.pareto(document.getElementById("pareto-ports"),
                     (p.ports || []).map((b) => ({ name: `port ${b.name}`, failures: b.failures })),
                     PARETO_BARS, "No serial port failed in this period.");
    const retest = document.getElementById("retest");
    retest.dataset.retested = r.retested ?? 0;
    retest.textContent = r.devices
      ? `Retest rate ${pct(r.retested, r.devices)}: of ${r.devices} devices, ${r.failed}` +
        ` failed a run and ${r.retested} of those passed a later one.`
      : "";
    document.querySelector("#runs tbody").replaceChildren(...(y.runs || []).map((run) => {
      const row = el("tr", run.passed === run.devices ? "clean" : "failing");
      row.append(el("td", null, run.station), el("td", null, run.run),
                 el("td", null, run.started ?? "-"), el("td", null, run.devices),
                 el("td", null, run.passed), el("td", null, pct(run.passed, run.devices)));
      return row;
    }));
  }

  function refreshLive() {
    get("/api/plant/live")
      .then((data) => { showLive(data); ovik.setLink("live", true); })
      .catch((e) => ovik.setLink(`records unreadable: ${e.message}`, false))
      .finally(() => setTimeout(refreshLive, LIVE_EVERY));
  }

  let chartsTimer = null;
  function refreshCharts() {
    clearTimeout(chartsTimer);
    for (const b of document.querySelectorAll("#periods button")) {
      b.setAttribute("aria-pressed", String(b.dataset.period === period));
    }
    Promise.all(["yield", "pareto", "retest"].map((c) => get(`/api/plant/${c}?period=${period}`)))
      .then(showCharts)
      .catch((e) => ovik.setLink(`records unreadable: ${e.message}`, false))
      .finally(() => { chartsTimer = setTimeout(refreshCharts, CHARTS_EVERY); });
  }

  document.getElementById("periods").addEventListener("click", (event) => {
    if (!event.target.dataset.period) return;
    period = event.target.dataset.period;
    window.location.hash = period;
    refreshCharts();
  });
  window.plant = { refreshCharts };
  refreshLive();
  refreshCharts();
})();
