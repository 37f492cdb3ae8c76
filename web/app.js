"use strict";
// Every value from the registry is hostile: it reaches the page only as text
// nodes (el() below), never as markup.

class SignedOut extends Error {}

const PAGE = 100;

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

async function send(path, options) {
  const response = await fetch(path, Object.assign({ credentials: "same-origin" }, options));
  if (response.status === 401) {
    showSignIn();
    throw new SignedOut();
  }
  if (!response.ok) {
    const body = await response.json().catch(() => null);
    throw new Error((body && body.message) || "request failed: " + response.status);
  }
  return response;
}

async function api(path, options) {
  const response = await send(path, options);
  return response.status === 204 ? null : response.json();
}

// One page of a listing, and the path of the next while the server has more.
async function apiPage(path, signal) {
  const response = await send(path, { signal });
  const next = /<(\/api\/v1\/[^>]*)>\s*;\s*rel="next"/.exec(response.headers.get("Link") || "");
  return { items: await response.json(), next: next ? next[1] : null };
}

const view = () => document.getElementById("view");

function showSignIn() {
  document.getElementById("signin").hidden = false;
  document.getElementById("nav").hidden = true;
  view().replaceChildren();
  document.getElementById("name").focus();
}

// Who is signed in, beside the navigation.
async function showWho() {
  const response = await fetch("/api/v1/session", { credentials: "same-origin" });
  const me = response.ok ? await response.json() : null;
  document.getElementById("who").textContent = me ? me.who + " (" + me.role + ")" : "";
}

function machineLink(id) {
  return id === null || id === undefined ? "none" : el("a", { href: "/machines/" + Number(id) }, "machine " + id);
}

function flags(m) {
  return [m.clone ? el("span", { class: "flag" }, "clone") : "", m.changed ? el("span", { class: "flag" }, "changed") : ""];
}

// A header "Name|class" gives its column's header that class.
function table(headers, body) {
  const head = el("tr", {}, ...headers.map((h) => el("th", { class: h.split("|")[1] || "" }, h.split("|")[0])));
  return el("div", { class: "table" }, el("table", {}, el("thead", {}, head), body));
}

// A listing shown a page at a time: "More" appends the next. A newer load
// cancels one still on its way, so a stale answer never lands.
function paged(id, list, wrap, itemOf, emptyText) {
  const note = el("p", { class: "muted" });
  const more = el("button", { type: "button", class: "more", hidden: true }, "More");
  const node = el("div", { id }, wrap, note, more);
  let next = null, pending = null, count = 0;
  const fill = (items, nextPath, append, query) => {
    if (!append) {
      list.replaceChildren();
      count = 0;
    }
    list.append(...items.map(itemOf));
    count += items.length;
    next = nextPath;
    wrap.hidden = count === 0;
    more.hidden = !next;
    note.textContent = count === 0 ? (query ? "Nothing matches." : emptyText)
      : count + " shown" + (next ? "; more remain" : "");
    node.dataset.query = query || "";
    node.setAttribute("aria-busy", "false");
  };
  const load = async (path, append, query) => {
    if (pending) pending.abort();
    const mine = (pending = new AbortController());
    node.setAttribute("aria-busy", "true");
    more.disabled = true;
    try {
      const page = await apiPage(path, mine.signal);
      if (mine === pending) fill(page.items, page.next, append, query);
    } catch (e) {
      if (e.name !== "AbortError") throw e;
    } finally {
      if (mine === pending) {
        pending = null;
        more.disabled = false;
      }
    }
  };
  more.addEventListener("click", () => next && load(next, true, node.dataset.query).catch(shown));
  return { node, fill, load };
}

function pagedTable(id, headers, rowOf, emptyText) {
  const body = el("tbody");
  return paged(id, body, table(headers, body), rowOf, emptyText);
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
function dropZone(done) {
  const input = el("input", { type: "file", id: "files", multiple: true });
  const zone = el("label", { class: "drop", id: "drop" },
    el("strong", {}, "Drop report files or archives here"),
    el("div", { class: "muted" }, ".rec reports, or .zip / .tar / .tar.gz / .tar.xz archives of them"),
    input);
  const results = el("ul", { class: "results", id: "results" });
  const post = async (files) => {
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
    done();
  };
  input.addEventListener("change", () => post(Array.from(input.files)).then(() => { input.value = ""; }));
  zone.addEventListener("dragover", (e) => { e.preventDefault(); zone.classList.add("over"); });
  zone.addEventListener("dragleave", () => zone.classList.remove("over"));
  zone.addEventListener("drop", (e) => {
    e.preventDefault();
    zone.classList.remove("over");
    post(Array.from(e.dataTransfer.files));
  });
  return [zone, results];
}

const raw = (identity, field) => (identity && identity[field] ? identity[field].raw : "");

function firstAddress(identity) {
  const all = (identity && identity.MacAddresses && identity.MacAddresses.addresses) || [];
  return all.length ? all[0].address + (all.length > 1 ? " +" + (all.length - 1) : "") : "";
}

// The machine list; the server searches and pages it.
async function home() {
  const search = el("input", { type: "search", id: "search", placeholder: "Serial, address or name" });
  const list = pagedTable("machines",
    ["Machine", "Names", "BIOS serial|hide-narrow", "Address|hide-narrow", "Reports", "Last report|hide-narrow", ""],
    (m) => el("tr", {},
      el("td", {}, machineLink(m.machine)),
      el("td", {}, m.names.join(", ")),
      el("td", { class: "hide-narrow" }, raw(m.identity, "BiosSerial")),
      el("td", { class: "hide-narrow" }, firstAddress(m.identity)),
      el("td", {}, String(m.records.length)),
      el("td", { class: "hide-narrow" }, m.last.received),
      el("td", {}, ...flags(m))),
    "No machines yet.");
  const load = () => {
    const q = search.value.trim();
    return list.load("/api/v1/machines?limit=" + PAGE + (q ? "&q=" + encodeURIComponent(q) : ""), false, q);
  };
  let timer = 0;
  search.addEventListener("input", () => {
    clearTimeout(timer);
    timer = setTimeout(() => { if (search.isConnected) load().catch(shown); }, 150);
  });
  await load();
  return [el("h1", {}, "Reports in"), ...dropZone(() => load().catch(shown)),
    el("h2", {}, "Machines"), el("label", { htmlFor: "search", class: "muted" }, "Search "), search, list.node];
}

// One field of the latest report, as lines of text.
function fieldLines(field, value) {
  const cut = value.cut ? " (cut)" : "";
  if (field === "MacAddresses") {
    const lines = (value.addresses || []).map((a) => ["M" + a.index + " " + a.address, a.maker,
      a.virtual ? "virtual (" + a.virtual + ")" : "", a.local ? "local" : "", a.multicast ? "multicast" : "",
      a.zero ? "zero" : ""].filter(Boolean).join("  "));
    return lines.length ? lines.map((l, i) => l + (i === lines.length - 1 ? cut : "")) : ["none" + cut];
  }
  if (field === "Cpuid") {
    const detail = value.family !== undefined
      ? "family " + value.family + ", model " + value.model + ", stepping " + value.stepping
      : value.absent ? "no signature" : value.candidates + " plausible signatures";
    return [value.raw + cut, detail];
  }
  const state = value.state && value.state !== "value" ? " (" + value.state + ")" : "";
  return [value.raw + state + cut];
}

async function machinePage(id) {
  const data = await api("/api/v1/machines/" + id);
  const m = data.machine;
  const identity = m.identity || {};
  const makers = new Map(((identity.MacAddresses && identity.MacAddresses.addresses) || [])
    .filter((a) => a.maker).map((a) => [a.address, a.maker]));
  const twins = m.twins.flatMap((t, i) => (i ? [", ", machineLink(t)] : [machineLink(t)]));
  const timeline = el("ol", { class: "timeline", id: "timeline" });
  const pages = paged("history", timeline, timeline, (h) => el("li", {},
    el("div", { class: "when" }, h.received, " \u2014 record " + h.record + " (" + h.match + ")"),
    el("div", { class: "muted" }, h.file, h.note ? " \u2014 " + h.note : ""),
    h.changes.length ? el("ul", { class: "changes" }, ...h.changes.map((c) => el("li", {}, changeText(c))))
      : el("div", { class: "muted" }, h.match === "new" ? "First seen." : "Nothing changed.")), "No reports.");
  const last = data.history[data.history.length - 1];
  pages.fill(data.history, data.more_history && last
    ? "/api/v1/machines/" + m.machine + "/history?limit=" + PAGE + "&after=" + last.record : null, false);
  return [
    el("h1", { id: "machine-title" }, "Machine " + m.machine, " ", ...flags(m)),
    el("div", { class: "card" },
      el("div", {}, "Names: ", el("span", { id: "machine-names" }, m.names.join(", "))),
      el("div", {}, m.reports + " report(s); first received " + m.first.received + " (record " + m.first.record +
        "), last " + m.last.received + " (record " + m.last.record + ")"),
      el("div", { id: "twins" }, "Clone twins: ", ...(twins.length ? twins : ["none"]))),
    el("h2", {}, "Latest report"),
    table(["Field", "Value"], el("tbody", { id: "identity" }, ...Object.entries(identity).map(([field, value]) =>
      el("tr", {}, el("th", {}, field), el("td", {}, ...fieldLines(field, value).map((l) => el("div", {}, l))))))),
    el("h2", {}, "Every value reported"),
    table(["Field", "Value", "First record", "Last record"], el("tbody", { id: "values" }, ...m.values.map((v) =>
      el("tr", {}, el("td", {}, v.field), el("td", {}, v.value, makers.has(v.value) ? "  " + makers.get(v.value) : ""),
        el("td", {}, String(v.first)), el("td", {}, String(v.last)))))),
    el("h2", {}, "History"), pages.node];
}

async function listPage(title, path, headers, rowOf) {
  const list = pagedTable("listing", headers, rowOf, "None.");
  await list.load(path + "?limit=" + PAGE, false);
  return [el("h1", {}, title), list.node];
}

const clonesPage = () => listPage("Clones", "/api/v1/clones", ["Machines", "Shared"], (c) => el("tr", {},
  el("td", {}, ...c.machines.flatMap((id, i) => (i ? [", ", machineLink(id)] : [machineLink(id)]))),
  el("td", {}, Object.entries(c.shared).map(([k, v]) => k + " " + v).join("; "))));

const placeholdersPage = () => listPage("Placeholders", "/api/v1/placeholders", ["Field", "Value", "Source", "Machines"],
  (p) => el("tr", {}, el("td", {}, p.field), el("td", {}, p.value), el("td", {}, p.source), el("td", {}, String(p.machines))));

const rejectedPage = () => listPage("Rejected reports", "/api/v1/rejected",
  ["Record", "Received|hide-narrow", "File", "Reason"], (r) => el("tr", {},
    el("td", {}, String(r.record)), el("td", { class: "hide-narrow" }, r.received), el("td", {}, r.file),
    el("td", {}, r.reason)));

function shown(e) {
  if (e instanceof SignedOut) return;
  view().replaceChildren(el("p", { class: "error", role: "alert" }, e.message));
}

// Only the latest navigation shows: one that answers late is dropped.
let navigation = 0;

async function route() {
  const mine = ++navigation;
  const path = location.pathname;
  for (const a of document.querySelectorAll("nav a")) {
    a.classList.toggle("current", a.getAttribute("href") === path);
  }
  const machine = /^\/machines\/(\d+)$/.exec(path);
  try {
    const page = machine ? machinePage(machine[1]) : path === "/clones" ? clonesPage()
      : path === "/placeholders" ? placeholdersPage() : path === "/rejected" ? rejectedPage() : home();
    const nodes = await page;
    if (mine !== navigation) return;
    view().replaceChildren(...nodes);
    document.getElementById("signin").hidden = true;
    document.getElementById("nav").hidden = false;
  } catch (e) {
    if (mine === navigation) shown(e);
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
  const name = document.getElementById("name");
  const password = document.getElementById("password");
  const token = document.getElementById("token");
  const message = document.getElementById("signin-error");
  const person = name.value.trim() !== "";
  const body = person ? JSON.stringify({ name: name.value.trim(), password: password.value }) : token.value.trim();
  const response = await fetch("/api/v1/session", { method: "POST", body, credentials: "same-origin" });
  if (response.status !== 204) {
    const sent = await response.json().catch(() => null);
    message.textContent = response.status === 429 && sent ? sent.message
      : person ? "That name and password were not accepted." : "That token was not accepted.";
    return;
  }
  password.value = "";
  token.value = "";
  message.textContent = "";
  showWho();
  route();
});

document.getElementById("signout").addEventListener("click", async () => {
  await fetch("/api/v1/session", { method: "DELETE", credentials: "same-origin" });
  showSignIn();
});

route();
showWho();
