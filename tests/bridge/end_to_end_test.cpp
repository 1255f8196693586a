// The bridge as deployed: a real Mosquitto broker, zul_stm_mqtt as a
// process, and zul_stm_sim in real time as its program. Assertions are on
// what a subscriber receives, in order, and on the pins the program wrote.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "e2e_support.h"

namespace {

using bridge_test::BridgeRun;
using bridge_test::Broker;
using bridge_test::Probe;
using bridge_test::SimSetup;
using bridge_test::TempDir;
using nlohmann::json;

constexpr double kWait = 30;  // seconds: generous, the machine is shared

const char kBase[] = "zul/test";

std::string topic(const std::string& sub) { return std::string(kBase) + "/" + sub; }

// Until `done` holds, looking every 20 ms; false at the timeout.
bool wait_until(const std::function<bool()>& done, double timeout_s = kWait) {
  const auto start = std::chrono::steady_clock::now();
  while (!done()) {
    if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(timeout_s)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A record as it came off the broker: gzip or plain text.
std::string unpacked(const std::string& payload) {
  if (payload.size() < 2 || static_cast<unsigned char>(payload[0]) != 0x1f ||
      static_cast<unsigned char>(payload[1]) != 0x8b) {
    return payload;
  }
  z_stream z{};
  inflateInit2(&z, 15 + 32);
  std::string out;
  char buffer[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
  z.avail_in = static_cast<uInt>(payload.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out : "(not gzip: " + std::to_string(rc) + ")";
}

// The idle levels the program writes when it hands the line back.
const std::pair<int, int> kIdleLevels[] = {{24, 0}, {23, 1}, {22, 1}, {6, 0},
                                           {25, 0}, {16, 0}, {26, 0}};

class BridgeEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    if (!Broker::available()) {
      // The project's test script installs the broker: there a missing one
      // is a failure, not a reason to test less.
      if (getenv("ZUL_REQUIRE_BROKER") != nullptr)
        FAIL() << "no " << Broker::kind() << " broker on this machine";
      GTEST_SKIP() << "no " << Broker::kind() << " broker on this machine";
    }
    ASSERT_TRUE(broker.start()) << "the broker did not start";
    probe = make_probe("probe");
  }

  std::unique_ptr<Probe> make_probe(const std::string& name) {
    return make_probe(name, broker.port());
  }
  std::unique_ptr<Probe> make_probe(const std::string& name, int port) {
    const std::string id =
        name + "_" + testing::UnitTest::GetInstance()->current_test_info()->name();
    auto p = std::make_unique<Probe>(port, id, probe_user, probe_password);
    p->subscribe(topic("#"));
    p->subscribe("homeassistant/#");
    // Once its own message comes back, the subscriptions are in place.
    const std::string marker = "marker-" + id;
    p->publish("zul/test/probe", marker);
    EXPECT_GE(p->wait_for("zul/test/probe", marker, kWait), 0) << "probe not subscribed";
    return p;
  }

  std::unique_ptr<BridgeRun> start(const SimSetup& setup) {
    config_path = bridge_test::sim_config(dir, broker.port(), setup, &pins_path);
    auto run = std::make_unique<BridgeRun>(config_path);
    EXPECT_GE(probe->wait_for(topic("status"), "online", kWait), 0) << run->log();
    return run;
  }

  void command(const std::string& payload) { probe->publish(topic("command"), payload); }

  // The next command result from index `from` on that contains `part`.
  json result(const std::string& part, size_t* from) {
    const int i = probe->wait_for(topic("command/result"), part, kWait, *from);
    if (i < 0) return json();
    *from = static_cast<size_t>(i) + 1;
    return json::parse(probe->messages()[static_cast<size_t>(i)].payload);
  }

  // Asks for the program's flight record and returns it, unpacked; empty
  // when none came.
  std::string fetch_record() {
    const size_t before = probe->messages().size();
    probe->publish(topic("record/get"), "");
    const int i = probe->wait_until(
                      [&](const auto& ms) {
                        for (size_t k = before; k < ms.size(); ++k) {
                          if (ms[k].topic == topic("record")) return true;
                        }
                        return false;
                      },
                      kWait)
                      ? 0
                      : -1;
    if (i < 0) return "";
    const auto ms = probe->messages();
    for (size_t k = before; k < ms.size(); ++k) {
      if (ms[k].topic == topic("record")) return unpacked(ms[k].payload);
    }
    return "";
  }
  // Until the program's record shows `part`: the program has done it.
  bool record_shows(const std::string& part) {
    return wait_until([&] { return fetch_record().find(part) != std::string::npos; });
  }

  std::vector<json> events() { return probe->json_on(topic("event")); }
  std::vector<std::string> event_names() {
    std::vector<std::string> names;
    for (const json& e : events()) names.push_back(e["event"].get<std::string>());
    return names;
  }

  // Stops the bridge cleanly: it must end with status 0.
  void stop(BridgeRun* run) {
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(kWait), 0) << run->log();
  }

  Broker broker;
  std::string probe_user, probe_password;  // the operator's, on a broker with users
  std::unique_ptr<Probe> probe;
  TempDir dir;
  std::string config_path;
  std::string pins_path;
};

int run_tool(const std::vector<std::string>& args, std::string* output) {
  std::string command;
  for (const std::string& a : bridge_test::launched(ZUL_BRIDGE_PATH)) command += "'" + a + "' ";
  for (const std::string& a : args) command += "'" + a + "' ";
  return bridge_test::run_command(command, output);
}

TEST(BridgeConfig, CheckConfigNamesEveryProblemAndExits78) {
  TempDir dir;
  const std::string bad = dir.file("bad.toml",
                                   "[driver]\ncommand = [\"/usr/bin/zul_stm_driver\"]\n"
                                   "intercom = 10\n[rooms]\nimitate = [5, 5000]\nblacklist = [5]\n"
                                   "[mqtt]\nport = \"x\"\ntopic = \"zul/a\"\ncolour = 1\n"
                                   "[answer.8]\nmode = \"open\"\n");
  std::string out;
  EXPECT_EQ(run_tool({"--check-config", bad}, &out), 78) << out;
  for (const char* line :
       {"rooms.imitate[1]: room 5000 is outside 0..4095",
        "rooms.blacklist: room 5 is also in rooms.imitate",
        "mqtt.port: must be an integer, not a string", "mqtt.colour: unknown key",
        "answer.8: room 8 is not in rooms.imitate"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " missing in:\n" << out;
  }
  // Starting with it fails the same way, before anything is started.
  EXPECT_EQ(run_tool({"--config", bad}, &out), 78) << out;
  EXPECT_NE(out.find("mqtt.colour: unknown key"), std::string::npos) << out;
  EXPECT_EQ(out.find("program started"), std::string::npos) << out;

  const std::string good = dir.file("good.toml",
                                    "[driver]\ncommand = [\"/usr/bin/zul_stm_driver\"]\n"
                                    "intercom = 10\n[mqtt]\ntopic = \"zul/a\"\n");
  EXPECT_EQ(run_tool({"--check-config", good}, &out), 0) << out;
  EXPECT_EQ(run_tool({"--check-config", dir.path() + "/none.toml"}, &out), 78) << out;
  EXPECT_NE(out.find("cannot read the file"), std::string::npos) << out;
  EXPECT_EQ(run_tool({"--frobnicate"}, &out), 64) << out;
}

TEST_F(BridgeEndToEnd, StatusInfoAndDiscoveryAreRetained) {
  // Left by an earlier configuration that imitated room 7 too.
  const char* const kStale[] = {"homeassistant/select/zul_test/answer_7/config",
                                "zul/test/room/7/homeassistant/event/zul_test_room_7/call/config",
                                "zul/test/room/7/call",
                                "zul/test/answer/7",
                                "zul/test/room/7/answer",
                                "zul/test/room/7/history"};
  for (const char* t : kStale) probe->publish(t, "{\"old\":true}", true);
  ASSERT_GE(probe->wait_for(kStale[3], "old", kWait), 0);
  auto run = start({"60000 end\n"});
  ASSERT_GE(probe->wait_for(topic("info"), "shield", kWait), 0) << run->log();
  const json info = probe->json_on(topic("info")).back();
  EXPECT_EQ(info, json::parse(R"({"intercom":10,"firmware":1,"shield":26,"version":"1.22"})"));
  auto discovery_count = [&] {
    int n = 0;
    for (const auto& m : probe->messages()) n += m.topic.rfind("homeassistant/", 0) == 0;
    return n;
  };
  // 1 event, 6 buttons, 1 sensor, 1 binary sensor, a select for rooms 5 and
  // 6, 5 diagnostics; and the stale config cleared.
  ASSERT_TRUE(probe->wait_until([&](const auto&) { return discovery_count() >= 18; }, kWait));
  // Home Assistant starting again gets everything again.
  probe->publish("homeassistant/status", "online");
  EXPECT_TRUE(probe->wait_until([&](const auto&) { return discovery_count() >= 34; }, kWait))
      << run->log();
  // What this configuration no longer announces is cleared: an empty
  // retained message, once.
  for (const char* t : kStale) {
    EXPECT_GE(probe->wait_for(t, "", kWait, 1), 0) << t;
    int cleared = 0;
    for (const auto& m : probe->messages()) cleared += m.topic == t && m.payload.empty();
    EXPECT_EQ(cleared, 1) << t << "\n" << run->log();
  }
  // The diagnostics: the program runs, no restart, nothing waiting.
  ASSERT_GE(probe->wait_for(topic("health"), "running", kWait), 0) << run->log();
  EXPECT_EQ(probe->json_on(topic("health")).back(),
            json::parse(R"({"program":"running","restarts":0,"waiting":0})"));

  // A client that comes later finds the retained records.
  auto late = make_probe("late");
  for (const char* sub : {"status", "info", "call", "answer/5", "answer/6", "health", "room/5/call",
                          "room/6/call", "room/5/answer", "room/6/answer"}) {
    bool retained = false;
    for (const auto& m : late->messages())
      retained = retained || (m.topic == topic(sub) && m.retained);
    EXPECT_TRUE(retained) << sub;
  }
  bool select_retained = false;
  for (const auto& m : late->messages()) {
    if (m.topic == "homeassistant/select/zul_test/answer_6/config") {
      select_retained = select_retained || m.retained;
      const json j = json::parse(m.payload);
      EXPECT_EQ(j["availability"][0]["topic"], topic("status"));
      EXPECT_EQ(j["unique_id"], "zul_test_answer_6");
    }
  }
  EXPECT_TRUE(select_retained) << [&] {
    std::string all;
    for (const auto& m : late->messages()) all += m.topic + (m.retained ? " (retained)\n" : "\n");
    return all;
  }();
  stop(run.get());
}

TEST_F(BridgeEndToEnd, AManualCallIsPickedUpOpenedAndHungUpByCommand) {
  auto run = start({"3000 dial 5\n40000 drop\n60000 end\n"});
  ASSERT_GE(probe->wait_for(topic("event"), "\"dial\"", kWait), 0) << run->log();
  size_t from = 0;
  command(R"({"action":"pickup","id":"p-1"})");
  json r = result("p-1", &from);
  EXPECT_EQ(r, json::parse(R"({"id":"p-1","action":"pickup","accepted":true,"code":1})"));
  ASSERT_GE(probe->wait_for(topic("call"), "\"answered\"", kWait), 0);
  command("open");
  r = result("\"open\"", &from);
  EXPECT_EQ(r, json::parse(R"({"action":"open","accepted":true,"code":2})"));
  command(R"({"action":"hangup","id":"h-1"})");
  r = result("h-1", &from);
  EXPECT_EQ(r, json::parse(R"({"id":"h-1","action":"hangup","accepted":true,"code":3})"));
  ASSERT_GE(probe->wait_for(topic("event"), "\"drop\"", kWait), 0) << run->log();
  stop(run.get());

  const auto calls = probe->json_on(topic("call"));
  std::vector<std::string> states;
  for (const json& c : calls) states.push_back(c["state"]);
  EXPECT_EQ(states, (std::vector<std::string>{"idle", "ringing", "answered", "idle"}));
  EXPECT_EQ(calls[2]["by"], "imitation");
  EXPECT_EQ(calls[2]["room"], 5);
  EXPECT_EQ(event_names(), (std::vector<std::string>{"dial", "drop"}));
  for (const json& e : events()) {
    EXPECT_EQ(e["call"], 1);
    EXPECT_EQ(e["time"].get<std::string>().size(), 24u) << e;  // 2026-12-09T03:05:42.123Z
  }
  EXPECT_EQ(events()[0]["route"], "imitated");

  // On the pins: the selector takes the line at the dial, then off hook,
  // the open key for a second, off hook again, on hook and the selector back.
  const auto w = bridge_test::pin_writes(bridge_test::read_file(pins_path));
  int i = bridge_test::find_write(w, 24, 1, 0);
  ASSERT_GE(i, 0);
  const int off_hook = bridge_test::find_write(w, 22, 0, static_cast<size_t>(i));
  ASSERT_GE(off_hook, 0);
  EXPECT_EQ(w[static_cast<size_t>(off_hook) - 1].gpio, 23);
  EXPECT_EQ(w[static_cast<size_t>(off_hook) - 1].level, 1);
  const int open_key = bridge_test::find_write(w, 23, 0, static_cast<size_t>(off_hook));
  ASSERT_GE(open_key, 0);
  EXPECT_EQ(w[static_cast<size_t>(open_key) + 1].gpio, 22);
  EXPECT_EQ(w[static_cast<size_t>(open_key) + 1].level, 0);
  const int key_released = bridge_test::find_write(w, 23, 1, static_cast<size_t>(open_key));
  ASSERT_GE(key_released, 0);
  // The key is held for a second: never less; more by whatever the loaded
  // machine adds to a real-time sleep, ten times over at ten times the speed.
  const double held = w[static_cast<size_t>(key_released)].t - w[static_cast<size_t>(open_key)].t;
  EXPECT_GE(held, 999);
  EXPECT_LE(held, 5000);
  const int on_hook = bridge_test::find_write(w, 22, 1, static_cast<size_t>(key_released));
  ASSERT_GE(on_hook, 0);
  EXPECT_GE(bridge_test::find_write(w, 24, 0, static_cast<size_t>(on_hook)), 0);
}

TEST_F(BridgeEndToEnd, AutomaticAnswersFollowTheRoomsMode) {
  SimSetup setup{"3000 dial 6\n20000 drop\n30000 dial 5\n40000 drop\n70000 end\n"};
  setup.extra_toml =
      "[answer.6]\nmode = \"open\"\npickup_after_ms = 300\nopen_after_ms = 300\n"
      "hangup_after_ms = 300\n[answer.5]\nmode = \"manual\"\npickup_after_ms = 200\n";
  auto run = start(setup);
  // Room 5 rejects its next call only, set at run time.
  ASSERT_GE(probe->wait_for(topic("answer/5"), "manual", kWait), 0);
  probe->publish(topic("answer/5/set"), R"({"mode":"reject","calls":1})");
  ASSERT_GE(probe->wait_for(topic("answer/5"), "\"calls\":1", kWait), 0) << run->log();

  size_t from = 0;
  for (const char* action : {"pickup", "open", "hangup"}) {
    const json r = result(std::string("\"") + action + "\"", &from);
    EXPECT_EQ(r["source"], "answer") << action;
    EXPECT_EQ(r["accepted"], true) << r;
    EXPECT_EQ(r["call"], 1) << r;
  }
  const json reject = result("\"hangup\"", &from);
  EXPECT_EQ(reject["call"], 2) << reject;
  EXPECT_EQ(reject["accepted"], true) << reject;
  ASSERT_TRUE(probe->wait_until([&](const auto&) { return event_names().size() >= 4; }, kWait))
      << run->log();
  stop(run.get());
  EXPECT_EQ(event_names(), (std::vector<std::string>{"dial", "drop", "dial", "drop"}));
  // Back to manual once its call has come.
  EXPECT_EQ(probe->json_on(topic("answer/5")).back(),
            json::parse(R"({"mode":"manual","configured":"manual"})"));
  std::vector<std::string> by;
  for (const json& c : probe->json_on(topic("call"))) {
    if (c.contains("by")) by.push_back(c["by"]);
  }
  ASSERT_FALSE(by.empty());
  EXPECT_EQ(by[0], "imitation");

  // The open answer went to the line: off hook, the open key, on hook.
  const auto w = bridge_test::pin_writes(bridge_test::read_file(pins_path));
  const int selector = bridge_test::find_write(w, 24, 1, 0);
  ASSERT_GE(selector, 0);
  const int off_hook = bridge_test::find_write(w, 22, 0, static_cast<size_t>(selector));
  ASSERT_GE(off_hook, 0);
  const int open_key = bridge_test::find_write(w, 23, 0, static_cast<size_t>(off_hook));
  ASSERT_GE(open_key, 0);
  EXPECT_EQ(w[static_cast<size_t>(open_key) + 1].level, 0);
}

TEST_F(BridgeEndToEnd, ARealHandsetsCallIsReportedAndLeftAlone) {
  SimSetup setup{"3000 dial 7\n6000 pickup\n8000 open\n10000 drop\n30000 end\n"};
  setup.speed = 4;
  auto run = start(setup);
  ASSERT_GE(probe->wait_for(topic("event"), "\"dial\"", kWait), 0) << run->log();
  size_t from = 0;
  command(R"({"action":"pickup","id":"mine"})");
  const json r = result("mine", &from);
  EXPECT_EQ(r["accepted"], false);
  EXPECT_EQ(r["reason"], "the call to room 7 belongs to a real handset");
  ASSERT_GE(probe->wait_for(topic("event"), "\"drop\"", kWait), 0) << run->log();
  stop(run.get());
  EXPECT_EQ(event_names(), (std::vector<std::string>{"dial", "pickup", "open", "drop"}));
  for (const json& e : events()) {
    EXPECT_EQ(e["call"], 1);
    EXPECT_EQ(e["room"], 7);
  }
  EXPECT_EQ(events()[0]["route"], "real");
  std::vector<std::string> states;
  for (const json& c : probe->json_on(topic("call"))) states.push_back(c["state"]);
  EXPECT_EQ(states, (std::vector<std::string>{"idle", "ringing", "answered", "idle"}));
  EXPECT_EQ(probe->json_on(topic("call"))[2]["by"], "handset");
  // The selector never took the line.
  const auto w = bridge_test::pin_writes(bridge_test::read_file(pins_path));
  EXPECT_EQ(bridge_test::find_write(w, 24, 1, 0), -1);
}

TEST_F(BridgeEndToEnd, CommandsTheStateDoesNotTakeNeverReachTheProgram) {
  // Left retained on the broker by some earlier tool: it must not act when
  // the bridge subscribes (nor at every reconnect).
  probe->publish(topic("command"), "relay2", true);
  ASSERT_GE(probe->wait_for(topic("command"), "relay2", kWait), 0) << "not on the broker yet";
  auto run = start({"60000 end\n"});
  ASSERT_GE(probe->wait_for(topic("info"), "shield", kWait), 0) << run->log();
  size_t from = 0;
  EXPECT_EQ(
      result("retained", &from),
      json::parse(R"({"accepted":false,)"
                  R"("reason":"a retained command is ignored; publish commands without retain"})"))
      << run->log();
  // Bytes that are not UTF-8 are refused and quoted, and the bridge lives on.
  command("\xff\xfe");
  const json odd = result("unknown action", &from);
  EXPECT_EQ(odd.value("accepted", true), false) << run->log();
  EXPECT_EQ(odd.value("action", ""), "\xef\xbf\xbd\xef\xbf\xbd");
  command("pickup");
  EXPECT_EQ(result("pickup", &from),
            json::parse(R"({"action":"pickup","accepted":false,"reason":"no call is ringing"})"));
  command("{\"action\":");
  EXPECT_EQ(result("malformed", &from),
            json::parse(R"({"accepted":false,"reason":"malformed JSON"})"));
  command(R"({"action":"relay","relay":7,"id":"r7"})");
  EXPECT_EQ(result("r7", &from),
            json::parse(R"j({"id":"r7","action":"relay","accepted":false,)j"
                        R"j("reason":"relay 7 does not exist (0, 1 or 2)"})j"));
  command("hangup");
  EXPECT_EQ(
      result("hangup", &from),
      json::parse(R"({"action":"hangup","accepted":false,"reason":"no call is in progress"})"));
  // The one accepted command goes through.
  command("relay1");
  EXPECT_EQ(result("relay", &from),
            json::parse(R"({"action":"relay","relay":1,"accepted":true,"code":21})"));
  ASSERT_TRUE(record_shows(" pin 25 1\n")) << run->log();  // the pulse has started
  stop(run.get());
  const auto w = bridge_test::pin_writes(bridge_test::read_file(pins_path));
  EXPECT_GE(bridge_test::find_write(w, 25, 1, 0), 0);  // relay 1
  for (int gpio : {6, 16, 26, 24}) EXPECT_EQ(bridge_test::find_write(w, gpio, 1, 0), -1) << gpio;
  EXPECT_EQ(bridge_test::find_write(w, 22, 0, 0), -1);  // never off hook
}

// A room in a topic is read as the bridge writes it, and any other spelling
// is refused alike, on the result topic its sender reads.
TEST_F(BridgeEndToEnd, ARoomInATopicIsReadOneWayForEveryTopicWithARoom) {
  SimSetup setup{"6000000 end\n"};
  setup.rooms = "[rooms]\nimitate = [7]\n";
  auto run = start(setup);
  ASSERT_GE(probe->wait_for(topic("info"), "shield", kWait), 0) << run->log();
  size_t from = 0;
  for (const std::string level : {"7", "07", " 7", "4096", "", "-1", "7x"}) {
    const json refused = {{"accepted", false},
                          {"reason", "\"" + level + "\" is not a room number"}};
    const size_t before = probe->messages().size();
    probe->publish(topic("room/" + level + "/command"), "pickup");
    const int i =
        probe->wait_for(topic("room/" + level + "/command/result"), "accepted", kWait, before);
    ASSERT_GE(i, 0) << "[" << level << "] " << run->log();
    const json pickup = level == "7" ? json{{"action", "pickup"},
                                            {"accepted", false},
                                            {"reason", "no call to room 7 is in progress"}}
                                     : refused;
    EXPECT_EQ(json::parse(probe->messages()[static_cast<size_t>(i)].payload), pickup)
        << "[" << level << "]";
    probe->publish(topic("answer/" + level + "/set"), "open");
    json answer = level == "7" ? json{{"room", 7}, {"accepted", true}, {"mode", "open"}} : refused;
    answer.update({{"action", "answer"}});
    if (level != "7") answer["room"] = level;
    EXPECT_EQ(result("\"answer\"", &from), answer) << "[" << level << "]";
    // A household's answer: its result where its sender looks.
    const size_t sent = probe->messages().size();
    probe->publish(topic("room/" + level + "/answer/set"), "manual");
    const int r =
        probe->wait_for(topic("room/" + level + "/command/result"), "answer", kWait, sent);
    ASSERT_GE(r, 0) << "[" << level << "] " << run->log();
    if (level == "7") answer["mode"] = "manual";
    EXPECT_EQ(json::parse(probe->messages()[static_cast<size_t>(r)].payload), answer)
        << "[" << level << "]";
  }
  stop(run.get());
}

TEST_F(BridgeEndToEnd, EventsOfABrokerOutageArriveOnceInOrder) {
  std::string scenario;
  constexpr int kCalls = 10;
  for (int c = 0; c < kCalls; ++c) {
    // Four seconds of quiet after the first call, for the broker to go in.
    const int t = c == 0 ? 3000 : 20000 + c * 2000;
    scenario += std::to_string(t) + " dial 7\n" + std::to_string(t + 500) + " pickup\n" +
                std::to_string(t + 1000) + " drop\n";
  }
  scenario += "90000 end\n";
  SimSetup setup{scenario};
  setup.speed = 4;  // then a call every half second
  auto run = start(setup);
  // The first call is over, and acknowledged: the result of a command sent
  // after its drop comes on the bridge's connection after the broker's
  // acknowledgement of the drop. QoS 1 repeats a message whose
  // acknowledgement a lost connection took with it; none is in flight here.
  ASSERT_GE(probe->wait_for(topic("event"), "\"drop\"", kWait), 0) << run->log();
  size_t first = 0;
  command(R"({"action":"hangup","id":"first"})");
  ASSERT_FALSE(result("first", &first).is_null()) << run->log();
  broker.stop();
  // Calls happen meanwhile.
  ASSERT_TRUE(wait_until([&] { return count_of(run->log(), "program: drop") >= 3; })) << run->log();
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(probe->wait_until([&](const auto&) { return events().size() >= 3 * kCalls; }, 60))
      << run->log();
  // A result comes after every event the bridge had: anything repeated
  // would be before it.
  size_t from = 0;
  command(R"({"action":"hangup","id":"last"})");
  ASSERT_FALSE(result("last", &from).is_null()) << run->log();
  std::vector<std::string> got, expected;
  for (const json& e : events())
    got.push_back(e["event"].get<std::string>() + " " + e["call"].dump());
  for (int c = 1; c <= kCalls; ++c) {
    for (const std::string name : {"dial", "pickup", "drop"}) {
      std::string item = name;
      item += ' ';
      item += std::to_string(c);
      expected.push_back(item);
    }
  }
  EXPECT_EQ(got, expected);
  const std::string log = run->log();
  EXPECT_NE(log.find("disconnected from the broker"), std::string::npos) << log;
  EXPECT_NE(log.find("messages waiting"), std::string::npos) << log;
  stop(run.get());
}

TEST_F(BridgeEndToEnd, ABrokerThatStartsAfterTheBridgeIsReachedAllTheSame) {
  probe.reset();
  broker.stop();
  config_path =
      bridge_test::sim_config(dir, broker.port(), {"3000 dial 7\n200000 end\n"}, &pins_path);
  BridgeRun run(config_path);
  ASSERT_TRUE(wait_until([&] { return run.log().find("not reached") != std::string::npos; }))
      << run.log();
  ASSERT_TRUE(broker.start());
  probe = make_probe("probe");
  EXPECT_GE(probe->wait_for(topic("status"), "online", kWait), 0) << run.log();
  // The dial happened before the broker was there; it arrives now.
  EXPECT_GE(probe->wait_for(topic("event"), "\"dial\"", kWait), 0) << run.log();
  EXPECT_NE(run.log().find("not reached"), std::string::npos) << run.log();
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(kWait), 0) << run.log();
}

// Two brokers listed: the first one stops, and the bridge goes on with the
// second, where events, commands and availability are as they were; the
// second stops with the first back, and it returns to the first.
TEST_F(BridgeEndToEnd, ABridgeWhoseBrokerStopsGoesOnWithTheNextListed) {
  Broker second;
  ASSERT_TRUE(second.start()) << "the second broker did not start";
  auto probe2 = make_probe("probe2", second.port());
  SimSetup setup{"3000 dial 5\n6000 drop\n100000 dial 5\n250000 drop\n400000 end\n"};
  setup.mqtt_toml = "hosts = [\"127.0.0.1:" + std::to_string(broker.port()) +
                    "\", \"localhost:" + std::to_string(second.port()) + "\"]\n";
  auto run = start(setup);
  ASSERT_GE(probe->wait_for(topic("event"), "\"drop\"", kWait), 0) << run->log();
  EXPECT_EQ(probe2->wait_for(topic("status"), "online", 0.1), -1) << "the bridge is on both";

  broker.stop();
  ASSERT_GE(probe2->wait_for(topic("status"), "online", kWait), 0) << run->log();
  // A newcomer there is told by the retained messages that it is online.
  auto newcomer = make_probe("newcomer", second.port());
  const int online = newcomer->wait_for(topic("status"), "online", kWait);
  ASSERT_GE(online, 0) << run->log();
  EXPECT_TRUE(newcomer->messages()[static_cast<size_t>(online)].retained);
  EXPECT_GE(newcomer->wait_for(topic("health"), "\"running\"", kWait), 0) << run->log();
  // The next call is reported there, and answered from there.
  ASSERT_GE(probe2->wait_for(topic("event"), "\"dial\"", kWait), 0) << run->log();
  const size_t before = probe2->messages().size();
  probe2->publish(topic("command"), R"({"action":"pickup","id":"via-2"})");
  const int result = probe2->wait_for(topic("command/result"), "via-2", kWait, before);
  ASSERT_GE(result, 0) << run->log();
  EXPECT_EQ(json::parse(probe2->messages()[static_cast<size_t>(result)].payload)["accepted"], true);
  // The program's own report of the line taken.
  EXPECT_GE(probe2->wait_for(topic("call"), "\"answered\"", kWait), 0) << run->log();
  // A will of the connection to the first, sent late (a node that noticed
  // the connection's end only now), is answered.
  const size_t late = probe2->messages().size();
  probe2->publish(topic("status"), "offline", true);
  EXPECT_GE(probe2->wait_for(topic("status"), "online", kWait, late), 0) << run->log();
  const std::string second_text = "localhost:" + std::to_string(second.port());
  EXPECT_NE(run->log().find("connected to the broker " + second_text), std::string::npos)
      << run->log();

  // Round the list: the first one back, the second gone.
  ASSERT_TRUE(broker.start());
  second.stop();
  const std::string first_text = "127.0.0.1:" + std::to_string(broker.port());
  ASSERT_TRUE(wait_until([&] {
    return count_of(run->log(), "connected to the broker " + first_text) >= 2;
  })) << run->log();
  // A new probe: ejabberd keeps no sessions across its restart.
  auto back = make_probe("back");
  back->publish(topic("command"), R"({"action":"hangup","id":"via-1"})");
  EXPECT_GE(back->wait_for(topic("command/result"), "via-1", kWait), 0) << run->log();
  EXPECT_GE(back->wait_for(topic("status"), "online", kWait), 0) << run->log();
  stop(run.get());
}

TEST_F(BridgeEndToEnd, ACleanStopHandsTheLineBackAndSaysOffline) {
  auto run = start({"3000 dial 5\n200000 end\n"});
  ASSERT_GE(probe->wait_for(topic("event"), "\"dial\"", kWait), 0) << run->log();
  size_t from = 0;
  command("pickup");
  ASSERT_EQ(result("pickup", &from)["accepted"], true);
  ASSERT_TRUE(record_shows(" pin 22 0\n")) << run->log();  // answered: off hook
  const pid_t program = run->program_pid();
  ASSERT_GT(program, 0);
  const size_t before = probe->messages().size();
  stop(run.get());
  EXPECT_GE(probe->wait_for(topic("status"), "offline", kWait, before), 0);
  EXPECT_NE(kill(program, 0), 0) << "the program outlived the bridge";
  EXPECT_NE(run->log().find("program stopped (status 143)"), std::string::npos) << run->log();

  const auto w = bridge_test::pin_writes(bridge_test::read_file(pins_path));
  const int taken = bridge_test::find_write(w, 24, 1, 0);
  ASSERT_GE(taken, 0);
  for (const auto& [gpio, level] : kIdleLevels) {
    int last = -1;
    for (size_t i = 0; i < w.size(); ++i) {
      if (w[i].gpio == gpio) last = static_cast<int>(i);
    }
    ASSERT_GT(last, taken) << gpio;
    EXPECT_EQ(w[static_cast<size_t>(last)].level, level) << "gpio " << gpio;
  }
  auto late = make_probe("late");
  bool offline_retained = false;
  for (const auto& m : late->messages()) {
    if (m.topic == topic("status")) offline_retained = m.retained && m.payload == "offline";
  }
  EXPECT_TRUE(offline_retained);
}

TEST_F(BridgeEndToEnd, TheLastWillSaysOfflineWhenTheBridgeIsKilled) {
  auto run = start({"200000 end\n"});
  ASSERT_GE(probe->wait_for(topic("info"), "shield", kWait), 0) << run->log();
  const pid_t program = run->program_pid();
  const size_t before = probe->messages().size();
  run->signal(SIGKILL);
  EXPECT_EQ(run->wait(kWait), 128 + SIGKILL);
  EXPECT_GE(probe->wait_for(topic("status"), "offline", kWait, before), 0);
  // The program, orphaned, is no part of the next test.
  if (program > 0) kill(program, SIGKILL);
}

// Stands in for systemd: the socket of NOTIFY_SOCKET, and what the bridge
// says on it, one datagram at a time.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  // The next datagram, or "" when none came within the time.
  std::string next(double timeout_s) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_s * 1000)) != 1) return "";
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) said_.emplace_back(buffer, static_cast<size_t>(n));
    return n > 0 ? said_.back() : "";
  }
  // Datagrams until one starts with `text`, for at most kWait.
  bool until(const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
      if (next(std::chrono::duration<double>(end - now).count()).rfind(text, 0) == 0) return true;
    }
    return false;
  }
  bool said(const std::string& text) const {
    return std::find(said_.begin(), said_.end(), text) != said_.end();
  }
  std::string last() const { return said_.empty() ? "" : said_.back(); }
  std::string all() const {
    std::string text;
    for (const std::string& d : said_) text += d + "\n";
    return text;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<std::string> said_;
};

TEST_F(BridgeEndToEnd, SystemdHearsReadyAfterTheHandshakeAndPingsOnlyWhileTheLoopTurns) {
  // The program's handshake waits until the test lets it start.
  std::string config = bridge_test::read_file(
      bridge_test::sim_config(dir, broker.port(), {"200000 end\n"}, &pins_path));
  const std::string gate = dir.path() + "/gate";
  const std::string held = "while [ ! -e '" + gate + "' ]; do sleep 0.05; done; exec \"$0\" \"$@\"";
  config.replace(config.find("command = ["), 11,
                 "command = [\"sh\", \"-c\", " + json(held).dump() + ", ");
  NotifySocket manager(dir.path() + "/notify");
  ASSERT_TRUE(manager.bound());
  setenv("NOTIFY_SOCKET", (dir.path() + "/notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "1000000", 1);  // a ping due every 250 ms
  BridgeRun run(dir.file("bridge.toml", config));
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");

  // Connected, and a pass of the loop since: no READY before the handshake.
  ASSERT_TRUE(
      manager.until("STATUS=program starting; 0 restarts; 0 events waiting; broker connected"))
      << manager.all() << run.log();
  // Before it is ready, the pings stretch the start's timeout instead.
  ASSERT_TRUE(manager.until("WATCHDOG=1\nEXTEND_TIMEOUT_USEC=1000000")) << manager.all();
  EXPECT_FALSE(manager.said("READY=1")) << manager.all();
  std::ofstream(gate).put('\n');
  ASSERT_TRUE(manager.until("READY=1")) << manager.all() << run.log();
  EXPECT_NE(run.log().find("program ready"), std::string::npos) << run.log();
  EXPECT_TRUE(
      manager.said("STATUS=program running; 0 restarts; 0 events waiting; broker connected"))
      << manager.all();

  // A held loop: no ping for twice the interval; going on, it pings again.
  run.signal(SIGSTOP);
  ASSERT_TRUE(wait_until([&] {
    const std::string stat = bridge_test::read_file("/proc/" + std::to_string(run.pid()) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && stat.compare(end, 3, ") T") == 0;
  }));
  while (!manager.next(0).empty()) {
  }
  EXPECT_EQ(manager.next(2.0), "") << "a stopped bridge still pings";
  run.signal(SIGCONT);
  EXPECT_TRUE(manager.until("WATCHDOG=1")) << manager.all();
  EXPECT_EQ(manager.last(), "WATCHDOG=1");  // no more stretching once ready
  stop(&run);
  EXPECT_TRUE(manager.until("STOPPING=1")) << manager.all();
}

TEST_F(BridgeEndToEnd, AProgramThatEndsIsStartedAgain) {
  // The simulator ends after each call; the bridge reports it and starts it again.
  SimSetup setup{"3000 dial 5\n5000 end\n"};
  setup.speed = 4;  // time for the start-up under a sanitizer or an emulator too
  setup.driver_toml = "records_kept = 2\n";
  auto run = start(setup);
  ASSERT_TRUE(probe->wait_until([&](const auto&) { return events().size() >= 3; }, kWait))
      << run->log();
  const auto e = events();
  EXPECT_EQ(e[0]["event"], "dial");
  EXPECT_EQ(e[0]["call"], 1);
  EXPECT_EQ(e[1]["event"], "driver_exit");
  EXPECT_EQ(e[1]["status"], 0);
  EXPECT_EQ(e[1]["restart_in_ms"], 1000);
  EXPECT_EQ(e[2]["event"], "dial");
  EXPECT_EQ(e[2]["call"], 2);
  // Each unplanned exit keeps the program's record; the newest two stay.
  ASSERT_TRUE(probe->wait_until(
      [&](const auto&) {
        int exits = 0;
        for (const json& x : events()) exits += x["event"] == "driver_exit";
        return exits >= 3;
      },
      kWait))
      << run->log();
  ASSERT_TRUE(wait_until([&] { return count_of(run->log(), "its record is kept in") >= 3; }))
      << run->log();
  std::string out;
  EXPECT_EQ(bridge_test::run_command("ls '" + dir.path() + "/records'", &out), 0);
  int kept = 0;
  for (size_t at = out.find("exit-"); at != std::string::npos; at = out.find("exit-", at + 1)) {
    ++kept;
    const std::string name = out.substr(at, out.find('\n', at) - at);
    const std::string text = bridge_test::read_file(dir.path() + "/records/" + name);
    EXPECT_NE(text.find(" out dial 5\n"), std::string::npos) << name;
    const std::string end = " end status 0\n";
    EXPECT_TRUE(text.size() > end.size() &&
                text.compare(text.size() - end.size(), end.size(), end) == 0)
        << name << " ends: " << text.substr(text.size() > 60 ? text.size() - 60 : 0);
  }
  EXPECT_EQ(kept, 2) << out;
  stop(run.get());
}

TEST_F(BridgeEndToEnd, AProgramWithoutRightsIsReportedAsSuchAndRetriedWithABackoff) {
  const std::string config = dir.file(
      "bridge.toml",
      "[driver]\ncommand = [\"/bin/sh\", \"-c\", \"echo ZUL_STM_Driver 1.22; exit 3\", \"sh\"]\n"
      "intercom = 10\nworking_directory = \"/\"\n[mqtt]\nport = " +
          std::to_string(broker.port()) + "\ntopic = \"zul/test\"\n" +
          bridge_test::broker_login(dir));
  BridgeRun run(config);
  ASSERT_TRUE(probe->wait_until([&](const auto&) { return events().size() >= 2; }, kWait))
      << run.log();
  const auto e = events();
  for (const json& x : e) {
    EXPECT_EQ(x["event"], "driver_exit");
    EXPECT_EQ(x["status"], 3);
    EXPECT_EQ(x["reason"],
              "the board could not be opened (see the program's lines on standard error)");
  }
  EXPECT_EQ(e[0]["restart_in_ms"], 1000);
  EXPECT_EQ(e[1]["restart_in_ms"], 2000);
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(kWait), 0) << run.log();
}

TEST_F(BridgeEndToEnd, AProgramThatCannotOpenTheBoardIsReportedInItsOwnWords) {
  const std::string line =
      "/dev/spidev0.0 does not exist: SPI is switched off; put dtparam=spi=on in config.txt "
      "(/boot/firmware/config.txt) and reboot";
  const std::string config = dir.file(
      "bridge.toml", "[driver]\ncommand = [\"/bin/sh\", \"-c\", \"echo 'zul_stm_driver: " + line +
                         "' >&2; exit 3\", \"sh\"]\nintercom = 10\nworking_directory = \"/\"\n"
                         "[mqtt]\nport = " +
                         std::to_string(broker.port()) + "\ntopic = \"zul/test\"\n" +
                         bridge_test::broker_login(dir));
  BridgeRun run(config);
  const std::string reason = "the board could not be opened: " + line + " (status 3)";
  ASSERT_TRUE(probe->wait_until(
      [&](const auto&) {
        const auto h = probe->json_on(topic("health"));
        return !h.empty() && h.back().value("restarts", 0) >= 2;
      },
      kWait))
      << run.log();
  // Retained: as whoever looks later finds it.
  auto late = make_probe("late");
  ASSERT_TRUE(late->wait_until(
      [&](const auto& ms) {
        for (const auto& m : ms) {
          if (m.topic == topic("health")) return m.retained;
        }
        return false;
      },
      kWait));
  EXPECT_EQ(late->json_on(topic("health")).front()["reason"], reason);
  // Its line reaches the journal as it wrote it, and the bridge's line says why.
  EXPECT_NE(run.log().find("\nzul_stm_driver: " + line + "\n"), std::string::npos) << run.log();
  EXPECT_NE(run.log().find("program ended: the board could not be opened: " + line +
                           " (status 3); starting it again in"),
            std::string::npos)
      << run.log();
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(kWait), 0) << run.log();
}

TEST_F(BridgeEndToEnd, AProgramFloodingItsStandardErrorLeavesABoundedReason) {
  // 1 MiB of a two-byte character on one line: the 509 bytes kept before
  // the ellipsis would end inside one.
  const std::string flood =
      "printf 'zul_stm_driver: ' >&2; yes \u00e9 | tr -d '\\\\n' | head -c 1048576 >&2; exit 1";
  const std::string config = dir.file(
      "bridge.toml", "[driver]\ncommand = [\"/bin/sh\", \"-c\", \"" + flood +
                         "\", \"sh\"]\nintercom = 10\nworking_directory = \"/\"\n[mqtt]\nport = " +
                         std::to_string(broker.port()) + "\ntopic = \"zul/test\"\n" +
                         bridge_test::broker_login(dir));
  BridgeRun run(config);
  std::string kept;
  for (int i = 0; i < 254; ++i) kept += "\u00e9";
  // Status 1 is what the program ends with when it has no intercom argument.
  const std::string reason = "no intercom argument: " + kept + "\u2026 (status 1)";
  ASSERT_GE(probe->wait_for(topic("health"), reason, kWait), 0)
      << probe->json_on(topic("health")).size() << " health messages";
  // The loop still serves the broker.
  size_t from = 0;
  command(R"({"action":"pickup"})");
  EXPECT_EQ(result("pickup", &from)["accepted"], false);
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(kWait), 0);
}

TEST_F(BridgeEndToEnd, AFlightRecordFetchedOverMqttReplaysIdentical) {
  // In real time at 1x: the replay compares times within 50 ms.
  SimSetup setup{"1000 dial 5\n6000 drop\n60000 end\n"};
  setup.speed = 1;
  setup.extra_toml =
      "[answer.5]\nmode = \"open\"\npickup_after_ms = 300\nopen_after_ms = 300\n"
      "hangup_after_ms = 300\n";
  auto run = start(setup);
  ASSERT_GE(probe->wait_for(topic("event"), "\"drop\"", kWait), 0) << run->log();
  size_t from = 0;
  const std::string record = fetch_record();
  const json r = result("\"record\"", &from);
  EXPECT_EQ(r["accepted"], true) << r;
  EXPECT_EQ(r["encoding"], "gzip") << r;
  EXPECT_LT(r["published_bytes"].get<long>(), r["bytes"].get<long>() / 2) << r;
  EXPECT_EQ(r["bytes"].get<size_t>(), record.size()) << r;
  ASSERT_NE(record.find(" out dial 5\n"), std::string::npos) << record;
  ASSERT_NE(record.find(" in 3\n"), std::string::npos) << record;  // the answer's hang up
  const std::string path = dir.file("fetched.rec", record);
  std::string out;
  // Times within a second: on a loaded machine a real-time sleep overshoots
  // by more than the default 50 ms; frames, pins and lines stay exact.
  std::string replay;
  for (const std::string& a : bridge_test::launched(ZUL_SIM_PATH)) replay += "'" + a + "' ";
  EXPECT_EQ(bridge_test::run_command(replay + "--replay '" + path + "' --tolerance 1000", &out), 0)
      << out;
  EXPECT_EQ(out, "replay: identical\n");
  stop(run.get());
}

// A building: households 5 and 6 on one broker that knows its users, each
// reaching its own room's topics alone.
class BridgeHouseholds : public BridgeEndToEnd {
 protected:
  void SetUp() override {
    const std::string b = kBase;
    // As doc/mqtt.md sets it up, and a marker topic for the tests' readiness.
    const std::string acl = "user bridge\ntopic readwrite " + b +
                            "/#\ntopic readwrite homeassistant/#\n"
                            "user operator\ntopic read " +
                            b + "/#\ntopic write " + b +
                            "/command\n"
                            "topic write " +
                            b + "/answer/+/set\ntopic write " + b +
                            "/record/get\n"
                            "topic read homeassistant/#\ntopic write homeassistant/status\n"
                            "topic readwrite " +
                            b +
                            "/probe\n"
                            "user room5\ntopic read " +
                            b + "/room/5/#\ntopic write " + b + "/room/5/command\ntopic write " +
                            b +
                            "/room/5/answer/set\n"
                            "user room6\ntopic read " +
                            b + "/room/6/#\ntopic write " + b + "/room/6/command\ntopic write " +
                            b + "/room/6/answer/set\n";
    if (Broker::available()) {
      ASSERT_TRUE(broker.secure({{"bridge", "b-secret"},
                                 {"operator", "o-secret"},
                                 {"room5", "5-secret"},
                                 {"room6", "6-secret"}},
                                acl));
    }
    probe_user = "operator";
    probe_password = "o-secret";
    BridgeEndToEnd::SetUp();
  }

  // The bridge logs in as its own broker user, its password in a file.
  void log_in_as_bridge(SimSetup* setup) {
    const std::string password = dir.path() + "/bridge.password";
    std::ofstream(password) << "b-secret\n";
    chmod(password.c_str(), 0600);
    setup->mqtt_toml = "username = \"bridge\"\npassword_file = \"" + password + "\"\n";
  }

  std::unique_ptr<Probe> household(int room) {
    const std::string r = std::to_string(room);
    auto p = std::make_unique<Probe>(broker.port(), "household" + r, "room" + r, r + "-secret");
    EXPECT_TRUE(p->connected());
    // Everything it tries to read; the broker hands it its own room's alone.
    p->subscribe(topic("#"));
    p->subscribe(topic("event"));
    // Mosquitto hands it what the ACL lets it read of those; ejabberd
    // refuses a subscription beyond its rules whole, so there a household
    // subscribes to its own room.
    if (Broker::kind() == "ejabberd") p->subscribe(topic("room/" + r + "/#"));
    EXPECT_GE(p->wait_for(topic("room/" + r + "/call"), "idle", kWait), 0) << "not subscribed";
    return p;
  }
};

TEST_F(BridgeHouseholds, EachHouseholdReachesItsOwnRoomOnly) {
  SimSetup setup{"3000 dial 6\n90000 drop\n100000 dial 5\n400000 drop\n500000 end\n"};
  log_in_as_bridge(&setup);
  auto run = start(setup);
  auto five = household(5);
  const std::string r5 = topic("room/5/command");
  const std::string r5_result = topic("room/5/command/result");
  size_t seen = 0;
  auto five_result = [&](const std::string& part) {
    const int i = five->wait_for(r5_result, part, kWait, seen);
    if (i < 0) return json();
    seen = static_cast<size_t>(i) + 1;
    return json::parse(five->messages()[static_cast<size_t>(i)].payload);
  };

  // Room 6's call rings: room 5's household can do nothing to it.
  ASSERT_GE(probe->wait_for(topic("event"), "\"dial\"", kWait), 0) << run->log();
  for (const char* action : {"pickup", "open", "hangup"}) {
    five->publish(r5, std::string(R"({"id":"x-)") + action + R"(","action":")" + action + "\"}");
    EXPECT_EQ(five_result(std::string("x-") + action),
              json::parse(std::string(R"({"id":"x-)") + action + R"(","action":")" + action +
                          R"(","accepted":false,"reason":"no call to room 5 is in progress"})"))
        << run->log();
  }
  // Nor through topics that are not its own: the broker drops these. The
  // result of its next command comes after them, had they arrived.
  five->publish(topic("room/6/command"), "pickup");
  five->publish(topic("command"), "relay1");
  five->publish(topic("record/get"), "");
  five->publish(r5, "relay1");
  EXPECT_EQ(five_result("relay"),
            json::parse(R"({"action":"relay","accepted":false,)"
                        R"("reason":"relays are not reachable from a room's topic"})"));

  // Its own call: picked up, the door opened, hung up.
  ASSERT_GE(five->wait_for(topic("room/5/event"), "\"dial\"", kWait), 0) << run->log();
  for (const char* action : {"pickup", "open", "hangup"}) {
    five->publish(r5, action);
    const json r = five_result(std::string("\"") + action + "\"");
    EXPECT_EQ(r["accepted"], true) << r << run->log();
    if (std::string(action) == "pickup") {
      ASSERT_GE(five->wait_for(topic("room/5/call"), "answered", kWait), 0);
    }
  }
  // With no call in progress again.
  five->publish(r5, "open");
  EXPECT_EQ(five_result("\"open\"")["reason"], "no call to room 5 is in progress");
  stop(run.get());

  // Room 5's household saw its own room's topics alone, and nothing of room 6.
  std::vector<std::string> events;
  for (const auto& m : five->messages()) {
    EXPECT_EQ(m.topic.rfind(topic("room/5/"), 0), 0u) << m.topic;
    EXPECT_EQ(m.payload.find("\"room\":6"), std::string::npos) << m.topic << " " << m.payload;
    if (m.topic == topic("room/5/event")) events.push_back(json::parse(m.payload)["event"]);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"dial"}));
  std::vector<std::string> states;
  for (const auto& m : five->messages()) {
    if (m.topic == topic("room/5/call")) states.push_back(json::parse(m.payload)["state"]);
  }
  EXPECT_EQ(states, (std::vector<std::string>{"idle", "ringing", "answered", "idle"}));
  // None of its refused or forbidden commands reached the program: room 6
  // was never answered, no relay moved, no record was asked for.
  for (const json& c : probe->json_on(topic("call"))) {
    if (c["room"] == 6) {
      EXPECT_NE(c["state"], "answered") << c;
    }
  }
  // A household's results, those the program's reports settle too, go to
  // its own room's topic alone: the operator's has none of them.
  for (const auto& m : probe->messages()) {
    EXPECT_NE(m.topic, topic("record")) << "a record was sent";
    EXPECT_NE(m.topic, topic("command/result")) << m.payload;
  }
  const auto w = bridge_test::pin_writes(bridge_test::read_file(pins_path));
  for (int gpio : {6, 25, 16}) EXPECT_EQ(bridge_test::find_write(w, gpio, 1, 0), -1) << gpio;
  // The codes the program read: room 5's pick up, open and hang up alone.
  std::string codes;
  for (const std::string& line : {std::string("zul_stm_mqtt: sent code ")}) {
    for (size_t at = run->log().find(line); at != std::string::npos;
         at = run->log().find(line, at + 1)) {
      codes +=
          run->log().substr(at + line.size(), run->log().find('\n', at) - at - line.size()) + " ";
    }
  }
  EXPECT_EQ(codes, "1 2 3 ");
}

}  // namespace

namespace {

// Open-key presses on the pins: the key (23 low) with the hook line off
// (22 low), as the driver's open sequences write them.
int open_key_presses(const std::vector<bridge_test::PinWrite>& w) {
  int n = 0;
  for (size_t i = 0; i + 1 < w.size(); ++i) {
    n += w[i].gpio == 23 && w[i].level == 0 && w[i + 1].gpio == 22 && w[i + 1].level == 0;
  }
  return n;
}

int pulses(const std::vector<bridge_test::PinWrite>& w, int gpio) {
  int n = 0;
  for (const auto& x : w) n += x.gpio == gpio && x.level == 1;
  return n;
}

TEST_F(BridgeEndToEnd, CallsEveryTwentySecondsAnsweredAutomaticallyAreAllCarriedOut) {
  constexpr int kCalls = 10;
  std::string scenario;
  for (int c = 0; c < kCalls; ++c) {
    const int t = 3000 + c * 20000;
    scenario += std::to_string(t) + " dial 5\n" + std::to_string(t + 12000) + " drop\n";
  }
  scenario += std::to_string(3000 + kCalls * 20000) + " end\n";
  SimSetup setup{scenario};
  setup.speed = 10;
  // The answer's waits are the bridge's, in real time: pick up 1 s after the
  // dial, open at 2 s (while the pickup still holds the program's main
  // loop), hang up at 4 s, on the simulated clock.
  setup.extra_toml =
      "[answer.5]\nmode = \"open\"\npickup_after_ms = 100\nopen_after_ms = 100\n"
      "hangup_after_ms = 200\n";
  auto run = start(setup);
  ASSERT_TRUE(probe->wait_until(
      [&](const auto&) {
        int drops = 0;
        for (const json& e : events()) drops += e["event"] == "drop";
        return drops >= kCalls;
      },
      60))
      << run->log();
  stop(run.get());
  std::vector<std::string> got, expected;
  for (const json& r : probe->json_on(topic("command/result"))) {
    got.push_back(r["action"].get<std::string>() + " " + r["call"].dump() + " " +
                  r["accepted"].dump());
  }
  for (int c = 1; c <= kCalls; ++c) {
    for (const char* action : {"pickup", "open", "hangup"}) {
      expected.push_back(std::string(action) + " " + std::to_string(c) + " true");
    }
  }
  EXPECT_EQ(got, expected) << run->log();
  // Each call was answered and its door opened on the line.
  EXPECT_EQ(open_key_presses(bridge_test::pin_writes(bridge_test::read_file(pins_path))), kCalls)
      << run->log();
}

TEST_F(BridgeHouseholds, AHouseholdLetsACourierInAndKeepsItsHistory) {
  // Room 5's first call comes once its household has set the courier mode;
  // its second it rejects by hand.
  SimSetup setup{"100000 dial 5\n120000 drop\n130000 dial 5\n230000 drop\n260000 end\n"};
  setup.extra_toml =
      "[answer.5]\nmode = \"manual\"\npickup_after_ms = 200\nopen_after_ms = 200\n"
      "hangup_after_ms = 200\n";
  log_in_as_bridge(&setup);
  auto run = start(setup);
  auto five = household(5);
  const std::string set = topic("room/5/answer/set");
  const std::string answer = topic("room/5/answer");
  size_t seen = 0;
  auto five_result = [&](const std::string& part) {
    const int i = five->wait_for(topic("room/5/command/result"), part, kWait, seen);
    if (i < 0) return json();
    seen = static_cast<size_t>(i) + 1;
    return json::parse(five->messages()[static_cast<size_t>(i)].payload);
  };
  const json manual = json::parse(R"({"mode":"manual","configured":"manual"})");
  ASSERT_TRUE(five->wait_until([&](const auto&) { return !five->json_on(answer).empty(); }, kWait));
  EXPECT_EQ(five->json_on(answer).back(), manual);

  // Not its neighbour's answer: the broker drops these, and the refusals
  // that follow would come after them.
  five->publish(topic("room/6/answer/set"), "open");
  five->publish(topic("answer/6/set"), "open");
  const std::pair<const char*, const char*> refused[] = {
      {"courier", "unknown mode \"courier\" (manual, open or reject)"},
      {R"({"mode":"open","calls":0})", "\"calls\" must be a whole number of calls, 1 or more"},
      {R"({"mode":"open","until":"2001-01-01T00:00:00Z"})",
       "\"until\" 2001-01-01T00:00:00Z has passed"},
  };
  for (const auto& [payload, reason] : refused) {
    five->publish(set, payload);
    EXPECT_EQ(five_result("\"answer\""),
              (json{{"action", "answer"}, {"room", 5}, {"accepted", false}, {"reason", reason}}))
        << payload;
  }
  five->publish(set, R"({"mode":"open","calls":1})");
  EXPECT_EQ(five_result("\"answer\""),
            json::parse(R"({"action":"answer","room":5,"accepted":true,"mode":"open"})"));
  ASSERT_GE(five->wait_for(answer, "\"calls\":1", kWait), 0) << run->log();
  EXPECT_EQ(five->json_on(answer).back(),
            json::parse(R"({"mode":"open","configured":"manual","calls":1})"));

  // The call: answered and the door opened without a touch, then manual
  // again, on the household's topic as on the operator's.
  ASSERT_GE(five->wait_for(topic("room/5/call"), "\"imitation\"", kWait), 0) << run->log();
  size_t from = 0;
  const json opened = result("\"open\"", &from);
  EXPECT_EQ(opened["source"], "answer") << opened;
  EXPECT_EQ(opened["accepted"], true) << opened;
  ASSERT_TRUE(
      five->wait_until([&](const auto&) { return five->json_on(answer).back() == manual; }, kWait));
  EXPECT_EQ(probe->json_on(topic("answer/5")).back(), manual);
  // Room 6's answer was never touched.
  for (const json& a : probe->json_on(topic("answer/6"))) EXPECT_EQ(a["mode"], "manual") << a;

  // The second call the household rejects while it rings.
  ASSERT_TRUE(five->wait_until(
      [&](const auto&) {
        int ringing = 0;
        for (const json& c : five->json_on(topic("room/5/call")))
          ringing += c["state"] == "ringing";
        return ringing == 2;
      },
      kWait))
      << run->log();
  five->publish(topic("room/5/command"), "hangup");
  EXPECT_EQ(five_result("\"hangup\"")["accepted"], true) << run->log();
  // Its history: both calls, newest first, each with what was done.
  const std::string history = topic("room/5/history");
  auto calls_in_history = [&](size_t n) {
    return five->wait_until(
        [&](const auto&) {
          const auto h = five->json_on(history);
          return !h.empty() && h.back()["calls"].size() == n;
        },
        kWait);
  };
  ASSERT_TRUE(calls_in_history(2)) << run->log();
  auto summary = [&] {
    std::vector<std::string> out;
    const json record = five->json_on(history).back();
    for (const json& c : record["calls"]) {
      out.push_back(c["call"].dump() + " " + c["outcome"].get<std::string>() + " " +
                    c["by"].dump() + " " + c["actions"].dump());
      EXPECT_EQ(c["time"].get<std::string>().size(), 24u) << c;
      EXPECT_LT(c["time"].get<std::string>(), c["ended"].get<std::string>()) << c;
    }
    return out;
  };
  EXPECT_EQ(summary(),
            (std::vector<std::string>{R"(2 rejected "household" ["hangup"])",
                                      R"(1 opened "answer" ["pickup","open","hangup"])"}))
      << run->log();
  EXPECT_EQ(five->json_on(history).back()["room"], 5);
  stop(run.get());
  EXPECT_EQ(open_key_presses(bridge_test::pin_writes(bridge_test::read_file(pins_path))), 1);

  // Another run of the bridge reads the history back from the broker: the
  // call that rings out now goes in front of the two.
  const size_t before = probe->messages().size();
  SimSetup again{"3000 dial 5\n30000 drop\n60000 end\n"};
  again.mqtt_toml = setup.mqtt_toml;
  config_path = bridge_test::sim_config(dir, broker.port(), again, &pins_path);
  run = std::make_unique<BridgeRun>(config_path);
  ASSERT_GE(probe->wait_for(topic("status"), "online", kWait, before), 0) << run->log();
  ASSERT_TRUE(calls_in_history(3)) << run->log();
  EXPECT_EQ(summary(),
            (std::vector<std::string>{R"(1 missed null [])", R"(2 rejected "household" ["hangup"])",
                                      R"(1 opened "answer" ["pickup","open","hangup"])"}))
      << run->log();
  stop(run.get());
}

TEST_F(BridgeEndToEnd, WithAnOpenCallOfOverThirtySecondsEveryAcceptedCodeIsCarriedOut) {
  TempDir site;
  std::filesystem::create_directories(site.path() + "/TEQsettings");
  // Ten presses of three seconds: VIZIT's open_call takes 37 s.
  site.file("TEQsettings/timing.conf", "[VIZIT]\nopen_key_presses = 10\nopen_key_ms = 3000\n");
  SimSetup setup{"3000 dial 5\n20000 open-detected\n45000 drop\n80000 end\n"};
  setup.speed = 4;
  setup.working_directory = site.path();
  auto run = start(setup);
  ASSERT_GE(probe->wait_for(topic("event"), "\"dial\"", kWait), 0) << run->log();
  command(R"({"action":"open","id":"door"})");
  constexpr int kRelayCommands = 8;
  for (int i = 0; i < kRelayCommands; ++i) {
    command(R"({"action":"relay","relay":)" + std::to_string(i % 3) + R"(,"id":"r)" +
            std::to_string(i) + "\"}");
  }
  // Every command gets its result once the program has said what it did.
  ASSERT_TRUE(probe->wait_until(
      [&](const auto&) {
        return probe->json_on(topic("command/result")).size() >= 1 + kRelayCommands;
      },
      60))
      << run->log();
  stop(run.get());
  int accepted[3] = {0, 0, 0};
  bool door = false;
  for (const json& r : probe->json_on(topic("command/result"))) {
    if (r["id"] == "door") {
      door = r["accepted"] == true;
    } else if (r["accepted"] == true) {
      accepted[r["relay"].get<int>()]++;
    } else {
      EXPECT_NE(r["reason"].get<std::string>().find("the program is busy"), std::string::npos) << r;
    }
  }
  EXPECT_TRUE(door);
  const auto w = bridge_test::pin_writes(bridge_test::read_file(pins_path));
  EXPECT_EQ(open_key_presses(w), 10) << "the door was opened by its one open_call";
  EXPECT_EQ(accepted[0] + accepted[1] + accepted[2], 3) << "three wait behind the door's code";
  for (auto [relay, gpio] : {std::pair{0, 6}, std::pair{1, 25}, std::pair{2, 16}}) {
    EXPECT_EQ(pulses(w, gpio), accepted[relay]) << "relay " << relay;
  }
  // An accepted relay's result came once the program ran it: after the
  // open_call (3 s to 40 s), so after the door was seen open at 20 s.
  const auto all = probe->messages();
  int seen_open = -1;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].topic == topic("event") &&
        all[i].payload.find("openDetected") != std::string::npos) {
      seen_open = static_cast<int>(i);
    }
    if (all[i].topic == topic("command/result") &&
        all[i].payload.find("\"accepted\":true") != std::string::npos &&
        all[i].payload.find("relay") != std::string::npos) {
      EXPECT_GE(seen_open, 0) << "accepted before the program took it: " << all[i].payload;
    }
  }
}

// What a run shows, without its times: events, results and pin writes.
struct Outcome {
  std::vector<std::string> events, results;
  std::vector<std::pair<int, int>> pins;
  bool operator==(const Outcome&) const = default;
};

class BridgeSpeeds : public BridgeEndToEnd {
 protected:
  Outcome run_at(double speed) {
    SimSetup setup{"2000 dial 5\n9000 drop\n10000 dial 9\n13000 drop\n14000 end\n"};
    setup.speed = speed;
    // The answer's waits are real time: the same simulated times at each speed.
    const auto real_ms = [&](int simulated) {
      return std::to_string(static_cast<int>(simulated / speed));
    };
    setup.extra_toml = "[answer.5]\nmode = \"open\"\npickup_after_ms = " + real_ms(1000) +
                       "\nopen_after_ms = " + real_ms(1000) +
                       "\nhangup_after_ms = " + real_ms(2000) + "\n";
    const size_t from = probe->messages().size();
    auto run = start(setup);
    EXPECT_TRUE(probe->wait_until(
        [&](const auto& ms) {
          int drops = 0;
          for (size_t i = from; i < ms.size(); ++i) {
            drops += ms[i].topic == topic("event") &&
                     ms[i].payload.find("\"drop\"") != std::string::npos;
          }
          return drops >= 2;
        },
        60))
        << run->log();
    stop(run.get());
    Outcome o;
    const auto ms = probe->messages();
    for (size_t i = from; i < ms.size(); ++i) {
      const json j = json::parse(ms[i].payload, nullptr, false);
      if (ms[i].topic == topic("event")) o.events.push_back(j["event"].get<std::string>());
      if (ms[i].topic == topic("command/result")) {
        o.results.push_back(j["action"].get<std::string>() + " " + j["accepted"].dump());
      }
    }
    for (const auto& x : bridge_test::pin_writes(bridge_test::read_file(pins_path))) {
      o.pins.push_back({x.gpio, x.level});
    }
    return o;
  }
};

TEST_F(BridgeSpeeds, TheSimulatorAtOneAndAtFourTimesGivesTheSameOutcome) {
  const Outcome fast = run_at(4);
  const Outcome real = run_at(1);
  EXPECT_EQ(real.events, (std::vector<std::string>{"dial", "drop", "dial", "drop"}));
  EXPECT_EQ(real.results, (std::vector<std::string>{"pickup true", "open true", "hangup true"}));
  EXPECT_EQ(fast.events, real.events);
  EXPECT_EQ(fast.results, real.results);
  EXPECT_EQ(fast.pins, real.pins);
  EXPECT_GT(real.pins.size(), 20u);
}

}  // namespace

namespace {

TEST_F(BridgeEndToEnd, AProgramThatDoesNotReportGetsNoCodes) {
  // An older program: it prints its handshake and reads codes, but says
  // nothing of what it does with them; a result would be a guess.
  const std::string config = dir.file(
      "bridge.toml",
      "[driver]\ncommand = [\"/bin/sh\", \"-c\", \"echo ZUL_STM_Driver 1.22; echo Intercom: 10; "
      "echo Program_STM: 1; echo Shield: 26; exec cat >/dev/null\", \"sh\"]\n"
      "intercom = 10\nworking_directory = \"/\"\n[mqtt]\nport = " +
          std::to_string(broker.port()) + "\ntopic = \"zul/test\"\n" +
          bridge_test::broker_login(dir));
  BridgeRun run(config);
  ASSERT_GE(probe->wait_for(topic("info"), "shield", kWait), 0) << run.log();
  size_t from = 0;
  command("relay0");
  EXPECT_EQ(result("relay", &from),
            json::parse(R"({"action":"relay","relay":0,"accepted":false,"reason":)"
                        R"("the program does not report what it does with codes (ZUL_REPORT_FD); )"
                        R"(install a newer zul_stm_driver"})"))
      << run.log();
  EXPECT_NE(run.log().find("commands are refused"), std::string::npos) << run.log();
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(kWait), 0) << run.log();
}

}  // namespace
