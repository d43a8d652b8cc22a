#include "support/test_support.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "client/request_body.h"
#include "common/text.h"
#include "registry/registration.h"

namespace dirserver::testing {
namespace {

// The directory under which a test process makes all its temporary directories, created at first
// use and removed with everything in it when the process exits. A directory that a forked child
// makes lies in it too, so it goes even when the child is killed and never removes its own.
class TemporaryRoot {
 public:
  TemporaryRoot() : owner_(::getpid()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dirserver-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
    // Open to every user, as the temporary directory itself is: some tests check what a child that
    // has given up root may and may not do, in directories of its own.
    std::filesystem::permissions(path_, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  }
  ~TemporaryRoot() {
    // A child that ends normally must not take its parent's directories away.
    if (::getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryRoot(const TemporaryRoot&) = delete;
  TemporaryRoot& operator=(const TemporaryRoot&) = delete;

  // A new directory's path, unique also across forked children (they count on from the same
  // number).
  std::filesystem::path next() {
    return path_ / (std::to_string(::getpid()) + "-" + std::to_string(++made_));
  }

 private:
  pid_t owner_;
  std::filesystem::path path_;
  unsigned made_ = 0;
};

}  // namespace

CapturedConsole::CapturedConsole(bool shared) {
  out_ = open_memstream(&outText_, &outSize_);
  err_ = shared ? out_ : open_memstream(&errText_, &errSize_);
}

CapturedConsole::~CapturedConsole() {
  std::fclose(out_);
  if (err_ != out_) std::fclose(err_);
  std::free(outText_);
  std::free(errText_);
}

std::string CapturedConsole::out() {
  std::fflush(out_);
  return std::string(outText_, outSize_);
}

std::string CapturedConsole::err() {
  if (err_ == out_) return out();
  std::fflush(err_);
  return std::string(errText_, errSize_);
}

TestContext::TestContext(bool sharedConsole) : console(sharedConsole) {
  static TemporaryRoot root;
  dir = root.next();
  std::filesystem::create_directories(dir);
  context.console = console.console();
  context.clock = &clock;
  context.listFile = (dir / "server_list.dat").string();
}

TestContext::~TestContext() {
  std::error_code ignored;
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir, ignored);
}

Bytes requestBody(const std::vector<std::string>& strings) {
  Bytes body;
  for (const std::string& text : strings) putCountedText(body, toUtf16le(text));
  return body;
}

std::vector<std::string> hostStrings(std::string_view path, std::string_view name) {
  return {std::string(path), "10.0.0.1:7000", std::string(name), "v1.0", "4", "16", "open"};
}

ServerRecord makeRecord(const std::vector<std::string>& strings, std::int32_t time) {
  ServerRecord record;
  for (std::size_t i = 0; i < kFieldCount && i < strings.size(); ++i) {
    Bytes units = toUtf16le(strings[i]);
    units.resize(std::min(units.size(), kFieldCapacity));
    record.fields[i].data = std::move(units);
  }
  record.registrationTime = time;
  return record;
}

ServerField rawField(std::initializer_list<std::uint8_t> bytes) {
  return ServerField{Bytes(bytes)};
}

std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace dirserver::testing
