// Telling systemd how the service is doing, for a unit of Type=notify: that it is ready, that it is
// stopping, and that its loop still turns (the watchdog). systemd names a datagram socket in
// NOTIFY_SOCKET and takes one message per datagram, "READY=1", "STOPPING=1", "WATCHDOG=1"
// (sd_notify(3) documents the protocol as stable, for programs that do not link libsystemd).
// Started any other way, the server finds no NOTIFY_SOCKET and nothing is sent.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace dirserver {

class ServiceNotifier {
 public:
  // What the environment says: NOTIFY_SOCKET (a path, or "@name" for an abstract socket),
  // WATCHDOG_USEC (the interval within which systemd wants to hear WATCHDOG=1) and WATCHDOG_PID
  // (the process that interval is meant for; when it names another, there is no watchdog). A
  // socket name that does not fit a socket address counts as none.
  static ServiceNotifier fromEnvironment();

  // Whether systemd listens.
  bool enabled() const { return !socket_.empty(); }

  // Sends `state` ("READY=1") as one datagram. Returns false when nobody listens or the send
  // failed; the server goes on either way, since systemd acts on what it does not hear.
  bool notify(std::string_view state) const;

  // How often to send WATCHDOG=1: half the interval systemd allows, so that one late pass of the
  // loop does not get the service killed. nullopt when no watchdog is asked for.
  std::optional<std::chrono::microseconds> watchdogInterval() const { return watchdog_; }

 private:
  std::string socket_;  // the address's path; an abstract name starts with '\0'
  std::optional<std::chrono::microseconds> watchdog_;
};

}  // namespace dirserver
