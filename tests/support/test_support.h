// Helpers shared by the tests and the fuzz targets: captured console streams, records and request
// bodies built from ordinary strings, temporary directories. No test framework needed.
#pragma once

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/console.h"
#include "persist/env.h"
#include "registry/server_context.h"
#include "registry/server_record.h"

namespace dirserver::testing {

// Console streams that write to memory. With `shared`, out and err are one stream, which shows
// the order of lines across the two.
class CapturedConsole {
 public:
  explicit CapturedConsole(bool shared = false);
  ~CapturedConsole();
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;

  Console console() const { return {out_, err_}; }
  std::string out();
  std::string err();

 private:
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
  char* outText_ = nullptr;
  char* errText_ = nullptr;
  std::size_t outSize_ = 0;
  std::size_t errSize_ = 0;
};

// A ServerContext whose console is captured, whose clock (and env's) reads `now`, and whose server list file
// lies in a fresh temporary directory (removed with the fixture, and in any case when the process
// that made the first one exits: all lie in one dirserver-test-XXXXXX directory).
class TestContext {
 public:
  // Reads the fixture's fields: wall seconds are `now`, the steady clock stands at
  // now - stepped seconds.
  class FieldClock final : public Clock {
   public:
    explicit FieldClock(const TestContext& t) : t_(t) {}
    std::int64_t wallSeconds() const override { return t_.now; }
    SteadyClock::time_point steadyNow() const override {
      return SteadyClock::time_point(std::chrono::seconds(t_.now - t_.stepped));
    }

   private:
    const TestContext& t_;
  };

  explicit TestContext(bool sharedConsole = false);
  ~TestContext();

  ServerContext context;
  CapturedConsole console;
  std::int64_t now = 1'700'000'000;
  // How far the wall clock has been set (stepped) in all: the context's steady clock reads
  // now - stepped, so a test that only moves `now` moves both.
  std::int64_t stepped = 0;
  std::filesystem::path dir;
  FieldClock clock{*this};
  // The system's files, on the context's clock.
  SystemEnv env{clock};
};

// A registration or shutdown body of the given strings (normally seven).
Bytes requestBody(const std::vector<std::string>& strings);

// Seven strings of a host of the given type path, with `name` as its name.
std::vector<std::string> hostStrings(std::string_view path, std::string_view name);

// A record of the seven given strings (stored as UTF-16LE, cut to 4096 bytes).
ServerRecord makeRecord(const std::vector<std::string>& strings, std::int32_t time = 0);

// A field holding exactly these bytes.
ServerField rawField(std::initializer_list<std::uint8_t> bytes);

// How many times `what` occurs in `text`, overlaps included.
std::size_t countOf(const std::string& text, const std::string& what);

Bytes readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, ByteView bytes);

}  // namespace dirserver::testing
