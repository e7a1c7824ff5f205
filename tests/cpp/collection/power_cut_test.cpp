// Power cuts at every point of ordinary workloads. Each workload runs once
// on a file system that records every change; then, for every prefix of
// those changes, every disk state the model of support/power_cut_fs.h
// allows is opened, and must keep the promise: the directory opens; it
// holds the result of a prefix of the operations; that prefix covers every
// operation acknowledged before the last forced sync of the log (a flush
// and a compaction included), so no delete acknowledged as durable comes
// back; and a second open changes no byte. A cut inside a compaction leaves
// the old data file or the new one; a cut inside a bulk insert leaves all of
// the batch or none of it, and all of it once the insert has returned.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection_fixture.h"
#include "support/power_cut_fs.h"

namespace velmoradb::testing {
namespace {

const std::string kRoot = "/db";
const std::string kDir = "/db/coll";
using State = std::map<std::uint64_t, std::vector<float>>;

struct Step {
  enum class Kind : std::uint8_t { Insert, Batch, Flush, Reopen, Delete, Compact, Bulk };
  Kind kind;
  std::vector<std::uint64_t> ids;  // Insert, Delete: one; Batch: each row's
};

Step insert(std::uint64_t id) { return {Step::Kind::Insert, {id}}; }
Step flush() { return {Step::Kind::Flush, {}}; }
Step reopen() { return {Step::Kind::Reopen, {}}; }
Step compact() { return {Step::Kind::Compact, {}}; }
Step batch(std::uint64_t first, std::size_t n) {
  Step s{Step::Kind::Batch, {}};
  for (std::size_t i = 0; i < n; ++i) s.ids.push_back(first + i);
  return s;
}
// A bulk insert: one operation (all of its rows or none).
Step bulk(std::uint64_t first, std::size_t n) {
  Step s = batch(first, n);
  s.kind = Step::Kind::Bulk;
  return s;
}

// The vector of operation `op`: component 0 names the operation, so a
// replaced vector is told apart from its replacement.
std::vector<float> vector_of(std::size_t op, std::size_t dim) {
  std::vector<float> v(dim);
  v[0] = static_cast<float>(op);
  for (std::size_t k = 1; k < dim; ++k) v[k] = static_cast<float>((op * 31 + k * 17) % 1000) / 7.0f;
  return v;
}

struct Workload {
  const char* name;
  std::vector<Step> steps;
};

std::vector<Step> singles(std::uint64_t first, std::size_t n) {
  std::vector<Step> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(insert(first + i));
  return out;
}

// Deletes of first, first + step, ... below end (present or not).
std::vector<Step> deletes(std::uint64_t first, std::uint64_t end, std::uint64_t step) {
  std::vector<Step> out;
  for (std::uint64_t id = first; id < end; id += step) out.push_back({Step::Kind::Delete, {id}});
  return out;
}

std::vector<Step> concat(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The workloads: single inserts across the log's 100-append sync, a batch
// of 150, a flush in the middle, replacements after a flush, and a reopen
// (whose recovery writes too) in the middle of unflushed inserts.
std::vector<Workload> workloads() {
  return {
      {"singles_across_sync", singles(1, 120)},
      {"batch_of_150", {batch(1, 150), insert(500)}},
      {"flush_in_the_middle", concat({singles(1, 50), {flush()}, singles(51, 50)})},
      {"replacements_after_flush", concat({singles(1, 30), {flush()}, singles(1, 30), singles(10, 15)})},
      {"reopen_unflushed", concat({singles(1, 40), {reopen()}, singles(20, 40), {reopen()}, singles(100, 5)})},
      // Deletes across the log's sync, of flushed and of held records, and
      // of ids already gone; inserts again of deleted ids.
      {"deletes", concat({singles(1, 40), {flush()}, deletes(1, 60, 3), singles(1, 10), deletes(2, 120, 2)})},
      // A compaction after deletes and replacements, changes behind it,
      // and a second compaction.
      {"compaction", concat({singles(1, 30), deletes(1, 30, 2), singles(2, 5), {compact()}, singles(40, 5),
                             deletes(3, 20, 4), {compact()}, singles(50, 3)})},
      // Bulk inserts behind unflushed inserts and deletes, replacing ids of
      // both, one right after another, and inserts behind them.
      {"bulk", concat({singles(1, 20), deletes(1, 10, 4), {bulk(5, 30)}, singles(100, 3), {bulk(30, 12)},
                       {bulk(200, 5)}, deletes(6, 12, 2), singles(300, 2)})},
  };
}

// What one run of a workload recorded.
struct Recording {
  std::vector<State> prefixes;           // prefixes[k]: the state after k operations
  std::vector<std::size_t> step_start;   // changes recorded when each step began
  std::vector<std::size_t> step_end;     // ... and when it returned
  std::vector<std::size_t> ops_after;    // operations done when each step returned
  std::vector<bool> durable_on_return;   // a bulk insert is forced before it returns
};

Recording run(const Workload& w, std::size_t dim, PowerCutFileSystem& fs) {
  Recording rec;
  State state;
  rec.prefixes.push_back(state);
  std::size_t ops = 0;
  auto c = open_ok(kDir, config(dim), fs);
  for (const Step& step : w.steps) {
    rec.step_start.push_back(fs.changes().size());
    switch (step.kind) {
      case Step::Kind::Insert: {
        std::vector<float> v = vector_of(ops, dim);
        EXPECT_TRUE(c->insert(step.ids[0], v));
        state[step.ids[0]] = v;
        rec.prefixes.push_back(state);
        ++ops;
        break;
      }
      case Step::Kind::Batch: {
        std::vector<std::vector<float>> rows;
        for (std::size_t i = 0; i < step.ids.size(); ++i) rows.push_back(vector_of(ops + i, dim));
        EXPECT_TRUE(c->insert_batch(step.ids.data(), step.ids.size(),
                                    [&](std::size_t i) { return std::pair{rows[i].data(), rows[i].size()}; }));
        for (std::size_t i = 0; i < step.ids.size(); ++i) {
          state[step.ids[i]] = rows[i];
          rec.prefixes.push_back(state);
        }
        ops += step.ids.size();
        break;
      }
      case Step::Kind::Bulk: {
        std::vector<std::vector<float>> rows;
        for (std::size_t i = 0; i < step.ids.size(); ++i) rows.push_back(vector_of(ops * 1000 + i, dim));
        EXPECT_TRUE(c->insert_batch_direct(
            step.ids.data(), step.ids.size(),
            [&](std::size_t i) { return std::pair{rows[i].data(), rows[i].size()}; }, nullptr));
        for (std::size_t i = 0; i < step.ids.size(); ++i) state[step.ids[i]] = rows[i];
        rec.prefixes.push_back(state);
        ++ops;
        break;
      }
      case Step::Kind::Delete: {
        auto removed = c->remove(step.ids[0]);
        EXPECT_TRUE(removed);
        EXPECT_EQ(removed && *removed, state.count(step.ids[0]) == 1) << step.ids[0];
        state.erase(step.ids[0]);
        rec.prefixes.push_back(state);
        ++ops;
        break;
      }
      case Step::Kind::Flush:
        EXPECT_TRUE(c->flush());
        break;
      case Step::Kind::Compact:
        EXPECT_TRUE(c->compact());
        break;
      case Step::Kind::Reopen:
        c.reset();
        c = open_ok(kDir, config(dim), fs);
        break;
    }
    rec.step_end.push_back(fs.changes().size());
    rec.ops_after.push_back(ops);
    rec.durable_on_return.push_back(step.kind == Step::Kind::Bulk);
  }
  // The collection is destroyed, as at the end of a program.
  rec.step_start.push_back(fs.changes().size());
  c.reset();
  rec.step_end.push_back(fs.changes().size());
  rec.ops_after.push_back(ops);
  rec.durable_on_return.push_back(false);
  return rec;
}

// The operations that must survive a cut after the first `point` changes:
// those that returned before the last forced sync of the log.
std::size_t guaranteed(const Recording& rec, const PowerCutFileSystem& fs, std::size_t point) {
  std::size_t last_sync = 0;
  bool synced = false;
  for (std::size_t i = 0; i < point; ++i) {
    const Change& c = fs.changes()[i];
    if (c.kind == Change::Kind::Sync && c.path == kDir + "/wal.log") {
      last_sync = i;
      synced = true;
    }
  }
  std::size_t ops = 0;
  for (std::size_t s = 0; s < rec.step_end.size(); ++s) {
    if (synced && rec.step_end[s] <= last_sync) ops = std::max(ops, rec.ops_after[s]);
    if (rec.durable_on_return[s] && rec.step_end[s] <= point) ops = std::max(ops, rec.ops_after[s]);
  }
  return ops;
}

// The most operations a cut after `point` changes can show: those of every
// step that had begun.
std::size_t begun(const Recording& rec, std::size_t point) {
  std::size_t ops = 0;
  for (std::size_t s = 0; s < rec.step_start.size(); ++s) {
    if (rec.step_start[s] < point || rec.step_end[s] <= point) ops = std::max(ops, rec.ops_after[s]);
  }
  return ops;
}

// The collection's files, by name, as a disk holds them.
std::map<std::string, std::vector<std::uint8_t>> files_of(const DiskImage& image) {
  std::map<std::string, std::vector<std::uint8_t>> out;
  for (const auto& [path, inode] : image.names) {
    if (path.rfind(kDir + "/", 0) == 0 && image.file(path)) out[path] = *image.file(path);
  }
  return out;
}

struct Figures {
  std::size_t points = 0, states = 0, violations = 0;
};

// Opens one crash state and checks the promise; returns what is wrong.
// `background`: the first open loads and recovers on the collection's
// thread, as the Python class opens (snapshot() waits for it).
std::string check_state(const DiskImage& state, std::size_t dim, const Recording& rec, std::size_t least,
                        std::size_t most, bool background) {
  PowerCutFileSystem disk(state);
  DiskImage after_first;
  {
    CollectionConfig first = config(dim);
    first.load_in_background = background;
    first.background_load_min_bytes = 0;
    auto c = PersistentCollection::open_or_create(kDir, first, disk);
    if (!c) return "open failed: " + c.error().message();
    State got = (*c)->snapshot();
    bool prefix = false;
    for (std::size_t k = least; k <= most && !prefix; ++k) prefix = got == rec.prefixes[k];
    if (!prefix) {
      std::size_t any = rec.prefixes.size();
      for (std::size_t k = 0; k < rec.prefixes.size(); ++k) {
        if (got == rec.prefixes[k]) any = k;
      }
      return "holds " + (any == rec.prefixes.size() ? std::string("no prefix") : "prefix " + std::to_string(any)) +
             " of the operations (" + std::to_string(got.size()) + " ids), expected " + std::to_string(least) +
             " to " + std::to_string(most);
    }
  }
  after_first = disk.image();
  {
    auto c = PersistentCollection::open_or_create(kDir, config(dim), disk);
    if (!c) return "second open failed: " + c.error().message();
  }
  if (files_of(disk.image()) != files_of(after_first)) return "the second open changed the files";
  return {};
}

Figures sweep(const Workload& w, std::size_t dim, std::size_t per_file, bool background) {
  PowerCutFileSystem fs({kRoot});
  Recording rec = run(w, dim, fs);
  std::mt19937_64 rng(0x5eed + dim);
  Figures f;
  for (std::size_t point = 0; point <= fs.changes().size(); ++point) {
    const std::size_t least = guaranteed(rec, fs, point);
    const std::size_t most = begun(rec, point);
    ++f.points;
    for (const DiskImage& state : fs.crash_states(point, per_file, rng)) {
      ++f.states;
      std::string wrong = check_state(state, dim, rec, least, most, background);
      if (!wrong.empty()) {
        if (++f.violations <= 5) ADD_FAILURE() << w.name << ", cut after change " << point << ": " << wrong;
      }
    }
  }
  return f;
}

struct SweepCase {
  std::size_t workload;
  std::size_t dim;
  std::size_t per_file;
  bool background = false;
};

class PowerCutSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(PowerCutSweep, EveryStateOpensToAPrefixCoveringTheSyncedOperations) {
  const SweepCase& p = GetParam();
  const Workload w = workloads()[p.workload];
  Figures f = sweep(w, p.dim, p.per_file, p.background);
  std::printf("power cut %s dim %zu%s: %zu cut points, %zu states, %zu violations\n", w.name, p.dim,
              p.background ? " (load on its own thread)" : "", f.points, f.states, f.violations);
  EXPECT_EQ(f.violations, 0u);
}

std::vector<SweepCase> sweep_cases() {
  std::vector<SweepCase> out;
  for (std::size_t w = 0; w < workloads().size(); ++w) {
    out.push_back({w, 4, 8});
    out.push_back({w, 1100, 3});  // records larger than a page, frames larger than the log's buffer
    out.push_back({w, 4, 4, true});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Workloads, PowerCutSweep, ::testing::ValuesIn(sweep_cases()),
                         [](const auto& info) {
                           return std::string(workloads()[info.param.workload].name) + "_dim" +
                                  std::to_string(info.param.dim) + (info.param.background ? "_background" : "");
                         });

}  // namespace
}  // namespace velmoradb::testing
