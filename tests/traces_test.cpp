// The pictures of a run: the pin writes as a Value Change Dump and as an SVG
// timing diagram with the program's output lines marked.
#include "sim/traces.h"

#include <bcm2835.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support.h"

namespace {

// What `writer` puts into a fresh file.
std::string written_by(void (*writer)(int fd)) {
  std::string name = test::temp_path("trace_XXXXXX");
  const int fd = mkstemp(name.data());
  const char* path = name.c_str();
  EXPECT_GE(fd, 0);
  writer(fd);
  close(fd);
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  unlink(path);
  return all.str();
}

// The part of a dump after its initial values.
std::string changes(const std::string& vcd) {
  const std::string dumpvars_end = "$dumpvars\n";
  const size_t at = vcd.find("$end\n", vcd.find(dumpvars_end));
  return at == std::string::npos ? "" : vcd.substr(at + 5);
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

void print(const char* line) { fputs(line, stdout); }

const char* const kRoles[] = {"line_selector", "hook_1",  "hook_2",     "coproc_reset_n", "relay_0",
                              "relay_1",       "relay_2", "door_relay", "aux_gpio2"};

TEST(Vcd, DeclaresOneWirePerOutputNamedForItsRoleStartingUnknown) {
  test::fresh_board();
  const std::string vcd = written_by(sim::write_vcd);
  EXPECT_EQ(vcd.rfind("$version zul_stm_sim pin trace $end\n$timescale 1 us $end\n", 0), 0u) << vcd;
  std::string vars = "$scope module shield $end\n";
  std::string initial = "#0\n$dumpvars\n";
  char id = '!';
  for (const char* role : kRoles) {
    vars += std::string("$var wire 1 ") + id + " " + role + " $end\n";
    initial += std::string("x") + id + "\n";
    ++id;
  }
  vars += "$upscope $end\n$enddefinitions $end\n";
  EXPECT_NE(vcd.find(vars + initial + "$end\n"), std::string::npos) << vcd;
}

TEST(Vcd, RecordsEveryWriteInCallOrderUnderItsTimeInMicroseconds) {
  test::fresh_board();
  bcm2835_gpio_write(24, HIGH);
  bcm2835_delay(5);
  bcm2835_gpio_write(23, LOW);
  bcm2835_gpio_write(22, LOW);
  bcm2835_gpio_write(23, LOW);  // written again: still a record
  bcm2835_delay(1200);
  bcm2835_gpio_write(24, LOW);
  bcm2835_gpio_write(26, 7);  // any non-zero level is high
  bcm2835_delay(3);
  EXPECT_EQ(changes(written_by(sim::write_vcd)),
            "1!\n"
            "#5000\n0\"\n0#\n0\"\n"
            "#1205000\n0!\n1(\n"
            "#1208000\n");
}

TEST(Vcd, AWriteToAPinTheShieldDoesNotUseGetsAWireOfItsOwn) {
  test::fresh_board();
  bcm2835_gpio_fsel(5, BCM2835_GPIO_FSEL_OUTP);
  bcm2835_gpio_write(5, HIGH);
  const std::string vcd = written_by(sim::write_vcd);
  EXPECT_NE(vcd.find("$var wire 1 * gpio_5 $end\n"), std::string::npos) << vcd;
  EXPECT_EQ(changes(vcd), "1*\n");
}

TEST(Svg, DrawsARowPerRoleAndMarksTheOutputLines) {
  test::fresh_board();
  print("#Write rooms:\n");
  bcm2835_gpio_write(24, HIGH);
  bcm2835_delay(100);
  print("dial 5\n");
  bcm2835_gpio_write(23, HIGH);
  bcm2835_gpio_write(22, LOW);
  bcm2835_delay(2000);
  print("a<b & \"c\"\n");
  const std::string svg = written_by(sim::write_svg);
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  for (const char* role : kRoles) {
    EXPECT_NE(svg.find(std::string(">") + role + "</text>"), std::string::npos) << role;
  }
  EXPECT_NE(svg.find("<title>100 ms: dial 5</title>"), std::string::npos) << svg;
  EXPECT_NE(svg.find(">dial 5</text>"), std::string::npos);
  EXPECT_NE(svg.find(">a&lt;b &amp; &quot;c&quot;</text>"), std::string::npos);
  EXPECT_EQ(svg.find("Write rooms"), std::string::npos) << "prompts are not marked";
  EXPECT_EQ(count(svg, "<path"), 3u) << "only written pins have a wave";
  EXPECT_EQ(count(svg, "<g"), count(svg, "</g>"));
}

TEST(Svg, AnHourOfTogglingStaysBoundedAndMarksTheFirst200Lines) {
  test::fresh_board();
  for (int i = 0; i < 100000; ++i) {
    bcm2835_gpio_write(26, static_cast<uint8_t>(i % 2));
    bcm2835_delay(36);
  }
  for (int i = 0; i < 300; ++i) {
    print("pickup\n");
  }
  const std::string svg = written_by(sim::write_svg);
  EXPECT_LT(svg.size(), 200000u);
  EXPECT_EQ(count(svg, "<g class=\"mark\""), 200u);
  EXPECT_NE(svg.find("100 more not"), std::string::npos);
  EXPECT_NE(svg.find(">4000000</text>"), std::string::npos) << "the axis covers the hour";
}

TEST(Simulator, WritesBothPicturesWhenTheRunEnds) {
  const std::string dir = test::temp_dir();
  const std::string vcd = std::string(dir) + "/run.vcd";
  const std::string svg = std::string(dir) + "/run.svg";
  const std::string command = std::string(ZUL_SIM_LAUNCHER) + " " + ZUL_SIM_PATH +
                              " --virtual --until 1000 --vcd " + vcd + " --svg " + svg +
                              " -- 10 </dev/null >/dev/null";
  EXPECT_EQ(system(command.c_str()), 0);
  std::ifstream v(vcd), s(svg);
  std::stringstream vcd_text, svg_text;
  vcd_text << v.rdbuf();
  svg_text << s.rdbuf();
  EXPECT_NE(vcd_text.str().find("$enddefinitions $end"), std::string::npos);
  EXPECT_EQ(vcd_text.str().substr(vcd_text.str().size() - 9), "#1000000\n") << "ends with the run";
  EXPECT_EQ(svg_text.str().rfind("<svg", 0), 0u);
}

}  // namespace
