#include "http/http_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <httplib.h>
#include <mutex>
#include <random>
#include <vector>

#include "common/version.h"
#include "http/http_views.h"
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

// Lowers the calling thread's scheduling priority to `niceness` (Linux sets nice values per
// thread). Failure only leaves the priority as it was.
void lowerPriority(int niceness) {
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
}

// A fixed set of worker threads and a bounded queue of accepted connections. When the queue is
// full, enqueue waits, so the accepting thread stops accepting and further connections wait in
// the kernel's listen queue instead of piling up here.
class BoundedPool final : public httplib::TaskQueue {
 public:
  BoundedPool(std::size_t threads, std::size_t queued, int niceness)
      : limit_(std::max<std::size_t>(queued, 1)) {
    for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
      workers_.emplace_back([this, niceness] {
        lowerPriority(niceness);
        work();
      });
    }
  }

  void enqueue(std::function<void()> job) override {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return jobs_.size() < limit_; });
    jobs_.push_back(std::move(job));
    work_.notify_one();
  }

  // Runs what is queued, then joins the workers.
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      room_.notify_one();
      job();
    }
  }

  const std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::vector<std::thread> workers_;
};

std::int64_t systemWallSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t systemSteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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

}  // namespace

std::string_view dirserverVersion() { return kVersion; }

// What the handlers share besides the status and the settings: the JSON cache.
struct HttpServer::Views {
  explicit Views(std::string instance) : serversJson("dirserver", std::move(instance)) {}
  ServersJsonCache serversJson;
};

HttpServer::HttpServer(HttpSettings settings)
    : settings_(std::move(settings)),
      server_(std::make_unique<httplib::Server>()),
      views_(std::make_unique<Views>(instanceTag())) {
  if (!settings_.wallSeconds) settings_.wallSeconds = systemWallSeconds;
  if (!settings_.steadyMilliseconds) settings_.steadyMilliseconds = systemSteadyMilliseconds;
  const std::size_t threads = settings_.threads, queued = settings_.queuedConnections;
  const int niceness = settings_.niceness;
  server_->new_task_queue = [threads, queued, niceness] {
    return new BoundedPool(threads, queued, niceness);
  };
  server_->set_read_timeout(settings_.readTimeout);
  server_->set_write_timeout(settings_.writeTimeout);
  server_->set_keep_alive_timeout(settings_.keepAliveTimeout.count());
  server_->set_keep_alive_max_count(settings_.keepAliveRequests);
  // Only GET and HEAD are served and their bodies are never read; this bounds any the library
  // would read before the method is refused.
  server_->set_payload_max_length(64 * 1024);
  route();
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(const HttpAddress& address, std::string& error) {
  const int port = address.port == 0 ? server_->bind_to_any_port(address.host)
                                     : (server_->bind_to_port(address.host, address.port)
                                            ? static_cast<int>(address.port)
                                            : -1);
  if (port <= 0) {
    error = "cannot listen on " + address.host + ":" + std::to_string(address.port);
    return false;
  }
  port_ = static_cast<std::uint16_t>(port);
  return true;
}

void HttpServer::start(const ServerStatus& status) {
  status_ = &status;
  thread_ = std::thread([this] {
    lowerPriority(settings_.niceness);
    server_->listen_after_bind();
  });
  // A stop() before the library marks itself running would be lost and leave it serving.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void HttpServer::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

void HttpServer::route() {
  // Headers every answer carries.
  const auto common = [this](httplib::Response& response) {
    response.set_header("Date", httpDate(settings_.wallSeconds()));
    response.set_header("X-Content-Type-Options", "nosniff");
  };

  server_->set_pre_routing_handler([common](const httplib::Request& request,
                                            httplib::Response& response) {
    if (request.method == "GET" || request.method == "HEAD") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    common(response);
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("only GET and HEAD are served\n", kTextType);
    return httplib::Server::HandlerResponse::Handled;
  });
  // Errors the library answers by itself (no such path, a malformed request) get a short text.
  server_->set_error_handler(httplib::Server::HandlerWithResponse(
      [common](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    common(response);
    response.set_content(response.status == 404 ? "no such page; try /, /servers.json, /metrics "
                                                  "or /healthz\n"
                                                : "bad request\n",
                         kTextType);
    return httplib::Server::HandlerResponse::Handled;
  }));

  server_->Get("/", [common](const httplib::Request&, httplib::Response& response) {
    common(response);
    response.set_header("Content-Security-Policy", kPagePolicy);
    response.set_header("Cache-Control", "no-cache");
    const std::string_view page = statusPage();
    response.set_content(page.data(), page.size(), kHtmlType);
  });

  server_->Get("/servers.json", [this, common](const httplib::Request& request,
                                               httplib::Response& response) {
    common(response);
    const SnapshotPtr snapshot = status_->snapshots.latest();
    if (!snapshot) {
      response.status = 503;
      response.set_content("the registry is not published yet\n", kTextType);
      return;
    }
    const std::shared_ptr<const ServersJson> json = views_->serversJson.get(snapshot);
    response.set_header("ETag", json->etag);
    response.set_header("Cache-Control", "no-cache");
    if (etagMatches(request.get_header_value("If-None-Match"), json->etag)) {
      response.status = 304;
      return;
    }
    // Sent from the shared copy, in slices, rather than copied into the response whole: at 10000
    // hosts the listing is some 2 MiB.
    response.set_content_provider(
        json->body.size(), kJsonType,
        [json](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          constexpr std::size_t kSlice = 256 * 1024;
          return sink.write(json->body.data() + offset, std::min(length, kSlice));
        });
  });

  server_->Get("/metrics", [this, common](const httplib::Request&, httplib::Response& response) {
    common(response);
    response.set_header("Cache-Control", "no-store");
    response.set_content(
        metricsText(status_->stats, status_->snapshots.latest(), dirserverVersion(),
                    settings_.wallSeconds(), readProcessFigures()),
        kMetricsType);
  });

  server_->Get("/healthz", [this, common](const httplib::Request&, httplib::Response& response) {
    common(response);
    response.set_header("Cache-Control", "no-store");
    const HealthReport report =
        checkHealth(status_->stats, settings_.steadyMilliseconds(), settings_.maxLoopSilence);
    response.status = report.healthy ? 200 : 503;
    response.set_content(report.reason + "\n", kTextType);
  });
}

}  // namespace dirserver
