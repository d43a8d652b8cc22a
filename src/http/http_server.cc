#include "http/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <list>
#include <random>

#include "common/version.h"
#include "http/http_views.h"
#include "http/process_figures.h"
#include "http/status_page.h"

namespace dirserver {
namespace {

constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kHtmlType = "text/html; charset=utf-8";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
// The page holds no host data (its script builds the tables with textContent), so inline script
// and style are its own; everything else, and every other origin, is refused.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The library's messages reach the console at most this often; the rest are counted.
constexpr unsigned kReportsPerWindow = 10;
constexpr std::int64_t kReportWindowMs = 10'000;
// The plain JSON listing goes out of its parts a slice of at most this many bytes at a time.
constexpr std::size_t kSlice = 256 * 1024;

// Lowers the calling thread's scheduling priority to `niceness` (Linux sets nice values per
// thread). Failure only leaves the priority as it was.
void lowerPriority(int niceness) {
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
}

// The HTTP date of `seconds` since 1970 ("Sun, 06 Dec 2026 16:09:04 GMT"), in English whatever the
// locale.
std::string httpDate(std::int64_t seconds) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday % 7],
                utc.tm_mday, kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

// Something that differs between runs of the server, for entity tags.
std::string instanceTag() {
  std::random_device random;
  char text[20];
  std::snprintf(text, sizeof text, "%08x%08x", random(), random());
  return text;
}

// The signals only the loop takes.
sigset_t loopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
  return signals;
}

// Blocks the loop's signals in the calling thread for its lifetime, so that threads started
// meanwhile inherit the mask; the mask is restored afterwards.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    const sigset_t signals = loopSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, &previous_);
  }
  ~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// One answer under construction. Owns the library's response until it is queued.
class Answer {
 public:
  // A copy of `body`.
  Answer(unsigned status, std::string_view body, const char* type)
      : status_(status),
        response_(MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                  MHD_RESPMEM_MUST_COPY)) {
    header(MHD_HTTP_HEADER_CONTENT_TYPE, type);
  }
  // `body` sent from where it is, kept alive by `owner` until the library is done with it.
  Answer(unsigned status, std::string_view body, const char* type,
         std::shared_ptr<const void> owner)
      : status_(status) {
    auto* held = new std::shared_ptr<const void>(std::move(owner));
    response_ = MHD_create_response_from_buffer_with_free_callback_cls(
        body.size(), const_cast<char*>(body.data()),
        [](void* cls) { delete static_cast<std::shared_ptr<const void>*>(cls); }, held);
    if (response_ == nullptr) delete held;
    header(MHD_HTTP_HEADER_CONTENT_TYPE, type);
  }
  // The plain body of `json`, copied out of its parts as the library sends it; `json` is kept alive
  // until the library is done with it.
  Answer(unsigned status, std::shared_ptr<const ServersJson> json, const char* type)
      : status_(status) {
    const std::size_t size = json->size();
    auto* held = new std::shared_ptr<const ServersJson>(std::move(json));
    response_ = MHD_create_response_from_callback(
        size, kSlice,
        [](void* cls, std::uint64_t position, char* buffer, std::size_t most) -> ssize_t {
          const auto& parts = **static_cast<std::shared_ptr<const ServersJson>*>(cls);
          const std::string_view slice = parts.slice(static_cast<std::size_t>(position), most);
          if (slice.empty()) return MHD_CONTENT_READER_END_WITH_ERROR;
          std::memcpy(buffer, slice.data(), slice.size());
          return static_cast<ssize_t>(slice.size());
        },
        held, [](void* cls) { delete static_cast<std::shared_ptr<const ServersJson>*>(cls); });
    if (response_ == nullptr) delete held;
    header(MHD_HTTP_HEADER_CONTENT_TYPE, type);
  }
  // A 304: headers only.
  explicit Answer(unsigned status)
      : status_(status), response_(MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT)) {}
  ~Answer() {
    if (response_ != nullptr) MHD_destroy_response(response_);
  }
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;

  Answer& header(const char* name, const std::string& value) {
    if (response_ != nullptr) MHD_add_response_header(response_, name, value.c_str());
    return *this;
  }
  // Queues the answer on `connection`; false when it could not be made or queued.
  bool queue(MHD_Connection* connection) {
    return response_ != nullptr && MHD_queue_response(connection, status_, response_) == MHD_YES;
  }

 private:
  unsigned status_;
  MHD_Response* response_ = nullptr;
};

std::string requestHeader(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::string_view dirserverVersion() { return kVersion; }

// What the handlers share besides the status and the settings: the JSON cache.
struct HttpServer::Views {
  explicit Views(std::string instance) : serversJson("dirserver", std::move(instance)) {}
  ServersJsonCache serversJson;
};

// The connections the window serves and which of them wait for a whole request, oldest first.
// Every callback that touches it runs on the serving thread, which is also the only one that
// closes the connections' sockets: a descriptor here is always its connection's own.
struct HttpServer::Window {
  struct Tracked {
    int fd = -1;
    bool shed = false;     // shut down to make room; the library closes it on its next pass
    bool waiting = false;  // in `waiting`
    std::list<Tracked*>::iterator place;
  };

  explicit Window(std::size_t bound) : bound(bound) {}

  void startWaiting(Tracked& tracked) {
    if (tracked.waiting || tracked.shed) return;
    tracked.place = waiting.insert(waiting.end(), &tracked);
    tracked.waiting = true;
  }
  void stopWaiting(Tracked& tracked) {
    if (!tracked.waiting) return;
    waiting.erase(tracked.place);
    tracked.waiting = false;
  }
  // Makes room for a newcomer: true when there is room, after shedding the connection that has
  // waited longest for a whole request when the window is full; false when it is full of
  // connections that have their requests.
  bool admit() {
    if (open < bound) return true;
    if (waiting.empty()) return false;
    Tracked& oldest = *waiting.front();
    stopWaiting(oldest);
    oldest.shed = true;
    --open;
    // The library sees the end of the stream and closes the connection itself.
    ::shutdown(oldest.fd, SHUT_RDWR);
    return true;
  }

  const std::size_t bound;
  std::size_t open = 0;  // tracked and not shed
  std::list<Tracked*> waiting;
};

// The library's callbacks, which reach the server's private members.
struct HttpCallbacks {
  static MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char*, std::size_t* uploadSize,
                           void** requestState) {
    auto* server = static_cast<HttpServer*>(self);
    // A request body is never read: GET and HEAD carry none, and other methods are refused.
    if (*requestState == &parkedRequest) {
      // Resumed after waiting for an encoding: answered now with what there is.
      *requestState = self;
      *uploadSize = 0;
      bool parked = false;
      return server->serve(connection, url, method, true, parked) ? MHD_YES : MHD_NO;
    }
    if (*requestState != nullptr) {
      *uploadSize = 0;
      return MHD_YES;
    }
    *requestState = self;
    // The request is whole: its connection is no longer one to shed.
    if (auto* tracked = trackedOf(connection)) server->window_->stopWaiting(*tracked);
    bool parked = false;
    const bool kept = server->serve(connection, url, method, false, parked);
    if (parked) *requestState = &parkedRequest;
    return kept ? MHD_YES : MHD_NO;
  }

  // The request state of a request parked by serve(), so that the call after its resumption
  // answers it.
  static inline char parkedRequest = 0;

  static MHD_Result admit(void* self, const sockaddr*, socklen_t) {
    return static_cast<HttpServer*>(self)->window_->admit() ? MHD_YES : MHD_NO;
  }

  static void connectionChanged(void* self, MHD_Connection* connection, void** context,
                                MHD_ConnectionNotificationCode change) {
    HttpServer::Window& window = *static_cast<HttpServer*>(self)->window_;
    if (change == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info == nullptr) return;
      auto* tracked = new HttpServer::Window::Tracked;
      tracked->fd = info->connect_fd;
      *context = tracked;
      ++window.open;
      window.startWaiting(*tracked);
      return;
    }
    auto* tracked = static_cast<HttpServer::Window::Tracked*>(*context);
    if (tracked == nullptr) return;
    window.stopWaiting(*tracked);
    if (!tracked->shed) --window.open;
    delete tracked;
    *context = nullptr;
  }

  // An answer sent (or given up): a kept-alive connection waits for its next request.
  static void requestDone(void* self, MHD_Connection* connection, void**,
                          MHD_RequestTerminationCode) {
    if (auto* tracked = trackedOf(connection)) {
      static_cast<HttpServer*>(self)->window_->startWaiting(*tracked);
    }
  }

  static HttpServer::Window::Tracked* trackedOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<HttpServer::Window::Tracked*>(info->socket_context);
  }

  static void log(void* self, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    static_cast<HttpServer*>(self)->report(text);
  }
};

HttpServer::HttpServer(HttpSettings settings)
    : settings_(std::move(settings)), views_(std::make_unique<Views>(instanceTag())) {
}

HttpServer::~HttpServer() {
  stop();
  if (listenSocket_ >= 0) ::close(listenSocket_);
}

bool HttpServer::bind(const HttpAddress& address, std::string& error) {
  const std::string where = "cannot listen on " + address.host + ":" + std::to_string(address.port);
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(address.port);
  if (::inet_pton(AF_INET, address.host.c_str(), &socketAddress.sin_addr) != 1) {
    error = where + ": not an IPv4 address";
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress) != 0) {
    error = where + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  socklen_t length = sizeof socketAddress;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&socketAddress), &length);
  port_ = ntohs(socketAddress.sin_port);
  if (listenSocket_ >= 0) ::close(listenSocket_);
  listenSocket_ = fd;
  return true;
}

bool HttpServer::start(const ServerStatus& status, ConsoleLineSink lines, std::string& error) {
  status_ = &status;
  lines_ = std::move(lines);
  if (listenSocket_ < 0) {
    error = "not bound";
    return false;
  }
  if (::listen(listenSocket_, static_cast<int>(settings_.listenBacklog)) != 0) {
    error = "cannot listen on port " + std::to_string(port_) + ": " + std::strerror(errno);
    return false;
  }
  // Both threads inherit the blocked signals.
  const SignalsBlocked blocked;
  // The library owns (and at its stop closes) the socket it is handed; a copy, so that this
  // server still knows what to close should the library refuse to start.
  const int handedOver = ::fcntl(listenSocket_, F_DUPFD_CLOEXEC, 0);
  if (handedOver < 0) {
    error = std::string("cannot hand over the listening socket: ") + std::strerror(errno);
    return false;
  }
  // The Date header is this server's own, from its clock. Requests for /servers.json may be
  // suspended while they wait for an encoding.
  const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG |
                         MHD_USE_SUPPRESS_DATE_NO_CLOCK | MHD_ALLOW_SUSPEND_RESUME;
  window_ = std::make_unique<Window>(settings_.maxConnections);
  // The library's own bound leaves room for the connections shed but not yet closed; the window
  // keeps maxConnections itself (HttpCallbacks::admit).
  daemon_ = MHD_start_daemon(
      flags, 0, &HttpCallbacks::admit, this, &HttpCallbacks::answer, this,
      // First, or the library prints what the options before it say on its own stderr.
      MHD_OPTION_EXTERNAL_LOGGER, &HttpCallbacks::log, this,
      MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(handedOver),
      MHD_OPTION_NOTIFY_CONNECTION, &HttpCallbacks::connectionChanged, this,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::requestDone, this,
      MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(settings_.maxConnections + kHttpConnectionsClosing),
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(settings_.maxConnectionsPerAddress),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, settings_.connectionMemory,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(settings_.idleTimeout.count()),
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    ::close(handedOver);
    error = "the HTTP library could not start its thread on port " + std::to_string(port_);
    return false;
  }
  ::close(listenSocket_);
  listenSocket_ = -1;
  builder_ = std::thread([this] { buildListings(); });
  expirer_ = std::thread([this] { expireParked(); });
  return true;
}

void HttpServer::stop() {
  if (daemon_ != nullptr) {
    // The library must not stop with a connection suspended: every parked request is resumed,
    // and its handler, called again, closes it; none parks from now on.
    {
      std::lock_guard lock(parkMutex_);
      parkClosed_ = true;
      for (const Parked& parked : parked_) MHD_resume_connection(parked.connection);
      parked_.clear();
    }
    parkWake_.notify_all();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  if (expirer_.joinable()) expirer_.join();
  if (builder_.joinable()) {
    {
      std::lock_guard lock(builderMutex_);
      builderStopping_ = true;
    }
    builderWake_.notify_all();
    builder_.join();
  }
}

void HttpServer::report(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (!lines_) return;
  const std::int64_t now = settings_.clock->steadyMilliseconds();
  std::string line;
  {
    std::lock_guard lock(reportMutex_);
    if (now - reportWindowStartMs_ >= kReportWindowMs) {
      if (reportsLeftOut_ > 0) {
        line = "+warning: http: " + std::to_string(reportsLeftOut_) +
               " more messages of the HTTP library were left out\n";
      }
      reportWindowStartMs_ = now;
      reportsInWindow_ = 0;
      reportsLeftOut_ = 0;
    }
    if (reportsInWindow_ >= kReportsPerWindow) {
      ++reportsLeftOut_;
      if (line.empty()) return;
    } else {
      ++reportsInWindow_;
      line += "+warning: http: " + message + "\n";
    }
  }
  lines_(std::move(line));
}

void HttpServer::wakeBuilder() {
  {
    std::lock_guard lock(builderMutex_);
    builderWanted_ = true;
  }
  builderWake_.notify_one();
}

bool HttpServer::following(std::int64_t nowMs) const {
  const std::int64_t demand = lastDemandMs_.load(std::memory_order_relaxed);
  return demand != kNoDemand && nowMs - demand < settings_.listingDemand.count() &&
         caughtUp_.load(std::memory_order_acquire);
}

void HttpServer::buildListings() {
  lowerPriority(settings_.niceness);
  std::unique_lock lock(builderMutex_);
  while (!builderStopping_) {
    builderWanted_ = false;
    lock.unlock();
    // The snapshot is read before the demand is looked at, so that a snapshot published after
    // the demand ran out is never encoded for it.
    const SnapshotPtr snapshot = status_->snapshots.latest();
    const std::int64_t demand = lastDemandMs_.load(std::memory_order_relaxed);
    const bool demanded = demand != kNoDemand && settings_.clock->steadyMilliseconds() - demand <
                                                     settings_.listingDemand.count();
    if (demanded && snapshot) {
      const std::shared_ptr<const ServersJson> cached = views_->serversJson.latest();
      if (!cached || cached->version != snapshot->version) {
        const std::uint64_t version = views_->serversJson.update(snapshot)->version;
        encodings_.fetch_add(1, std::memory_order_relaxed);
        resumeSatisfied(version);
      }
    }
    caughtUp_.store(demanded, std::memory_order_release);
    lock.lock();
    if (demanded) {
      builderWake_.wait_for(lock, settings_.listingPoll,
                            [this] { return builderStopping_ || builderWanted_; });
    } else {
      builderWake_.wait(lock, [this] { return builderStopping_ || builderWanted_; });
    }
  }
}

bool HttpServer::park(MHD_Connection* connection, std::uint64_t version, std::int64_t nowMs) {
  std::lock_guard lock(parkMutex_);
  // Looked at again under the lock: an encoding made since the request looked is never missed,
  // as the builder resumes what it satisfies under this lock after it stores the encoding.
  const std::shared_ptr<const ServersJson> json = views_->serversJson.latest();
  if (parkClosed_ || (json && json->version >= version)) return false;
  MHD_suspend_connection(connection);
  parked_.push_back({connection, version, nowMs + settings_.listingWait.count()});
  if (parked_.size() == 1) parkWake_.notify_one();
  return true;
}

void HttpServer::resumeSatisfied(std::uint64_t version) {
  std::lock_guard lock(parkMutex_);
  for (auto parked = parked_.begin(); parked != parked_.end();) {
    if (parked->version > version) {
      ++parked;
      continue;
    }
    MHD_resume_connection(parked->connection);
    parked = parked_.erase(parked);
  }
}

void HttpServer::expireParked() {
  lowerPriority(settings_.niceness);
  std::unique_lock lock(parkMutex_);
  while (!parkClosed_) {
    if (parked_.empty()) {
      parkWake_.wait(lock);
      continue;
    }
    const std::int64_t left = parked_.front().deadlineMs - settings_.clock->steadyMilliseconds();
    if (left <= 0) {
      MHD_resume_connection(parked_.front().connection);
      parked_.pop_front();
      continue;
    }
    parkWake_.wait_for(lock, std::chrono::milliseconds(left));
  }
}

bool HttpServer::serve(MHD_Connection* connection, std::string_view url, std::string_view method,
                       bool resumed, bool& parked) {
  if (!priorityLowered_) {
    lowerPriority(settings_.niceness);
    priorityLowered_ = true;
  }
  const std::string date = httpDate(settings_.clock->wallSeconds());
  // Headers every answer carries.
  const auto common = [&date](Answer& answer) -> Answer& {
    return answer.header(MHD_HTTP_HEADER_DATE, date).header("X-Content-Type-Options", "nosniff");
  };

  if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
    Answer answer(MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD are served\n", kTextType);
    return common(answer).header(MHD_HTTP_HEADER_ALLOW, "GET, HEAD").queue(connection);
  }

  if (url == "/") {
    const std::string_view page = statusPage();
    Answer answer(MHD_HTTP_OK, page, kHtmlType, nullptr);
    return common(answer)
        .header(MHD_HTTP_HEADER_CONTENT_SECURITY_POLICY, kPagePolicy)
        .header(MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache")
        .queue(connection);
  }

  if (url == "/servers.json") {
    if (resumed) {
      std::lock_guard lock(parkMutex_);
      if (parkClosed_) return false;
    }
    const SnapshotPtr snapshot = status_->snapshots.latest();
    std::shared_ptr<const ServersJson> json = views_->serversJson.latest();
    const std::int64_t now = settings_.clock->steadyMilliseconds();
    const bool followed = following(now);
    lastDemandMs_.store(now, std::memory_order_relaxed);
    const bool behind = snapshot && (!json || json->version < snapshot->version);
    if (behind || !followed) wakeBuilder();
    // While the builder follows the snapshots, the newest listing is at most one encoding behind
    // and is served at once. After it slept, the listing may be any age: the request waits for an
    // encoding of the snapshot it found, as does one that finds no listing at all.
    if (behind && !resumed && (!json || !followed) && park(connection, snapshot->version, now)) {
      parked = true;
      return true;
    }
    json = views_->serversJson.latest();
    if (!json) {
      Answer answer(MHD_HTTP_SERVICE_UNAVAILABLE,
                    snapshot ? "the listing is being prepared\n"
                             : "the registry is not published yet\n",
                    kTextType);
      return common(answer).header(MHD_HTTP_HEADER_RETRY_AFTER, "1").queue(connection);
    }
    const bool gzip = !json->gzipBody.empty() &&
                      acceptsGzip(requestHeader(connection, MHD_HTTP_HEADER_ACCEPT_ENCODING));
    const std::string& etag = gzip ? json->gzipEtag : json->etag;
    const auto representation = [&](Answer& answer) -> Answer& {
      common(answer)
          .header(MHD_HTTP_HEADER_ETAG, etag)
          .header(MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING)
          .header(MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
      if (gzip) answer.header(MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
      return answer;
    };
    if (etagMatches(requestHeader(connection, MHD_HTTP_HEADER_IF_NONE_MATCH), etag)) {
      Answer answer(MHD_HTTP_NOT_MODIFIED);
      return representation(answer).queue(connection);
    }
    if (gzip) {
      Answer answer(MHD_HTTP_OK, json->gzipBody, kJsonType, json);
      return representation(answer).queue(connection);
    }
    Answer answer(MHD_HTTP_OK, json, kJsonType);
    return representation(answer).queue(connection);
  }

  if (url == "/metrics") {
    Answer answer(MHD_HTTP_OK,
                  metricsText(status_->stats, status_->snapshots.latest(), dirserverVersion(),
                              settings_.clock->wallSeconds(), readProcessFigures(),
                              &status_->cluster),
                  kMetricsType);
    return common(answer).header(MHD_HTTP_HEADER_CACHE_CONTROL, "no-store").queue(connection);
  }

  if (url == "/healthz") {
    const HealthReport report =
        checkHealth(status_->stats, settings_.clock->steadyMilliseconds(), settings_.maxLoopSilence,
                    &status_->cluster);
    Answer answer(report.healthy ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE, report.reason + "\n",
                  kTextType);
    return common(answer).header(MHD_HTTP_HEADER_CACHE_CONTROL, "no-store").queue(connection);
  }

  Answer answer(MHD_HTTP_NOT_FOUND, "no such page; try /, /servers.json, /metrics or /healthz\n",
                kTextType);
  return common(answer).queue(connection);
}

}  // namespace dirserver
