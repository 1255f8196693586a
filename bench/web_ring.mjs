// From "dial" on the program's output to the ringing on the household's
// page, through the real broker: the bridge stamps the event with the time
// it read the dial line, the page the time it showed the ringing (the same
// machine's clock). The target is p99 <= 200 ms.
//   node bench/web_ring.mjs [CALLS]   (bench/web.sh builds what it needs)
import * as h from "../web/test/harness.mjs";

const calls = Number(process.argv[2] || 100);
const speed = 10;
// A call every 5 s of the line's time, dropped after 2.5 s: at speed 10 a
// call every half second, the first once the page has surely signed in;
// only the calls after it has are counted.
let scenario = "";
for (let i = 0; i < calls + 20; i++) scenario += `${60000 + i * 5000} dial 5\n${62500 + i * 5000} drop\n`;

const broker = await new h.Broker(h.HOUSEHOLD_USERS, h.householdsAcl([5, 6])).init();
await broker.start();
const bridge = new h.Bridge(broker, scenario, { speed }).start();
const operator = await h.client(broker.tcpPort, "operator", "o-secret");
operator.subscribe(`${h.BASE}/room/5/event`, { qos: 1 });
const browser = await h.browser();
try {
  const page = await h.householdPage(browser, broker, { room: 5 });
  await h.until(async () => (await h.connectionText(page)) === "Online", "page online");
  // Every ringing the page shows, by its call.
  await page.evaluate(() => {
    window.rings = {};
    const el = document.getElementById("ringing");
    new MutationObserver(() => {
      if (el.dataset.call) window.rings[el.dataset.call] = Number(el.dataset.since);
    }).observe(el, { attributes: true });
  });
  const mark = operator.received.length;
  const dialled = (m) => m.topic.endsWith("/event") && JSON.parse(m.payload).event === "dial";
  await h.until(() => operator.received.slice(mark).filter(dialled).length >= calls, `${calls} dials`, calls * 1000 + 30000);
  await h.until(async () => Object.keys(await page.evaluate(() => window.rings)).length >= calls, "every ringing", 10000)
    .catch(() => {});
  const rings = await page.evaluate(() => window.rings);
  const late = [];
  let missed = 0;
  for (const m of operator.received.slice(mark).filter(dialled).slice(0, calls)) {
    const e = JSON.parse(m.payload);
    if (rings[e.call] === undefined) missed++;
    else late.push(rings[e.call] - Date.parse(e.time));
  }
  late.sort((a, b) => a - b);
  const q = (p) => late[Math.min(late.length - 1, Math.ceil((p / 100) * late.length) - 1)];
  console.log(`dial -> ringing on the page, ${late.length} calls (${missed} not shown): ` +
    `p50 ${q(50)} ms, p99 ${q(99)} ms, max ${late[late.length - 1]} ms (target p99 <= 200 ms)`);
  process.exitCode = missed === 0 && q(99) <= 200 ? 0 : 1;
} finally {
  await browser.close();
  operator.end(true);
  await bridge.close();
  await broker.close();
}
