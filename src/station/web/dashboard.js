"use strict";

// The line's page: the totals and a tile per agent, redrawn with every snapshot.
const dashboard = (() => {
  const { el } = ovik;
  const TOTALS = [
    ["devices", "devices"], ["running", "running"], ["downloading", "downloading"],
    ["clean", "clean"], ["failing", "failing"], ["stopped", "stopped"], ["passed", "passed"],
  ];

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

  function tile(d) {
    const t = el("a", `tile ${d.health}`);
    t.dataset.key = d.key;
    if (d.serial !== null) {
      t.dataset.serial = d.serial;
      t.href = `/device/${d.serial}`;
    }
    const head = el("div", "head");
    head.append(el("span", "serial", d.serial ?? "?"), el("span", "state", d.state));
    t.append(head, el("div", "address", d.address));
    const counts = el("div", "counts");
    for (const [label, value] of [["cycles", d.cycles], ["burn time", d.burn]]) {
      const box = el("div");
      box.append(el("span", "label", label), el("span", "value", value ?? "-"));
      counts.append(box);
    }
    t.append(counts);
    const items = d.items.filter((i) => i.fail > 0).map((i) => `${i.name} ×${i.fail}`);
    const ports = d.ports.filter((p) => p.fail > 0).map((p) => `${p.port} ×${p.fail}`);
    if (items.length) t.append(chips("items", items));
    if (ports.length) t.append(chips("ports", ports));
    if (d.progress !== null) {
      t.append(progress(d.progress));
    } else if (d.done && d.download !== "not requested") {
      t.append(el("div", "download", `firmware ${d.download}`));
    }
    if (d.reason && d.health !== "clean") t.append(el("div", "reason", d.reason));
    return t;
  }

  function render(line) {
    ovik.header(line);
    const plan = line.plan;
    document.getElementById("plan").textContent = plan
      ? `duration ${ovik.burnText(Math.round(plan.duration_ms / 1000))} · firmware ${plan.firmware}` +
        (plan.stop_all_on_fail ? " · stop all on fail" : "")
      : "";
    const totals = document.getElementById("totals");
    totals.replaceChildren(...TOTALS.map(([key, label]) => {
      const box = el("div", `total ${key}`);
      box.dataset.total = key;
      box.classList.toggle("zero", line.totals[key] === 0);
      box.append(el("span", "n", line.totals[key]), el("span", "label", label));
      return box;
    }));
    const tiles = document.getElementById("tiles");
    tiles.replaceChildren(...line.devices.map(tile));
    tiles.querySelectorAll(".fails").forEach(fit);
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
