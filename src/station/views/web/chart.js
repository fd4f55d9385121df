"use strict";

// Small SVG charts for the plant page: bars with a value each, and a Pareto chart (bars sorted
// by count, most first, with the cumulative share as a line over them on a 0-100 % axis).
// Each chart fills the width of its box at a fixed height and is drawn anew with new data.
const ovikChart = (() => {
  const NS = "http://www.w3.org/2000/svg";
  const HEIGHT = 260;
  const PAD = { top: 18, right: 46, bottom: 54, left: 46 };

  function node(tag, attrs, text) {
    const e = document.createElementNS(NS, tag);
    for (const [key, value] of Object.entries(attrs || {})) e.setAttribute(key, value);
    if (text !== undefined) e.textContent = String(text);
    return e;
  }

  function frame(box) {
    const width = Math.max(box.clientWidth, 240);
    const svg = node("svg", { viewBox: `0 0 ${width} ${HEIGHT}`, width, height: HEIGHT,
                              class: "chart", role: "img" });
    const plot = { x: PAD.left, y: PAD.top, w: width - PAD.left - PAD.right,
                   h: HEIGHT - PAD.top - PAD.bottom };
    svg.append(node("line", { x1: plot.x, y1: plot.y + plot.h, x2: plot.x + plot.w,
                              y2: plot.y + plot.h, class: "axis" }));
    return { svg, plot };
  }

  // A left (or right) axis from 0 to max with ticks at quarters.
  function axis(svg, plot, max, side, format) {
    for (let i = 0; i <= 4; i++) {
      const y = plot.y + plot.h - (plot.h * i) / 4;
      const x = side === "left" ? plot.x - 6 : plot.x + plot.w + 6;
      if (side === "left") {
        svg.append(node("line", { x1: plot.x, y1: y, x2: plot.x + plot.w, y2: y, class: "grid" }));
      }
      svg.append(node("text", { x, y: y + 4, class: `tick ${side}` }, format((max * i) / 4)));
    }
  }

  function empty(box, text) {
    box.replaceChildren(Object.assign(document.createElement("p"),
                                      { className: "note", textContent: text }));
  }

  // bars: [{label, value, text, sub, cls}], values from 0 to max; sub a second line under the
  // label.
  function drawBars(box, bars, max, format, emptyText) {
    if (!bars.length) return empty(box, emptyText);
    const { svg, plot } = frame(box);
    axis(svg, plot, max, "left", format);
    const step = plot.w / bars.length;
    const width = Math.min(step * 0.7, 90);
    bars.forEach((bar, i) => {
      const h = max > 0 ? (plot.h * bar.value) / max : 0;
      const x = plot.x + step * i + (step - width) / 2;
      const g = node("g", { class: `bar ${bar.cls || ""}`, "data-name": bar.label,
                            "data-value": bar.value });
      g.append(node("rect", { x, y: plot.y + plot.h - h, width, height: h }),
               node("text", { x: x + width / 2, y: plot.y + plot.h - h - 5, class: "value" },
                    bar.text),
               node("text", { x: x + width / 2, y: plot.y + plot.h + 18, class: "label" },
                    bar.label));
      if (bar.sub) {
        g.append(node("text", { x: x + width / 2, y: plot.y + plot.h + 34, class: "sub" },
                      bar.sub));
      }
      g.append(node("title", {}, `${bar.label}: ${bar.text}${bar.sub ? ` (${bar.sub})` : ""}`));
      svg.append(g);
    });
    box.replaceChildren(svg);
    return svg;
  }

  // The yield of each group: passed / devices as a percentage.
  function yieldBars(box, groups, emptyText) {
    return drawBars(box, groups.map((g) => {
      const pct = g.devices ? (100 * g.passed) / g.devices : 0;
      return { label: g.station, value: pct, cls: pct >= 95 ? "good" : pct >= 80 ? "fair" : "poor",
               text: `${pct.toFixed(1)} %`, sub: `${g.passed} of ${g.devices}` };
    }), 100, (v) => `${v} %`, emptyText);
  }

  // bars: [{name, failures}], most first; at most limit bars, the rest as one "others" bar.
  function pareto(box, bars, limit, emptyText) {
    let shown = bars.slice(0, limit);
    const rest = bars.slice(limit).reduce((n, b) => n + b.failures, 0);
    if (rest > 0) shown = shown.concat([{ name: "others", failures: rest }]);
    const total = shown.reduce((n, b) => n + b.failures, 0);
    // Counts on the left axis: its top a multiple of four, so every tick is a whole number.
    const max = 4 * Math.ceil(Math.max(1, ...shown.map((b) => b.failures)) / 4);
    const svg = drawBars(box, shown.map((b) => ({ label: b.name, value: b.failures,
                                                  text: b.failures, cls: "fail" })),
                         max, (v) => v, emptyText);
    if (!svg) return;
    const plot = { x: PAD.left, y: PAD.top, w: svg.viewBox.baseVal.width - PAD.left - PAD.right,
                   h: HEIGHT - PAD.top - PAD.bottom };
    axis(svg, plot, 100, "right", (v) => `${v} %`);
    const step = plot.w / shown.length;
    let sum = 0;
    const points = shown.map((b, i) => {
      sum += b.failures;
      const share = (100 * sum) / total;
      return [plot.x + step * (i + 0.5), plot.y + plot.h - (plot.h * share) / 100, share];
    });
    svg.append(node("polyline", { points: points.map((p) => `${p[0]},${p[1]}`).join(" "),
                                  class: "cumulative" }));
    for (const [x, y, share] of points) {
      const dot = node("circle", { cx: x, cy: y, r: 4, class: "cumulative",
                                   "data-share": share.toFixed(1) });
      dot.append(node("title", {}, `cumulative ${share.toFixed(1)} %`));
      svg.append(dot);
    }
  }

  return { yieldBars, pareto };
})();
