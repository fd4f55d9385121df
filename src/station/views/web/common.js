"use strict";

// Shared by the line's page and the device page: element building, the header, and the
// stream of snapshots from the station.
const ovik = (() => {
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }

  function burnText(seconds) {
    const s = Number(seconds);
    const two = (n) => String(n).padStart(2, "0");
    return `${Math.floor(s / 3600)}:${two(Math.floor(s / 60) % 60)}:${two(s % 60)}`;
  }

  const STATES = {
    running: "run in progress",
    finished: "run finished",
    interrupted: "station stopped, runs go on",
    records: "records",
  };

  function header(line) {
    document.getElementById("station").textContent = line.station;
    const state = document.getElementById("state");
    state.textContent = STATES[line.state] || line.state;
    state.className = "badge " + line.state;
  }

  function setLink(text, ok) {
    const link = document.getElementById("link");
    link.textContent = text;
    link.classList.toggle("down", !ok);
  }

  // Calls show with every snapshot; EventSource reconnects by itself after a break.
  function follow(show) {
    let finished = false;
    const source = new EventSource("/api/events");
    source.addEventListener("line", (event) => {
      const line = JSON.parse(event.data);
      finished = line.state !== "running";
      setLink("live", true);
      show(line);
    });
    source.addEventListener("error", () => {
      // Closed for good only when the station turned the page away: too many pages follow it.
      if (source.readyState === EventSource.CLOSED) {
        setLink("too many open pages: close one, then reload", false);
      } else {
        setLink(finished ? "station stopped" : "reconnecting", false);
      }
    });
    return source;
  }

  // The parts of a record the pages show, from a live snapshot or from a stored record.
  function recordView(device) {
    return {
      status: device.status,
      error: device.error,
      cycles: device.cycles,
      burn: device.burn,
      diagsent: device.diagsent,
      diagrecv: device.diagrecv,
      items: device.items,
      ports: device.ports,
    };
  }

  function storedRecordView(record) {
    const ports = Object.entries(record.portfail || {})
      .map(([name, fail]) => ({ port: Number(name.replace("port ", "")), fail }))
      .sort((a, b) => a.port - b.port);
    return {
      status: record.status_name,
      error: record.error,
      cycles: record.cycles,
      burn: burnText(record.burntime),
      diagsent: record.diagsent,
      diagrecv: record.diagrecv,
      items: record.items || [],
      ports,
    };
  }

  return { el, burnText, header, setLink, follow, recordView, storedRecordView };
})();
