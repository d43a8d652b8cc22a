// One request and its answer over a TCP connection of its own, as the server expects them.
#pragma once

#include <chrono>
#include <string>

#include "arguments.h"
#include "common/byte_order.h"

namespace dirserver::dirctl {

// What came back, and how long it took.
struct Exchange {
  Bytes answer;  // every byte the server sent before it closed the connection
  std::chrono::microseconds connectTime{
      0};                                  // from the start (name lookup included) until connected
  std::chrono::microseconds roundTrip{0};  // from the first byte sent until the answer ended
};

// A time limit as dirctl's messages give it: "0.2 s", "10 s".
std::string secondsText(std::chrono::milliseconds timeout);

// Resolves `endpoint`, connects (trying each address it resolves to), sends `request` whole and
// reads the answer until the server closes the connection. The server closes after one answer,
// so that is where the answer ends. Reading also stops once more bytes have come than the answer
// announces in its leading u32 size, since no answer of the server's can be longer than that;
// memory is thus bounded by what arrives, never by what is announced.
//
// Connecting, sending, and each wait for more of the answer may take `timeout` at most (the
// name lookup itself is left to the system's resolver). Returns true with `exchange` filled in,
// also when the answer is empty or cut short (the caller judges it). Returns false, with `error`
// one line naming the endpoint and what failed (lookup, refused, reset, timed out), when no
// connection could be made or it failed before the server closed it.
bool exchangeRequest(const Endpoint& endpoint, ByteView request, std::chrono::milliseconds timeout,
                     Exchange& exchange, std::string& error);

}  // namespace dirserver::dirctl
