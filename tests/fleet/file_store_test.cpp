// The local record kept by one station: whatever line a crash cuts, the
// next start reads what was whole, says what it cut off, and goes on; a
// file that is not a record of ours is refused, and one station at a time
// holds it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fleet/file_store.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* FIRST = "C4:7C:8D:6A:3E:01";
constexpr const char* SECOND = "C4:7C:8D:6A:3E:02";
constexpr const char* THIRD = "C4:7C:8D:6A:3E:03";

campaign a_campaign() {
  campaign c;
  c.image_name = "fw-1.06.bin";
  c.image_bytes = 65536;
  c.image_crc32 = 0x340BC6D9;
  c.expected_revision = "1.06";
  return c;
}

attempt_result result(const std::string& mac, int64_t attempt, record_state state) {
  attempt_result r;
  r.mac = mac;
  r.attempt = attempt;
  r.station = "bench-1";
  r.state = state;
  r.row.mac = mac;
  r.row.revision_before = "1.05";
  return r;
}

class FileStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/file-store-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<file_store> open(const std::string& path, std::string& warning,
                                   bool reading = false) {
    std::string error;
    std::unique_ptr<file_store> store = file_store::open(path, reading, error, warning);
    EXPECT_TRUE(store) << error;
    if (store) {
      EXPECT_EQ(store->open_campaign(a_campaign(), !reading, error), store_status::ok) << error;
    }
    return store;
  }

  std::string read_all(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  std::string dir_;
};

TEST_F(FileStore, ACrashAtAnyByteLeavesAWholeRecordThatGoesOn) {
  const std::string path = dir_ + "/record.ndjson";
  std::string warning;
  {
    std::unique_ptr<file_store> store = open(path, warning);
    ASSERT_TRUE(store);
    const claim_outcome first = store->claim(claim_request{FIRST, "RD one", "bench-1"});
    ASSERT_TRUE(first.granted);
    EXPECT_EQ(store->finish(result(FIRST, first.attempt, record_state::ok)).outcome,
              write_outcome::written);
    ASSERT_TRUE(store->claim(claim_request{SECOND, "RD two", "bench-1"}).granted);
    const claim_outcome third = store->claim(claim_request{THIRD, "RD three", "bench-1"});
    EXPECT_EQ(store->finish(result(THIRD, third.attempt, record_state::failed)).outcome,
              write_outcome::written);
  }
  // Written by a process that is gone now (its claims name it).
  std::string whole = read_all(path);
  const std::string mine = "\"pid\":" + std::to_string(getpid());
  for (size_t at; (at = whole.find(mine)) != std::string::npos;)
    whole.replace(at, mine.size(), "\"pid\":1");
  ASSERT_EQ(whole.back(), '\n');
  // Every line's first and last byte, its middle, and its end.
  std::vector<size_t> cuts = {0};
  for (size_t start = 0, end; (end = whole.find('\n', start)) != std::string::npos; start = end + 1)
    cuts.insert(cuts.end(), {start + 1, (start + end) / 2, end, end + 1});
  for (const size_t cut : cuts) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
    const std::string crashed = dir_ + "/crashed.ndjson";
    std::ofstream(crashed, std::ios::binary) << whole.substr(0, cut);
    std::string said, error;
    std::unique_ptr<file_store> store = file_store::open(crashed, false, error, said);
    ASSERT_TRUE(store) << error;
    const bool torn = cut > 0 && whole[cut - 1] != '\n';
    EXPECT_EQ(!said.empty(), torn) << said;
    const size_t last_break = cut == 0 ? std::string::npos : whole.rfind('\n', cut - 1);
    const std::string kept = whole.substr(0, last_break == std::string::npos ? 0 : last_break + 1);
    EXPECT_EQ(read_all(crashed), kept) << "the cut line stays cut off";
    ASSERT_EQ(store->open_campaign(a_campaign(), true, error), store_status::ok) << error;
    // What the process before left unfinished is taken again at once; what
    // it finished stays done.
    const claim_outcome second = store->claim(claim_request{SECOND, "RD two", "bench-2"});
    ASSERT_EQ(second.status, store_status::ok);
    EXPECT_TRUE(second.granted);
    const bool first_done = kept.find("\"result\",\"campaign\"") != std::string::npos;
    EXPECT_EQ(store->claim(claim_request{FIRST, "RD one", "bench-2"}).granted, !first_done);
  }
}

TEST_F(FileStore, OneStationHoldsItAndAnythingElseIsNoRecord) {
  const std::string path = dir_ + "/record.ndjson";
  std::string warning;
  std::unique_ptr<file_store> holder = open(path, warning);
  ASSERT_TRUE(holder);
  ASSERT_TRUE(holder->claim(claim_request{FIRST, "RD one", "bench-1"}).granted);
  std::string error;
  {
    // Another process holds it, as another station would. (Nothing else
    // runs in this test's process, so its child may allocate.)
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    if (other == 0) {
      holder.release();
      std::string child_error, child_warning;
      const std::unique_ptr<file_store> held =
          file_store::open(dir_ + "/other.ndjson", false, child_error, child_warning);
      if (write(ready[1], held ? "y" : "n", 1) != 1) _exit(1);
      for (;;) pause();
    }
    char taken = 0;
    ASSERT_EQ(read(ready[0], &taken, 1), 1);
    EXPECT_EQ(taken, 'y');
    EXPECT_FALSE(file_store::open(dir_ + "/other.ndjson", false, error, warning));
    EXPECT_NE(error.find("in use by another station (process " + std::to_string(other)),
              std::string::npos)
        << error;
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    // Its holder gone however it ended, the record is free.
    EXPECT_TRUE(file_store::open(dir_ + "/other.ndjson", false, error, warning)) << error;
  }
  // Read while a station writes it: what is there is read, nothing taken.
  std::unique_ptr<file_store> reader = open(path, warning, true);
  ASSERT_TRUE(reader);
  std::vector<record_row> rows;
  ASSERT_EQ(reader->read(rows, error), store_status::ok);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].state, record_state::claimed);
  EXPECT_EQ(reader->claim(claim_request{SECOND, "RD two", "bench-9"}).status, store_status::failed);
  holder.reset();

  // A line in the middle that is not ours: no record, nothing written.
  const std::string whole = read_all(path);
  const std::string spoiled = dir_ + "/spoiled.ndjson";
  std::ofstream(spoiled, std::ios::binary) << "{\"type\":\"claim\"}\n" << whole;
  EXPECT_FALSE(file_store::open(spoiled, false, error, warning));
  EXPECT_NE(error.find("line 1 is not a record of this program"), std::string::npos) << error;
  EXPECT_EQ(read_all(spoiled).size(), whole.size() + 17);
  // Nor a folder, nor a link.
  EXPECT_FALSE(file_store::open(dir_, false, error, warning));
  ASSERT_EQ(symlink(path.c_str(), (dir_ + "/link.ndjson").c_str()), 0);
  EXPECT_FALSE(file_store::open(dir_ + "/link.ndjson", false, error, warning));
}

}  // namespace
