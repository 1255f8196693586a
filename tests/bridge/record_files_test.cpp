#include "bridge/record_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "e2e_support.h"

namespace {

const char kRecord[] =
    "# ZUL_STM_Driver 1.22 flight record: zul_stm_sim 10\n"
    "0 out #Write rooms:\n"
    "2156.968 spi 0000000000000000 A1010100000555E5\n";

TEST(RecordFiles, AWholeRecordEndsWithItsEndLine) {
  bridge_test::TempDir dir;
  EXPECT_FALSE(bridge::record_complete(dir.path() + "/none"));
  EXPECT_FALSE(bridge::record_complete(dir.file("a", "")));
  EXPECT_FALSE(bridge::record_complete(dir.file("b", kRecord)));
  EXPECT_FALSE(bridge::record_complete(dir.file("c", std::string(kRecord) + "2200 end snaps")));
  EXPECT_FALSE(bridge::record_complete(dir.file("d", std::string(kRecord) + "2200 end snapshot")));
  EXPECT_FALSE(
      bridge::record_complete(dir.file("e", std::string(kRecord) + "2200 out end snapshot\n")));
  EXPECT_TRUE(
      bridge::record_complete(dir.file("f", std::string(kRecord) + "2200.5 end snapshot\n")));
  EXPECT_TRUE(
      bridge::record_complete(dir.file("g", std::string(kRecord) + "2200 end status 143\n")));
}

// The whole of a gzip stream of `size` bytes, or nothing when it is not one.
std::string gunzip(const std::string& packed, size_t size) {
  std::string back(size, '\0');
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  z.avail_in = static_cast<uInt>(packed.size());
  z.next_out = reinterpret_cast<Bytef*>(back.data());
  z.avail_out = static_cast<uInt>(back.size());
  const int rc = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? back : "";
}

TEST(RecordFiles, GzippedWhenThatIsSmallerAndItUnpacksToTheSame) {
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += std::to_string(i * 6.5) + " spi 0000000000000000 A1010100000555E5\n";
  bool gzipped = false;
  const std::string packed = bridge::gzip_if_smaller(text, &gzipped);
  ASSERT_TRUE(gzipped);
  EXPECT_LT(packed.size() * 5, text.size());
  EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);  // gzip's magic: zcat reads it
  EXPECT_EQ(gunzip(packed, text.size()), text);
  // Too short to gain: sent as it is.
  EXPECT_EQ(bridge::gzip_if_smaller("0 end snapshot\n", &gzipped), "0 end snapshot\n");
  EXPECT_FALSE(gzipped);
}

TEST(RecordFiles, TheNewestExitRecordsAreKept) {
  bridge_test::TempDir dir;
  const std::string live = dir.path() + "/flight.rec";
  std::string why;
  EXPECT_EQ(bridge::keep_exit_record(live, dir.path(), 0, 3, 2, &why), "");
  EXPECT_EQ(why, "the program left no record");
  const long long t0 = 1796829469000;  // 2026-12-09T15:17:49Z
  for (int i = 0; i < 4; ++i) {
    dir.file("flight.rec", "run " + std::to_string(i) + "\n");
    const std::string kept =
        bridge::keep_exit_record(live, dir.path(), t0 + i * 1000, 128 + 11, 2, &why);
    EXPECT_NE(kept, "") << why;
  }
  const auto kept = bridge::kept_records(dir.path());
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], dir.path() + "/exit-2026-12-09T15-17-51.000Z-status-139.rec");
  EXPECT_EQ(bridge_test::read_file(kept[0]), "run 2\n");
  EXPECT_EQ(bridge_test::read_file(kept[1]), "run 3\n");
  struct stat st {};
  EXPECT_NE(stat(live.c_str(), &st), 0);  // moved, not copied
  ASSERT_EQ(stat(kept[1].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // households' call times
}

// The record is packed on the packer's own thread from the file as it was
// opened (the program may rename a newer one over it meanwhile), and handed
// back through a descriptor the service's loop polls.
TEST(RecordFiles, ARecordIsPackedOnItsOwnThreadAndAnnouncedOnItsDescriptor) {
  bridge_test::TempDir dir;
  std::string text;
  for (int i = 0; i < 20000; ++i)
    text += std::to_string(i * 6.5) + " spi A10100000000AA24 0000000000000000\n";
  const std::string path = dir.file("flight.rec", text);
  bridge::RecordPacker packer;
  ASSERT_GE(packer.wake_fd(), 0);
  EXPECT_FALSE(packer.take());
  packer.start(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(packer.busy());
  // A newer record renamed over the name, as the program writes one.
  ASSERT_EQ(rename(dir.file("flight.rec.tmp", "0 end snapshot\n").c_str(), path.c_str()), 0);
  struct pollfd wake = {packer.wake_fd(), POLLIN, 0};
  ASSERT_EQ(poll(&wake, 1, 30000), 1);
  const std::optional<bridge::PackedRecord> packed = packer.take();
  ASSERT_TRUE(packed);
  EXPECT_FALSE(packer.busy());
  EXPECT_EQ(packed->error, "");
  EXPECT_EQ(packed->bytes, text.size());
  ASSERT_TRUE(packed->gzipped);
  EXPECT_EQ(gunzip(packed->payload, text.size()), text);
}

}  // namespace
