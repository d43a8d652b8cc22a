#include "http/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>

namespace dirserver {

std::optional<std::string> gzipPieces(std::span<const std::string_view> pieces) {
  z_stream stream{};
  // 15 window bits, plus 16 for the gzip header and trailer instead of zlib's.
  constexpr int kGzipWindowBits = 15 + 16;
  constexpr int kMemoryLevel = 8;
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  constexpr std::size_t kChunk = 64 * 1024;
  // Fed in slices: zlib counts its input in 32 bits.
  constexpr std::size_t kSlice = std::size_t{1} << 30;
  std::string out;
  int status = Z_OK;
  const auto run = [&](int flush) {
    do {
      const std::size_t used = out.size();
      out.resize(used + kChunk);
      stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
      stream.avail_out = static_cast<uInt>(kChunk);
      status = deflate(&stream, flush);
      out.resize(used + kChunk - stream.avail_out);
    } while (status == Z_OK && (stream.avail_in > 0 || stream.avail_out == 0));
  };
  for (std::string_view piece : pieces) {
    while (!piece.empty() && status == Z_OK) {
      const std::size_t slice = std::min(piece.size(), kSlice);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
      stream.avail_in = static_cast<uInt>(slice);
      run(Z_NO_FLUSH);
      piece.remove_prefix(slice);
    }
  }
  if (status == Z_OK) run(Z_FINISH);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  out.shrink_to_fit();
  return out;
}

}  // namespace dirserver
