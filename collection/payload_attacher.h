// PayloadAttacher: a thread that gives the slots of a load their payloads,
// in the order they were handed to it, while the loading thread goes on
// with the ids and vectors of the records behind them.
//
// A load of records with payloads spends about as long on the payloads (the
// payload index, the stored text) as on everything else; on a second core
// that time leaves the load's critical path. The two threads touch
// disjoint parts of the index (VectorIndex::attach_payload): the loading
// thread must not read or change a payload itself before drain() returns,
// which it calls before a replacement or removal (those move payloads) and
// before attaching a payload whose memory will not outlive the call.
//
// Everything handed over must stay valid until drain() (or the destructor)
// returns: a load hands over only payloads held by its decode cache.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/index/payload.h"
#include "engine/index/vector_index.h"

namespace velmoradb {

class PayloadAttacher {
 public:
  // Items handed over at once: large enough that the hand-over costs
  // nothing beside the work, small enough that the thread starts early.
  static constexpr std::size_t kBatch = 2048;

  explicit PayloadAttacher(VectorIndex& index);
  // Attaches what is left, then ends the thread.
  ~PayloadAttacher();
  PayloadAttacher(const PayloadAttacher&) = delete;
  PayloadAttacher& operator=(const PayloadAttacher&) = delete;

  // index.attach_payload(slot, payload, text), later, on the thread.
  void attach(std::uint32_t slot, const Payload& payload, std::string_view text);
  // Returns once everything handed over is attached.
  void drain();

 private:
  struct Item {
    std::uint32_t slot;
    const Payload* payload;
    std::string_view text;
  };

  void hand_over();
  void run();

  VectorIndex& index_;
  std::vector<Item> filling_;  // the loading thread's, until handed over
  std::mutex mutex_;
  std::condition_variable work_;  // a batch was queued, or stop_ set
  std::condition_variable idle_;  // the queue ran empty
  std::deque<std::vector<Item>> queue_;
  std::vector<std::vector<Item>> spare_;  // emptied batches, for reuse
  bool busy_ = false;  // the thread holds a batch
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace velmoradb
