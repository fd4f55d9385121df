"use strict";

// The line's page: the totals, a filter and an element per device, changed in place with every
// snapshot, so a round of a large line costs only the devices whose look changed. A line that
// fits a 1080p screen as tiles gets tiles (counters, failing items and ports, the download's
// progress); a larger one a compact grid of cells, colour and serial, with the rest in each
// cell's tooltip and on the device page a click away.
const dashboard = (() => {
  const { el } = ovik;
  const TILE_LIMIT = 32;
  const TOTALS = [
    ["devices", "devices"], ["running", "running"], ["downloading", "downloading"],
    ["clean", "clean"], ["failing", "failing"], ["stopped", "stopped"], ["passed", "passed"],
  ];
  const FILTERS = ["failing", "stopped", "downloading"];
  const grid = document.getElementById("tiles");
  const shown = new Map();  // device key -> {node, look}
  let order = "";
  let tiles = null;

  function chips(label, list) {
    const row = el("div", "fails");
    row.dataset.kind = label;
    row.append(el("span", "label", label));
    for (const text of list) row.append(el("span", "chip", text));
    return row;
  }

  // A row of chips that does not fit its lines ends in one that says how many more there are,
  // so a tile keeps its size however much failed.
  function fit(row) {
    const chips = [...row.querySelectorAll(".chip")];
    const more = el("span", "chip more");
    const overflows = () => row.lastElementChild.getBoundingClientRect().bottom >
                            row.getBoundingClientRect().bottom + 0.5;
    let hidden = 0;
    while (overflows() && chips.length > 1) {
      chips.pop().remove();
      more.textContent = `+${++hidden}`;
      row.append(more);
    }
  }

  function progress(percent) {
    const box = el("div", "progress");
    const fill = el("div", "fill");
    fill.style.width = `${Math.min(100, percent)}%`;
    box.append(fill, el("span", "text", `firmware ${percent} %`));
    return box;
  }

  function tileParts(d) {
    const head = el("div", "head");
    head.append(el("span", "serial", d.serial ?? "?"), el("span", "state", d.state));
    const counts = el("div", "counts");
    for (const [label, value] of [["cycles", d.cycles], ["burn time", d.burn]]) {
      const box = el("div");
      box.append(el("span", "label", label), el("span", "value", value ?? "-"));
      counts.append(box);
    }
    const parts = [head, el("div", "address", d.address), counts];
    const items = d.items.filter((i) => i.fail > 0).map((i) => `${i.name} ×${i.fail}`);
    const ports = d.ports.filter((p) => p.fail > 0).map((p) => `${p.port} ×${p.fail}`);
    if (items.length) parts.push(chips("items", items));
    if (ports.length) parts.push(chips("ports", ports));
    if (d.progress !== null) {
      parts.push(progress(d.progress));
    } else if (d.done && d.download !== "not requested") {
      parts.push(el("div", "download", `firmware ${d.download}`));
    }
    if (d.reason && d.health !== "clean") parts.push(el("div", "reason", d.reason));
    return parts;
  }

  function tooltip(d) {
    const lines = [`${d.serial ?? "?"} ${d.state} at ${d.address}`];
    if (d.progress !== null) lines.push(`firmware ${d.progress} %`);
    if (d.failed_items) lines.push(`items ${d.failed_items}`);
    if (d.failed_ports) lines.push(`ports ${d.failed_ports}`);
    if (d.reason && d.health !== "clean") lines.push(d.reason);
    return lines.join("\n");
  }

  // What a device's element shows; the element is rebuilt only when this changes.
  function look(d) {
    return tiles ? JSON.stringify(d) : `${d.health}|${tooltip(d)}`;
  }

  function draw(node, d) {
    node.className = `tile ${d.health}`;
    node.classList.toggle("downloading", d.progress !== null);
    if (d.serial !== null) {
      node.dataset.serial = d.serial;
      // The address tells apart two devices that report one serial number.
      node.href = `/device/${d.serial}#${d.address}`;
    } else {
      delete node.dataset.serial;
      node.removeAttribute("href");
    }
    if (tiles) {
      node.replaceChildren(...tileParts(d));
    } else {
      node.title = tooltip(d);
      node.style.setProperty("--progress", `${d.progress ?? 0}%`);
      node.replaceChildren(el("span", "serial", d.serial ?? "?"));
    }
  }

  // In serial number order, whatever order the station found them in; those without one last.
  function bySerial(a, b) {
    return (a.serial ?? Infinity) - (b.serial ?? Infinity) || (a.key < b.key ? -1 : 1);
  }

  function drawDevices(list) {
    const devices = [...list].sort(bySerial);
    const wantTiles = devices.length <= TILE_LIMIT;
    if (wantTiles !== tiles) {
      tiles = wantTiles;
      grid.classList.toggle("cells", !tiles);
      shown.clear();
      order = null;
    }
    const keys = devices.map((d) => d.key);
    const seen = new Set(keys);
    const drawn = [];
    for (const key of shown.keys()) if (!seen.has(key)) shown.delete(key);
    for (const d of devices) {
      let entry = shown.get(d.key);
      if (!entry) {
        entry = { node: el("a"), look: null };
        entry.node.dataset.key = d.key;
        shown.set(d.key, entry);
      }
      const now = look(d);
      if (now !== entry.look) {
        entry.look = now;
        draw(entry.node, d);
        drawn.push(entry.node);
      }
    }
    const newOrder = keys.join("\n");
    if (newOrder !== order) {
      order = newOrder;
      grid.replaceChildren(...keys.map((key) => shown.get(key).node));
    }
    // Chips are measured where they show.
    if (tiles) for (const node of drawn) node.querySelectorAll(".fails").forEach(fit);
  }

  const totals = new Map(TOTALS.map(([key, label]) => {
    const filter = FILTERS.includes(key);
    const box = el(filter ? "button" : "div", `total ${key}`);
    box.dataset.total = key;
    if (filter) box.title = `show the ${label} devices alone; again for all`;
    box.append(el("span", "n"), el("span", "label", label));
    document.getElementById("totals").append(box);
    return [key, box];
  }));

  // The failing, stopped or downloading devices alone: their totals are the filter's buttons,
  // and the address keeps the choice (/#failing) for a screen that reloads the page.
  function filterBy(kind) {
    if (kind) grid.dataset.filter = kind; else delete grid.dataset.filter;
    for (const key of FILTERS) totals.get(key).setAttribute("aria-pressed", String(key === kind));
    history.replaceState(null, "", kind ? `#${kind}` : window.location.pathname);
  }
  for (const key of FILTERS) {
    totals.get(key).addEventListener("click", () => {
      filterBy(grid.dataset.filter === key ? "" : key);
    });
  }
  const asked = window.location.hash.slice(1);
  filterBy(FILTERS.includes(asked) ? asked : "");

  function render(line) {
    ovik.header(line);
    const plan = line.plan;
    document.getElementById("plan").textContent = plan
      ? `duration ${ovik.burnText(Math.round(plan.duration_ms / 1000))} · firmware ${plan.firmware}` +
        (plan.stop_all_on_fail ? " · stop all on fail" : "")
      : "";
    for (const [key, box] of totals) {
      box.classList.toggle("zero", line.totals[key] === 0);
      box.querySelector(".n").textContent = line.totals[key];
    }
    drawDevices(line.devices);
    const empty = document.getElementById("empty");
    empty.hidden = line.devices.length > 0;
    empty.textContent = line.state === "records"
      ? "No run on this station: look a device up by its serial number."
      : "Waiting for agents.";
  }

  document.getElementById("lookup").addEventListener("submit", (event) => {
    event.preventDefault();
    const serial = document.getElementById("lookup-serial").value.trim();
    if (/^\d+$/.test(serial)) window.location.href = `/device/${serial}`;
  });
  ovik.follow(render);
  return { render };
})();
