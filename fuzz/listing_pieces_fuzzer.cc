// The registry in pieces, changed as the input says (see tests/support/pieces_script.h): after
// every change the snapshot the pieces publish must be the registry and the listing built whole,
// byte for byte, and only the changed host's piece may have been made anew.

#include <cstdio>

#include "fuzz_support.h"
#include "support/pieces_script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken = dirserver::testing::runPiecesScript(dirserver::ByteView(data, size));
  if (!broken.empty()) std::fprintf(stderr, "%s\n", broken.c_str());
  FUZZ_REQUIRE(broken.empty());
  return 0;
}
