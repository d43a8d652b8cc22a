// The dirctl executable against the real dirserver executable on port 6001, both started as an
// operator starts them, in a directory of their own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "registry/server_key.h"
#include "support/loopback.h"

namespace dirserver {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts `program` with `args` in `dir`, its standard output and error going to NAME.out and
// NAME.err there. Returns the process id.
pid_t spawn(const fs::path& dir, const std::string& name, const char* program,
            std::vector<std::string> args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    const int out = ::open((name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open((name + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(program)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program, argv.data());
    ::_exit(127);
  }
  return pid;
}

// Kills the process it holds when it goes, whatever the test made of it.
class Spawned {
 public:
  explicit Spawned(pid_t pid) : pid_(pid) {}
  ~Spawned() { kill(); }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs dirctl in `dir` to its end (at most 30 s).
Outcome dirctl(const fs::path& dir, std::vector<std::string> args) {
  const pid_t pid = spawn(dir, "dirctl", DIRCTL_BINARY, std::move(args));
  int status = 0;
  for (int i = 0; i < 3000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  Outcome outcome;
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  }
  outcome.out = slurp(dir / "dirctl.out");
  outcome.err = slurp(dir / "dirctl.err");
  return outcome;
}

TEST(DirctlExecutable, RegistersListsAndShutsDownAHostOnTheRealServer) {
  testing::TestContext t;
  Spawned server(spawn(t.dir, "server", DIRSERVER_BINARY, {}));
  bool ready = false;
  for (int i = 0; i < 200 && !ready; ++i) {
    ready = dirctl(t.dir, {"ping", "--timeout", "1"}).status == 0;
    if (!ready) std::this_thread::sleep_for(25ms);
  }
  ASSERT_TRUE(ready) << slurp(t.dir / "server.err");

  const std::vector<std::string> bob = {
      "/Aviantorvale/Melee Game", "10.0.0.1:7000", "Bob", "v1.0", "4", "16", "open"};
  const std::string key = std::to_string(computeServerKey(testing::makeRecord(bob).fields));
  std::vector<std::string> args{"register"};
  args.insert(args.end(), bob.begin(), bob.end());
  Outcome registered = dirctl(t.dir, args);
  EXPECT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.out, "127.0.0.1:6001 acknowledged the registration of \"Bob\" (key " + key +
                                ", /Aviantorvale/Melee Game)\n");
  EXPECT_EQ(registered.err, "");

  Outcome listed = dirctl(t.dir, {"list", "--json"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out,
            R"({"server":"127.0.0.1:6001","hosts":1,"entryCount":5,"directories":[)"
            R"({"path":"/Aviantorvale","type":null,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Get The Quorv Game","type":0,"hosts":[]},)"
            R"({"path":"/Aviantorvale/Melee Game","type":1,"hosts":[{"name":"Bob","key":)" +
                key +
                R"(,"fields":["/Aviantorvale/Melee Game","10.0.0.1:7000","Bob","v1.0","4","16",)"
                R"("open"]}]},)"
                R"({"path":"/Aviantorvale/Team Melee Game","type":2,"hosts":[]}]})"
                "\n");

  // The file the server wrote, decoded offline.
  Outcome dumped = dirctl(t.dir, {"dump"});
  EXPECT_EQ(dumped.status, 0) << dumped.err;
  EXPECT_NE(dumped.out.find("section 1 (/Aviantorvale/Melee Game)\n  record 0 at offset 8\n"
                            "    key       " +
                            key + "\n"),
            std::string::npos)
      << dumped.out;
  EXPECT_NE(dumped.out.find("\n1 record\n"), std::string::npos) << dumped.out;

  args[0] = "shutdown";
  Outcome shutDown = dirctl(t.dir, args);
  EXPECT_EQ(shutDown.status, 0) << shutDown.err;
  EXPECT_EQ(shutDown.out, "127.0.0.1:6001 acknowledged the shutdown of \"Bob\" (key " + key +
                              ", /Aviantorvale/Melee Game)\n");
  listed = dirctl(t.dir, {"list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out.rfind("127.0.0.1:6001 lists 0 hosts\n", 0), 0u) << listed.out;

  server.kill();
  const std::string log = slurp(t.dir / "server.out");
  EXPECT_NE(log.find("# server with key: " + key + " was added to the list\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("# server with key: " + key + " was removed from list\n"), std::string::npos)
      << log;

  Outcome gone = dirctl(t.dir, {"ping"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "dirctl: cannot connect to 127.0.0.1:6001: Connection refused\n");
}

}  // namespace
}  // namespace dirserver
