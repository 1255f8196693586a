// The discovery's templates rendered as Home Assistant renders them: Jinja
// in a sandbox, the payload as value_json, the entity's state as `this`.
// Python's Jinja stands in for Home Assistant's (which is the same engine).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "bridge/discovery.h"
#include "e2e_support.h"

namespace {

using nlohmann::json;

const char kRenderer[] = R"(import json, sys
from jinja2.sandbox import ImmutableSandboxedEnvironment
job = json.load(open(sys.argv[1]))
env = ImmutableSandboxedEnvironment()
for payload in job["payloads"]:
    try:
        out = env.from_string(job["template"]).render(
            value=payload, value_json=json.loads(payload), this={"state": job["this"]})
    except Exception as e:
        out = "ERROR " + type(e).__name__
    print(out)
)";

bool have_jinja() {
  std::string out;
  return bridge_test::run_command("python3 -c 'import jinja2'", &out) == 0;
}

// Each payload's rendering, one per line.
std::vector<std::string> render(const std::string& value_template,
                                const std::vector<std::string>& payloads,
                                const std::string& this_state = "unknown") {
  bridge_test::TempDir dir;
  const std::string script = dir.file("render.py", kRenderer);
  const std::string job = dir.file(
      "job.json",
      json{{"template", value_template}, {"payloads", payloads}, {"this", this_state}}.dump());
  std::string out;
  EXPECT_EQ(bridge_test::run_command("python3 '" + script + "' '" + job + "'", &out), 0) << out;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(out.substr(start, end - start));
  }
  return lines;
}

json entity(const std::string& topic_end) {
  bridge::Config c;
  c.topic = "zul/e1";
  c.imitate = {5};
  for (const bridge::Message& m : bridge::discovery_messages(c, "1.22")) {
    if (m.topic.size() >= topic_end.size() &&
        m.topic.compare(m.topic.size() - topic_end.size(), topic_end.size(), topic_end) == 0) {
      return json::parse(m.payload);
    }
  }
  ADD_FAILURE() << "no " << topic_end;
  return json();
}

class Templates : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_jinja()) {
      if (getenv("ZUL_REQUIRE_BROKER") != nullptr) FAIL() << "python3-jinja2 is missing";
      GTEST_SKIP() << "python3-jinja2 is missing";
    }
  }
};

TEST_F(Templates, EveryEventFiresWithWhatItCarries) {
  const json call = entity("/event/zul_e1/call/config");
  const auto out = render(
      call["value_template"],
      {R"({"event":"driver_exit","status":3,"reason":"x","restart_in_ms":1000,"call":null,"time":"t"})",
       R"({"event":"signal","channel":"S0","form":"steady","level":"HIGH","value":5,"call":null,"time":"t"})",
       R"({"event":"dial","room":5,"route":"imitated","call":12,"time":"t"})",
       R"({"event":"drop","room":5,"call":12,"time":"t"})"});
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(json::parse(out[0]),
            json::parse(R"({"event_type":"driver_exit","room":null,"call":null,"route":null})"));
  EXPECT_EQ(json::parse(out[1])["event_type"], "signal");
  EXPECT_EQ(json::parse(out[2]),
            json::parse(R"({"event_type":"dial","room":5,"call":12,"route":"imitated"})"));
  EXPECT_EQ(json::parse(out[3])["route"], nullptr);
  for (const std::string& line : out) {
    const std::string type = json::parse(line)["event_type"];
    EXPECT_NE(std::find(call["event_types"].begin(), call["event_types"].end(), type),
              call["event_types"].end())
        << type;
  }
}

TEST_F(Templates, TheLastDialledRoomKeepsItsValueWhenNoRoomComes) {
  const json room = entity("/sensor/zul_e1/last_room/config");
  EXPECT_EQ(render(room["value_template"],
                   {R"({"state":"ringing","room":5,"call":1})",
                    R"({"state":"idle","room":null,"call":null})"},
                   "7"),
            (std::vector<std::string>{"5", "7"}));
}

TEST_F(Templates, TheDiagnosticsReadTheirRecords) {
  const std::string health = R"({"program":"restarting","restarts":2,"waiting":0,"reason":"r"})";
  EXPECT_EQ(render(entity("/sensor/zul_e1/program/config")["value_template"], {health}),
            (std::vector<std::string>{"restarting"}));
  EXPECT_EQ(render(entity("/sensor/zul_e1/restarts/config")["value_template"], {health}),
            (std::vector<std::string>{"2"}));
  EXPECT_EQ(render(entity("/sensor/zul_e1/firmware/config")["value_template"],
                   {R"({"intercom":10,"firmware":1,"shield":26,"version":"1.22"})"}),
            (std::vector<std::string>{"1"}));
  EXPECT_EQ(render(entity("/binary_sensor/zul_e1/call_active/config")["value_template"],
                   {R"({"state":"ringing"})", R"({"state":"idle"})"}),
            (std::vector<std::string>{"ON", "OFF"}));
}

}  // namespace
