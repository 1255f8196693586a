// TEQsettings/timing.conf. Whatever the file holds: a refused file leaves no
// override at all (not even those of the file loaded before it), an accepted
// one only overrides keys its systems have, each within the key's range, and
// the overrides written back out as a file load to the very same overrides.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "line/drivers.h"
#include "line/timing.h"
#include "line/timing_conf.h"

namespace {

struct Key {
  const char* system;
  const char* key;
  unsigned min;
  unsigned max;
};

template <class T>
void add_keys(const char* system, std::span<const TimingField<T>> fields, std::vector<Key>* out) {
  for (const TimingField<T>& f : fields) {
    out->push_back({system, f.key, f.min, f.max});
  }
}

const std::vector<Key>& every_key() {
  static const std::vector<Key> keys = [] {
    std::vector<Key> k;
    for (const IntercomSystem& s : kIntercomSystems) {
      const char* section = s.timing_section;
      if (section == nullptr || timing_section_owner(section) != &s) {
        continue;  // no section, or another row's
      }
      switch (s.timing_kind) {
        case TimingKind::kStandard:
          add_keys<StandardTimings>(section, kStandardFields, &k);
          break;
        case TimingKind::kCommon:
          add_keys<CommonTimings>(section, kCommonFields, &k);
          break;
        case TimingKind::kMarshal:
          add_keys<MarshalTimings>(section, kMarshalFields, &k);
          break;
      }
    }
    return k;
  }();
  return keys;
}

std::vector<std::optional<unsigned>> overrides() {
  std::vector<std::optional<unsigned>> out;
  for (const Key& k : every_key()) {
    const unsigned* v = timing_override(k.system, k.key);
    out.push_back(v != nullptr ? std::optional<unsigned>(*v) : std::nullopt);
  }
  return out;
}

bool load_text(fuzz::MemFile& file, const std::string& text) {
  file.hold(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return timing_conf_load(file.path().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemFile file;
  ZUL_FUZZ_CHECK(load_text(file, "[VIZIT]\npickup_hold_ms = 1500\n[common]\ndoor_pulse_ms = 7\n"),
                 "the file loaded first was refused");
  file.hold(data, size);
  const bool ok = timing_conf_load(file.path().c_str());
  const std::vector<std::optional<unsigned>> got = overrides();
  if (!ok) {
    for (size_t i = 0; i < got.size(); ++i) {
      ZUL_FUZZ_CHECK(!got[i], "a refused file kept %s %s", every_key()[i].system,
                     every_key()[i].key);
    }
    timing_conf_clear();
    return 0;
  }
  std::string again;
  const char* section = nullptr;
  for (size_t i = 0; i < got.size(); ++i) {
    const Key& k = every_key()[i];
    if (got[i]) {
      ZUL_FUZZ_CHECK(*got[i] >= k.min && *got[i] <= k.max, "%s %s = %u is outside %u..%u", k.system,
                     k.key, *got[i], k.min, k.max);
      if (section != k.system) {
        section = k.system;
        again += std::string("[") + k.system + "]\n";
      }
      again += std::string(k.key) + " = " + std::to_string(*got[i]) + "\n";
    }
  }
  ZUL_FUZZ_CHECK(load_text(file, again), "the overrides written back were refused");
  ZUL_FUZZ_CHECK(overrides() == got, "the overrides written back load differently");
  timing_conf_clear();
  return 0;
}
