"use strict";

// A device's page: its record, live while it is on the line, and its runs in the records.
(() => {
  const { el } = ovik;
  const serial = Number(window.location.pathname.split("/").pop());
  // The dashboard's link names the address too, for two devices that report one serial.
  const address = decodeURIComponent(window.location.hash.slice(1));
  let live = false;
  let runs = [];

  document.getElementById("serial").textContent = serial;
  document.title = `ovikstation ${serial}`;

  function counter(label, value) {
    const box = el("div", "counter");
    box.append(el("span", "label", label), el("span", "value", value ?? "-"));
    return box;
  }

  function showRecord(view, note) {
    document.getElementById("record-note").textContent = note;
    const record = document.getElementById("record");
    const counters = el("div", "counters");
    counters.append(counter("status", view.status), counter("error", view.error),
                    counter("cycles", view.cycles), counter("burn time", view.burn),
                    counter("reports sent", view.diagsent),
                    counter("diagnostics received", view.diagrecv));
    const items = el("table", "items");
    const head = el("tr");
    head.append(el("th", null, "item"), el("th", null, "failures"));
    items.append(head);
    for (const item of view.items) {
      const row = el("tr", item.fail > 0 ? "failing" : "clean");
      row.dataset.item = item.name;
      row.append(el("td", null, item.name), el("td", "count", item.fail));
      items.append(row);
    }
    const ports = el("div", "ports");
    for (const port of view.ports) {
      const box = el("div", `port ${port.fail > 0 ? "failing" : "clean"}`);
      box.dataset.port = port.port;
      box.append(el("span", "label", `port ${port.port}`), el("span", "count", port.fail));
      ports.append(box);
    }
    const parts = [counters];
    parts.push(el("h3", null, "Test items"));
    parts.push(view.items.length ? items : el("p", "note", "no named test items"));
    parts.push(el("h3", null, "Serial ports"));
    parts.push(view.ports.length ? ports : el("p", "note", "no serial ports tested"));
    record.replaceChildren(...parts);
  }

  function showStored(index) {
    const run = runs[index];
    let record = null;
    try {
      record = run.record ? JSON.parse(run.record) : null;
    } catch (e) {
      record = null;
    }
    if (!record) {
      document.getElementById("record-note").textContent =
        `The run that ended ${run.ended} left no readable record.`;
      document.getElementById("record").replaceChildren();
      return;
    }
    const station = run.station || "a station";
    showRecord(ovik.storedRecordView(record), run.ended
      ? `Final record of the run that ended ${run.ended} on ${station}.`
      : `Last recorded state of the run in progress on ${station}.`);
  }

  function cell(text, cls) {
    return el("td", cls, text === null || text === "" ? "-" : text);
  }

  function showRuns(data) {
    const note = document.getElementById("runs-note");
    const body = document.querySelector("#runs tbody");
    if (data.error) {
      note.textContent = data.error;
      body.replaceChildren();
      return;
    }
    runs = data.runs;
    note.textContent = runs.length ? `${runs.length} run${runs.length === 1 ? "" : "s"}, newest first.`
                                   : "No run of this device in the records.";
    body.replaceChildren(...runs.map((run, index) => {
      const row = el("tr", run.passed ? "clean" : "failing");
      const show = el("button", null, "record");
      show.addEventListener("click", () => showStored(index));
      const last = el("td");
      last.append(show);
      row.append(cell(run.ended), cell(run.started), cell(run.station), cell(run.address),
                 cell(run.verdict, "verdict"), cell(run.cycles), cell(run.burn),
                 cell(run.failed_items), cell(run.failed_ports),
                 cell(run.download === "not requested" ? "" : run.download),
                 cell(run.firmware), cell(`${run.duration_ms / 1000} s`), cell(run.reason), last);
      return row;
    }));
    if (!live && runs.length) showStored(0);
  }

  fetch(`/api/device/${serial}`)
    .then((response) => response.json())
    .then(showRuns)
    .catch((e) => { document.getElementById("runs-note").textContent = `No records: ${e}`; });

  ovik.follow((line) => {
    ovik.header(line);
    const device = line.devices.find((d) => d.serial === serial &&
                                                (!address || d.address === address));
    const state = document.getElementById("state");
    if (!device) {
      live = false;
      if (!runs.length) {
        document.getElementById("record-note").textContent = "Not on this station's line now.";
      }
      return;
    }
    live = true;
    state.textContent = device.state;
    state.className = `badge ${device.health}`;
    showRecord(ovik.recordView(device),
               `Live from ${device.address} on this station's line` +
               (device.reason ? `: ${device.reason}` : "."));
  });
})();
