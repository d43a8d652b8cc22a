#include "server/outbox_gate.h"

namespace dirserver {

void OutboxGate::flush() {
  std::string error;
  if (!outbox_.flush(error) && failed_) failed_(error);
}

void OutboxGate::append(std::uint64_t batch, std::vector<HostChange> changes) {
  runner_->run([this, batch, changes = std::move(changes)]() mutable {
    flush();
    inner_.append(batch, std::move(changes));
  });
}

void OutboxGate::checkpoint(SnapshotPtr snapshot, bool last) {
  runner_->run([this, snapshot = std::move(snapshot), last]() mutable {
    inner_.checkpoint(std::move(snapshot), last);
  });
}

void OutboxGate::retry() {
  runner_->run([this] { inner_.retry(); });
}

void OutboxGate::hurry() {
  runner_->run([this] { inner_.hurry(); });
}

void OutboxGate::afterFlush(std::function<void()> job) {
  runner_->run([this, job = std::move(job)] {
    flush();
    job();
  });
}

void OutboxGate::flushSoon() {
  runner_->run([this] { flush(); });
}

}  // namespace dirserver
