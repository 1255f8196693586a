// The doorbell page in Debian's Chromium, households 5 and 6 signed in,
// against the real broker, the real bridge and the simulated building.
import assert from "node:assert/strict";
import { existsSync, mkdirSync, readFileSync, readdirSync } from "node:fs";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { gzipSync } from "node:zlib";
import * as h from "./harness.mjs";

const T = (rest) => `${h.BASE}/${rest}`;
// Screenshots for the README when asked (ZUL_SCREENSHOTS=doc/screenshots).
const shots = process.env.ZUL_SCREENSHOTS;
async function shot(page, name) {
  if (!shots) return;
  mkdirSync(shots, { recursive: true });
  await page.screenshot({ path: join(shots, `${name}.png`) });
}

test("the built page is under 150 KiB gzipped", () => {
  let total = 0;
  for (const f of readdirSync(h.dist)) total += gzipSync(readFileSync(join(h.dist, f))).length;
  assert.ok(total > 10 * 1024, `${h.dist} holds the page`);
  assert.ok(total < 150 * 1024, `${total} bytes gzipped`);
});

// The building's day: call 1 answered by hand, call 2 by courier mode.
const SCENARIO = "8000 dial 5\n18000 drop\n26000 dial 5\n36000 drop\n";
// Intercom 10's pins, as the simulator logs them: [gpio, level].
const OFF_HOOK = [22, 0];
const DOOR_KEY = [23, 0];

let broker, bridge, operator, browser, five, six;
const rang = (page) => page.locator("#ringing").getAttribute("data-since");
const text = (page, sel) => page.locator(sel).textContent();
const waitText = (page, sel, part, ms = 15000) =>
  h.until(async () => (await text(page, sel)).includes(part), `"${part}" in ${sel}: "${""}"`, ms)
    .catch(async (e) => { throw new Error(`${e.message}; it says "${await text(page, sel)}"\n${bridge ? bridge.log().slice(-3000) : ""}`); });

before(async () => {
  assert.ok(existsSync(join(h.dist, "index.html")), `no built page in ${h.dist}: npm run build`);
  broker = await new h.Broker(h.HOUSEHOLD_USERS, h.householdsAcl([5, 6])).init();
  await broker.start();
  bridge = new h.Bridge(broker, SCENARIO).start();
  operator = await h.client(broker.tcpPort, "operator", "o-secret");
  operator.subscribe(T("#"), { qos: 1 });
  await operator.waitFor(T("room/5/call"), "idle");
  browser = await h.browser();
  [five, six] = await Promise.all([h.householdPage(browser, broker, { room: 5 }), h.householdPage(browser, broker, { room: 6 })]);
  await waitText(five, "#connection", "Online");
  await waitText(six, "#connection", "Online");
});

after(async () => {
  if (browser) await browser.close();
  if (operator) operator.end(true);
  if (bridge) await bridge.close();
  if (broker) await broker.close();
});

test("a call to room 5 rings on page 5 within 1 s of the program's dial, and not on page 6", async () => {
  const dial = JSON.parse((await operator.waitFor(T("room/5/event"), '"dial"', 0, 20000)).payload);
  await h.until(() => rang(five), "page 5 rings");
  const late = Number(await rang(five)) - Date.parse(dial.time);
  assert.ok(late < 1000, `rang ${late} ms after the dial`);
  assert.equal(await five.locator("#ringing").isVisible(), true);
  assert.equal(await five.getByRole("alert").filter({ hasText: "Someone is ringing" }).count(), 1);
  await shot(five, "ringing");
  // It rings aloud, vibrates and notifies: the sign-in's touch let it sound.
  const alerted = await h.until(async () => {
    const a = await five.evaluate(() => window.alerted);
    return a.vibrations > 0 && a.tones > 0 && a.notifications.length > 0 && a;
  }, "page 5 sounding, vibrating and notifying");
  assert.deepEqual(alerted.notifications, ["Room 5: someone is ringing"]);
  assert.deepEqual(await six.evaluate(() => window.alerted), { vibrations: 0, tones: 0, notifications: [] });
  assert.equal(await rang(six), null);
  assert.equal(await six.locator("#ringing").isVisible(), false);
});

test("pick up, open and hang up show the bridge's results, a refusal with its reason", async () => {
  const press = (name) => five.getByRole("button", { name, exact: true }).click();
  for (const [button, words] of [
    ["Pick up", "Pick up: accepted"],
    ["Pick up", "Pick up: refused: the call is already answered"],
    ["Open", "Open: accepted"],
    ["Hang up", "Hang up: accepted"],
  ]) {
    await press(button);
    await waitText(five, "#result", words);
  }
  await h.until(async () => !(await five.locator("#call").isVisible()), "the call ended on page 5");
  assert.equal(await five.locator("#ringing").isVisible(), false);
});

test("courier mode opens the next call without a touch, then answering is by hand again", async () => {
  await five.getByRole("button", { name: "Open automatically for the next call" }).click();
  await waitText(five, "#answer-state", "The door opens automatically for the next call");
  await five.locator("#courier").evaluate((el) => el.scrollIntoView({ block: "start" }));
  await shot(five, "courier");
  await five.evaluate(() => window.scrollTo(0, 0));
  const seen = operator.received.length;
  const dial = await operator.waitFor(T("room/5/event"), '"dial"', seen, 30000);
  assert.equal(JSON.parse(dial.payload).call, 2);
  // Answered without a touch (the door key's press is in the pin log, read
  // at the end), and the mode is spent.
  await h.until(async () => (await five.locator("#call-state").textContent()).includes("answered"), "call 2 answered on page 5");
  await waitText(five, "#answer-state", "Calls are answered by hand");
  await h.until(async () => !(await five.locator("#call").isVisible()), "call 2 ended on page 5");
});

test("the history shows the calls just made", async () => {
  await h.until(async () => (await five.locator("#history-list li").count()) >= 2, "two calls in the history");
  const items = await five.locator("#history-list li .what").allTextContents();
  assert.deepEqual(items.slice(0, 2), ["Door opened automatically", "Door opened"]);
  assert.equal(await six.locator("#history-list li").count(), 0);
  await five.evaluate(() => window.scrollTo(0, 0));
  await shot(five, "history");
});

test("another room's topics are refused by the broker to the page's household", async () => {
  const intruder = await h.client(broker.wsPort, "room5", "5-secret", { ws: true });
  try {
    intruder.subscribe(T("room/6/#"), { qos: 1 });
    intruder.subscribe(T("#"), { qos: 1 });
    const mark = operator.received.length;
    intruder.publish(T("room/6/command"), JSON.stringify({ action: "open", id: "not-mine" }), { qos: 1 });
    intruder.publish(T("room/6/answer/set"), JSON.stringify({ mode: "open", calls: 1 }), { qos: 1 });
    intruder.publish(T("command"), "relay1", { qos: 1 });
    // Its own command's result comes after theirs, had they arrived.
    intruder.publish(T("room/5/command"), JSON.stringify({ action: "hangup", id: "mine" }), { qos: 1 });
    await operator.waitFor(T("room/5/command/result"), '"mine"', mark);
    const after = operator.received.slice(mark);
    assert.deepEqual(after.filter((m) => /room\/6\/|\/answer\/6|command\/result$/.test(m.topic) && !m.topic.includes("room/5/")), []);
    await intruder.waitFor(T("room/5/command/result"), '"mine"');
    assert.deepEqual(intruder.received.filter((m) => !m.topic.startsWith(T("room/5/"))).map((m) => m.topic), []);
  } finally {
    intruder.end(true);
  }
});

test("the installer's link fills in everything but the password", async () => {
  const link = await five.locator("#setup-link").getAttribute("href");
  assert.doesNotMatch(link, /5-secret|password/);
  const context = await browser.newContext({ viewport: h.VIEWPORT });
  try {
    const page = await context.newPage();
    await page.goto(link);
    assert.equal(await page.getByLabel("Room", { exact: true }).inputValue(), "5");
    assert.equal(await page.getByLabel("User", { exact: true }).inputValue(), "room5");
    assert.equal(await page.getByLabel("Port (WebSockets)").inputValue(), String(broker.wsPort));
    assert.equal(await page.getByLabel("Password", { exact: true }).inputValue(), "");
    assert.equal(new URL(page.url()).hash, "");
  } finally {
    await context.close();
  }
});

test("served with content types, it installs: a manifest and a service worker caching the page's own files alone", async () => {
  const server = await h.staticServer(h.dist);
  const context = await browser.newContext({ viewport: h.VIEWPORT });
  try {
    const page = await context.newPage();
    await page.goto(server.url);
    const manifest = await page.evaluate(async () => (await fetch(document.querySelector("link[rel=manifest]").href)).json());
    assert.equal(manifest.display, "standalone");
    await page.evaluate(() => navigator.serviceWorker.ready);
    const cached = await page.evaluate(async () => {
      const out = [];
      for (const name of await caches.keys()) {
        for (const r of await (await caches.open(name)).keys()) out.push(new URL(r.url).pathname);
      }
      return out.sort();
    });
    assert.deepEqual(cached, ["/", "/app.js", "/icon.svg", "/index.html", "/manifest.webmanifest", "/style.css"]);
  } finally {
    await context.close();
    await server.close();
  }
});

test("the connection in words: broker stopped and started, wrong password, no such room", async () => {
  await broker.stop();
  await waitText(five, "#connection", "Offline: the broker cannot be reached");
  await broker.start();
  await waitText(five, "#connection", "Online", 20000);

  const wrong = await h.householdPage(browser, broker, { room: 5, password: "not-it" });
  await waitText(wrong, "#connection", "Offline: wrong user name or password");
  assert.equal(await wrong.getByRole("alert").filter({ hasText: "refused this user name or password" }).count(), 1);
  const elsewhere = await h.householdPage(browser, broker, { room: 7, user: "room5", password: "5-secret" });
  await waitText(elsewhere, "#connection", "Offline: no such room");
});

test("the door key was pressed, off hook, for the call opened by hand and for the courier's", async () => {
  await bridge.stop();
  const writes = bridge.pinWrites();
  // Within a call's time: the line taken off hook, then the door key pressed.
  const opened = (from, to) => {
    const hook = writes.findIndex(([t, gpio, level]) => t > from && t < to && gpio === OFF_HOOK[0] && level === OFF_HOOK[1]);
    return hook >= 0 && writes.slice(hook).some(([t, gpio, level]) => t < to && gpio === DOOR_KEY[0] && level === DOOR_KEY[1]);
  };
  assert.ok(opened(8000, 18000), "call 1: no door key press after the pick-up");
  assert.ok(opened(26000, 36000), "call 2: no door key press after the pick-up");
  assert.deepEqual(five.errors, []);
  assert.deepEqual(six.errors, []);
});
