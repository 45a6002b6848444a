#include "platform/simulated/virtual_time.h"

#include <algorithm>
#include <cmath>

namespace larkspire::simulated {

struct VirtualTime::Timer final : platform::ScheduledTask {
  std::function<void()> work;
  Kind kind = Kind::task;
  double interval = 0;  // 0: fires once
  double base = 0;      // start of the repeating grid
  std::uint64_t nextTick = 0;
  bool cancelled = false;

  // Cancelling only marks the timer: the handle may outlive the desktop, so
  // it must not reach back into the queue.
  void cancel() override {
    cancelled = true;
    work = nullptr;
  }
};

namespace {
double sanitizedTime(double value, double fallback) { return std::isfinite(value) ? value : fallback; }
}  // namespace

std::shared_ptr<platform::ScheduledTask> VirtualTime::schedule(double due, std::function<void()> work, Kind kind,
                                                               double interval) {
  auto timer = std::make_shared<Timer>();
  timer->work = std::move(work);
  timer->kind = kind;
  due = sanitizedTime(due, now_);
  if (interval > 0 || std::isnan(interval)) {
    timer->interval = std::max(sanitizedTime(interval, kMinimumInterval), kMinimumInterval);
    timer->base = due - timer->interval;
    timer->nextTick = 2;  // the first firing is tick 1
  }
  enqueue(std::max(due, now_), timer);
  return timer;
}

void VirtualTime::enqueue(double due, std::shared_ptr<Timer> timer) {
  queue_.emplace(Key{due, nextSequence_++}, std::move(timer));
}

bool VirtualTime::runOne(double limit) {
  auto it = queue_.begin();
  while (it != queue_.end() && it->second->cancelled) it = queue_.erase(it);
  if (it == queue_.end() || it->first.first > limit) return false;
  auto timer = it->second;
  now_ = std::max(now_, it->first.first);
  queue_.erase(it);

  // The repeating timer is out of the queue while its handler runs, so a
  // nested sleep in the handler cannot fire it again.
  auto work = timer->work;
  if (work) work();
  if (timer->interval <= 0 || timer->cancelled) return true;

  double grid = timer->base + static_cast<double>(timer->nextTick) * timer->interval;
  if (grid > now_) {
    ++timer->nextTick;
    enqueue(grid, timer);
  } else {
    // Fell behind (the handler or a neighbour slept past one or more ticks):
    // fire once now, then continue on the grid without catching up.
    while (timer->base + static_cast<double>(timer->nextTick) * timer->interval <= now_) ++timer->nextTick;
    enqueue(now_, timer);
  }
  return true;
}

void VirtualTime::advanceTo(double target) {
  target = sanitizedTime(target, now_);
  while (runOne(target)) {
  }
  now_ = std::max(now_, target);
}

void VirtualTime::run(double horizon) {
  ++runDepth_;
  const double limit = now_ + std::max(0.0, sanitizedTime(horizon, 0));
  while (!stopRequested_ && runOne(limit)) {
  }
  stopRequested_ = false;
  --runDepth_;
}

std::size_t VirtualTime::pending(Kind kind) const {
  return static_cast<std::size_t>(std::count_if(queue_.begin(), queue_.end(), [kind](const auto& entry) {
    return !entry.second->cancelled && entry.second->kind == kind;
  }));
}

}  // namespace larkspire::simulated
