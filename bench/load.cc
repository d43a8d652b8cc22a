#include "load.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "listing/list_reply.h"
#include "protocol/message.h"

namespace dirserver::bench {

namespace {

std::string systemError(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

sockaddr_in ipv4(std::uint32_t address, std::uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(port);
  socketAddress.sin_addr.s_addr = htonl(address);
  return socketAddress;
}

}  // namespace

std::string checkAnswer(const Expectation& expect, ByteView head, std::uint64_t total) {
  if (expect.kind == Expectation::Kind::Ack) {
    if (total == kAckMessage.size() && std::equal(head.begin(), head.end(), kAckMessage.begin())) {
      return {};
    }
    return "not the acknowledgement (" + std::to_string(total) + " bytes)";
  }
  ByteReader reader(head);
  MessageHeader header;
  std::uint16_t reserved = 0;
  std::uint16_t entries = 0;
  if (!reader.readU32(header.size) || !reader.readU32(header.messageId) ||
      !reader.readU32(header.messageType) || !reader.readU16(reserved) ||
      !reader.readU16(entries)) {
    return "listing cut short at " + std::to_string(total) + " bytes";
  }
  if (header.size != total) {
    return "listing of " + std::to_string(total) + " bytes announces " +
           std::to_string(header.size);
  }
  if (header.messageType != static_cast<std::uint32_t>(MessageType::ListReply)) {
    return "answer of type " + std::to_string(header.messageType) + " to a list request";
  }
  if (entries < expect.minEntries || entries > expect.maxEntries) {
    return "listing of " + std::to_string(entries) + " entries, expected " +
           std::to_string(expect.minEntries) +
           (expect.maxEntries == expect.minEntries ? ""
                                                   : " to " + std::to_string(expect.maxEntries));
  }
  return {};
}

namespace {

// One request on a connection of its own; the answer is read until the server closes. Sets
// `answeredAt` when the answer's first bytes arrive.
bool exchange(const Workload& workload, std::size_t index, Clock::time_point deadline,
              Clock::time_point& answeredAt, std::string& error) {
  const std::uint32_t source =
      index < workload.sources.size() ? workload.sources[index] : workload.source;
  const ByteView requestBytes = workload.requests[index];
  Socket socket = connectLoopback(workload.port, deadline, error, source);
  if (!socket.valid() || !sendAll(socket.fd(), requestBytes, deadline, error)) return false;
  std::uint8_t head[kListReplyHeaderSize];
  std::size_t headSize = 0;
  std::uint64_t total = 0;
  const auto take = [&](ByteView chunk) {
    if (total == 0) answeredAt = Clock::now();
    const auto taken = std::min(sizeof head - headSize, chunk.size());
    std::copy_n(chunk.data(), taken, head + headSize);
    headSize += taken;
    total += chunk.size();
  };
  if (!receiveUntilClosed(socket.fd(), deadline, take, error)) return false;
  error = checkAnswer(workload.expect, ByteView(head, headSize), total);
  return error.empty();
}

struct ClientTally {
  std::vector<double> samples;
  std::vector<Clock::time_point> answerTimes;
  std::uint64_t failed = 0;
  std::uint64_t unfinished = 0;
  std::string firstError;
  Clock::time_point lastEnd{};
};

}  // namespace

WorkloadResult runWorkload(const Workload& workload) {
  WorkloadResult result;
  if (workload.requests.empty() || workload.clients == 0) return result;
  const auto start = Clock::now();
  const auto stopStarting = start + std::chrono::duration_cast<Clock::duration>(workload.budget);
  const auto deadline =
      stopStarting + std::chrono::duration_cast<Clock::duration>(workload.drainLimit);
  std::atomic<std::uint64_t> started{0};
  std::vector<ClientTally> tallies(workload.clients);
  std::vector<std::thread> clients;
  for (ClientTally& tally : tallies) {
    clients.emplace_back([&workload, &started, &tally, stopStarting, deadline] {
      tally.lastEnd = Clock::now();
      const std::size_t unitSize = std::max<std::size_t>(workload.unitSize, 1);
      const std::size_t units = std::max<std::size_t>(workload.requests.size() / unitSize, 1);
      for (;;) {
        if (Clock::now() >= stopStarting) break;
        if (workload.stop != nullptr && workload.stop->load(std::memory_order_relaxed)) break;
        const std::uint64_t k = started.fetch_add(1, std::memory_order_relaxed);
        if (workload.once && k >= units) break;
        const std::size_t first = (k % units) * unitSize;
        for (std::size_t i = first; i < first + unitSize && i < workload.requests.size(); ++i) {
          std::string error;
          Clock::time_point answeredAt{};
          const auto begin = Clock::now();
          const bool answered = exchange(workload, i, deadline, answeredAt, error);
          const auto end = Clock::now();
          tally.lastEnd = end;
          if (answered) {
            tally.samples.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
            if (workload.keepAnswerTimes) tally.answerTimes.push_back(answeredAt);
          } else if (end >= deadline) {
            ++tally.unfinished;
          } else {
            ++tally.failed;
            if (tally.firstError.empty()) tally.firstError = error;
          }
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();

  std::vector<double> samples;
  Clock::time_point lastEnd = start;
  for (ClientTally& tally : tallies) {
    samples.insert(samples.end(), tally.samples.begin(), tally.samples.end());
    result.answerTimes.insert(result.answerTimes.end(), tally.answerTimes.begin(),
                              tally.answerTimes.end());
    result.failed += tally.failed;
    result.unfinished += tally.unfinished;
    if (result.firstError.empty()) result.firstError = tally.firstError;
    lastEnd = std::max(lastEnd, tally.lastEnd);
  }
  result.completed = samples.size();
  result.seconds = Seconds(lastEnd - start).count();
  result.latency = summarize(samples);
  result.samples = std::move(samples);
  return result;
}

void accumulate(WorkloadResult& total, const WorkloadResult& more) {
  total.completed += more.completed;
  total.failed += more.failed;
  total.unfinished += more.unfinished;
  total.seconds += more.seconds;
  if (total.firstError.empty()) total.firstError = more.firstError;
  total.answerTimes.insert(total.answerTimes.end(), more.answerTimes.begin(),
                           more.answerTimes.end());
  total.samples.insert(total.samples.end(), more.samples.begin(), more.samples.end());
  total.latency = summarize(total.samples);
}

namespace {

// A listening socket on 127.0.0.1 and a free port; yields the port.
Socket listenOnLoopback(int flags, std::uint16_t& port, const char* what) {
  Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
  const int on = 1;
  ::setsockopt(listener.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local = ipv4(loopbackAddress(), 0);
  socklen_t length = sizeof local;
  if (!listener.valid() ||
      ::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener.fd(), 4096) != 0 ||
      ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    throw std::runtime_error(systemError(what, errno));
  }
  port = ntohs(local.sin_port);
  return listener;
}

}  // namespace

BaselineServer::BaselineServer(Bytes answer) : answer_(std::move(answer)) {
  listener_ = listenOnLoopback(0, port_, "baseline server");
  thread_ = std::thread([this] { serve(); });
}

BaselineServer::~BaselineServer() {
  stopping_ = true;
  // Wakes the blocked accept, which then fails.
  ::shutdown(listener_.fd(), SHUT_RDWR);
  thread_.join();
}

void BaselineServer::serve() {
  const timeval patience{1, 0};
  while (!stopping_) {
    Socket connection(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) {
      // Out of descriptors: let the clients close some.
      if (errno == EMFILE || errno == ENFILE)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    // A client that sends less than a header, or stops reading, must not stop it for good.
    ::setsockopt(connection.fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::setsockopt(connection.fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    std::uint8_t header[kHeaderSize];
    std::size_t got = 0;
    while (got < sizeof header) {
      const ssize_t received = ::recv(connection.fd(), header + got, sizeof header - got, 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0) break;
      got += static_cast<std::size_t>(received);
    }
    // A blocking send returns early only when interrupted, timed out or failed.
    for (std::size_t sent = 0; got == sizeof header && sent < answer_.size();) {
      const ssize_t n =
          ::send(connection.fd(), answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  }
}

StaticServer::StaticServer(Bytes answer) : answer_(std::move(answer)) {
  listener_ = listenOnLoopback(SOCK_NONBLOCK, port_, "static server");
  epoll_ = Socket(::epoll_create1(EPOLL_CLOEXEC));
  wake_ = Socket(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  epoll_event listening{EPOLLIN, {.fd = listener_.fd()}};
  epoll_event waking{EPOLLIN, {.fd = wake_.fd()}};
  if (!epoll_.valid() || !wake_.valid() ||
      ::epoll_ctl(epoll_.fd(), EPOLL_CTL_ADD, listener_.fd(), &listening) != 0 ||
      ::epoll_ctl(epoll_.fd(), EPOLL_CTL_ADD, wake_.fd(), &waking) != 0) {
    throw std::runtime_error(systemError("static server", errno));
  }
  thread_ = std::thread([this] { serve(); });
}

StaticServer::~StaticServer() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.fd(), &one, sizeof one);
  thread_.join();
}

void StaticServer::serve() {
  struct Connection {
    Socket socket;
    std::size_t received = 0;  // of the header
    std::size_t sent = 0;      // of the answer
  };
  std::unordered_map<int, Connection> connections;
  // Reads what is left of the header and sends what the socket takes; false once the connection
  // is done with, answered or failed.
  const auto progress = [this](Connection& c) {
    std::uint8_t header[kHeaderSize];
    while (c.received < kHeaderSize) {
      const ssize_t n = ::recv(c.socket.fd(), header, kHeaderSize - c.received, 0);
      if (n > 0) {
        c.received += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      }
    }
    while (c.sent < answer_.size()) {
      const ssize_t n =
          ::send(c.socket.fd(), answer_.data() + c.sent, answer_.size() - c.sent, MSG_NOSIGNAL);
      if (n > 0) {
        c.sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      }
    }
    return false;
  };
  epoll_event events[64];
  for (;;) {
    const int ready = ::epoll_wait(epoll_.fd(), events, 64, -1);
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wake_.fd()) return;
      if (fd == listener_.fd()) {
        for (;;) {
          Socket accepted(
              ::accept4(listener_.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
          if (!accepted.valid()) break;
          const int key = accepted.fd();
          Connection& c = connections[key];
          c.socket = std::move(accepted);
          // Edge-triggered both ways: each step runs until the socket would block.
          epoll_event watch{EPOLLIN | EPOLLOUT | EPOLLET, {.fd = key}};
          if (::epoll_ctl(epoll_.fd(), EPOLL_CTL_ADD, key, &watch) != 0 || !progress(c)) {
            connections.erase(key);
          }
        }
        continue;
      }
      const auto found = connections.find(fd);
      if (found != connections.end() && !progress(found->second)) connections.erase(found);
    }
  }
}

}  // namespace dirserver::bench
