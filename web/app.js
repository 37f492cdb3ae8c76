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

// Who is signed in and what they may do, asked once per sign-in.
let session = null;

function whoAmI() {
  if (!session) {
    session = fetch("/api/v1/session", { credentials: "same-origin" })
      .then((r) => (r.ok ? r.json() : null)).catch(() => null);
  }
  return session;
}

const mayCorrect = (me) => Boolean(me && Array.isArray(me.may) && me.may.includes("correct"));

// What the next view shows above itself: the decision just made.
let flash = null;

// Asks for the reason, then sends the decision. Resolves with the decision
// made, or null when the person cancels; a refusal stays in the dialog.
function decide(title, path, body) {
  const old = document.getElementById("notice");
  if (old) old.remove();
  return new Promise((resolve) => {
    const reason = el("input", { id: "reason", autocomplete: "off", maxLength: 2000 });
    const message = el("p", { class: "error", id: "reason-error", role: "alert" });
    const confirm = el("button", { type: "submit", id: "reason-send" }, "Confirm");
    const cancel = el("button", { type: "button", class: "quiet", id: "reason-cancel" }, "Cancel");
    const form = el("form", {}, el("h2", {}, title), el("label", { htmlFor: "reason" }, "Reason (kept with the decision)"),
      reason, message, el("div", { class: "actions" }, confirm, cancel));
    const dialog = el("dialog", { id: "decide" }, form);
    const close = (made) => {
      dialog.close();
      dialog.remove();
      resolve(made);
    };
    cancel.addEventListener("click", () => close(null));
    dialog.addEventListener("cancel", (e) => {
      e.preventDefault();
      close(null);
    });
    form.addEventListener("submit", async (e) => {
      e.preventDefault();
      const text = reason.value.trim();
      if (!text) {
        message.textContent = "Give a reason: every decision keeps one.";
        reason.focus();
        return;
      }
      confirm.disabled = true;
      message.textContent = "";
      try {
        close(await api(path, { method: "POST", headers: { "Content-Type": "application/json" },
          body: JSON.stringify(Object.assign({}, body, { reason: text })) }));
      } catch (err) {
        if (err instanceof SignedOut) close(null);
        else message.textContent = err.message;
      } finally {
        confirm.disabled = false;
      }
    });
    document.body.append(dialog);
    dialog.showModal();
    reason.focus();
  });
}

// After a decision: say what was decided, then show where it left things.
function decided(made, path) {
  if (!made) return;
  flash = made;
  if (path && path !== location.pathname) history.pushState(null, "", path);
  route();
}

function showSignIn() {
  session = null;
  document.getElementById("signin").hidden = false;
  document.getElementById("nav").hidden = true;
  view().replaceChildren();
  document.getElementById("name").focus();
}

// Who is signed in, beside the navigation.
async function showWho() {
  const me = await whoAmI();
  document.getElementById("who").textContent = me ? me.who + " (" + me.role + ")" : "";
}

function machineLink(id) {
  return id === null || id === undefined ? "none" : el("a", { href: "/machines/" + Number(id) }, "machine " + id);
}

function machineLinks(ids) {
  return ids.flatMap((id, i) => (i ? [", ", machineLink(id)] : [machineLink(id)]));
}

function labelChips(labels) {
  return Object.entries(labels || {}).map(([name, value]) => el("span", { class: "label" }, name + "=" + value));
}

// Where a merge or a split leaves the reports: the lowest id names the
// machine they form.
function formedBy(d) {
  if (d.formed !== undefined && d.formed !== null) return d.formed;
  if (d.action === "merge") return Math.min(d.machine, ...d.others);
  if (d.action === "split") return Math.min(...d.records);
  return d.machine;
}

// A decision in words, machines as links.
function decisionWhat(d) {
  const records = (d.records || []).join(", ");
  switch (d.action) {
    case "merge":
      return [...machineLinks(d.others), " joined ", machineLink(d.machine), " (now ", machineLink(formedBy(d)), ")"];
    case "split":
      return ["record(s) " + records + " left ", machineLink(d.machine), " as ", machineLink(formedBy(d))];
    case "void":
      return ["record " + records + " of ", machineLink(d.machine), " set aside"];
    case "label":
      return [[...Object.entries(d.set || {}).map(([k, v]) => "set " + k + "=" + v),
        ...(d.remove || []).map((k) => "removed " + k)].join(", ") + " on ", machineLink(d.machine)];
    case "undo":
      return ["undid decision " + d.undoes];
    default:
      return [String(d.action)];
  }
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
    ["Machine", "Names", "Labels|hide-narrow", "BIOS serial|hide-narrow", "Address|hide-narrow", "Reports",
      "Last report|hide-narrow", ""],
    (m) => el("tr", {},
      el("td", {}, machineLink(m.machine)),
      el("td", {}, m.names.join(", ")),
      el("td", { class: "hide-narrow" }, ...labelChips(m.labels)),
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

// A decision among a machine's reports.
function decisionItem(d) {
  return el("li", { class: "decision" },
    el("div", { class: "when" }, d.when, " \u2014 decision " + d.decision + " (" + d.action + ") by " + d.who),
    el("div", {}, ...decisionWhat(d)),
    el("div", { class: "muted" }, "Reason: " + d.reason));
}

// Merge: the server finds the other machine; this one and it become one.
function mergeBox(m) {
  const search = el("input", { type: "search", id: "merge-search", placeholder: "Serial, address or name" });
  const found = el("ul", { class: "picks", id: "merge-results" });
  let timer = 0, pending = null;
  const look = async () => {
    const q = search.value.trim();
    if (pending) pending.abort();
    if (!q) {
      found.replaceChildren();
      return;
    }
    const mine = (pending = new AbortController());
    try {
      const page = await apiPage("/api/v1/machines?limit=10&q=" + encodeURIComponent(q), mine.signal);
      if (mine !== pending) return;
      const others = page.items.filter((o) => o.machine !== m.machine);
      found.replaceChildren(...others.map((o) => {
        const merge = el("button", { type: "button", class: "merge" }, "Merge with this one");
        merge.addEventListener("click", () => decide("Merge machine " + o.machine + " and machine " + m.machine,
          "/api/v1/machines/" + m.machine + "/merge", { others: [o.machine] })
          .then((made) => made && decided(made, "/machines/" + formedBy(made))));
        return el("li", {}, machineLink(o.machine), " ", o.names.join(", "),
          el("span", { class: "muted" }, " \u2014 " + o.records.length + " report(s) "), merge);
      }));
      if (!others.length) found.append(el("li", { class: "muted" }, "No other machine matches."));
    } catch (e) {
      if (e.name !== "AbortError" && !(e instanceof SignedOut)) {
        found.replaceChildren(el("li", { class: "error" }, e.message));
      }
    }
  };
  search.addEventListener("input", () => {
    clearTimeout(timer);
    timer = setTimeout(() => { if (search.isConnected) look(); }, 150);
  });
  return el("div", { class: "card", id: "merge" },
    el("label", { htmlFor: "merge-search" }, "Merge with another machine: find it "), search, found);
}

// Labels: set one (a name already there takes the new value) or remove one.
function labelBox(m, correct) {
  const chips = Object.entries(m.labels || {}).map(([name, value]) => {
    const chip = el("span", { class: "label" }, name + "=" + value);
    if (correct) {
      const remove = el("button", { type: "button", class: "unlabel", title: "Remove " + name,
        ariaLabel: "Remove label " + name }, "\u00d7");
      remove.addEventListener("click", () => decide("Remove label " + name + " from machine " + m.machine,
        "/api/v1/machines/" + m.machine + "/labels", { remove: [name] }).then((made) => decided(made)));
      chip.append(remove);
    }
    return chip;
  });
  const shown = el("span", { id: "machine-labels" }, ...(chips.length ? chips : ["none"]));
  if (!correct) return el("div", {}, "Labels: ", shown);
  const name = el("input", { id: "label-name", placeholder: "name", autocomplete: "off", maxLength: 100 });
  const value = el("input", { id: "label-value", placeholder: "value", autocomplete: "off", maxLength: 1000 });
  const problem = el("span", { class: "error", role: "alert" });
  const form = el("form", { class: "inline", id: "label-form" }, name, " = ", value,
    el("button", { type: "submit", id: "label-set" }, "Set label"), problem);
  form.addEventListener("submit", (e) => {
    e.preventDefault();
    const key = name.value.trim();
    problem.textContent = key ? "" : "Name the label.";
    if (!key) return;
    decide("Set label " + key + "=" + value.value + " on machine " + m.machine,
      "/api/v1/machines/" + m.machine + "/labels", { set: { [key]: value.value } }).then((made) => decided(made));
  });
  return el("div", {}, "Labels: ", shown, form);
}

async function machinePage(id) {
  const [data, me] = await Promise.all([api("/api/v1/machines/" + id), whoAmI()]);
  const correct = mayCorrect(me);
  const m = data.machine;
  const identity = m.identity || {};
  const makers = new Map(((identity.MacAddresses && identity.MacAddresses.addresses) || [])
    .filter((a) => a.maker).map((a) => [a.address, a.maker]));
  const twins = machineLinks(m.twins);
  const timeline = el("ol", { class: "timeline", id: "timeline" });
  const split = el("button", { type: "button", id: "split", disabled: true }, "Split the chosen reports off");
  const chosen = () => Array.from(timeline.querySelectorAll("input.pick:checked")).map((c) => Number(c.value));
  const report = (h) => {
    const head = el("div", { class: "when" }, h.received, " \u2014 record " + h.record + " (" + h.match + ")");
    if (correct) {
      const pick = el("input", { type: "checkbox", class: "pick", value: String(h.record),
        ariaLabel: "Choose record " + h.record });
      pick.addEventListener("change", () => { split.disabled = chosen().length === 0; });
      const voided = el("button", { type: "button", class: "void quiet" }, "Void");
      voided.addEventListener("click", () => decide("Void record " + h.record + " of machine " + m.machine,
        "/api/v1/records/" + Number(h.record) + "/void", {}).then((made) => decided(made)));
      head.prepend(pick, " ");
      head.append(" ", voided);
    }
    return el("li", { class: "report" }, head,
      el("div", { class: "muted" }, h.file, h.note ? " \u2014 " + h.note : ""),
      h.changes.length ? el("ul", { class: "changes" }, ...h.changes.map((c) => el("li", {}, changeText(c))))
        : el("div", { class: "muted" }, h.match === "new" ? "First seen." : "Nothing changed."));
  };
  const item = (h) => {
    const li = "decision" in h ? decisionItem(h) : report(h);
    if (!("decision" in h)) li.dataset.record = String(h.record);
    return li;
  };
  const pages = paged("history", timeline, timeline, item, "No reports.");
  // The next page starts after the last report (decisions have no record).
  const last = data.history.filter((h) => "record" in h).pop();
  pages.fill(data.history, data.more_history && last
    ? "/api/v1/machines/" + m.machine + "/history?limit=" + PAGE + "&after=" + last.record : null, false);
  split.addEventListener("click", () => {
    const records = chosen();
    decide("Split record(s) " + records.join(", ") + " off machine " + m.machine,
      "/api/v1/machines/" + m.machine + "/split", { records }).then((made) => decided(made));
  });
  return [
    el("h1", { id: "machine-title" }, "Machine " + m.machine, " ", ...flags(m)),
    el("div", { class: "card" },
      el("div", {}, "Names: ", el("span", { id: "machine-names" }, m.names.join(", "))),
      el("div", {}, m.reports + " report(s); first received " + m.first.received + " (record " + m.first.record +
        "), last " + m.last.received + " (record " + m.last.record + ")"),
      el("div", { id: "twins" }, "Clone twins: ", ...(twins.length ? twins : ["none"])),
      labelBox(m, correct)),
    correct ? mergeBox(m) : null,
    el("h2", {}, "Latest report"),
    table(["Field", "Value"], el("tbody", { id: "identity" }, ...Object.entries(identity).map(([field, value]) =>
      el("tr", {}, el("th", {}, field), el("td", {}, ...fieldLines(field, value).map((l) => el("div", {}, l))))))),
    el("h2", {}, "Every value reported"),
    table(["Field", "Value", "First record", "Last record"], el("tbody", { id: "values" }, ...m.values.map((v) =>
      el("tr", {}, el("td", {}, v.field), el("td", {}, v.value, makers.has(v.value) ? "  " + makers.get(v.value) : ""),
        el("td", {}, String(v.first)), el("td", {}, String(v.last)))))),
    el("h2", {}, "History"),
    correct ? el("p", { class: "muted" }, "Tick reports to split them off as a machine of their own: ", split) : null,
    pages.node];
}

// Every decision, oldest first; one not undone can be undone.
async function decisionsPage() {
  const correct = mayCorrect(await whoAmI());
  const shownRows = new Map();
  const stands = (entry) => {
    entry.state.replaceChildren();
    entry.row.classList.remove("undone");
    if (!correct) return;
    const undo = el("button", { type: "button", class: "undo quiet" }, "Undo");
    undo.addEventListener("click", () => decide("Undo decision " + entry.d.decision,
      "/api/v1/decisions/" + Number(entry.d.decision) + "/undo", {}).then((made) => decided(made)));
    entry.state.append(undo);
  };
  const undone = (entry, by) => {
    entry.state.replaceChildren("undone by decision " + by);
    entry.row.classList.add("undone");
  };
  const list = pagedTable("decisions", ["#", "When|hide-narrow", "Who", "What", "Reason", ""], (d) => {
    const state = el("td", { class: "state" });
    const row = el("tr", {}, el("td", {}, String(d.decision)), el("td", { class: "hide-narrow" }, d.when),
      el("td", {}, d.who), el("td", {}, ...decisionWhat(d)), el("td", {}, d.reason), state);
    row.dataset.decision = String(d.decision);
    const entry = { d, row, state };
    shownRows.set(d.decision, entry);
    stands(entry);
    // An undo reverses the one it names; undoing an undo lets the first stand again.
    const target = d.action === "undo" ? shownRows.get(d.undoes) : null;
    if (target) {
      undone(target, d.decision);
      const again = target.d.action === "undo" ? shownRows.get(target.d.undoes) : null;
      if (again) stands(again);
    }
    return row;
  }, "No decisions yet.");
  await list.load("/api/v1/decisions?limit=" + PAGE, false);
  return [el("h1", {}, "Decisions"), list.node];
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
      : path === "/placeholders" ? placeholdersPage() : path === "/rejected" ? rejectedPage()
        : path === "/decisions" ? decisionsPage() : home();
    const nodes = await page;
    if (mine !== navigation) return;
    const made = flash;
    flash = null;
    view().replaceChildren(...(made ? [el("p", { class: "notice", id: "notice", role: "status" },
      "Decision " + made.decision + ": ", ...decisionWhat(made), ".")] : []), ...nodes);
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
  session = null;
  showWho();
  route();
});

document.getElementById("signout").addEventListener("click", async () => {
  await fetch("/api/v1/session", { method: "DELETE", credentials: "same-origin" });
  showSignIn();
});

route();
showWho();
