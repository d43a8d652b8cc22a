#include "net/reactor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace dirserver {
namespace {

constexpr int kEventBatch = 256;

}  // namespace

Timer::Timer(Reactor& reactor, std::function<void()> action)
    : reactor_(reactor), action_(std::move(action)) {}

void Timer::setAt(SteadyClock::time_point when) {
  cancel();
  position_ = reactor_.timers_.emplace(when, this);
  armed_ = true;
}

void Timer::cancel() {
  if (!armed_) return;
  reactor_.timers_.erase(position_);
  armed_ = false;
}

Reactor::Reactor(const Clock& clock) : clock_(clock) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_ >= 0 && wake_ >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up descriptor
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
  }
}

Reactor::~Reactor() {
  for (int fd : {wake_, epoll_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Reactor::watch(int fd, EventHandler* handler, std::uint32_t events) {
  const auto known = interests_.find(fd);
  if (events == 0) {
    if (known == interests_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    interests_.erase(known);
    return;
  }
  if (known != interests_.end() && known->second.handler == handler &&
      known->second.events == events) {
    return;
  }
  epoll_event event{};
  event.events = events;
  event.data.ptr = handler;
  int operation = known == interests_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  int result = ::epoll_ctl(epoll_, operation, fd, &event);
  // A descriptor closed while watched leaves epoll by itself; its number may come back.
  if (result != 0 && operation == EPOLL_CTL_MOD && errno == ENOENT) {
    operation = EPOLL_CTL_ADD;
    result = ::epoll_ctl(epoll_, operation, fd, &event);
  }
  if (result == 0) {
    interests_[fd] = {handler, events};
  } else if (known != interests_.end()) {
    interests_.erase(known);
  }
}

std::uint32_t Reactor::watchedEvents(int fd) const {
  const auto known = interests_.find(fd);
  return known == interests_.end() ? 0 : known->second.events;
}

void Reactor::post(std::function<void()> work) {
  {
    std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(work));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto ignored = ::write(wake_, &one, sizeof one);
}

void Reactor::defer(std::function<void()> work) { deferred_.push_back(std::move(work)); }

bool Reactor::runOnce(SteadyClock::duration maxWait) {
  auto wait = std::max(maxWait, SteadyClock::duration::zero());
  if (!timers_.empty()) {
    wait = std::clamp(timers_.begin()->first - now(), SteadyClock::duration::zero(), wait);
  }
  const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  epoll_event events[kEventBatch];
  const int ready = ::epoll_wait(epoll_, events, kEventBatch, static_cast<int>(waitMs));
  for (int i = 0; i < ready; ++i) {
    if (events[i].data.ptr == nullptr) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto ignored = ::read(wake_, &count, sizeof count);
      continue;
    }
    static_cast<EventHandler*>(events[i].data.ptr)->onEvents(events[i].events);
  }
  std::vector<std::function<void()>> posted;
  {
    std::lock_guard lock(postedMutex_);
    posted.swap(posted_);
  }
  for (auto& work : posted) work();
  const bool fired = fireDueTimers();
  // Deferred work may defer more; all of it runs before the pass ends.
  const bool deferredAny = !deferred_.empty();
  while (!deferred_.empty()) {
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& work : deferred) work();
  }
  return ready > 0 || !posted.empty() || fired || deferredAny;
}

bool Reactor::fireDueTimers() {
  const auto current = now();
  bool fired = false;
  while (!timers_.empty() && timers_.begin()->first <= current) {
    Timer* timer = timers_.begin()->second;
    timer->cancel();
    timer->action_();
    fired = true;
  }
  return fired;
}

void Reactor::run() {
  while (!stopping_) runOnce();
}

}  // namespace dirserver
