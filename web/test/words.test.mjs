// What the page says and what it takes, without a browser.
import assert from "node:assert/strict";
import { test } from "node:test";
import {
  answerText, checkSettings, outcomeText, resultText, settingsFromFragment, settingsToFragment, untilIso,
} from "../src/words.js";

const good = { host: "intercom.example.org", port: "8080", tls: false, base: "zul/entrance-1", room: "5", user: "room5" };

test("the sign-in form's mistakes are named by their field", () => {
  for (const [change, words] of [
    [{ host: "" }, "Broker host"],
    [{ host: "ws://x/" }, "Broker host"],
    [{ port: "0" }, "Port: a number from 1 to 65535"],
    [{ port: "http" }, "Port"],
    [{ base: "zul/#" }, "Base topic"],
    [{ base: "zul/" }, "Base topic"],
    [{ room: "05" }, "Room: a number from 0 to 4095, without leading zeros"],
    [{ room: "4096" }, "Room"],
    [{ user: "" }, "User"],
  ]) {
    assert.match(checkSettings({ ...good, ...change }) || "", new RegExp(`^${words.replace(/[()]/g, "\\$&")}`), JSON.stringify(change));
  }
  assert.equal(checkSettings(good), null);
});

test("the installer's link carries every setting but the password", () => {
  const fragment = settingsToFragment({ ...good, tls: true, password: "secret" });
  assert.doesNotMatch(fragment, /secret|password/);
  assert.deepEqual(settingsFromFragment(`#${fragment}`), { ...good, tls: true });
  assert.equal(settingsFromFragment(""), null);
});

test("results, answer modes and outcomes in words", () => {
  for (const [result, words] of [
    [{ action: "open", accepted: true, code: 2 }, "Open: accepted"],
    [{ action: "pickup", accepted: false, reason: "the call is already answered" }, "Pick up: refused: the call is already answered"],
    [{ action: "hangup", accepted: null, reason: "the program could not report" }, "Hang up: not known whether it was done: the program could not report"],
    [{ action: "open", accepted: true, source: "answer" }, "Open (automatic): accepted"],
  ]) assert.equal(resultText(result), words);
  assert.equal(answerText({ mode: "manual", configured: "manual" }), "Calls are answered by hand");
  assert.equal(answerText({ mode: "open", configured: "manual", calls: 1 }), "The door opens automatically for the next call");
  assert.equal(answerText({ mode: "open", configured: "manual", calls: 3 }), "The door opens automatically for the next 3 calls");
  assert.match(answerText({ mode: "open", until: "2026-12-24T18:00:00Z" }, new Date("2026-12-24T10:00:00Z")), /^The door opens automatically until \d/);
  for (const [call, words] of [
    [{ outcome: "handset", by: null }, "Taken on the handset"],
    [{ outcome: "opened", by: "answer" }, "Door opened automatically"],
    [{ outcome: "opened", by: "household" }, "Door opened"],
    [{ outcome: "missed", by: null }, "Missed"],
  ]) assert.equal(outcomeText(call), words);
});

test("until HH:MM is the next such time, in UTC", () => {
  const now = new Date(2026, 11, 24, 17, 0, 0);
  assert.equal(new Date(untilIso("18:00", now)).getTime(), new Date(2026, 11, 24, 18, 0, 0).getTime());
  assert.equal(new Date(untilIso("08:30", now)).getTime(), new Date(2026, 11, 25, 8, 30, 0).getTime());
  assert.match(untilIso("18:00", now), /^\d{4}-\d\d-\d\dT\d\d:\d\d:00Z$/);
  for (const bad of ["", "25:00", "18:60", "6pm"]) assert.equal(untilIso(bad, now), null, bad);
});
