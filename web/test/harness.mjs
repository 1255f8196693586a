// The building for the page's tests and its benchmark: a real Mosquitto with
// a WebSockets listener that also serves the built page (http_dir), the
// real bridge zul_stm_mqtt with the simulator as its program, and Debian's
// Chromium driven by playwright-core.
import { execFileSync, spawn } from "node:child_process";
import { closeSync, existsSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createServer as createHttpServer } from "node:http";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import mqtt from "mqtt";
import { chromium } from "playwright-core";

const here = dirname(fileURLToPath(import.meta.url));
export const source = resolve(here, "../..");
export const build = resolve(process.env.ZUL_BUILD_DIR || join(source, "build-debug"));
export const dist = resolve(process.env.ZUL_WEB_DIST || join(source, "web/dist"));
export const BASE = "zul/entrance-1";
const CHROMIUM = process.env.ZUL_CHROMIUM || "/usr/bin/chromium";

// Every broker and bridge started here, ended when this process ends
// however it ends, and every temporary directory removed, so that a failed
// run leaves nothing behind.
const children = new Set();
const dirs = new Set();
function started(child) {
  children.add(child);
  child.once("exit", () => children.delete(child));
  return child;
}
process.once("exit", () => {
  for (const child of children) child.kill("SIGTERM");
  for (const dir of dirs) rmSync(dir, { recursive: true, force: true });
});

export function tempDir() {
  const dir = mkdtempSync(join(process.env.TMPDIR || tmpdir(), "zul_web_"));
  dirs.add(dir);
  return dir;
}

export async function freePort() {
  return new Promise((ok, fail) => {
    const s = createServer();
    s.once("error", fail);
    s.listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => ok(port));
    });
  });
}

// Waits until `check` gives something other than a falsy value; its value.
export async function until(check, what, timeoutMs = 15000) {
  const start = Date.now();
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() - start > timeoutMs) throw new Error(`not within ${timeoutMs} ms: ${what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

// ---- a broker with WebSockets
//
// This machine's own Mosquitto where it serves WebSockets (bookworm's 2.0.11
// does, beside a plain listener; trixie's and Raspberry Pi OS's do);
// elsewhere, or with ZUL_WEB_BROKER=trixie, trixie's, from a root of its
// packages that scripts/target_root.sh makes and caches, run by that root's
// own loader and libraries. Either is the very broker an installation
// serves the page with, with nothing between the page and it.

let brokerCommand = null;
export async function mosquittoCommand() {
  if (brokerCommand) return brokerCommand;
  const choice = process.env.ZUL_WEB_BROKER || "any";
  if (choice !== "trixie" && existsSync("/usr/sbin/mosquitto") && (await servesWebsockets(["/usr/sbin/mosquitto"]))) {
    brokerCommand = { broker: ["/usr/sbin/mosquitto"], passwd: ["mosquitto_passwd"] };
    return brokerCommand;
  }
  if (choice === "host") throw new Error("this machine's /usr/sbin/mosquitto does not serve WebSockets");
  const arch = execFileSync("dpkg", ["--print-architecture"], { encoding: "utf8" }).trim();
  const root = execFileSync("sh", [join(source, "scripts/target_root.sh"), "trixie", arch, "mosquitto"], {
    encoding: "utf8",
    stdio: ["ignore", "pipe", "inherit"],
  }).trim();
  const triple = execFileSync("sh", ["-c", `ls -d '${root}'/usr/lib/*-linux-gnu*/ | head -1`], { encoding: "utf8" }).trim();
  const loader = execFileSync("sh", ["-c", `ls '${triple}'ld-linux*.so.* | head -1`], { encoding: "utf8" }).trim();
  const run = (exe) => [loader, "--library-path", triple, join(root, exe)];
  brokerCommand = { broker: run("usr/sbin/mosquitto"), passwd: run("usr/bin/mosquitto_passwd") };
  if (!(await servesWebsockets(brokerCommand.broker))) throw new Error(`trixie's Mosquitto in ${root} does not serve WebSockets`);
  return brokerCommand;
}

// Whether a broker opens a WebSockets listener beside a plain one: one built
// without them, or unable to, ends at once; one that can says it is running
// and is ended here.
async function servesWebsockets(argv) {
  const dir = tempDir();
  try {
    const conf = join(dir, "probe.conf");
    writeFileSync(conf, `listener ${await freePort()} 127.0.0.1\nlistener ${await freePort()} 127.0.0.1\nprotocol websockets\nlog_dest stderr\n`);
    let out;
    try {
      out = execFileSync(argv[0], [...argv.slice(1), "-c", conf], { encoding: "utf8", stdio: "pipe", timeout: 3000 });
    } catch (e) {
      out = `${e.stdout || ""}${e.stderr || ""}`;
    }
    return / running/.test(out);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

export class Broker {
  constructor(users, acl) {
    this.dir = tempDir();
    this.users = users;
    this.acl = acl;
    this.proc = null;
  }

  async init() {
    this.tcpPort = await freePort();
    this.wsPort = await freePort();
    const { passwd } = await mosquittoCommand();
    const file = join(this.dir, "passwords");
    this.users.forEach(([user, password], i) => {
      execFileSync(passwd[0], [...passwd.slice(1), "-b", ...(i === 0 ? ["-c"] : []), file, user, password], { stdio: "pipe" });
    });
    writeFileSync(join(this.dir, "acl"), this.acl);
    // As doc/web.md sets it up: the bridge on 1883's stand-in, the pages on
    // a WebSockets listener that serves the page too.
    writeFileSync(
      join(this.dir, "mosquitto.conf"),
      `per_listener_settings false\nallow_anonymous false\npassword_file ${file}\nacl_file ${join(this.dir, "acl")}\n` +
        `persistence true\npersistence_location ${this.dir}/\nautosave_interval 1\nuser root\nlog_dest stderr\n` +
        `listener ${this.tcpPort} 127.0.0.1\n` +
        `listener ${this.wsPort} 127.0.0.1\nprotocol websockets\nhttp_dir ${dist}\n`,
    );
    return this;
  }

  get url() {
    return `http://127.0.0.1:${this.wsPort}/`;
  }

  log() {
    return existsSync(join(this.dir, "broker.log")) ? readFileSync(join(this.dir, "broker.log"), "utf8") : "";
  }

  async start() {
    const { broker } = await mosquittoCommand();
    const log = join(this.dir, "broker.log");
    writeFileSync(log, "");
    const fd = openSync(log, "a");
    this.proc = started(spawn(broker[0], [...broker.slice(1), "-c", join(this.dir, "mosquitto.conf")], { stdio: ["ignore", fd, fd] }));
    closeSync(fd);
    const proc = this.proc;
    await until(() => {
      if (proc.exitCode !== null) throw new Error(`the broker ended: ${this.log()}`);
      return this.log().includes(" running");
    }, "the broker running");
  }

  async stop() {
    const p = this.proc;
    this.proc = null;
    if (!p || p.exitCode !== null) return;
    p.kill("SIGTERM");
    await until(() => p.exitCode !== null || p.signalCode !== null, "the broker's end", 10000);
  }

  async close() {
    await this.stop();
    rmSync(this.dir, { recursive: true, force: true });
  }
}

// The households' set-up of doc/mqtt.md, with what the page adds: each
// household reads its room and writes its commands and its answer mode.
export function householdsAcl(rooms) {
  let acl = `user bridge\ntopic readwrite ${BASE}/#\ntopic readwrite homeassistant/#\n` +
    `user operator\ntopic read ${BASE}/#\ntopic write ${BASE}/command\n`;
  for (const r of rooms) {
    acl += `user room${r}\ntopic read ${BASE}/room/${r}/#\ntopic write ${BASE}/room/${r}/command\n` +
      `topic write ${BASE}/room/${r}/answer/set\n`;
  }
  return acl;
}

export const HOUSEHOLD_USERS = [["bridge", "b-secret"], ["operator", "o-secret"], ["room5", "5-secret"], ["room6", "6-secret"]];

// ---- the bridge and the simulated building

export class Bridge {
  constructor(broker, scenario, { speed = 1 } = {}) {
    this.dir = tempDir();
    this.pins = join(this.dir, "pins.log");
    const scn = join(this.dir, "calls.scn");
    writeFileSync(scn, scenario);
    writeFileSync(join(this.dir, "bridge.password"), "b-secret\n", { mode: 0o600 });
    const command = [join(build, "zul_stm_sim"), "--speed", String(speed), "--scenario", scn, "--pins", this.pins];
    this.config = join(this.dir, "bridge.toml");
    writeFileSync(
      this.config,
      `[driver]\ncommand = ${JSON.stringify(command)}\nintercom = 10\nworking_directory = ${JSON.stringify(source)}\n` +
        `record_directory = ${JSON.stringify(join(this.dir, "records"))}\n` +
        `[rooms]\nimitate = [5, 6]\nblacklist = [9]\n` +
        `[mqtt]\nport = ${broker.tcpPort}\ntopic = "${BASE}"\nkeepalive = 5\nusername = "bridge"\n` +
        `password_file = ${JSON.stringify(join(this.dir, "bridge.password"))}\n` +
        `[homeassistant]\ndiscovery = false\n`,
    );
  }

  start() {
    const fd = openSync(join(this.dir, "bridge.log"), "w");
    this.proc = started(spawn(join(build, "bridge/zul_stm_mqtt"), ["--config", this.config, "--verbose"], { stdio: ["ignore", fd, fd] }));
    closeSync(fd);
    return this;
  }

  log() {
    return existsSync(join(this.dir, "bridge.log")) ? readFileSync(join(this.dir, "bridge.log"), "utf8") : "";
  }

  // Ends the bridge, which ends its program: the simulator writes its pin
  // log then.
  async stop() {
    const p = this.proc;
    if (!p || p.exitCode !== null || p.signalCode !== null) return;
    p.kill("SIGTERM");
    await until(() => p.exitCode !== null || p.signalCode !== null, "the bridge's end", 20000);
  }

  // Pin writes: [simulated ms, gpio, level].
  pinWrites() {
    if (!existsSync(this.pins)) return [];
    return readFileSync(this.pins, "utf8").split("\n").map((l) => l.trim().split(/\s+/))
      .filter((w) => w[1] === "write").map((w) => [Number(w[0]), Number(w[2]), Number(w[3])]);
  }

  async close() {
    await this.stop();
    rmSync(this.dir, { recursive: true, force: true });
  }
}

// ---- a client of the broker's, for the tests' own eyes

export async function client(port, user, password, { ws = false } = {}) {
  const url = ws ? `ws://127.0.0.1:${port}/mqtt` : `mqtt://127.0.0.1:${port}`;
  const c = mqtt.connect(url, { username: user, password, reconnectPeriod: 500, clean: true, protocolVersion: 4 });
  c.received = [];
  c.on("message", (topic, payload, packet) => c.received.push({ topic, payload: payload.toString(), retain: packet.retain, at: Date.now() }));
  await until(() => c.connected, `${user} connected`);
  c.waitFor = (topic, part, from = 0, timeoutMs = 15000) =>
    until(() => c.received.slice(from).find((m) => m.topic === topic && m.payload.includes(part)), `${part} on ${topic}`, timeoutMs);
  return c;
}

// An ordinary static web server for the built page, with the content types
// a browser needs to take a service worker (the broker's own sends none).
const TYPES = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".svg": "image/svg+xml", ".webmanifest": "application/manifest+json" };
export async function staticServer(dir) {
  const server = createHttpServer((req, res) => {
    const path = new URL(req.url, "http://x").pathname;
    const file = join(dir, path === "/" ? "index.html" : path.slice(1));
    if (!file.startsWith(dir) || !existsSync(file)) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { "Content-Type": TYPES[file.slice(file.lastIndexOf("."))] || "application/octet-stream" });
    res.end(readFileSync(file));
  });
  await new Promise((ok) => server.listen(0, "127.0.0.1", ok));
  return { url: `http://127.0.0.1:${server.address().port}/`, close: () => new Promise((ok) => server.close(ok)) };
}

// ---- the browser

export const VIEWPORT = { width: 360, height: 740 };

export async function browser() {
  // Debian's Chromium, never a browser of playwright's own; playwright
  // gives it a fresh --user-data-dir of its own.
  return chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      "--autoplay-policy=no-user-gesture-required"],
  });
}

// A household's page, signed in through the form as a resident would.
export async function householdPage(b, broker, { room, user = `room${room}`, password = `${room}-secret`, forget = false }) {
  const context = await b.newContext({ viewport: VIEWPORT, deviceScaleFactor: 1 });
  await context.grantPermissions(["notifications"]);
  // What the phone would do, as the page asks it: vibrations, tones and
  // notifications, counted.
  await context.addInitScript(() => {
    window.alerted = { vibrations: 0, tones: 0, notifications: [] };
    navigator.vibrate = (pattern) => {
      if (pattern) window.alerted.vibrations++;
      return true;
    };
    const tone = AudioContext.prototype.createOscillator;
    AudioContext.prototype.createOscillator = function () {
      window.alerted.tones++;
      return tone.call(this);
    };
    const Shown = window.Notification;
    window.Notification = class extends Shown {
      constructor(title, options) {
        super(title, options);
        window.alerted.notifications.push(options.body);
      }
    };
  });
  const page = await context.newPage();
  page.errors = [];
  page.on("pageerror", (e) => page.errors.push(String(e)));
  await page.goto(broker.url);
  await page.getByLabel("Broker host", { exact: true }).fill("127.0.0.1");
  await page.getByLabel("Port (WebSockets)", { exact: true }).fill(String(broker.wsPort));
  await page.getByLabel("Base topic", { exact: true }).fill(BASE);
  await page.getByLabel("Room", { exact: true }).fill(String(room));
  await page.getByLabel("User", { exact: true }).fill(user);
  await page.getByLabel("Password", { exact: true }).fill(password);
  if (forget) await page.getByLabel("Do not remember these settings on this device").check();
  await page.getByRole("button", { name: "Sign in" }).click();
  return page;
}

export async function connectionText(page) {
  return page.locator("#connection").textContent();
}
