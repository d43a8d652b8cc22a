// Peers that try to stall the server: they connect and then hold their connection open doing as
// little as the protocol lets them.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "load.h"

namespace dirserver::bench {

// At most this many peers share one source address: well below the server's 64 per address, so
// none of them is refused, and spread over several addresses as peers on many machines would be.
inline constexpr unsigned kPeersPerSource = 25;

// A set of hostile peers, of four kinds in turn:
//   silent       connects and sends nothing;
//   trickling    sends a list request announcing a 4 KiB body, one byte every 100 ms;
//   big body     sends the header of a 1 MiB registration and nothing more;
//   not reading  has a small receive buffer, asks for the listing and never reads it.
// They connect from 127.0.0.2 upwards, kPeersPerSource from each address, and stay open until
// destruction.
class HostilePeers {
 public:
  enum class Kind : std::uint8_t { Silent, Trickling, BigBody, NotReading };
  static constexpr std::size_t kKinds = 4;

  // Connects `count` peers to 127.0.0.1:`port` and sends their first bytes. Throws
  // std::runtime_error when a peer cannot connect within a few seconds.
  HostilePeers(unsigned count, std::uint16_t port);
  ~HostilePeers();
  HostilePeers(const HostilePeers&) = delete;
  HostilePeers& operator=(const HostilePeers&) = delete;

  unsigned sourceCount() const;

  // Per kind: how many peers there are, how many of them have not seen the server close their
  // connection (no end of stream or reset has arrived), and how many the server process itself
  // still holds: its side of the connection is still established in /proc/net/tcp. The two differ
  // for a not-reading peer whose whole answer the server has handed to its kernel and closed: its
  // kernel then holds the rest of the listing, and the server is done with it.
  struct Census {
    std::array<unsigned, kKinds> peers{};
    std::array<unsigned, kKinds> open{};
    std::array<unsigned, kKinds> heldByServer{};
  };
  Census census() const;

  // The fewest and most bytes of the listing that any not-reading peer has been sent (they wait
  // unread in its receive buffer); {0, 0} when there is no such peer.
  std::pair<std::uint64_t, std::uint64_t> listingBytesReceived() const;

 private:
  struct Peer {
    Kind kind{};
    Socket socket;
    std::uint32_t address = 0;  // its own address and port, as /proc/net/tcp shows them
    std::uint16_t port = 0;
    Bytes trickle;  // what a trickling peer has yet to send, from `sent` on
    std::size_t sent = 0;
  };

  void trickle();

  std::uint16_t serverPort_;
  std::vector<Peer> peers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread trickler_;
};

}  // namespace dirserver::bench
