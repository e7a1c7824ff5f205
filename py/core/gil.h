// Running engine work with the interpreter lock released, under the life
// lock of one collection object.
//
// Every method of velmoradb.Collection converts its arguments with the
// interpreter lock held, then hands the converted values to the engine with
// the lock released, so other Python threads run meanwhile. The object's
// life lock (a reader-writer lock) keeps close() from destroying the engine
// while any call is inside it: calls hold it shared, close() exclusively.
// The life lock is only ever taken with the interpreter lock released, so
// the two locks cannot deadlock: a thread that holds the life lock never
// waits for the interpreter lock before it lets the life lock go.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "collection/collection.h"
#include "py/src/python.h"

namespace velmoradb::py {

// Releases the interpreter lock for its lifetime.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// What a Python Collection object owns: the engine, null once closed.
struct CollectionCell {
  std::shared_mutex life;
  std::unique_ptr<PersistentCollection> collection;
  // Set under the exclusive life lock by close(); read without it only for
  // the early "collection is closed" check before arguments are converted.
  std::atomic<bool> closed{false};
};

// Raises ValueError("collection is closed"); returns false.
bool raise_closed();

// Runs body(collection) with the interpreter lock released and the life
// lock held shared. False with ValueError set when the collection is (or
// was meanwhile) closed; body did not run then.
template <typename Body>
bool run_released(CollectionCell& cell, Body&& body) {
  bool open = false;
  {
    GilRelease released;
    std::shared_lock lock(cell.life);
    if (cell.collection) {
      open = true;
      body(*cell.collection);
    }
  }
  return open || raise_closed();
}

}  // namespace velmoradb::py
