// zul_stm_mqtt: the controlling process of zul_stm_driver for MQTT and
// Home Assistant. It starts the program, feeds it, reads it and connects it
// to a broker, as configured in one TOML file.
#include <cstdio>
#include <cstring>
#include <string>

#include "bridge/config.h"
#include "bridge/service.h"

namespace {

constexpr int kExitUsage = 64;   // EX_USAGE
constexpr int kExitConfig = 78;  // EX_CONFIG

const char kUsage[] =
    "usage: zul_stm_mqtt --config FILE [--verbose]\n"
    "       zul_stm_mqtt --check-config FILE\n"
    "       zul_stm_mqtt --version\n";

int check(const std::string& path, bridge::Config* config) {
  const std::vector<std::string> errors = bridge::load_config(path, config);
  for (const std::string& e : errors)
    fprintf(stderr, "zul_stm_mqtt: %s: %s\n", path.c_str(), e.c_str());
  return errors.empty() ? 0 : kExitConfig;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config_path, check_path;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--config" || arg == "--check-config") && i + 1 < argc) {
      (arg == "--config" ? config_path : check_path) = argv[++i];
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--version") {
      printf("zul_stm_mqtt %s\n", ZUL_BRIDGE_VERSION);
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else {
      fprintf(stderr, "zul_stm_mqtt: unknown or incomplete option \"%s\"\n%s", arg.c_str(), kUsage);
      return kExitUsage;
    }
  }
  bridge::Config config;
  if (!check_path.empty()) {
    const int status = check(check_path, &config);
    if (status == 0) printf("%s: valid\n", check_path.c_str());
    return status;
  }
  if (config_path.empty()) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (const int status = check(config_path, &config); status != 0) return status;
  bridge::Service service(config, verbose);
  return service.run();
}
