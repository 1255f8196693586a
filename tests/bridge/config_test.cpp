#include "bridge/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using bridge::Config;

const char kValid[] = R"(
[driver]
command = ["/usr/bin/zul_stm_driver"]
intercom = 10
working_directory = "/etc/zul-stm-driver"
[rooms]
imitate = [5, 6]
blacklist = [9]
[mqtt]
host = "127.0.0.1"
port = 1883
topic = "zul/entrance-1"
[homeassistant]
discovery = true
prefix = "homeassistant"
name = "Entrance 1"
[answer.6]
mode = "open"
pickup_after_ms = 1000
open_after_ms = 1000
hangup_after_ms = 2000
)";

std::vector<std::string> errors_of(const std::string& text, Config* c = nullptr) {
  Config local;
  return bridge::parse_config(text, "test.toml", c ? c : &local);
}

std::string joined(const std::vector<std::string>& errors) {
  std::string all;
  for (const auto& e : errors) all += e + "\n";
  return all;
}

TEST(Config, TheDocumentedExampleIsValid) {
  Config c;
  const auto errors = errors_of(kValid, &c);
  EXPECT_TRUE(errors.empty()) << joined(errors);
  EXPECT_EQ(c.intercom, 10);
  EXPECT_EQ(c.imitate, (std::vector<int>{5, 6}));
  EXPECT_EQ(c.topic, "zul/entrance-1");
  EXPECT_EQ(c.name, "Entrance 1");
  ASSERT_EQ(c.answers.count(6), 1u);
  EXPECT_EQ(c.answers[6].mode, bridge::AnswerMode::kOpen);
  EXPECT_EQ(c.client_id, "zul_stm_mqtt_zul_entrance_1");
  EXPECT_EQ(c.protocol, 4);
}

TEST(Config, TheDriverGetsItsArgumentsAndTheRoomLists) {
  Config c;
  ASSERT_TRUE(errors_of(kValid, &c).empty());
  EXPECT_EQ(bridge::driver_argv(c), (std::vector<std::string>{"/usr/bin/zul_stm_driver", "10"}));
  EXPECT_EQ(bridge::room_lists_text(c), "5 6 -1\n9 -1\n");
  c.setup_mask = 3;
  EXPECT_EQ(bridge::driver_argv(c),
            (std::vector<std::string>{"/usr/bin/zul_stm_driver", "10", "0", "3"}));
  c.setup_mask.reset();
  c.cycle_ms = 7;
  EXPECT_EQ(bridge::driver_argv(c),
            (std::vector<std::string>{"/usr/bin/zul_stm_driver", "10", "7"}));
}

std::string with(const std::string& from, const std::string& to) {
  std::string text = kValid;
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

struct BadCase {
  const char* what;
  std::string text;
  const char* expected;  // a whole line of the report
};

TEST(Config, EveryProblemIsNamedByItsKey) {
  const BadCase cases[] = {
      {"room too big", with("imitate = [5, 6]", "imitate = [5, 6, 4096]"),
       "rooms.imitate[2]: room 4096 is outside 0..4095"},
      {"negative room", with("blacklist = [9]", "blacklist = [-1]"),
       "rooms.blacklist[0]: room -1 is outside 0..4095"},
      {"room in both lists", with("blacklist = [9]", "blacklist = [9, 5]"),
       "rooms.blacklist: room 5 is also in rooms.imitate"},
      {"answer for a room not imitated", with("[answer.6]", "[answer.7]"),
       "answer.7: room 7 is not in rooms.imitate"},
      {"answer for no room", with("[answer.6]", "[answer.x]"),
       "answer.x: \"x\" is not a room number 0..4095"},
      {"answer for a room spelled with a leading zero", with("[answer.6]", "[answer.06]"),
       "answer.06: \"06\" is not a room number 0..4095"},
      {"wrong type", with("port = 1883", "port = \"1883\""),
       "mqtt.port: must be an integer, not a string"},
      {"port out of range", with("port = 1883", "port = 70000"),
       "mqtt.port: 70000 is outside 1..65535"},
      {"missing required key", with("topic = \"zul/entrance-1\"", ""),
       "mqtt.topic: missing (required)"},
      {"missing intercom", with("intercom = 10", ""), "driver.intercom: missing (required)"},
      {"unknown key", with("host = ", "hots = \"x\"\nhost = "), "mqtt.hots: unknown key"},
      {"unknown table", std::string(kValid) + "[extra]\n", "extra: unknown key"},
      {"empty key", "\"\" = 1\n" + std::string(kValid), "\"\": unknown key"},
      {"empty key in a table", with("host = ", "\"\" = 1\nhost = "), "mqtt.\"\": unknown key"},
      {"key with a colon", "\":\" = 1\n" + std::string(kValid), "\":\": unknown key"},
      {"key with a dot and a quote", with("host = ", "\"a.b\\\"c\" = 1\nhost = "),
       "mqtt.\"a.b\\\"c\": unknown key"},
      {"key with a tab", "\"\\t\" = 1\n" + std::string(kValid), "\"\\u0009\": unknown key"},
      {"unknown answer key", with("mode = \"open\"", "mode = \"open\"\ndelay = 1"),
       "answer.6.delay: unknown key"},
      {"bad mode", with("mode = \"open\"", "mode = \"opne\""),
       "answer.6.mode: \"opne\" is none of manual, open, reject"},
      {"password in the file", with("port = 1883", "port = 1883\npassword = \"x\""),
       "mqtt.password: not allowed here: put the password in a file named by "
       "mqtt.password_file"},
      {"unreadable password file",
       with("port = 1883", "port = 1883\nusername = \"u\"\npassword_file = \"/nonexistent/pw\""),
       "mqtt.password_file: cannot read /nonexistent/pw"},
      {"protocol", with("port = 1883", "port = 1883\nprotocol = \"4\""),
       "mqtt.protocol: \"4\" is neither \"3.1.1\" nor \"5\""},
      {"wildcard topic", with("\"zul/entrance-1\"", "\"zul/#\""),
       "mqtt.topic: \"zul/#\" is not a base topic (non-empty, no + or #, no leading or trailing "
       "/)"},
      {"intercom too big", with("intercom = 10", "intercom = 256"),
       "driver.intercom: 256 is outside 0..255"},
      {"empty command", with("[\"/usr/bin/zul_stm_driver\"]", "[]"),
       "driver.command: must name the program"},
      {"boolean expected", with("discovery = true", "discovery = 1"),
       "homeassistant.discovery: must be true or false, not an integer"},
      {"support URL", with("discovery = true", "discovery = true\nsupport_url = \"ftp://x\""),
       "homeassistant.support_url: \"ftp://x\" is not an http:// or https:// URL"},
      {"records kept", with("intercom = 10", "intercom = 10\nrecords_kept = 0"),
       "driver.records_kept: 0 is outside 1..1000"},
      {"record switch", with("intercom = 10", "intercom = 10\nrecord = \"yes\""),
       "driver.record: must be true or false, not a string"},
      {"host and hosts", with("host = ", "hosts = [\"b\"]\nhost = "),
       "mqtt.hosts: give either mqtt.host or mqtt.hosts, not both"},
      {"hosts not a list", with("host = \"127.0.0.1\"", "hosts = \"a\""),
       "mqtt.hosts: must be an array of brokers (\"HOST:PORT\"), not a string"},
      {"no hosts", with("host = \"127.0.0.1\"", "hosts = []"),
       "mqtt.hosts: must name at least one broker"},
      {"host not a string", with("host = \"127.0.0.1\"", "hosts = [\"a\", 2]"),
       "mqtt.hosts[1]: must be a string (\"HOST:PORT\"), not an integer"},
      {"bad port", with("host = \"127.0.0.1\"", "hosts = [\"a\", \"b:99999\"]"),
       "mqtt.hosts[1]: \"b:99999\": port 99999 is not a port number 1..65535"},
      {"no port after the colon", with("host = \"127.0.0.1\"", "hosts = [\"a:\"]"),
       "mqtt.hosts[0]: \"a:\": no port after the colon"},
      {"empty host", with("host = \"127.0.0.1\"", "hosts = [\"a\", \":1883\"]"),
       "mqtt.hosts[1]: \":1883\": not a broker (HOST or HOST:PORT)"},
      {"bare IPv6", with("host = \"127.0.0.1\"", "hosts = [\"::1\"]"),
       "mqtt.hosts[0]: \"::1\": an IPv6 address goes in brackets, as [::1]:1883"},
      {"a broker twice", with("host = \"127.0.0.1\"", "hosts = [\"a:1883\", \"a\"]"),
       "mqtt.hosts[1]: \"a\": names a:1883 again"},
      {"tls key without cert",
       std::string(kValid) +
           "[mqtt.tls]\nca_file = \"/etc/hostname\"\nkey_file = \"/etc/hostname\"\n",
       "mqtt.tls.cert_file: cert_file and key_file go together"},
  };
  for (const BadCase& c : cases) {
    const auto errors = errors_of(c.text);
    bool found = false;
    for (const auto& e : errors) found = found || e == c.expected;
    EXPECT_TRUE(found) << c.what << ": expected \"" << c.expected << "\" in\n" << joined(errors);
  }
}

TEST(Config, AllProblemsAreReportedAtOnce) {
  std::string text = with("port = 1883", "port = true");
  text = text.replace(text.find("intercom = 10"), 13, "intercom = -3");
  const auto errors = errors_of(text);
  EXPECT_EQ(errors.size(), 2u) << joined(errors);
}

TEST(Config, SyntaxErrorsNameTheFileAndLine) {
  const auto errors = errors_of("[driver]\ncommand = [\"x\"\n");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("test.toml:", 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("not valid TOML"), std::string::npos) << errors[0];
}

TEST(Config, APasswordFileOthersCanReadIsRefused) {
  bridge_test::TempDir dir;
  const std::string path = dir.file("pw", "secret\n");
  const std::string text =
      with("port = 1883", "port = 1883\nusername = \"u\"\npassword_file = \"" + path + "\"");
  for (mode_t mode : {0644, 0640, 0604, 0660, 0602}) {
    chmod(path.c_str(), mode);
    const auto errors = errors_of(text);
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    ASSERT_EQ(errors.size(), 1u) << joined(errors);
    EXPECT_EQ(errors[0], "mqtt.password_file: " + path + " is open to its group or others (mode " +
                             octal + "); make it the owner's alone: chmod 600 " + path);
  }
  chmod(path.c_str(), 0600);
  Config c;
  EXPECT_TRUE(errors_of(text, &c).empty());
  EXPECT_EQ(c.password, "secret");
}

TEST(Config, TheRecordGoesToTheStateDirectoryByDefault) {
  Config c;
  ASSERT_TRUE(errors_of(kValid, &c).empty());
  EXPECT_TRUE(c.record);
  EXPECT_EQ(c.records_kept, 5);
  unsetenv("STATE_DIRECTORY");
  EXPECT_EQ(c.record_path(), "/var/lib/zul-stm-mqtt/flight.rec");
  setenv("STATE_DIRECTORY", "/var/lib/zul-stm-mqtt-2:/var/lib/other", 1);
  EXPECT_EQ(c.record_dir(), "/var/lib/zul-stm-mqtt-2");
  unsetenv("STATE_DIRECTORY");
  ASSERT_TRUE(
      errors_of(with("intercom = 10", "intercom = 10\nrecord = false\nrecord_directory = \"/r\""),
                &c)
          .empty());
  EXPECT_FALSE(c.record);
  EXPECT_EQ(c.record_path(), "/r/flight.rec");
}

TEST(Config, TheDeviceIdOutlivesATopicChange) {
  Config c;
  ASSERT_TRUE(errors_of(with("name = \"Entrance 1\"", "name = \"E\"\ndevice_id = \"north-1\""), &c)
                  .empty());
  EXPECT_EQ(c.node_id(), "north_1");
  ASSERT_TRUE(errors_of(kValid, &c).empty());
  EXPECT_EQ(c.node_id(), "zul_entrance_1");
}

TEST(Config, BrokersAreTriedInTheOrderListed) {
  Config c;
  ASSERT_TRUE(errors_of(kValid, &c).empty());
  ASSERT_EQ(c.brokers.size(), 1u);
  EXPECT_EQ(c.brokers[0].text(), "127.0.0.1:1883");
  const auto errors = errors_of(
      with("host = \"127.0.0.1\"\nport = 1883",
           "port = 1884\nhosts = [\"node1:1883\", \"node2\", \"[fd00::2]:8883\", \"[::1]\"]"),
      &c);
  ASSERT_TRUE(errors.empty()) << joined(errors);
  std::vector<std::string> texts;
  for (const auto& b : c.brokers) texts.push_back(b.text());
  // A broker without a port takes mqtt.port's.
  EXPECT_EQ(texts,
            (std::vector<std::string>{"node1:1883", "node2:1884", "[fd00::2]:8883", "[::1]:1884"}));
  EXPECT_EQ(c.brokers[2].host, "fd00::2");
}

TEST(Config, TlsTakesItsDefaultPort) {
  Config c;
  const auto errors =
      errors_of(with("port = 1883", "") + "[mqtt.tls]\nca_file = \"/etc/hostname\"\n", &c);
  EXPECT_TRUE(errors.empty()) << joined(errors);
  EXPECT_TRUE(c.tls());
  EXPECT_EQ(c.port, 8883);
}

}  // namespace

namespace {

TEST(Config, TheShippedConfigurationIsValid) {
  bridge::Config c;
  const auto errors = bridge::load_config(ZUL_SOURCE_DIR "/bridge/dist/zul_stm_mqtt.toml", &c);
  EXPECT_TRUE(errors.empty()) << joined(errors);
  EXPECT_EQ(c.command, std::vector<std::string>{"/usr/bin/zul_stm_driver"});
  EXPECT_EQ(c.working_directory, "/etc/zul-stm-driver");
}

}  // namespace
