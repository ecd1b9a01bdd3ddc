// Every store keeps record_store.h's contract: these tests are written from
// it alone and run against each kind of store.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/fleet/store_contract.h"
#include "tests/support/eventually.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t LONG_LEASE_MS = 600000;  // runs out in no test
constexpr uint32_t SHORT_LEASE_MS = 50;     // runs out while the test waits for it
constexpr auto LEASE_WAIT = 20s;

campaign test_campaign() {
  campaign c;
  c.image_name = "rd-app-2.1.0.bin";
  c.image_bytes = 183296;
  c.image_crc32 = 0x8D3F21C7;
  c.expected_revision = "2.1.0";
  c.model = "RD-100";
  return c;
}

claim_request request_for(const std::string& mac, const std::string& station,
                          uint32_t lease_ms = LONG_LEASE_MS, int max_failed = 3) {
  claim_request request;
  request.mac = mac;
  request.name = "TAVREN RD";
  request.station = station;
  request.lease_ms = lease_ms;
  request.max_failed = max_failed;
  return request;
}

device_result nearest_result(record_state state) {
  switch (state) {
    case record_state::ok:
      return device_result::ok;
    default:
      return device_result::failed;
  }
}

attempt_result result_for(const std::string& mac, int64_t attempt, const std::string& station,
                          record_state state) {
  attempt_result result;
  result.mac = mac;
  result.attempt = attempt;
  result.station = station;
  result.state = state;
  result.row.mac = mac;
  result.row.name = "TAVREN RD";
  result.row.revision_before = "2.0.4";
  result.row.revision_after = state == record_state::ok ? "2.1.0" : "";
  result.row.result = nearest_result(state);
  if (state == record_state::failed) {
    result.row.error = "the device did not answer";
    result.row.error_code = "no_answer";
    result.row.detail = "no acknowledgement of packet 12 within 2000 ms";
  }
  result.row.attempts = 1;
  result.row.bytes = 183296;
  result.row.seconds = 41.237;
  result.row.bytes_per_second = 4444.9;
  result.serial_number = "SN-000172";
  result.model_number = "RD-100";
  return result;
}

const std::regex UTC_TIME(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d+)?Z)");

class record_store_contract : public ::testing::TestWithParam<store_kind> {
 protected:
  void SetUp() override {
    std::string why;
    bool required = false;
    place_ = GetParam().make(why, required);
    if (!place_) {
      if (required) FAIL() << why;
      GTEST_SKIP() << why;
    }
    std::string error;
    store_ = place_->open(error);
    ASSERT_TRUE(store_) << error;
  }

  void open_campaign(const campaign& c) {
    std::string error;
    ASSERT_EQ(store_->open_campaign(c, true, error), store_status::ok) << error;
  }

  claim_outcome claim(const claim_request& request) {
    const claim_outcome outcome = store_->claim(request);
    EXPECT_EQ(outcome.status, store_status::ok) << outcome.error;
    return outcome;
  }

  int64_t claim_granted(const claim_request& request) {
    const claim_outcome outcome = claim(request);
    EXPECT_TRUE(outcome.granted) << request.mac << " for " << request.station;
    return outcome.attempt;
  }

  write_outcome finish(const attempt_result& result) {
    const finish_outcome outcome = store_->finish(result);
    EXPECT_EQ(outcome.status, store_status::ok) << outcome.error;
    return outcome.outcome;
  }

  std::vector<record_row> rows() {
    std::vector<record_row> found;
    std::string error;
    EXPECT_EQ(store_->read(found, error), store_status::ok) << error;
    return found;
  }

  std::unique_ptr<record_place> place_;
  std::unique_ptr<record_store> store_;
};

const std::string MAC_A = "C4:7F:0E:10:00:01";
const std::string MAC_B = "C4:7F:0E:10:00:02";
const std::string MAC_C = "C4:7F:0E:10:00:03";

TEST_P(record_store_contract, NewRecordHoldsNoCampaign) {
  std::vector<campaign_entry> found;
  std::string error;
  ASSERT_EQ(store_->campaigns(found, error), store_status::ok) << error;
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(store_->where().empty());
}

TEST_P(record_store_contract, CampaignNotThereIsNotMadeUnlessAsked) {
  std::string error;
  EXPECT_EQ(store_->open_campaign(test_campaign(), false, error), store_status::failed);
  EXPECT_FALSE(error.empty());
  std::vector<campaign_entry> found;
  ASSERT_EQ(store_->campaigns(found, error), store_status::ok) << error;
  EXPECT_TRUE(found.empty());
}

TEST_P(record_store_contract, CampaignIsMadeOnceAndListedWithItsFacts) {
  const campaign c = test_campaign();
  open_campaign(c);
  open_campaign(c);
  std::string error;
  EXPECT_EQ(store_->open_campaign(c, false, error), store_status::ok) << error;
  std::vector<campaign_entry> found;
  ASSERT_EQ(store_->campaigns(found, error), store_status::ok) << error;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].key, campaign_key(c));
  EXPECT_EQ(found[0].facts.image_name, c.image_name);
  EXPECT_EQ(found[0].facts.image_bytes, c.image_bytes);
  EXPECT_EQ(found[0].facts.image_crc32, c.image_crc32);
  EXPECT_EQ(found[0].facts.expected_revision, c.expected_revision);
  EXPECT_EQ(found[0].facts.model, c.model);
  EXPECT_TRUE(std::regex_match(found[0].created, UTC_TIME)) << found[0].created;
}

TEST_P(record_store_contract, SameBytesUnderAnotherNameAreTheSameCampaign) {
  campaign c = test_campaign();
  open_campaign(c);
  claim_granted(request_for(MAC_A, "station-1"));
  c.image_name = "renamed.bin";
  open_campaign(c);
  const claim_outcome again = claim(request_for(MAC_A, "station-2"));
  EXPECT_FALSE(again.granted);
  EXPECT_EQ(again.state, record_state::claimed);
  std::vector<campaign_entry> found;
  std::string error;
  ASSERT_EQ(store_->campaigns(found, error), store_status::ok) << error;
  EXPECT_EQ(found.size(), 1u);
}

TEST_P(record_store_contract, AnotherImageRevisionOrModelIsAnotherCampaignNeverMixed) {
  const campaign first = test_campaign();
  campaign other_crc = first, other_size = first, other_revision = first, other_model = first,
           any_model = first;
  other_crc.image_crc32 ^= 1;
  other_size.image_bytes += 1;
  other_revision.expected_revision = "2.1.1";
  other_model.model = "RD-200";
  any_model.model = "";

  open_campaign(first);
  const int64_t attempt = claim_granted(request_for(MAC_A, "station-1"));
  ASSERT_EQ(finish(result_for(MAC_A, attempt, "station-1", record_state::ok)),
            write_outcome::written);

  for (const campaign& other : {other_crc, other_size, other_revision, other_model, any_model}) {
    open_campaign(other);
    EXPECT_TRUE(rows().empty()) << campaign_key(other);
    const claim_outcome outcome = claim(request_for(MAC_A, "station-2"));
    EXPECT_TRUE(outcome.granted) << campaign_key(other);
    EXPECT_EQ(outcome.attempt, 1);
    const std::vector<record_row> found = rows();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].state, record_state::claimed);
    EXPECT_EQ(found[0].campaign, campaign_key(other));
  }

  open_campaign(first);
  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, record_state::ok);
  EXPECT_EQ(found[0].station, "station-1");
  EXPECT_EQ(found[0].history.size(), 1u);

  std::vector<campaign_entry> listed;
  std::string error;
  ASSERT_EQ(store_->campaigns(listed, error), store_status::ok) << error;
  ASSERT_EQ(listed.size(), 6u);
  EXPECT_EQ(listed.front().key, campaign_key(first));
  EXPECT_EQ(listed.back().key, campaign_key(any_model));
}

TEST_P(record_store_contract, ClaimRenewFinishAndReadBack) {
  open_campaign(test_campaign());
  const claim_outcome claimed = claim(request_for(MAC_A, "station-1"));
  ASSERT_TRUE(claimed.granted);
  EXPECT_EQ(claimed.attempt, 1);

  std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, record_state::claimed);
  EXPECT_EQ(found[0].station, "station-1");
  EXPECT_EQ(found[0].attempt, 1);
  EXPECT_TRUE(std::regex_match(found[0].claimed_at, UTC_TIME)) << found[0].claimed_at;
  EXPECT_TRUE(found[0].ended_at.empty());
  ASSERT_EQ(found[0].history.size(), 1u);
  EXPECT_TRUE(found[0].history[0].ended.empty());
  EXPECT_TRUE(found[0].history[0].result.empty());

  EXPECT_EQ(store_->renew(MAC_A, claimed.attempt, LONG_LEASE_MS), store_status::ok);
  const attempt_result done = result_for(MAC_A, claimed.attempt, "station-1", record_state::ok);
  EXPECT_EQ(finish(done), write_outcome::written);

  found = rows();
  ASSERT_EQ(found.size(), 1u);
  const record_row& row = found[0];
  EXPECT_EQ(row.state, record_state::ok);
  EXPECT_EQ(row.row.result, device_result::ok);
  EXPECT_EQ(row.row.mac, MAC_A);
  EXPECT_EQ(row.row.name, "TAVREN RD");
  EXPECT_EQ(row.row.revision_before, "2.0.4");
  EXPECT_EQ(row.row.revision_after, "2.1.0");
  EXPECT_EQ(row.row.bytes, done.row.bytes);
  EXPECT_DOUBLE_EQ(row.row.seconds, done.row.seconds);
  EXPECT_EQ(row.row.attempts, 1);
  EXPECT_EQ(row.campaign, campaign_key(test_campaign()));
  EXPECT_EQ(row.station, "station-1");
  EXPECT_EQ(row.serial_number, "SN-000172");
  EXPECT_EQ(row.model_number, "RD-100");
  EXPECT_EQ(row.attempt, 1);
  EXPECT_EQ(row.failed_attempts, 0);
  EXPECT_TRUE(std::regex_match(row.claimed_at, UTC_TIME)) << row.claimed_at;
  EXPECT_TRUE(std::regex_match(row.ended_at, UTC_TIME)) << row.ended_at;
  ASSERT_EQ(row.history.size(), 1u);
  EXPECT_EQ(row.history[0].number, 1);
  EXPECT_EQ(row.history[0].station, "station-1");
  EXPECT_EQ(row.history[0].result, "ok");
  EXPECT_TRUE(std::regex_match(row.history[0].started, UTC_TIME)) << row.history[0].started;
  EXPECT_TRUE(std::regex_match(row.history[0].ended, UTC_TIME)) << row.history[0].ended;
  EXPECT_GE(row.history[0].ended, row.history[0].started);
}

TEST_P(record_store_contract, DeviceHeldIsGrantedToNoOtherClaim) {
  open_campaign(test_campaign());
  claim_granted(request_for(MAC_A, "station-1"));
  for (const char* station : {"station-2", "station-1"}) {
    const claim_outcome other = claim(request_for(MAC_A, station));
    EXPECT_FALSE(other.granted) << station;
    EXPECT_EQ(other.state, record_state::claimed);
    EXPECT_EQ(other.holder, "station-1");
  }
  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].attempt, 1);
  EXPECT_EQ(found[0].history.size(), 1u);
}

TEST_P(record_store_contract, FinalStatesAreNeverClaimedAgain) {
  open_campaign(test_campaign());
  const std::vector<std::pair<std::string, record_state>> cases = {
      {MAC_A, record_state::ok},
      {MAC_B, record_state::already_installed},
      {MAC_C, record_state::rejected}};
  for (const auto& [mac, state] : cases) {
    const int64_t attempt = claim_granted(request_for(mac, "station-1"));
    ASSERT_EQ(finish(result_for(mac, attempt, "station-1", state)), write_outcome::written);
  }
  for (const auto& [mac, state] : cases) {
    for (const char* station : {"station-1", "station-2"}) {
      const claim_outcome again = claim(request_for(mac, station, LONG_LEASE_MS, 100));
      EXPECT_FALSE(again.granted) << mac << " " << record_state_name(state);
      EXPECT_EQ(again.state, state);
    }
  }
  for (const record_row& row : rows()) {
    EXPECT_EQ(row.attempt, 1) << row.row.mac;
    EXPECT_EQ(row.history.size(), 1u) << row.row.mac;
  }
}

TEST_P(record_store_contract, FailedDeviceIsTakenAgainUntilMaxFailed) {
  open_campaign(test_campaign());
  const int max_failed = 2;
  const int64_t first = claim_granted(request_for(MAC_A, "station-1", LONG_LEASE_MS, max_failed));
  ASSERT_EQ(finish(result_for(MAC_A, first, "station-1", record_state::failed)),
            write_outcome::written);
  const claim_outcome second = claim(request_for(MAC_A, "station-2", LONG_LEASE_MS, max_failed));
  ASSERT_TRUE(second.granted);
  EXPECT_EQ(second.attempt, first + 1);
  ASSERT_EQ(finish(result_for(MAC_A, second.attempt, "station-2", record_state::failed)),
            write_outcome::written);

  const claim_outcome third = claim(request_for(MAC_A, "station-3", LONG_LEASE_MS, max_failed));
  EXPECT_FALSE(third.granted);
  EXPECT_EQ(third.state, record_state::failed);
  EXPECT_EQ(third.failed_attempts, 2);
  // A line that allows more tries takes it again.
  const claim_outcome more = claim(request_for(MAC_A, "station-3", LONG_LEASE_MS, 3));
  EXPECT_TRUE(more.granted);
  EXPECT_EQ(more.attempt, 3);

  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].failed_attempts, 2);
  ASSERT_EQ(found[0].history.size(), 3u);
  EXPECT_EQ(found[0].history[0].result, "failed");
  EXPECT_EQ(found[0].history[0].error, "the device did not answer");
  EXPECT_EQ(found[0].history[1].result, "failed");
  EXPECT_EQ(found[0].history[1].station, "station-2");
  EXPECT_TRUE(found[0].history[2].result.empty());
}

TEST_P(record_store_contract, FailedRowSaysWhatFailed) {
  open_campaign(test_campaign());
  const int64_t attempt = claim_granted(request_for(MAC_A, "station-1"));
  ASSERT_EQ(finish(result_for(MAC_A, attempt, "station-1", record_state::failed)),
            write_outcome::written);
  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, record_state::failed);
  EXPECT_EQ(found[0].row.result, device_result::failed);
  EXPECT_EQ(found[0].row.error, "the device did not answer");
  EXPECT_EQ(found[0].row.error_code, "no_answer");
  EXPECT_EQ(found[0].row.detail, "no acknowledgement of packet 12 within 2000 ms");
  EXPECT_EQ(found[0].failed_attempts, 1);
}

TEST_P(record_store_contract, InterruptedIsTakenAgainAndIsNoFailure) {
  open_campaign(test_campaign());
  const int64_t first = claim_granted(request_for(MAC_A, "station-1", LONG_LEASE_MS, 1));
  ASSERT_EQ(finish(result_for(MAC_A, first, "station-1", record_state::interrupted)),
            write_outcome::written);
  EXPECT_EQ(rows().at(0).state, record_state::interrupted);
  const claim_outcome again = claim(request_for(MAC_A, "station-2", LONG_LEASE_MS, 1));
  EXPECT_TRUE(again.granted);
  EXPECT_EQ(again.attempt, 2);
  EXPECT_EQ(again.failed_attempts, 0);
}

TEST_P(record_store_contract, RepeatedFinishIsAlreadyWrittenAndChangesNothing) {
  open_campaign(test_campaign());
  const int64_t attempt = claim_granted(request_for(MAC_A, "station-1"));
  const attempt_result done = result_for(MAC_A, attempt, "station-1", record_state::failed);
  ASSERT_EQ(finish(done), write_outcome::written);
  const std::vector<record_row> before = rows();
  EXPECT_EQ(finish(done), write_outcome::already_written);
  EXPECT_EQ(finish(done), write_outcome::already_written);
  // Another result for the same attempt is no repetition.
  EXPECT_EQ(finish(result_for(MAC_A, attempt, "station-1", record_state::ok)),
            write_outcome::fenced);
  const std::vector<record_row> after = rows();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].state, record_state::failed);
  EXPECT_EQ(after[0].failed_attempts, 1);
  EXPECT_EQ(after[0].ended_at, before[0].ended_at);
  EXPECT_EQ(after[0].history.size(), 1u);
  // Still the same result once the device was taken again.
  claim_granted(request_for(MAC_A, "station-1"));
  EXPECT_EQ(finish(done), write_outcome::already_written);
  EXPECT_EQ(rows().at(0).state, record_state::claimed);
}

TEST_P(record_store_contract, FinishOfAnAttemptThatHoldsNoClaimIsFenced) {
  open_campaign(test_campaign());
  const int64_t attempt = claim_granted(request_for(MAC_A, "station-1"));
  EXPECT_EQ(finish(result_for(MAC_A, attempt + 1, "station-1", record_state::ok)),
            write_outcome::fenced);
  EXPECT_EQ(finish(result_for(MAC_A, attempt, "station-2", record_state::ok)),
            write_outcome::fenced);
  EXPECT_EQ(finish(result_for(MAC_B, 1, "station-1", record_state::ok)), write_outcome::fenced);
  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, record_state::claimed);
  EXPECT_EQ(found[0].station, "station-1");
  EXPECT_TRUE(found[0].history.at(0).result.empty());
}

TEST_P(record_store_contract, AnAttemptEndsOnlyInAStateAnAttemptEndsIn) {
  open_campaign(test_campaign());
  const int64_t attempt = claim_granted(request_for(MAC_A, "station-1"));
  for (record_state state : {record_state::open, record_state::claimed}) {
    const finish_outcome outcome = store_->finish(result_for(MAC_A, attempt, "station-1", state));
    EXPECT_EQ(outcome.status, store_status::failed) << record_state_name(state);
    EXPECT_FALSE(outcome.error.empty());
  }
  EXPECT_EQ(rows().at(0).state, record_state::claimed);
}

TEST_P(record_store_contract, LeaseRunOutIsTakenOverAndTheLateAttemptIsFenced) {
  open_campaign(test_campaign());
  const int64_t first = claim_granted(request_for(MAC_A, "station-1", SHORT_LEASE_MS));
  claim_outcome taken;
  ASSERT_TRUE(eventually(
      [&] {
        taken = claim(request_for(MAC_A, "station-2"));
        return taken.status != store_status::ok || taken.granted;
      },
      LEASE_WAIT));
  ASSERT_TRUE(taken.granted);
  EXPECT_EQ(taken.attempt, first + 1);
  EXPECT_EQ(taken.failed_attempts, 1);

  // The first station, late: its renewal and its result change nothing.
  EXPECT_EQ(store_->renew(MAC_A, first, LONG_LEASE_MS), store_status::failed);
  EXPECT_EQ(finish(result_for(MAC_A, first, "station-1", record_state::ok)), write_outcome::fenced);
  EXPECT_EQ(store_->renew(MAC_A, taken.attempt, LONG_LEASE_MS), store_status::ok);

  std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, record_state::claimed);
  EXPECT_EQ(found[0].station, "station-2");
  EXPECT_EQ(found[0].attempt, taken.attempt);
  EXPECT_EQ(found[0].failed_attempts, 1);
  ASSERT_EQ(found[0].history.size(), 2u);
  EXPECT_EQ(found[0].history[0].station, "station-1");
  EXPECT_EQ(found[0].history[0].result, "abandoned");
  EXPECT_TRUE(std::regex_match(found[0].history[0].ended, UTC_TIME)) << found[0].history[0].ended;
  EXPECT_TRUE(found[0].history[1].result.empty());

  ASSERT_EQ(finish(result_for(MAC_A, taken.attempt, "station-2", record_state::ok)),
            write_outcome::written);
  EXPECT_EQ(finish(result_for(MAC_A, first, "station-1", record_state::ok)), write_outcome::fenced);
  found = rows();
  EXPECT_EQ(found.at(0).state, record_state::ok);
  EXPECT_EQ(found.at(0).station, "station-2");
  EXPECT_EQ(found.at(0).history.at(0).result, "abandoned");
  EXPECT_EQ(found.at(0).history.at(1).result, "ok");
}

TEST_P(record_store_contract, AbandonedAttemptsCountTowardsMaxFailed) {
  open_campaign(test_campaign());
  claim_granted(request_for(MAC_A, "station-1", SHORT_LEASE_MS, 1));
  claim_outcome outcome;
  ASSERT_TRUE(eventually(
      [&] {
        outcome = claim(request_for(MAC_A, "station-2", LONG_LEASE_MS, 1));
        return outcome.status != store_status::ok || outcome.state != record_state::claimed;
      },
      LEASE_WAIT));
  EXPECT_FALSE(outcome.granted);
  EXPECT_EQ(outcome.state, record_state::failed);
  EXPECT_EQ(outcome.failed_attempts, 1);
  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].state, record_state::failed);
  EXPECT_EQ(found[0].failed_attempts, 1);
  ASSERT_EQ(found[0].history.size(), 1u);
  EXPECT_EQ(found[0].history[0].result, "abandoned");
}

TEST_P(record_store_contract, LeaseRunOutButNotTakenIsStillHeldAndRenewed) {
  open_campaign(test_campaign());
  const int64_t attempt = claim_granted(request_for(MAC_A, "station-1", 1));
  // Whether or not the millisecond passed, nobody took the device: the
  // attempt holds it, and the renewal makes the lease run again.
  ASSERT_EQ(store_->renew(MAC_A, attempt, LONG_LEASE_MS), store_status::ok);
  const claim_outcome other = claim(request_for(MAC_A, "station-2"));
  EXPECT_FALSE(other.granted);
  EXPECT_EQ(other.holder, "station-1");
  EXPECT_EQ(finish(result_for(MAC_A, attempt, "station-1", record_state::ok)),
            write_outcome::written);
}

TEST_P(record_store_contract, RenewOfAnAttemptThatHoldsNoClaimFails) {
  open_campaign(test_campaign());
  const int64_t attempt = claim_granted(request_for(MAC_A, "station-1"));
  EXPECT_EQ(store_->renew(MAC_A, attempt + 1, LONG_LEASE_MS), store_status::failed);
  EXPECT_EQ(store_->renew(MAC_B, 1, LONG_LEASE_MS), store_status::failed);
  ASSERT_EQ(finish(result_for(MAC_A, attempt, "station-1", record_state::ok)),
            write_outcome::written);
  EXPECT_EQ(store_->renew(MAC_A, attempt, LONG_LEASE_MS), store_status::failed);
}

TEST_P(record_store_contract, RowsComeInTheOrderTheyWereFirstClaimed) {
  open_campaign(test_campaign());
  const int64_t c = claim_granted(request_for(MAC_C, "station-1"));
  claim_granted(request_for(MAC_A, "station-2"));
  ASSERT_EQ(finish(result_for(MAC_C, c, "station-1", record_state::failed)),
            write_outcome::written);
  claim_granted(request_for(MAC_B, "station-1"));
  claim_granted(request_for(MAC_C, "station-2"));
  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].row.mac, MAC_C);
  EXPECT_EQ(found[1].row.mac, MAC_A);
  EXPECT_EQ(found[2].row.mac, MAC_B);
  EXPECT_EQ(found[0].history.size(), 2u);
}

TEST_P(record_store_contract, TextsComeBackAsTheyWent) {
  campaign c = test_campaign();
  c.image_name = "it's \"the\" image; -- \\ %s $1.bin";
  c.expected_revision = "2.1.0'; --";
  c.model = "RD\\100 \"x\"";
  open_campaign(c);
  claim_request request = request_for(MAC_A, "line 2 \"east\"; O'Hara\\PC");
  request.name = "TAVREN 'RD' \"one\"; \\n %d ✓";
  const int64_t attempt = claim_granted(request);
  attempt_result done = result_for(MAC_A, attempt, request.station, record_state::failed);
  done.row.name = request.name;
  done.row.error = "said: 'no'; \"then\" \\ nothing";
  done.row.detail = "line one\nline two\ttabbed";
  done.row.revision_before = "1.0'--";
  done.serial_number = "SN\\'7\"";
  done.model_number = "RD-100; DROP";
  ASSERT_EQ(finish(done), write_outcome::written);

  const std::vector<record_row> found = rows();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].row.name, request.name);
  EXPECT_EQ(found[0].station, request.station);
  EXPECT_EQ(found[0].row.error, done.row.error);
  EXPECT_EQ(found[0].row.detail, done.row.detail);
  EXPECT_EQ(found[0].row.revision_before, done.row.revision_before);
  EXPECT_EQ(found[0].serial_number, done.serial_number);
  EXPECT_EQ(found[0].model_number, done.model_number);
  EXPECT_EQ(found[0].history.at(0).station, request.station);
  EXPECT_EQ(found[0].history.at(0).error, done.row.error);
  EXPECT_EQ(found[0].campaign, campaign_key(c));

  std::vector<campaign_entry> listed;
  std::string error;
  ASSERT_EQ(store_->campaigns(listed, error), store_status::ok) << error;
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].key, campaign_key(c));
  EXPECT_EQ(listed[0].facts.image_name, c.image_name);
  EXPECT_EQ(listed[0].facts.expected_revision, c.expected_revision);
  EXPECT_EQ(listed[0].facts.model, c.model);
}

TEST_P(record_store_contract, StoreOpenedAgainReadsTheSameRecord) {
  const campaign c = test_campaign();
  open_campaign(c);
  const int64_t a = claim_granted(request_for(MAC_A, "station-1"));
  ASSERT_EQ(finish(result_for(MAC_A, a, "station-1", record_state::ok)), write_outcome::written);
  const int64_t b = claim_granted(request_for(MAC_B, "station-1"));
  const std::vector<record_row> before = rows();
  store_.reset();

  std::string error;
  store_ = place_->open(error);
  ASSERT_TRUE(store_) << error;
  ASSERT_EQ(store_->open_campaign(c, false, error), store_status::ok) << error;
  const std::vector<record_row> after = rows();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].row.mac, before[i].row.mac);
    EXPECT_EQ(after[i].state, before[i].state);
    EXPECT_EQ(after[i].attempt, before[i].attempt);
    EXPECT_EQ(after[i].claimed_at, before[i].claimed_at);
    EXPECT_EQ(after[i].history.size(), before[i].history.size());
  }
  // The claim made before still holds, and its attempt still writes.
  EXPECT_FALSE(claim(request_for(MAC_B, "station-2")).granted);
  EXPECT_EQ(finish(result_for(MAC_B, b, "station-1", record_state::ok)), write_outcome::written);
}

TEST_P(record_store_contract, CallsBeforeACampaignIsOpenAreRefused) {
  const claim_outcome claimed = store_->claim(request_for(MAC_A, "station-1"));
  EXPECT_EQ(claimed.status, store_status::failed);
  EXPECT_FALSE(claimed.granted);
  EXPECT_EQ(store_->renew(MAC_A, 1, LONG_LEASE_MS), store_status::failed);
  EXPECT_EQ(store_->finish(result_for(MAC_A, 1, "station-1", record_state::ok)).status,
            store_status::failed);
  std::vector<record_row> found;
  std::string error;
  EXPECT_EQ(store_->read(found, error), store_status::failed);
}

INSTANTIATE_TEST_SUITE_P(stores, record_store_contract,
                         ::testing::Values(store_kind{"file", make_file_place},
                                           store_kind{"postgresql", make_pg_place}),
                         [](const ::testing::TestParamInfo<store_kind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
