"use strict";
// Every value from the registry is hostile: it reaches the page only as text
// nodes (el() below), never as markup.

class SignedOut extends Error {}

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === "class") node.className = value;
    else if (key === "href") node.setAttribute("href", value);
    else node[key] = value;
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

async function api(path, options) {
  const response = await fetch(path, Object.assign({ credentials: "same-origin" }, options));
  if (response.status === 401) {
    showSignIn();
    throw new SignedOut();
  }
  const body = response.status === 204 ? null : await response.json();
  if (!response.ok) throw new Error((body && body.message) || "request failed: " + response.status);
  return body;
}

const view = () => document.getElementById("view");

function showSignIn() {
  document.getElementById("signin").hidden = false;
  document.getElementById("nav").hidden = true;
  view().replaceChildren();
  document.getElementById("token").focus();
}

function machineLink(id) {
  return id === null || id === undefined ? "none" : el("a", { href: "/machines/" + Number(id) }, "machine " + id);
}

function table(headers, rows) {
  // A header "Name|class" gives its column's header that class.
  const head = el("tr", {}, ...headers.map((h) => el("th", { class: h.split("|")[1] || "" }, h.split("|")[0])));
  return el("div", { class: "table" },
    el("table", {}, el("thead", {}, head), el("tbody", {}, ...rows)));
}

// Why a report went where it went, from add's evidence.
function why(outcome) {
  if (outcome.status === "rejected") return "Rejected: " + outcome.reason;
  if (outcome.status === "duplicate") return "The same bytes as record " + outcome.record + ", already stored.";
  const evidence = outcome.evidence || {};
  const weighed = evidence.weighed || [];
  if (outcome.match === "new") {
    return weighed.length === 0 ? "No known machine shares a serial or address: a new machine."
      : "Weighed " + weighed.length + " known machine(s), none close enough: a new machine.";
  }
  const best = weighed.find((w) => w.machine === outcome.machine) || weighed[0];
  let text = outcome.match === "clone" ? "A copy of another machine. " : "";
  if (best && best.components) {
    const matched = Object.entries(best.components).filter(([, v]) => v === "match").map(([k]) => k);
    const conflicts = Object.entries(best.components).filter(([, v]) => v === "conflict").map(([k]) => k);
    text += "Matched " + (matched.join(", ") || "nothing");
    if (conflicts.length) text += "; differs in " + conflicts.join(", ");
    text += ".";
  }
  const changes = evidence.changes || [];
  if (changes.length) text += " Changed: " + changes.map(changeText).join("; ") + ".";
  return text;
}

function changeText(change) {
  if (change.added || change.removed) {
    return change.field + (change.added || []).map((a) => " +" + a).join("") +
      (change.removed || []).map((a) => " -" + a).join("");
  }
  return change.field + " " + change.before + " \u2192 " + change.after;
}

// The drop zone: each file posted as it is (a report or an archive).
function dropZone() {
  const input = el("input", { type: "file", id: "files", multiple: true });
  const zone = el("label", { class: "drop", id: "drop" },
    el("strong", {}, "Drop report files or archives here"),
    el("div", { class: "muted" }, ".rec reports, or .zip / .tar / .tar.gz / .tar.xz archives of them"),
    input);
  const results = el("ul", { class: "results", id: "results" });
  const send = async (files) => {
    for (const file of files) {
      try {
        const outcomes = await api("/api/v1/reports?name=" + encodeURIComponent(file.name),
          { method: "POST", body: file });
        for (const o of outcomes) {
          results.prepend(el("li", { class: "outcome" },
            el("span", { class: "status " + o.status }, o.status), el("span", { class: "file" }, o.file),
            " \u2192 ", machineLink(o.machine), o.match ? " (" + o.match + ")" : "",
            el("div", { class: "why" }, why(o))));
        }
      } catch (e) {
        if (e instanceof SignedOut) return;
        results.prepend(el("li", {}, el("span", { class: "status rejected" }, "failed"), file.name, ": ", e.message));
      }
    }
    refreshMachines();
  };
  input.addEventListener("change", () => send(Array.from(input.files)).then(() => { input.value = ""; }));
  zone.addEventListener("dragover", (e) => { e.preventDefault(); zone.classList.add("over"); });
  zone.addEventListener("dragleave", () => zone.classList.remove("over"));
  zone.addEventListener("drop", (e) => {
    e.preventDefault();
    zone.classList.remove("over");
    send(Array.from(e.dataTransfer.files));
  });
  return [zone, results];
}

let refreshMachines = () => {};

async function home() {
  const search = el("input", { type: "search", id: "search", placeholder: "Serial, address or name" });
  const list = el("div", { id: "machines" });
  const load = async () => {
    const machines = await api("/api/v1/machines?q=" + encodeURIComponent(search.value));
    const rows = machines.map((m) => el("tr", {},
      el("td", {}, machineLink(m.machine)),
      el("td", {}, m.names.join(", ")),
      el("td", {}, String(m.records.length)),
      el("td", { class: "hide-narrow" }, m.last.received),
      el("td", {}, m.clone ? el("span", { class: "flag" }, "clone") : "",
        m.changed ? el("span", { class: "flag" }, "changed") : "")));
    list.replaceChildren(rows.length ? table(["Machine", "Names", "Reports", "Last report|hide-narrow", ""], rows)
      : el("p", { class: "muted" }, search.value ? "No machine matches." : "No machines yet."));
  };
  let timer = 0;
  search.addEventListener("input", () => { clearTimeout(timer); timer = setTimeout(() => load().catch(shown), 200); });
  refreshMachines = () => load().catch(shown);
  await load();
  view().replaceChildren(el("h1", {}, "Reports in"), ...dropZone(),
    el("h2", {}, "Machines"), el("label", { htmlFor: "search", class: "muted" }, "Search "), search, list);
}

async function machinePage(id) {
  const data = await api("/api/v1/machines/" + id);
  const m = data.machine;
  const items = data.history.slice().reverse().map((h) => el("li", {},
    el("div", { class: "when" }, h.received, " \u2014 record " + h.record + " (" + h.match + ")"),
    el("div", { class: "muted" }, h.file, h.note ? " \u2014 " + h.note : ""),
    h.changes.length ? el("ul", { class: "changes" }, ...h.changes.map((c) => el("li", {}, changeText(c))))
      : el("div", { class: "muted" }, h.match === "new" ? "First seen." : "Nothing changed.")));
  view().replaceChildren(
    el("h1", { id: "machine-title" }, "Machine " + m.machine),
    el("div", { class: "card" },
      el("div", {}, "Names: ", el("span", { id: "machine-names" }, m.names.join(", "))),
      el("div", {}, "Reports: " + m.records.length + ", first " + m.first.received + ", last " + m.last.received),
      m.clone ? el("span", { class: "flag" }, "clone") : "", m.changed ? el("span", { class: "flag" }, "changed") : ""),
    el("h2", {}, "History"), el("ol", { class: "timeline", id: "timeline" }, ...items));
}

async function clonesPage() {
  const rows = (await api("/api/v1/clones")).map((c) => el("tr", {},
    el("td", {}, ...c.machines.flatMap((id, i) => (i ? [", ", machineLink(id)] : [machineLink(id)]))),
    el("td", {}, Object.entries(c.shared).map(([k, v]) => k + " " + v).join("; "))));
  view().replaceChildren(el("h1", {}, "Clones"),
    rows.length ? table(["Machines", "Shared"], rows) : el("p", { class: "muted" }, "No clones."));
}

async function placeholdersPage() {
  const rows = (await api("/api/v1/placeholders")).map((p) => el("tr", {},
    el("td", {}, p.field), el("td", {}, p.value), el("td", {}, p.source), el("td", {}, String(p.machines))));
  view().replaceChildren(el("h1", {}, "Placeholders"),
    rows.length ? table(["Field", "Value", "Source", "Machines"], rows) : el("p", { class: "muted" }, "None."));
}

async function rejectedPage() {
  const rows = (await api("/api/v1/rejected")).map((r) => el("tr", {},
    el("td", {}, String(r.record)), el("td", { class: "hide-narrow" }, r.received), el("td", {}, r.file),
    el("td", {}, r.reason)));
  view().replaceChildren(el("h1", {}, "Rejected reports"),
    rows.length ? table(["Record", "Received|hide-narrow", "File", "Reason"], rows) : el("p", { class: "muted" }, "None."));
}

function shown(e) {
  if (e instanceof SignedOut) return;
  view().replaceChildren(el("p", { class: "error", role: "alert" }, e.message));
}

async function route() {
  const path = location.pathname;
  for (const a of document.querySelectorAll("nav a")) {
    a.classList.toggle("current", a.getAttribute("href") === path);
  }
  const machine = /^\/machines\/(\d+)$/.exec(path);
  try {
    if (machine) await machinePage(machine[1]);
    else if (path === "/clones") await clonesPage();
    else if (path === "/placeholders") await placeholdersPage();
    else if (path === "/rejected") await rejectedPage();
    else await home();
    document.getElementById("signin").hidden = true;
    document.getElementById("nav").hidden = false;
  } catch (e) {
    shown(e);
  }
}

document.addEventListener("click", (e) => {
  const a = e.target.closest && e.target.closest("a[href^='/']");
  if (!a || e.ctrlKey || e.metaKey || e.shiftKey || e.button !== 0) return;
  e.preventDefault();
  history.pushState(null, "", a.getAttribute("href"));
  route();
});
window.addEventListener("popstate", route);

document.getElementById("signin").addEventListener("submit", async (e) => {
  e.preventDefault();
  const token = document.getElementById("token");
  const message = document.getElementById("signin-error");
  const response = await fetch("/api/v1/session", { method: "POST", body: token.value.trim(), credentials: "same-origin" });
  if (response.status !== 204) {
    message.textContent = "That token was not accepted.";
    return;
  }
  token.value = "";
  message.textContent = "";
  route();
});

document.getElementById("signout").addEventListener("click", async () => {
  await fetch("/api/v1/session", { method: "DELETE", credentials: "same-origin" });
  showSignIn();
});

route();
