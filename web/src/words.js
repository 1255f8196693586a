// What the page says, from what the bridge and the broker say. Kept apart
// from the page itself so that every wording can be checked without a
// browser.

export const ACTIONS = { pickup: "Pick up", open: "Open", hangup: "Hang up", answer: "Courier mode" };

// A command's result as the bridge gives it on BASE/room/N/command/result:
// accepted, refused with its reason, or not known with its reason.
export function resultText(r) {
  const what = ACTIONS[r.action] || r.action || "Command";
  const who = r.source === "answer" ? " (automatic)" : "";
  if (r.accepted === true) return `${what}${who}: accepted`;
  if (r.accepted === false) return `${what}${who}: refused: ${r.reason || "no reason given"}`;
  return `${what}${who}: not known whether it was done: ${r.reason || "no reason given"}`;
}

// The CONNACK codes a broker refuses a login with: 4 and 5 in MQTT 3.1.1,
// 134 and 135 in MQTT 5.
export function isLoginRefused(code) {
  return code === 4 || code === 5 || code === 134 || code === 135;
}

export const CONNECTION = {
  connecting: "Connecting…",
  checking: (room) => `Connecting: looking for room ${room}…`,
  online: "Online",
  unreachable: "Offline: the broker cannot be reached; trying again",
  login: "Offline: wrong user name or password",
  noRoom: (room, base) =>
    `Offline: no such room: nothing of room ${room} under ${base} reaches this user`,
  signedOut: "Offline: not signed in",
};

function clock(date) {
  return date.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
}

// When, in the resident's own time: the time alone today, the date too
// before.
export function when(iso, now = new Date()) {
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return "";
  if (d.toDateString() === now.toDateString()) return clock(d);
  return `${d.toLocaleDateString([], { day: "numeric", month: "short" })} ${clock(d)}`;
}

const OUTCOMES = {
  opened: "Door opened",
  answered: "Answered",
  rejected: "Rejected",
  missed: "Missed",
  handset: "Taken on the handset",
};

export function outcomeText(call) {
  let text = OUTCOMES[call.outcome] || call.outcome || "Ringing";
  // "by": who sent the first code that ran on the call.
  if (call.by === "answer") text += " automatically";
  else if (call.by === "operator") text += " by the operator";
  return text;
}

// BASE/room/N/answer: {"mode":"open","configured":"manual","calls":1} or
// with "until".
export function answerText(a, now = new Date()) {
  if (!a || !a.mode || a.mode === "manual") return "Calls are answered by hand";
  if (a.mode === "reject") return "Calls are rejected automatically";
  let text = "The door opens automatically";
  if (typeof a.calls === "number") {
    text += a.calls === 1 ? " for the next call" : ` for the next ${a.calls} calls`;
  } else if (a.until) {
    text += ` until ${when(a.until, now)}`;
  }
  return text;
}

// "until HH:MM": the next such moment, today or tomorrow, in UTC as the
// bridge takes it.
export function untilIso(hhmm, now = new Date()) {
  const m = /^(\d{1,2}):(\d{2})$/.exec(hhmm || "");
  if (!m || Number(m[1]) > 23 || Number(m[2]) > 59) return null;
  const t = new Date(now);
  t.setHours(Number(m[1]), Number(m[2]), 0, 0);
  if (t <= now) t.setDate(t.getDate() + 1);
  return t.toISOString().replace(/\.\d{3}Z$/, "Z");
}

// The settings a link carries: everything but the password.
export const LINK_KEYS = ["host", "port", "tls", "base", "room", "user"];

export function settingsToFragment(s) {
  const p = new URLSearchParams();
  for (const k of LINK_KEYS) {
    if (k === "tls") p.set(k, s.tls ? "1" : "0");
    else if (s[k] !== undefined && s[k] !== "") p.set(k, String(s[k]));
  }
  return p.toString();
}

export function settingsFromFragment(fragment) {
  const p = new URLSearchParams(fragment.replace(/^#/, ""));
  const s = {};
  for (const k of LINK_KEYS) if (p.has(k)) s[k] = k === "tls" ? p.get(k) === "1" : p.get(k);
  return Object.keys(s).length ? s : null;
}

// The sign-in form's values, checked; an error names the field.
export function checkSettings(s) {
  if (!s.host || /[\s/]/.test(s.host)) return "Broker host: a name or address, without spaces or slashes";
  const port = Number(s.port);
  if (!Number.isInteger(port) || port < 1 || port > 65535) return "Port: a number from 1 to 65535";
  if (!s.base || /[#+]/.test(s.base) || s.base.endsWith("/")) return "Base topic: e.g. zul/entrance-1, without # or +";
  if (!/^(0|[1-9]\d{0,3})$/.test(String(s.room)) || Number(s.room) > 4095) return "Room: a number from 0 to 4095, without leading zeros";
  if (!s.user) return "User: the household's broker user";
  return null;
}
