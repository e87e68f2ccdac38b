// The map page: a position typed in the window's notations is read by the service (/locate),
// the answer shown beside a map drawn from the index's outlines (/provinces, /outline). Data is
// only ever put into the page as text (textContent), never as markup.
"use strict";

const $ = (id) => document.getElementById(id);
const canvas = $("map");
const ctx = canvas.getContext("2d");
const METRES_PER_DEGREE = 6371008.8 * Math.PI / 180;

// The view: the centre in WGS-84 degrees and pixels (CSS) per degree of latitude; longitude is
// shrunk by the cosine of the centre's latitude, as on a local map.
const view = { lon: 104.5, lat: 35.5, scale: 12 };
let provinces = null;  // GeoJSON features
let outline = null;    // the answered district and its neighbours
let answer = null;     // the last /locate answer
let seq = 0;           // the latest look-up, so that a slow answer never overwrites a newer one

function kx() { return Math.cos(view.lat * Math.PI / 180); }
function toPixel(lon, lat) {
  return [canvas.clientWidth / 2 + (lon - view.lon) * view.scale * kx(),
          canvas.clientHeight / 2 - (lat - view.lat) * view.scale];
}
function toDegrees(x, y) {
  return [view.lon + (x - canvas.clientWidth / 2) / (view.scale * kx()),
          view.lat - (y - canvas.clientHeight / 2) / view.scale];
}

function tracePath(coordinates, close) {
  coordinates.forEach(([lon, lat], i) => {
    const [x, y] = toPixel(lon, lat);
    if (i === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
  });
  if (close) ctx.closePath();
}
// Every ring of a geometry into the current path (holes cut by the even-odd rule).
function traceGeometry(g) {
  if (g.type === "MultiPolygon") g.coordinates.forEach((p) => p.forEach((r) => tracePath(r, true)));
  else if (g.type === "Polygon") g.coordinates.forEach((r) => tracePath(r, true));
  else if (g.type === "MultiLineString") g.coordinates.forEach((l) => tracePath(l, false));
}

function niceLength(metres) {
  const p = Math.pow(10, Math.floor(Math.log10(metres)));
  for (const m of [5, 2, 1]) if (m * p <= metres) return m * p;
  return p;
}
function drawScaleBar(h) {
  const metresPerPixel = METRES_PER_DEGREE / view.scale;
  const metres = niceLength(metresPerPixel * Math.min(160, canvas.clientWidth / 3));
  const w = metres / metresPerPixel;
  ctx.strokeStyle = "#1d2733";
  ctx.fillStyle = "#1d2733";
  ctx.lineWidth = 2;
  ctx.beginPath();
  ctx.moveTo(12, h - 18); ctx.lineTo(12, h - 12); ctx.lineTo(12 + w, h - 12); ctx.lineTo(12 + w, h - 18);
  ctx.stroke();
  ctx.font = "12px system-ui, sans-serif";
  ctx.fillText(metres >= 1000 ? `${metres / 1000} km` : `${metres} m`, 16, h - 22);
  canvas.dataset.scaleBar = String(metres);
}

function draw() {
  const dpr = window.devicePixelRatio || 1;
  const w = canvas.clientWidth, h = canvas.clientHeight;
  if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(h * dpr)) {
    canvas.width = Math.round(w * dpr);
    canvas.height = Math.round(h * dpr);
  }
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  ctx.clearRect(0, 0, w, h);
  ctx.lineJoin = "round";
  if (provinces) {
    ctx.strokeStyle = "#8a9bb0";
    ctx.lineWidth = 1;
    for (const f of provinces) { ctx.beginPath(); traceGeometry(f.geometry); ctx.stroke(); }
  }
  if (outline) {
    for (const f of outline) {
      const own = f.properties.role === "district";
      ctx.beginPath();
      traceGeometry(f.geometry);
      ctx.fillStyle = own ? "rgba(214, 96, 36, 0.35)" : "rgba(120, 150, 180, 0.15)";
      ctx.fill("evenodd");
      ctx.strokeStyle = own ? "#c0461a" : "#6f8aa6";
      ctx.lineWidth = own ? 2 : 1;
      ctx.stroke();
    }
    ctx.fillStyle = "#3d4f63";
    ctx.font = "12px system-ui, sans-serif";
    for (const f of outline) {
      if (f.properties.role !== "neighbour" || !f.bbox) continue;
      const [x, y] = toPixel((f.bbox[0] + f.bbox[2]) / 2, (f.bbox[1] + f.bbox[3]) / 2);
      ctx.fillText(f.properties.name, x - 14, y);
    }
  }
  if (answer && answer.positions) {
    const [x, y] = toPixel(...answer.positions.wgs84);
    if (answer.nearest) {
      const [nx, ny] = toPixel(...answer.nearest);
      ctx.strokeStyle = "#b3261e";
      ctx.lineWidth = 1.5;
      ctx.setLineDash([5, 4]);
      ctx.beginPath(); ctx.moveTo(x, y); ctx.lineTo(nx, ny); ctx.stroke();
      ctx.setLineDash([]);
      ctx.fillStyle = "#b3261e";
      ctx.fillText(`${(answer.distance_m / 1000).toFixed(1)} km`, (x + nx) / 2 + 6, (y + ny) / 2);
    }
    ctx.fillStyle = "#1565c0";
    ctx.strokeStyle = "#ffffff";
    ctx.lineWidth = 2;
    ctx.beginPath(); ctx.arc(x, y, 5, 0, 2 * Math.PI); ctx.fill(); ctx.stroke();
  }
  drawScaleBar(h);
  canvas.dataset.view = [view.lon, view.lat, view.scale].join(",");
}

async function getJson(url) {
  const r = await fetch(url, { headers: { Accept: "application/json" } });
  const body = await r.json();
  if (!r.ok) throw new Error(body.error && body.error.message ? body.error.message : `HTTP ${r.status}`);
  return body;
}

function withBoxes(features) {
  for (const f of features) {
    let b = [Infinity, Infinity, -Infinity, -Infinity];
    const walk = (c) => {
      if (typeof c[0] === "number") b = [Math.min(b[0], c[0]), Math.min(b[1], c[1]), Math.max(b[2], c[0]), Math.max(b[3], c[1])];
      else c.forEach(walk);
    };
    walk(f.geometry.coordinates);
    f.bbox = b;
  }
  return features;
}

const fields = ["province", "prefecture", "district", "code", "distance", "wgs84", "gcj02", "bd09"];
function show(a) {
  for (const id of fields) $(id).textContent = "";
  $("refusal").hidden = $("reason").hidden = true;
  if (a.refusal) {
    $("refusal").textContent = a.refusal;
    $("reason").textContent = a.reason;
    $("refusal").hidden = $("reason").hidden = false;
    return;
  }
  for (const c of ["wgs84", "gcj02", "bd09"]) $(c).textContent = a.positions[c].map((v) => v.toFixed(7)).join(", ");
  if (a.match === "none") { $("district").textContent = "(附近无区县)"; return; }
  $("province").textContent = a.province;
  $("prefecture").textContent = a.prefecture || "—";
  $("district").textContent = a.district || "—";
  $("code").textContent = a.code || "—";
  $("distance").textContent = a.match === "near" ? `在区界外 ${a.distance_m} m` : "在区内";
}

function splitPosition(text) { return text.trim().split(/[\s,，]+/).filter((s) => s); }

async function lookUp(text, crs, recenter) {
  const mine = ++seq;
  canvas.dataset.state = "loading";
  try {
    const a = await getJson(`/locate?pos=${encodeURIComponent(text)}&coordtype=${encodeURIComponent(crs)}`);
    if (mine !== seq) return;
    answer = a;
    show(a);
    if (a.refusal) { canvas.dataset.state = "refused"; draw(); return; }
    const parts = splitPosition(text);
    history.replaceState(null, "", `#${parts.map(encodeURIComponent).join(",")},${crs}`);
    outline = null;
    canvas.dataset.outlineCode = "";
    canvas.dataset.outlineVertices = "0";
    if (a.code) {
      const o = await getJson(`/outline?code=${a.code}&neighbours=1&tolerance=0.0005`);
      if (mine !== seq) return;
      outline = withBoxes(o.features);
      const own = outline.find((f) => f.properties.role === "district");
      canvas.dataset.outlineCode = own.properties.code;
      canvas.dataset.outlineVertices = String(own.properties.vertices);
      canvas.dataset.neighbours = String(outline.length - 1);
      if (recenter) fit(own.bbox, a.positions.wgs84);
    } else if (recenter) {
      [view.lon, view.lat] = a.positions.wgs84;
    }
    canvas.dataset.state = "done";
    canvas.dataset.district = a.district || "";
    draw();
  } catch (e) {
    if (mine !== seq) return;
    canvas.dataset.state = "error";
    $("refusal").textContent = `查询失败: ${e.message}`;
    $("refusal").hidden = false;
  }
}

// Centres the view on the district's box (and the point, where it lies outside).
function fit(b, point) {
  const box = [Math.min(b[0], point[0]), Math.min(b[1], point[1]), Math.max(b[2], point[0]), Math.max(b[3], point[1])];
  view.lon = (box[0] + box[2]) / 2;
  view.lat = (box[1] + box[3]) / 2;
  const w = (box[2] - box[0]) * kx() || 0.01, h = box[3] - box[1] || 0.01;
  view.scale = Math.min(canvas.clientWidth / w, canvas.clientHeight / h) * 0.6;
}

function submit() { lookUp($("pos").value, $("crs").value, true); }

// The address holds the position and its system: #113.65735,34.79139167,wgs84.
function fromAddress() {
  const parts = location.hash.slice(1).split(",").map((s) => { try { return decodeURIComponent(s); } catch { return ""; } });
  if (parts.length !== 3 || !["wgs84", "gcj02", "bd09"].includes(parts[2])) return false;
  $("pos").value = `${parts[0]} ${parts[1]}`;
  $("crs").value = parts[2];
  submit();
  return true;
}

$("query").addEventListener("submit", (e) => { e.preventDefault(); submit(); });
for (const b of document.querySelectorAll(".example")) {
  b.addEventListener("click", () => { $("pos").value = b.textContent; $("crs").value = "wgs84"; submit(); });
}
window.addEventListener("hashchange", fromAddress);
window.addEventListener("resize", draw);

// Wheel zooms about the cursor; a drag pans; a press released where it began looks that point up.
canvas.addEventListener("wheel", (e) => {
  e.preventDefault();
  const r = canvas.getBoundingClientRect();
  const [lon, lat] = toDegrees(e.clientX - r.left, e.clientY - r.top);
  view.scale = Math.min(2e6, Math.max(2, view.scale * Math.exp(-e.deltaY * 0.0015)));
  const [lon2, lat2] = toDegrees(e.clientX - r.left, e.clientY - r.top);
  view.lon += lon - lon2;
  view.lat += lat - lat2;
  draw();
}, { passive: false });
let drag = null;
canvas.addEventListener("pointerdown", (e) => {
  drag = { x: e.clientX, y: e.clientY, lon: view.lon, lat: view.lat, moved: false };
  canvas.setPointerCapture(e.pointerId);
});
canvas.addEventListener("pointermove", (e) => {
  if (!drag) return;
  const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
  if (Math.abs(dx) + Math.abs(dy) > 4) drag.moved = true;
  if (!drag.moved) return;
  view.lat = drag.lat + dy / view.scale;
  view.lon = drag.lon - dx / (view.scale * kx());
  draw();
});
canvas.addEventListener("pointerup", (e) => {
  const d = drag;
  drag = null;
  if (!d || d.moved) return;
  const r = canvas.getBoundingClientRect();
  const [lon, lat] = toDegrees(e.clientX - r.left, e.clientY - r.top);
  $("pos").value = `${lon.toFixed(6)} ${lat.toFixed(6)}`;
  $("crs").value = "wgs84";
  lookUp($("pos").value, "wgs84", false);
});

getJson("/provinces?tolerance=0.01").then((p) => {
  provinces = p.features;
  canvas.dataset.provinces = String(provinces.length);
  draw();
}).catch((e) => { canvas.dataset.provinces = "error"; console.warn(e.message); });
if (!fromAddress()) draw();
