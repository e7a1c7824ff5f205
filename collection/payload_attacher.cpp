#include "collection/payload_attacher.h"

#include <utility>

namespace velmoradb {

PayloadAttacher::PayloadAttacher(VectorIndex& index) : index_(index) {
  filling_.reserve(kBatch);
  thread_ = std::thread([this] { run(); });
}

PayloadAttacher::~PayloadAttacher() {
  hand_over();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void PayloadAttacher::attach(std::uint32_t slot, const Payload& payload, std::string_view text) {
  filling_.push_back(Item{slot, &payload, text});
  if (filling_.size() >= kBatch) hand_over();
}

void PayloadAttacher::hand_over() {
  if (filling_.empty()) return;
  std::vector<Item> next;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(filling_));
    if (!spare_.empty()) {
      next = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  work_.notify_one();
  filling_ = std::move(next);
  filling_.clear();
  filling_.reserve(kBatch);
}

void PayloadAttacher::drain() {
  hand_over();
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void PayloadAttacher::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    // The queue is worked off before a stop is obeyed.
    if (queue_.empty()) return;
    std::vector<Item> batch = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    for (const Item& item : batch) index_.attach_payload(item.slot, *item.payload, item.text);
    batch.clear();
    lock.lock();
    spare_.push_back(std::move(batch));
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
}

}  // namespace velmoradb
