#include "hosts.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/text.h"
#include "listing/list_reply.h"
#include "registry/registration.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"

namespace dirserver::bench {
namespace {

constexpr std::string_view kRegions[] = {"[EU] ", "[US-East] ", "[US-West] ", "[AU] ",
                                         "[BR] ", "[DE] ",      "[JP] ",      ""};
constexpr std::string_view kAdjectives[] = {"Crimson", "Silent",    "Iron",   "Howling",  "Frozen",
                                            "Golden",  "Shattered", "Sunken", "Restless", "Ashen"};
constexpr std::string_view kPlaces[] = {"Ridge", "Arena", "Outpost", "Valley", "Citadel",
                                        "Marsh", "Spire", "Dunes",   "Hollow", "Crossing"};
constexpr std::string_view kTails[] = {
    "", " 24/7", " - newbies welcome", " Clan Night", " (no rush)", " - ranked ladder"};
// Hosts outside the English-speaking world name their games in their own script.
constexpr std::string_view kLocalNames[] = {"Jäger der Nacht", "Kraków Quorv Klub",
                                            "Łódź Night Owls", "東京クォーブ道場",
                                            "Café Élite",      "Ñandú Melee"};
constexpr std::string_view kVersions[] = {"v1.4.2", "v1.4.3", "v1.5.0-beta"};
constexpr std::string_view kStates[] = {"open", "open", "open", "password", "full", "in progress"};
constexpr std::string_view kMotd =
    "Welcome! Rules: no spawn camping, no team killing, no cheating of any kind. Be nice to new "
    "players and keep the chat friendly. Maps rotate every 20 minutes; vote with !map. Join our "
    "community on the forum for tournaments every Saturday evening. ";
constexpr std::size_t kMaxMotd = 2000;
constexpr int kMaxPlayers[] = {8, 12, 16, 24, 32};
// Documentation address ranges: these strings only describe hosts, nothing connects to them.
constexpr std::string_view kNetworks[] = {"192.0.2.", "198.51.100.", "203.0.113."};

template <typename T, std::size_t N>
const T& pick(const T (&items)[N], std::uint64_t random) {
  return items[random % N];
}

ServerField field(std::string_view utf8) { return ServerField{toUtf16le(utf8)}; }

}  // namespace

std::int32_t nowSeconds() {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::time(nullptr)));
}

std::uint64_t HostFactory::random() {
  // splitmix64: small, fast and the same on every machine.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Host HostFactory::next(std::int32_t registrationTime) {
  Host host;
  // Melee is the busiest type, team melee the quietest.
  const std::uint64_t roll = random() % 100;
  host.type = roll < 30   ? ServerType::GetTheQuorv
              : roll < 75 ? ServerType::Melee
                          : ServerType::TeamMelee;
  std::string name;
  if (random() % 8 == 0) {
    name = std::string(pick(kLocalNames, random()));
  } else {
    name = std::string(pick(kRegions, random())) + std::string(pick(kAdjectives, random())) + " " +
           std::string(pick(kPlaces, random())) + std::string(pick(kTails, random()));
  }
  const int maxPlayers = pick(kMaxPlayers, random());
  const std::string address =
      std::string(pick(kNetworks, random())) + std::to_string(1 + random() % 254);
  unsigned port = 6000 + static_cast<unsigned>(random() % 1000);

  ServerRecord& record = host.record;
  record.registrationTime = registrationTime;
  record.fields[0] = field(kServerTypePaths[index(host.type)]);
  record.fields[2] = field(name);
  record.fields[3] = field(pick(kVersions, random()));
  record.fields[4] = field(std::to_string(random() % (maxPlayers + 1)));
  record.fields[5] = field(std::to_string(maxPlayers));
  std::string state(pick(kStates, random()));
  if (motdCharacters_ > 0) {
    state += " | ";
    const std::size_t length = std::min(motdCharacters_, kMaxMotd);
    while (state.size() < length) state += kMotd;
    state.resize(length);
  }
  record.fields[6] = field(state);
  // Two game servers on one machine differ in their port; so do two hosts whose strings happen to
  // sum to the same key.
  for (;;) {
    record.fields[1] = field(address + ":" + std::to_string(port));
    host.key = computeServerKey(record.fields);
    if (keys_[index(host.type)].insert(host.key).second) return host;
    port = port == 65535 ? 1024 : port + 1;
  }
}

std::vector<Bytes> newHostsAndShutdowns(HostFactory& factory, std::int32_t registrationTime,
                                        std::uint32_t count) {
  std::vector<Bytes> requests;
  requests.reserve(2 * std::size_t{count});
  for (std::uint32_t i = 0; i < count; ++i) {
    const ServerRecord record = factory.next(registrationTime).record;
    requests.push_back(registrationRequest(record));
    requests.push_back(shutdownRequest(record));
  }
  return requests;
}

std::uint64_t listingSize(std::span<const Host> hosts) {
  ServerRegistry registry;
  for (const Host& host : hosts) registry.insert(host.type, host.key, host.record);
  return buildListReply(registry).size();
}

void writeServerListFile(const std::filesystem::path& path, std::span<const Host> hosts) {
  std::array<std::map<ServerKey, const ServerRecord*>, kServerTypeCount> sections;
  for (const Host& host : hosts) sections[index(host.type)].emplace(host.key, &host.record);

  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                             &std::fclose);
  if (file == nullptr) throw std::runtime_error("cannot create " + path.string());
  constexpr std::size_t kFlushAt = 1 << 20;
  Bytes buffer;
  bool written = true;
  const auto flush = [&] {
    written = written && std::fwrite(buffer.data(), 1, buffer.size(), file.get()) == buffer.size();
    buffer.clear();
  };
  for (const auto& section : sections) {
    putU32(buffer, static_cast<std::uint32_t>(section.size()));
    for (const auto& [key, record] : section) {
      appendFileRecord(buffer, key, *record);
      if (buffer.size() >= kFlushAt) flush();
    }
  }
  flush();
  if (!written || std::fflush(file.get()) != 0) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace dirserver::bench
