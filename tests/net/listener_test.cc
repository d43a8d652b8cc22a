#include "net/listener.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace dirserver {
namespace {

namespace fs = std::filesystem;

TEST(ControlSocket, IsPrivateFromItsFirstMomentAndTakesOverOnlyADeadServersSocket) {
  testing::TestContext t;
  const std::string path = (t.dir / "dirserver.sock").string();
  std::string error;
  const mode_t umask = ::umask(0);  // the widest the server could inherit
  {
    ControlSocket socket;
    ASSERT_TRUE(socket.open(path, error)) << error;
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    // A second server finds the first answering.
    ControlSocket second;
    EXPECT_FALSE(second.open(path, error));
    EXPECT_EQ(error, "a server answers on " + path + " already");
  }
  ::umask(umask);
  EXPECT_FALSE(fs::exists(path));  // removed with the socket
  // A socket file that nothing answers on is what a crash leaves: it is replaced.
  const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(dead);
  {
    ControlSocket socket;
    EXPECT_TRUE(socket.open(path, error)) << error;
  }
  // Anything else at the path is not the server's to remove.
  testing::writeFile(path, Bytes{1, 2, 3});
  ControlSocket socket;
  EXPECT_FALSE(socket.open(path, error));
  EXPECT_NE(error.find("is there and is no socket"), std::string::npos) << error;
  EXPECT_EQ(testing::readFile(path), (Bytes{1, 2, 3}));
  EXPECT_FALSE(socket.open(std::string(108, 'a'), error));
  EXPECT_NE(error.find("must have 1 to 107 bytes"), std::string::npos) << error;
}

}  // namespace
}  // namespace dirserver
