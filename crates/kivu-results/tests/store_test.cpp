// The store on SQLite and the reading of its inputs, in-process.
#include "kivu_results/store.hpp"

#include <poll.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivu_results/inputs.hpp"
#include "kivu_testing/child_process.hpp"
#include "test_inputs.hpp"

namespace {

using kivu_results::InputError;
using kivu_results::Recording;
using kivu_results::Store;
using kivu_results::StoreAddress;
using kivu_results::StoreErrorKind;
using kivu_results::Verdict;
using kivu_results::testing::gtest_xml;

void write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

Store open_sqlite(const std::string& path) {
  auto store = Store::open({StoreAddress::Kind::Sqlite, path});
  if (!store) throw std::runtime_error(store.error().message);
  return std::move(*store);
}

// A recording of `verdicts` ("passed"/"failed" per case a, b, ...) on `commit`.
Recording recording(const std::string& commit, const std::vector<std::string>& verdicts, const std::string& hash,
                    const std::string& board = "0") {
  Recording r;
  r.commit = commit;
  r.recorded_at = "2026-01-01T00:00:00Z";
  r.content_hash = hash;
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    kivu_results::CaseRecord c;
    c.case_name = "hardware_e2e.case_" + std::string(1, static_cast<char>('a' + i));
    c.verdict = verdicts[i] == "passed"   ? Verdict::Passed
                : verdicts[i] == "failed" ? Verdict::Failed
                                          : Verdict::Missing;
    c.properties = {{"host", "lab-1"}, {"board", board}};
    r.cases.push_back(c);
  }
  return r;
}

// =============================================================================
// Addresses

TEST(StoreAddress, PathsSqliteAndPostgresAreTakenUnknownSchemesRefused) {
  using Kind = StoreAddress::Kind;
  EXPECT_EQ(kivu_results::parse_store_address("target/x.sqlite")->kind, Kind::Sqlite);
  EXPECT_EQ(kivu_results::parse_store_address("sqlite:/tmp/a:b")->location, "/tmp/a:b");
  EXPECT_EQ(kivu_results::parse_store_address("./dir:x/y.db")->location, "./dir:x/y.db");
  EXPECT_EQ(kivu_results::parse_store_address("a:b")->kind, Kind::Sqlite);  // one letter before ':' is no scheme
  EXPECT_EQ(kivu_results::parse_store_address("postgresql://u@/kivu?host=/run")->kind, Kind::Postgres);
  EXPECT_EQ(kivu_results::parse_store_address("postgres://h/kivu")->kind, Kind::Postgres);
  for (const char* refused : {"mysql://h/db", "https://h/x", "sqlite:", ""}) {
    const auto address = kivu_results::parse_store_address(refused);
    ASSERT_FALSE(address) << refused;
    EXPECT_EQ(address.error().kind, StoreErrorKind::Address);
    EXPECT_EQ(address.error().message.find('\n'), std::string::npos);
  }
}

TEST(StoreAddress, DefaultFileFollowsXdgDataHomeThenHome) {
  EXPECT_EQ(kivu_results::default_store_path("/x/data", "/home/u"), "/x/data/kivu/results.sqlite");
  EXPECT_EQ(kivu_results::default_store_path("relative", "/home/u"), "/home/u/.local/share/kivu/results.sqlite");
  EXPECT_EQ(kivu_results::default_store_path(std::nullopt, "/home/u"), "/home/u/.local/share/kivu/results.sqlite");
  EXPECT_EQ(kivu_results::default_store_path(std::nullopt, std::nullopt), "results.sqlite");
}

// =============================================================================
// Inputs

TEST(ResultXml, KeepsVerdictsTimesPropertiesAndFailureTexts) {
  const auto cases = kivu_results::read_result_xml(
      gtest_xml({{"ok", "passed"}, {"bad", "failed", "3"}, {"off", "skipped"}, {"gone", "missing"}}), "r.xml");
  ASSERT_TRUE(cases) << cases.error().message;
  ASSERT_EQ(cases->size(), 4u);
  EXPECT_EQ((*cases)[0].case_name, "hardware_e2e.ok");
  EXPECT_EQ((*cases)[0].verdict, Verdict::Passed);
  EXPECT_DOUBLE_EQ((*cases)[0].seconds, 0.5);
  EXPECT_EQ((*cases)[1].verdict, Verdict::Failed);
  EXPECT_THAT((*cases)[1].failure, ::testing::HasSubstr("frame.cpp:10"));
  EXPECT_THAT((*cases)[1].properties, ::testing::Contains(std::pair<std::string, std::string>("board", "3")));
  EXPECT_EQ((*cases)[2].verdict, Verdict::Skipped);
  EXPECT_EQ((*cases)[3].verdict, Verdict::Missing);
}

TEST(ResultXml, RefusesDoctypeTruncatedAndForeignDocuments) {
  const std::string bomb =
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 \"&lol;&lol;&lol;\">]>"
      "<testsuites><testsuite name=\"&lol2;\"/></testsuites>";
  auto read = kivu_results::read_result_xml(bomb, "bomb.xml");
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, InputError::Kind::Doctype);
  // A comment before the root is not a declaration.
  EXPECT_TRUE(kivu_results::read_result_xml("<!-- <x> --><testsuites/>", "c.xml"));

  const std::string whole = gtest_xml({{"ok", "passed"}});
  read = kivu_results::read_result_xml(whole.substr(0, whole.size() / 2), "half.xml");
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, InputError::Kind::Malformed);
  EXPECT_THAT(read.error().message, ::testing::StartsWith("half.xml: "));

  read = kivu_results::read_result_xml("<html><body/></html>", "page.xml");
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, InputError::Kind::NotResult);
}

TEST(Inputs, SizeBoundHoldsOnBothSidesForXmlAndProfiles) {
  const kivu_testing::ScratchDirectory scratch;
  const std::string xml = gtest_xml({{"ok", "passed"}});
  write(scratch.file("r.xml"), xml);
  ASSERT_TRUE(kivu_package::write_profile_file(kivu_results::testing::profile(4, 100, 20), scratch.file("p.capnp")));
  const auto profile_size = std::filesystem::file_size(scratch.file("p.capnp"));

  kivu_results::InputLimits limits{.max_xml_bytes = xml.size(), .max_profile_bytes = profile_size};
  const std::vector<std::string> both = {scratch.file("r.xml"), scratch.file("p.capnp")};
  const auto at_bound = kivu_results::read_inputs(both, "", limits);
  ASSERT_TRUE(at_bound) << at_bound.error().message;
  EXPECT_EQ(at_bound->cases.size(), 1u);
  EXPECT_EQ(at_bound->profiles.size(), 1u);

  limits.max_xml_bytes = xml.size() - 1;
  auto over = kivu_results::read_inputs(both, "", limits);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().kind, InputError::Kind::TooLarge);

  limits = {.max_xml_bytes = xml.size(), .max_profile_bytes = profile_size - 1};
  over = kivu_results::read_inputs(both, "", limits);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().kind, InputError::Kind::TooLarge);
}

TEST(Inputs, ProfileFiguresAndFoldersAndNonResults) {
  const kivu_testing::ScratchDirectory scratch;
  std::filesystem::create_directory(scratch.file("run"));
  write(scratch.file("run/b.xml"), gtest_xml({{"ok", "failed"}}));
  write(scratch.file("run/a.xml"), gtest_xml({{"ok", "passed"}, {"other", "passed"}}));
  write(scratch.file("run/notes.txt"), "ignored");
  ASSERT_TRUE(
      kivu_package::write_profile_file(kivu_results::testing::profile(4, 100, 20), scratch.file("run/p.capnp")));

  const std::vector<std::string> folder = {scratch.file("run")};
  const auto content = kivu_results::read_inputs(folder, "hardware_e2e.gemm");
  ASSERT_TRUE(content) << content.error().message;
  ASSERT_EQ(content->cases.size(), 2u);
  EXPECT_EQ(content->cases[0].verdict, Verdict::Failed);  // reported twice: a failure counts
  EXPECT_EQ(content->digests.size(), 3u);
  ASSERT_EQ(content->profiles.size(), 1u);
  const auto& p = content->profiles.front();
  EXPECT_EQ(p.case_name, "hardware_e2e.gemm");
  EXPECT_EQ(p.compute_cycles, 4u * 100 + 0 + 1 + 2 + 3);
  EXPECT_EQ(p.exchange_cycles, 4u * 20);
  EXPECT_EQ(p.idle_cycles, 4u * 5);
  EXPECT_EQ(p.total_cycles, p.compute_cycles + p.exchange_cycles + p.idle_cycles);
  EXPECT_EQ(p.busiest_tile, 3u);
  EXPECT_EQ(p.busiest_tile_cycles, 103u + 20);
  EXPECT_EQ(p.tile_count, 4u);
  EXPECT_EQ(p.clock_hz, 1'330'000'000u);

  write(scratch.file("junk.bin"), std::string("\x01\x02garbage", 9));
  write(scratch.file("empty.xml"), "");
  for (const char* name : {"junk.bin", "empty.xml"}) {
    const std::vector<std::string> one = {scratch.file(name)};
    const auto refused = kivu_results::read_inputs(one, "");
    ASSERT_FALSE(refused) << name;
    EXPECT_EQ(refused.error().kind, InputError::Kind::NotResult) << refused.error().message;
  }
}

TEST(ContentHash, IgnoresFileOrderButNotCommitLabelsOrCase) {
  EXPECT_EQ(kivu_results::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(kivu_results::sha256_hex(std::string(1000, 'a')).size(), 64u);
  const auto hash = kivu_results::content_hash({"1", "2"}, "c", {{"fw", "1"}}, "");
  EXPECT_EQ(hash, kivu_results::content_hash({"2", "1"}, "c", {{"fw", "1"}}, ""));
  EXPECT_NE(hash, kivu_results::content_hash({"1", "2"}, "d", {{"fw", "1"}}, ""));
  EXPECT_NE(hash, kivu_results::content_hash({"1", "2"}, "c", {{"fw", "2"}}, ""));
  EXPECT_NE(hash, kivu_results::content_hash({"1", "2"}, "c", {{"fw", "1"}}, "hardware_e2e.gemm"));
}

// =============================================================================
// The store on SQLite

TEST(SqliteStore, RecordsRunsNewestFirstAndCountsTheSameContentOnce) {
  const kivu_testing::ScratchDirectory scratch;
  auto store = open_sqlite(scratch.file("deep/er/store.sqlite"));  // folders are made
  auto first = recording("c1", {"passed", "failed", "missing"}, "h1");
  first.labels = {{"firmware", "7"}};
  const auto one = store.record(first);
  ASSERT_TRUE(one) << one.error().message;
  EXPECT_FALSE(one->already_recorded);
  const auto two = store.record(recording("c2", {"passed", "passed", "passed"}, "h2"));
  ASSERT_TRUE(two);
  const auto again = store.record(recording("c1", {"passed", "failed", "missing"}, "h1"));
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->already_recorded);
  EXPECT_EQ(again->run_id, one->run_id);

  const auto runs = store.runs();
  ASSERT_TRUE(runs);
  ASSERT_EQ(runs->size(), 2u);
  EXPECT_EQ((*runs)[0].id, two->run_id);
  EXPECT_EQ((*runs)[1].commit, "c1");
  EXPECT_EQ((*runs)[1].passed, 1u);
  EXPECT_EQ((*runs)[1].failed, 1u);
  EXPECT_EQ((*runs)[1].missing, 1u);
  EXPECT_EQ((*runs)[1].labels.at("firmware"), "7");
  ASSERT_EQ(store.runs(1)->size(), 1u);

  // Reopened, the store keeps everything and migrates nothing.
  auto reopened = open_sqlite(scratch.file("deep/er/store.sqlite"));
  EXPECT_EQ(reopened.runs()->size(), 2u);
}

TEST(SqliteStore, FlakyCountsFlipsPerCommitWithTheBoardsOfFailures) {
  const kivu_testing::ScratchDirectory scratch;
  auto store = open_sqlite(scratch.file("s.sqlite"));
  // case_a on c1: pass, fail (board 2), pass, fail (board 3): 3 flips.
  // case_b on c1: pass, pass, fail, fail: 1 flip. case_a on c2 only passes.
  const std::vector<std::pair<std::vector<std::string>, std::string>> history = {{{"passed", "passed"}, "1"},
                                                                                 {{"failed", "passed"}, "2"},
                                                                                 {{"passed", "failed"}, "2"},
                                                                                 {{"failed", "failed"}, "3"}};
  int n = 0;
  for (const auto& [verdicts, board] : history)
    ASSERT_TRUE(store.record(recording("c1", verdicts, "h" + std::to_string(n++), board)));
  ASSERT_TRUE(store.record(recording("c2", {"passed"}, "other")));
  ASSERT_TRUE(store.record(recording("c2", {"passed"}, "other2")));

  const auto flaky = store.flaky();
  ASSERT_TRUE(flaky) << flaky.error().message;
  ASSERT_EQ(flaky->size(), 2u);
  EXPECT_EQ((*flaky)[0].case_name, "hardware_e2e.case_a");
  EXPECT_EQ((*flaky)[0].commit, "c1");
  EXPECT_EQ((*flaky)[0].passes, 2u);
  EXPECT_EQ((*flaky)[0].failures, 2u);
  EXPECT_EQ((*flaky)[0].flips, 3u);
  EXPECT_EQ((*flaky)[0].boards, (std::vector<std::string>{"lab-1:2", "lab-1:3"}));
  EXPECT_EQ((*flaky)[1].case_name, "hardware_e2e.case_b");
  EXPECT_EQ((*flaky)[1].flips, 1u);
  // The last three runs hold c1's last run (both cases failed) and c2's
  // passes; one more brings case_a's pass, two more case_b's.
  EXPECT_TRUE(store.flaky(3)->empty());
  EXPECT_EQ(store.flaky(4)->size(), 1u);
  EXPECT_EQ(store.flaky(5)->size(), 2u);
}

// The number of rows of `table` in the SQLite file at `path`.
std::int64_t row_count(const std::string& path, const std::string& table) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* statement = nullptr;
  std::int64_t count = -1;
  if (sqlite3_prepare_v2(db, ("SELECT COUNT(*) FROM " + table).c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    count = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return count;
}

TEST(SqliteStore, FlipsSkipSkippedResultsAndStayInsideTheLastRuns) {
  const kivu_testing::ScratchDirectory scratch;
  auto store = open_sqlite(scratch.file("s.sqlite"));
  // case_a on c1, in recording order: failed, passed, skipped, passed,
  // failed, missing, failed, passed. Without the skip and the missing
  // result: F P P F F P, 3 flips; the failure at both ends counts its one
  // neighbour only.
  const std::vector<std::string> verdicts = {"failed", "passed",  "skipped", "passed",
                                             "failed", "missing", "failed",  "passed"};
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    auto r = recording("c1", {verdicts[i] == "skipped" ? "missing" : verdicts[i]}, "h" + std::to_string(i),
                       std::to_string(i % 2));
    if (verdicts[i] == "skipped") r.cases.front().verdict = Verdict::Skipped;
    ASSERT_TRUE(store.record(r));
  }
  auto flaky = store.flaky();
  ASSERT_TRUE(flaky) << flaky.error().message;
  ASSERT_EQ(flaky->size(), 1u);
  EXPECT_EQ((*flaky)[0].passes, 3u);
  EXPECT_EQ((*flaky)[0].failures, 3u);
  EXPECT_EQ((*flaky)[0].flips, 3u);
  EXPECT_EQ((*flaky)[0].boards, (std::vector<std::string>{"lab-1:0"}));
  // The last four runs: failed, missing, failed, passed: the pass before
  // them is outside and flips nothing.
  flaky = store.flaky(4);
  ASSERT_EQ(flaky->size(), 1u);
  EXPECT_EQ((*flaky)[0].passes, 1u);
  EXPECT_EQ((*flaky)[0].failures, 2u);
  EXPECT_EQ((*flaky)[0].flips, 1u);
  // The last five: passed, failed, missing, failed, passed: 2 flips.
  EXPECT_EQ(store.flaky(5)->front().flips, 2u);
}

TEST(SqliteStore, RunsOfAnySizeAreWrittenWholeAcrossBatchBoundaries) {
  const kivu_testing::ScratchDirectory scratch;
  const std::string path = scratch.file("s.sqlite");
  auto store = open_sqlite(path);
  std::int64_t cases = 0;
  // One INSERT holds up to 128 rows: one short, exact, one over, two full
  // statements and one more.
  for (const std::size_t size : {127u, 128u, 129u, 257u}) {
    Recording r = recording("c", std::vector<std::string>(size, "passed"), "h" + std::to_string(size));
    for (std::size_t i = 0; i < size; ++i) r.cases[i].case_name = "hardware_e2e.case_" + std::to_string(i);
    r.cases.back().verdict = Verdict::Failed;
    for (std::size_t i = 0; i < size; ++i) {
      kivu_results::ProfileRecord p;
      p.case_name = r.cases[i].case_name;
      p.total_cycles = i;
      r.profiles.push_back(p);
    }
    const auto recorded = store.record(r);
    ASSERT_TRUE(recorded) << recorded.error().message;
    cases += static_cast<std::int64_t>(size);
    const auto run = store.runs(1);
    EXPECT_EQ(run->front().passed, size - 1);
    EXPECT_EQ(run->front().failed, 1u);
    EXPECT_EQ(run->front().profiles, size);
  }
  EXPECT_EQ(row_count(path, "case_results"), cases);
  EXPECT_EQ(row_count(path, "case_properties"), 2 * cases);  // host and board of each
  EXPECT_EQ(row_count(path, "profiles"), cases);
  // The last profile of the largest run is there, in its place.
  const auto series = store.series({.metric = "total_cycles", .case_name = "hardware_e2e.case_256", .labels = {}});
  ASSERT_EQ(series->size(), 1u);
  EXPECT_EQ(series->front().value, 256);
}

TEST(SqliteStore, AStoreOfSchemaOneIsMigratedWithItsRuns) {
  const kivu_testing::ScratchDirectory scratch;
  const std::string path = scratch.file("s.sqlite");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  // Schema 1's tables and index, with one flaky case (pass, fail).
  ASSERT_EQ(sqlite3_exec(db, R"sql(
CREATE TABLE kivu_schema (version INTEGER NOT NULL); INSERT INTO kivu_schema VALUES (1);
CREATE TABLE runs (id INTEGER PRIMARY KEY, commit_id TEXT NOT NULL, recorded_at TEXT NOT NULL,
  content_hash TEXT NOT NULL UNIQUE, passed BIGINT NOT NULL, failed BIGINT NOT NULL, missing BIGINT NOT NULL,
  profiles BIGINT NOT NULL);
CREATE TABLE run_labels (run_id BIGINT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY (run_id, name));
CREATE TABLE case_results (run_id BIGINT NOT NULL, commit_id TEXT NOT NULL, case_name TEXT NOT NULL,
  verdict INTEGER NOT NULL, seconds DOUBLE PRECISION NOT NULL, board TEXT NOT NULL, failure TEXT NOT NULL);
CREATE INDEX case_results_by_commit_case ON case_results (commit_id, case_name, verdict, run_id);
CREATE TABLE case_properties (run_id BIGINT NOT NULL, case_name TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL);
CREATE TABLE profiles (run_id BIGINT NOT NULL, position INTEGER NOT NULL, case_name TEXT NOT NULL,
  total_cycles BIGINT NOT NULL, compute_cycles BIGINT NOT NULL, exchange_cycles BIGINT NOT NULL,
  sync_cycles BIGINT NOT NULL, idle_cycles BIGINT NOT NULL, busiest_tile BIGINT NOT NULL,
  busiest_tile_cycles BIGINT NOT NULL, tile_count BIGINT NOT NULL, clock_hz BIGINT NOT NULL,
  PRIMARY KEY (run_id, position));
INSERT INTO runs VALUES (1, 'c1', 't', 'h1', 1, 0, 0, 0), (2, 'c1', 't', 'h2', 0, 1, 0, 0);
INSERT INTO case_results VALUES (1, 'c1', 'hardware_e2e.x', 0, 1, 'lab:0', ''), (2, 'c1', 'hardware_e2e.x', 1, 1, 'lab:1', 'e');
)sql",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto store = open_sqlite(path);
  EXPECT_EQ(store.runs()->size(), 2u);
  const auto flaky = store.flaky();
  ASSERT_TRUE(flaky) << flaky.error().message;
  ASSERT_EQ(flaky->size(), 1u);
  EXPECT_EQ(flaky->front().flips, 1u);
  EXPECT_EQ(flaky->front().boards, (std::vector<std::string>{"lab:1"}));
  ASSERT_TRUE(store.record(recording("c1", {"passed"}, "h3")));
  EXPECT_EQ(row_count(path, "kivu_schema WHERE version = " + std::to_string(kivu_results::schema_version)), 1);
}

TEST(SqliteStore, AFolderFifoDeviceOrForeignDatabaseIsNoStore) {
  const kivu_testing::ScratchDirectory scratch;
  const std::string fifo = scratch.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {scratch.path(), fifo, std::string("/dev/null")}) {
    const auto refused = Store::open({StoreAddress::Kind::Sqlite, path});
    ASSERT_FALSE(refused) << path;
    EXPECT_EQ(refused.error().kind, StoreErrorKind::Failed) << path;
    EXPECT_THAT(refused.error().message, ::testing::EndsWith(", not a file"));
  }
  // SQLite left no journal beside the FIFO.
  EXPECT_FALSE(std::filesystem::exists(fifo + "-journal"));
  EXPECT_FALSE(std::filesystem::exists(fifo + "-wal"));

  // Another program's database keeps its tables and gets none of the store's.
  const std::string foreign = scratch.file("other.sqlite");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE bookmarks (url TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const auto refused = Store::open({StoreAddress::Kind::Sqlite, foreign});
  ASSERT_FALSE(refused);
  EXPECT_THAT(refused.error().message, ::testing::HasSubstr("another program"));
  EXPECT_EQ(row_count(foreign, "sqlite_master WHERE type = 'table'"), 1);

  // An empty file, and a link to a file yet to be made, are stores.
  write(scratch.file("empty.sqlite"), "");
  EXPECT_TRUE(Store::open({StoreAddress::Kind::Sqlite, scratch.file("empty.sqlite")}));
  std::filesystem::create_symlink("made.sqlite", scratch.file("link.sqlite"));
  EXPECT_TRUE(Store::open({StoreAddress::Kind::Sqlite, scratch.file("link.sqlite")}));
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(scratch.file("made.sqlite"))));
}

TEST(SqliteStore, SeriesFollowsRecordingOrderAndFiltersByCaseAndLabel) {
  const kivu_testing::ScratchDirectory scratch;
  auto store = open_sqlite(scratch.file("s.sqlite"));
  for (int i = 0; i < 4; ++i) {
    Recording r = recording("c" + std::to_string(i), {}, "h" + std::to_string(i));
    r.labels = {{"board_kind", i % 2 == 0 ? "even" : "odd"}};
    kivu_results::ProfileRecord p;
    p.case_name = "hardware_e2e.gemm";
    p.exchange_cycles = 1000 + static_cast<std::uint64_t>(i);
    r.profiles.push_back(p);
    p.case_name = "hardware_e2e.other";
    r.profiles.push_back(p);
    ASSERT_TRUE(store.record(r));
  }
  auto series = store.series({.metric = "exchange_cycles", .case_name = "hardware_e2e.gemm", .labels = {}});
  ASSERT_TRUE(series) << series.error().message;
  ASSERT_EQ(series->size(), 4u);
  EXPECT_EQ((*series)[0].commit, "c0");
  EXPECT_EQ((*series)[3].value, 1003);
  series = store.series({.metric = "exchange_cycles", .case_name = {}, .labels = {{"board_kind", "odd"}}});
  ASSERT_EQ(series->size(), 4u);  // two runs, two profiles each
  EXPECT_EQ((*series)[0].commit, "c1");
  EXPECT_FALSE(store.series({.metric = "exchange_cycles; DROP TABLE runs", .case_name = {}, .labels = {}}));
  EXPECT_EQ(*store.profile_cases(), (std::vector<std::string>{"hardware_e2e.gemm", "hardware_e2e.other"}));
}

// Processes that create one store at once: turning the new file's journal
// into a WAL reads its header and then takes its write lock, and SQLite gives
// up at once (no busy wait) when another process holds that lock. The opener
// must wait its turn instead of failing with "database is locked".
TEST(SqliteStore, OpeningANewStoreWaitsWhileAnotherProcessHoldsItsWriteLock) {
  const kivu_testing::ScratchDirectory scratch;
  const std::string path = scratch.file("s.sqlite");
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  // Its commit waits for the opener's read of the header between tries.
  sqlite3_busy_timeout(holder, 60'000);
  // A first page in the rollback journal's format, its write lock held.
  ASSERT_EQ(sqlite3_exec(holder, "PRAGMA user_version = 0; PRAGMA user_version = 1", nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_ACCESS), 0);
  auto opened = std::async(std::launch::async, [&] { return Store::open({StoreAddress::Kind::Sqlite, path}); });
  // The opener reads the file on every try: several reads while the lock is
  // held show it waiting; a finished open while it is held is the fault.
  int reads = 0;
  while (reads < 8 && opened.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    pollfd ready{watch, POLLIN, 0};
    if (poll(&ready, 1, 100) == 1) {
      alignas(inotify_event) char events[4096];
      const auto got = read(watch, events, sizeof events);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        reads += (event->mask & IN_ACCESS) != 0 ? 1 : 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }
  close(watch);
  const bool finished_under_the_lock = opened.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  const auto store = opened.get();
  EXPECT_FALSE(finished_under_the_lock) << (store ? "opened" : store.error().message);
  ASSERT_TRUE(store) << store.error().message;
}

TEST(SqliteStore, RefusesAStoreOfANewerSchemaNamingBothVersions) {
  const kivu_testing::ScratchDirectory scratch;
  const std::string path = scratch.file("s.sqlite");
  { auto store = open_sqlite(path); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "INSERT INTO kivu_schema (version) VALUES (7)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const auto refused = Store::open({StoreAddress::Kind::Sqlite, path});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, StoreErrorKind::NewerSchema);
  EXPECT_THAT(refused.error().message, ::testing::HasSubstr("version 7"));
  EXPECT_THAT(refused.error().message, ::testing::HasSubstr("version " + std::to_string(kivu_results::schema_version)));
}

TEST(SqliteStore, AReadOnlyStoreAnswersQuestionsButRefusesARecord) {
  const kivu_testing::ScratchDirectory scratch;
  const std::string path = scratch.file("s.sqlite");
  {
    auto store = open_sqlite(path);
    ASSERT_TRUE(store.record(recording("c1", {"passed"}, "h1")));
  }
  // The folder is the user's to write; the file is not.
  ASSERT_EQ(chmod(scratch.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const auto result = kivu_testing::run_unprivileged([&]() -> std::string {
    auto store = Store::open({StoreAddress::Kind::Sqlite, path});
    if (!store) return "open: " + store.error().message;
    const auto runs = store->runs();
    if (!runs || runs->size() != 1) return "runs not read";
    const auto recorded = store->record(recording("c2", {"passed"}, "h2"));
    if (recorded) return "recorded into a read-only store";
    if (recorded.error().kind != StoreErrorKind::ReadOnly) return "not ReadOnly: " + recorded.error().message;
    return "ok";
  });
  if (!result) GTEST_SKIP() << "cannot run as an unprivileged user: " << result.error();
  EXPECT_EQ(*result, "ok");
  EXPECT_EQ(open_sqlite(path).runs()->size(), 1u);
}

}  // namespace
