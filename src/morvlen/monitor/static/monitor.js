// The monitor page: draws what the server's snapshots say. Text from the server
// is only ever placed as text (textContent), and the diagram is parsed as SVG
// data, never run.
"use strict";

const COLOURS = { IDLE: "#e8e8e8", RUNNING: "#ffd54f", SUCCESS: "#81c784", FAILURE: "#e57373", SKIPPED: "#b0bec5" };
let selected = new URLSearchParams(location.search).get("tree");
let source = null;
let drawnSvg = null;

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = String(text);
  if (className) node.className = className;
  return node;
}

function row(cells) {
  const tr = document.createElement("tr");
  for (const cell of cells) tr.appendChild(cell instanceof Node ? cell : element("td", cell));
  return tr;
}

function connect() {
  if (source) source.close();
  source = new EventSource("/events" + (selected ? "?tree=" + encodeURIComponent(selected) : ""));
  source.onopen = () => { document.getElementById("connection").textContent = "live"; };
  source.onerror = () => { document.getElementById("connection").textContent = "disconnected, retrying…"; };
  source.onmessage = (event) => show(JSON.parse(event.data));
}

function select(name) {
  selected = name;
  drawnSvg = null;
  history.replaceState(null, "", "?tree=" + encodeURIComponent(name));
  connect();
}

function showTrees(trees) {
  const list = document.getElementById("trees");
  list.replaceChildren();
  for (const tree of trees) {
    const item = element("li", undefined, tree.name === selected ? "selected" : "");
    item.dataset.tree = tree.name;
    item.appendChild(element("span", tree.name));
    item.appendChild(element("span", tree.status + " #" + tree.tick_count, "status " + tree.status));
    item.addEventListener("click", () => select(tree.name));
    list.appendChild(item);
  }
  if (!selected && trees.length > 0) select(trees[0].name);
}

function drawDiagram(svgText) {
  if (svgText === drawnSvg) return;
  const parsed = new DOMParser().parseFromString(svgText, "image/svg+xml");
  const svg = parsed.documentElement;
  const box = document.getElementById("diagram");
  box.replaceChildren();
  if (svg.nodeName === "svg") box.appendChild(document.importNode(svg, true));
  drawnSvg = svgText;
}

function colourNodes(nodes) {
  nodes.forEach((node, index) => {
    const group = document.getElementById("node-" + index);
    if (!group) return;
    group.setAttribute("data-status", node.status);
    const rect = group.querySelector("rect");
    if (rect) rect.setAttribute("fill", COLOURS[node.status] || "#fff");
  });
}

function showDetail(detail) {
  const title = document.getElementById("title");
  const nodes = document.querySelector("#nodes tbody");
  const transitions = document.getElementById("transitions");
  const board = document.querySelector("#blackboard tbody");
  if (!detail) {
    title.textContent = selected ? selected + " (not running)" : "No tree selected";
    document.getElementById("diagram").replaceChildren();
    drawnSvg = null;
    for (const part of [nodes, transitions, board]) part.replaceChildren();
    return;
  }
  title.textContent = detail.name + " — " + detail.tree_id + ", " + detail.status + ", tick " + detail.tick_count;
  drawDiagram(detail.svg);
  colourNodes(detail.nodes);
  nodes.replaceChildren(...detail.nodes.map((node) => {
    const s = node.statistics || {};
    return row(["\u00a0".repeat(node.depth * 2) + node.name, element("td", node.status, node.status), s.ticks, s.successes,
                s.failures, s.skips, s.halts, (s.running_total || 0).toFixed(3), s.last_result]);
  }));
  transitions.replaceChildren(...detail.transitions.slice().reverse().map((t) =>
    element("li", new Date(t.time * 1000).toISOString().slice(11, 23) + " #" + t.tick + " " + t.path + ": " +
                  t.from + " → " + t.to)));
  board.replaceChildren(...Object.entries(detail.blackboard).map(([key, value]) => row([key, value])));
}

function show(state) {
  showTrees(state.trees);
  showDetail(state.detail);
}

connect();
