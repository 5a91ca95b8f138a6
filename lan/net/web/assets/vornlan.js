// The page's live parts: the clients and the traffic as the server streams them, and the console.
// Everything received is put on the page as text (textContent), never parsed as markup.
"use strict";

const MAX_ROWS = 300;
const token = document.querySelector('meta[name="vorn-token"]').content;
const $ = (id) => document.getElementById(id);

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

function clock(millis) {
  const t = new Date(millis);
  return t.toLocaleTimeString([], { hour12: false }) + "." + String(t.getMilliseconds()).padStart(3, "0");
}

function unitList(units) {
  const list = element("ul", undefined, "units");
  for (const u of units) {
    let text = u.unit + ": " + u.outcome;
    if (u.detail && u.outcome !== "sent" && u.outcome !== "answered") text += " " + u.detail;
    list.append(element("li", text, "outcome-" + u.outcome));
  }
  return list;
}

// Clients
const LOCK_TEXT = { exclusive: "holds the lock", shared: "shares the lock" };
function showClients(clients) {
  const body = $("clients").tBodies[0];
  body.replaceChildren();
  for (const c of clients) {
    const row = body.insertRow();
    row.append(element("td", c.client, "code"), element("td", c.transport),
               element("td", new Date(c.since).toLocaleString()), element("td", LOCK_TEXT[c.lock] ?? ""));
  }
  $("no-clients").hidden = clients.length > 0;
}

// Live view
const filter = $("filter");
const known = new Set();
let paused = false;
let held = [];

function rowLabel(entry) {
  return entry.client + " (" + entry.transport + ")";
}

function applyFilter(row) {
  row.hidden = filter.value !== "" && row.dataset.client !== filter.value;
}

function addEntry(entry) {
  const label = rowLabel(entry);
  if (!known.has(label)) {
    known.add(label);
    filter.append(new Option(label, label));
  }
  const row = document.createElement("tr");
  row.dataset.client = label;
  row.className = "fresh";
  const units = element("td");
  units.append(unitList(entry.units));
  row.append(element("td", clock(entry.time)), element("td", label, "code"), element("td", entry.message, "code"),
             units, element("td", entry.response, "code"));
  applyFilter(row);
  const body = $("traffic").tBodies[0];
  body.prepend(row);
  while (body.rows.length > MAX_ROWS) body.deleteRow(-1);
}

function showHeld() {
  $("held").textContent = held.length ? held.length + " new while paused" : "";
}

filter.addEventListener("change", () => {
  for (const row of $("traffic").tBodies[0].rows) applyFilter(row);
});

$("pause").addEventListener("click", () => {
  paused = !paused;
  $("pause").textContent = paused ? "Resume" : "Pause";
  $("pause").setAttribute("aria-pressed", String(paused));
  if (!paused) {
    for (const entry of held) addEntry(entry);
    held = [];
  }
  showHeld();
});

const stream = new EventSource("/events");
stream.addEventListener("open", () => { $("stream-state").textContent = "live"; });
stream.addEventListener("error", () => { $("stream-state").textContent = "reconnecting…"; });
stream.addEventListener("clients", (event) => showClients(JSON.parse(event.data)));
stream.addEventListener("traffic", (event) => {
  const entry = JSON.parse(event.data);
  if (paused) {
    held.push(entry);
    if (held.length > MAX_ROWS) held.shift();
    showHeld();
  } else {
    addEntry(entry);
  }
});

// Console
$("console").addEventListener("submit", async (event) => {
  event.preventDefault();
  const message = $("command").value;
  const response = $("console-response");
  const units = $("console-units");
  response.className = "";
  units.replaceChildren();
  if (!message.trim()) return;
  $("send").disabled = true;
  try {
    const reply = await fetch("/console", {
      method: "POST",
      headers: { "Content-Type": "text/plain;charset=UTF-8", "X-Vorn-Token": token },
      body: message,
    });
    const result = await reply.json();
    if (!reply.ok) {
      response.textContent = result.error || "refused (" + reply.status + ")";
      response.className = "error";
      return;
    }
    response.textContent = result.response;
    units.replaceWith(unitList(result.units));
    $("console-result").lastElementChild.id = "console-units";
  } catch (failure) {
    response.textContent = "no answer from vornlan: " + failure;
    response.className = "error";
  } finally {
    $("send").disabled = false;
  }
});
