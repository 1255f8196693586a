// The household's doorbell page: it signs in to the building's broker over
// WebSockets as the household's own user, so the broker's ACL is all that
// keeps it to its own room, and shows that room's calls.
import mqtt from "mqtt/dist/mqtt.esm";
import {
  CONNECTION, answerText, checkSettings, isLoginRefused, outcomeText, resultText,
  settingsFromFragment, settingsToFragment, untilIso, when,
} from "./words.js";

const $ = (id) => document.getElementById(id);
const STORE = "zul-doorbell-settings";
// Without the retained state of its room within this time after the
// subscription, the room is not there for this user.
const ROOM_WAIT_MS = 5000;

let settings = null;
let client = null;
let roomTimer = null;
let call = { state: "idle", call: null };
let nextId = 1;

// ---- connection state, in words

function showConnection(state, text) {
  const el = $("connection");
  el.dataset.state = state;
  el.textContent = text;
}

// ---- settings: local storage unless "do not remember"

function loadSettings() {
  try {
    const s = JSON.parse(localStorage.getItem(STORE) || "null");
    return s && !checkSettings(s) ? s : null;
  } catch {
    return null;
  }
}

function formSettings() {
  return {
    host: $("host").value.trim(),
    port: $("port").value.trim(),
    tls: $("tls").checked,
    base: $("base").value.trim(),
    room: $("room").value.trim(),
    user: $("user").value.trim(),
    password: $("password").value,
    forget: $("forget").checked,
  };
}

function fillForm(s) {
  for (const k of ["host", "port", "base", "room", "user", "password"]) if (s[k] !== undefined) $(k).value = s[k];
  if (s.tls !== undefined) $("tls").checked = !!s.tls;
  if (s.forget !== undefined) $("forget").checked = !!s.forget;
}

function topic(rest) {
  return `${settings.base}/room/${settings.room}/${rest}`;
}

// ---- the screens

function showSignedIn(signedIn) {
  $("signin").hidden = signedIn;
  for (const id of ["courier", "history", "settings"]) $(id).hidden = !signedIn;
  if (!signedIn) {
    $("idle").hidden = true;
    $("call").hidden = true;
    $("ringing").hidden = true;
  }
}

function renderCall() {
  const ringing = call.state === "ringing";
  const inCall = ringing || call.state === "answered";
  const wasRinging = !$("ringing").hidden;
  $("ringing").hidden = !ringing;
  $("call").hidden = !inCall;
  $("idle").hidden = inCall;
  $("call-state").textContent = call.state === "answered" ? "The call is answered" : "";
  if (ringing && !wasRinging) {
    // The moment the ringing showed, for whoever measures it.
    $("ringing").dataset.since = String(Date.now());
    $("ringing").dataset.call = String(call.call ?? "");
    $("ringing-detail").textContent = `Room ${settings.room} · ${when(new Date().toISOString())}`;
    window.scrollTo(0, 0);
    startAlert();
  } else if (!ringing && wasRinging) {
    stopAlert();
  }
  document.title = ringing ? "Ringing · Doorbell" : `Doorbell · room ${settings ? settings.room : ""}`;
}

// ---- sound, vibration, notification

let audio = null;
let alertTimer = null;
let notice = null;

function unlockAudio() {
  try {
    audio = audio || new AudioContext();
    if (audio.state === "suspended") audio.resume();
  } catch {
    audio = null;
  }
  updateNotifyButton();
}

function dingDong() {
  if (!audio || audio.state !== "running") return;
  const t = audio.currentTime;
  [[660, 0], [523, 0.45]].forEach(([freq, at]) => {
    const osc = audio.createOscillator();
    const gain = audio.createGain();
    osc.frequency.value = freq;
    gain.gain.setValueAtTime(0.0001, t + at);
    gain.gain.exponentialRampToValueAtTime(0.5, t + at + 0.02);
    gain.gain.exponentialRampToValueAtTime(0.0001, t + at + 0.8);
    osc.connect(gain).connect(audio.destination);
    osc.start(t + at);
    osc.stop(t + at + 0.85);
  });
}

function ringOnce() {
  dingDong();
  if (navigator.vibrate) navigator.vibrate([400, 200, 400]);
}

async function startAlert() {
  ringOnce();
  clearInterval(alertTimer);
  alertTimer = setInterval(ringOnce, 2000);
  if ("Notification" in window && Notification.permission === "granted") {
    const text = { body: `Room ${settings.room}: someone is ringing`, tag: "doorbell", renotify: true, requireInteraction: true };
    try {
      const reg = navigator.serviceWorker && (await navigator.serviceWorker.getRegistration());
      if (reg) await reg.showNotification("Doorbell", text);
      else notice = new Notification("Doorbell", text);
    } catch {
      // A phone that takes notifications only from the service worker and
      // has none: the page rings all the same.
    }
  }
}

async function stopAlert() {
  clearInterval(alertTimer);
  alertTimer = null;
  if (navigator.vibrate) navigator.vibrate(0);
  if (notice) notice.close();
  notice = null;
  try {
    const reg = navigator.serviceWorker && (await navigator.serviceWorker.getRegistration());
    if (reg) for (const n of await reg.getNotifications({ tag: "doorbell" })) n.close();
  } catch {
    // nothing shown
  }
}

function updateNotifyButton() {
  const b = $("notify");
  const needsSound = !audio || audio.state !== "running";
  const needsPermission = "Notification" in window && Notification.permission === "default";
  b.hidden = !(needsSound || needsPermission);
  b.textContent = needsPermission ? "Allow notifications and the ring sound" : "Allow the ring sound";
}

// ---- the broker

function disconnect() {
  clearTimeout(roomTimer);
  if (client) client.end(true);
  client = null;
}

function connect() {
  disconnect();
  const s = settings;
  const url = `${s.tls ? "wss" : "ws"}://${s.host}:${s.port}/mqtt`;
  showConnection("connecting", CONNECTION.connecting);
  let everOnline = false;
  const c = mqtt.connect(url, {
    username: s.user,
    password: s.password,
    clientId: `doorbell-${s.room}-${Math.random().toString(16).slice(2, 10)}`,
    clean: true,
    keepalive: 20,
    reconnectPeriod: 2000,
    connectTimeout: 5000,
    protocolVersion: 4,
  });
  client = c;
  c.on("connect", () => {
    if (client !== c) return;
    showConnection("connecting", CONNECTION.checking(s.room));
    let roomSeen = false;
    clearTimeout(roomTimer);
    roomTimer = setTimeout(() => {
      if (client === c && !roomSeen) noRoom(c);
    }, ROOM_WAIT_MS);
    c.once("message", () => {
      roomSeen = true;
    });
    c.subscribe(topic("#"), { qos: 1 }, (err, granted) => {
      if (client !== c) return;
      if (err || !granted || granted.some((g) => g.qos === 128)) noRoom(c);
    });
    everOnline = true;
  });
  c.on("message", (t, payload) => {
    if (client !== c) return;
    if (t === topic("call")) {
      clearTimeout(roomTimer);
      showConnection("online", CONNECTION.online);
    }
    onMessage(t, payload.toString());
  });
  c.on("error", (err) => {
    if (client !== c) return;
    if (isLoginRefused(err && err.code)) {
      // Trying again with the same password would only be refused again.
      disconnect();
      showConnection("offline", CONNECTION.login);
      showSignedIn(false);
      $("signin-error").textContent = "The broker refused this user name or password.";
    }
  });
  c.on("close", () => {
    if (client !== c) return;
    showConnection("offline", CONNECTION.unreachable);
  });
  c.on("reconnect", () => {
    if (client !== c) return;
    if (!everOnline) showConnection("connecting", CONNECTION.connecting);
  });
}

function noRoom(c) {
  if (client !== c) return;
  disconnect();
  showConnection("offline", CONNECTION.noRoom(settings.room, settings.base));
  showSignedIn(false);
  $("signin-error").textContent = `Room ${settings.room} under ${settings.base} is not there for this user.`;
}

function parse(text) {
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}

function onMessage(t, text) {
  const m = parse(text);
  if (t === topic("call") && m) {
    call = { state: m.state || "idle", call: m.call ?? null };
    renderCall();
  } else if (t === topic("event") && m) {
    // The event comes first: the ringing shows without waiting for the
    // call's state.
    if (m.event === "dial" && m.call !== call.call) {
      call = { state: "ringing", call: m.call };
      renderCall();
    } else if (m.event === "drop" && m.call === call.call) {
      call = { state: "idle", call: m.call };
      renderCall();
    }
  } else if (t === topic("command/result") && m) {
    const el = $("result");
    el.textContent = resultText(m);
    el.dataset.accepted = String(m.accepted);
  } else if (t === topic("answer")) {
    $("answer-state").textContent = answerText(m);
    $("courier").dataset.mode = (m && m.mode) || "manual";
  } else if (t === topic("history") && m) {
    renderHistory(Array.isArray(m.calls) ? m.calls.slice(0, 20) : []);
  }
}

function renderHistory(calls) {
  const list = $("history-list");
  list.replaceChildren(
    ...calls.map((c) => {
      const li = document.createElement("li");
      li.className = c.outcome || "";
      const w = document.createElement("span");
      w.className = "when";
      w.textContent = when(c.time);
      const what = document.createElement("span");
      what.className = "what";
      what.textContent = outcomeText(c);
      li.append(w, what);
      return li;
    }),
  );
  $("history-empty").hidden = calls.length > 0;
}

function send(rest, payload, label) {
  if (!client || !client.connected) {
    $("result").textContent = `${label}: not sent: the page is offline`;
    $("result").dataset.accepted = "false";
    return;
  }
  client.publish(topic(rest), JSON.stringify(payload), { qos: 1 });
  $("result").textContent = `${label}: sent…`;
  $("result").dataset.accepted = "";
}

// ---- start

function signIn(s) {
  settings = s;
  if (s.forget) localStorage.removeItem(STORE);
  else localStorage.setItem(STORE, JSON.stringify(s));
  $("signin-error").textContent = "";
  const link = `${location.origin}${location.pathname}#${settingsToFragment(s)}`;
  $("setup-link").href = link;
  $("setup-link").textContent = link;
  $("settings-summary").textContent = `Room ${s.room} of ${s.base}, as ${s.user}, on ${s.host}:${s.port}. ` +
    (s.forget ? "Not remembered on this device." : "Remembered in this browser's local storage.");
  $("title").textContent = `Doorbell · room ${s.room}`;
  call = { state: "idle", call: null };
  showSignedIn(true);
  renderCall();
  window.scrollTo(0, 0);
  connect();
}

function start() {
  document.addEventListener("pointerdown", unlockAudio, { once: true });
  $("notify").addEventListener("click", async () => {
    unlockAudio();
    if ("Notification" in window && Notification.permission === "default") await Notification.requestPermission();
    updateNotifyButton();
  });
  $("signin-form").addEventListener("submit", (e) => {
    e.preventDefault();
    const s = formSettings();
    const error = checkSettings(s);
    $("signin-error").textContent = error || "";
    if (!error) signIn(s);
  });
  for (const b of document.querySelectorAll("#call button")) {
    b.addEventListener("click", () => {
      const action = b.dataset.action;
      send("command", { action, id: `page-${nextId++}` }, b.textContent);
    });
  }
  $("courier-next").addEventListener("click", () => send("answer/set", { mode: "open", calls: 1 }, "Courier mode"));
  $("courier-until").addEventListener("click", () => {
    const until = untilIso($("courier-time").value);
    if (!until) {
      $("result").textContent = "Courier mode: give a time as HH:MM";
      return;
    }
    send("answer/set", { mode: "open", until }, "Courier mode");
  });
  $("courier-off").addEventListener("click", () => send("answer/set", "manual", "Courier mode"));
  $("copy-link").addEventListener("click", async () => {
    try {
      await navigator.clipboard.writeText($("setup-link").href);
      $("copy-link").textContent = "Link copied (without the password)";
    } catch {
      $("setup-link").focus();
    }
  });
  $("signout").addEventListener("click", () => {
    disconnect();
    stopAlert();
    localStorage.removeItem(STORE);
    settings = null;
    $("password").value = "";
    showSignedIn(false);
    showConnection("offline", CONNECTION.signedOut);
  });
  if ("serviceWorker" in navigator && window.isSecureContext) {
    navigator.serviceWorker.register("sw.js").catch(() => {});
  }
  updateNotifyButton();

  // An installer's link fills in everything but the password.
  const linked = settingsFromFragment(location.hash);
  if (linked) {
    history.replaceState(null, "", location.pathname + location.search);
    fillForm(linked);
    $("signin-error").textContent = "Settings taken from the link: enter the password.";
    $("password").focus();
    return;
  }
  const stored = loadSettings();
  if (stored) {
    fillForm(stored);
    signIn(stored);
  } else {
    showSignedIn(false);
  }
}

start();
