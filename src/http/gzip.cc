#include "http/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>

namespace dirserver {

std::optional<std::string> gzipText(std::string_view data) {
  z_stream stream{};
  // 15 window bits, plus 16 for the gzip header and trailer instead of zlib's.
  constexpr int kGzipWindowBits = 15 + 16;
  constexpr int kMemoryLevel = 8;
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size(), UINT32_MAX));
  // Fed in slices: zlib counts its input in 32 bits.
  constexpr std::size_t kSlice = std::size_t{1} << 30;
  int status = Z_OK;
  while (status == Z_OK) {
    const std::size_t fed = data.size() - stream.total_in;
    const std::size_t slice = std::min(fed, kSlice);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + stream.total_in));
    stream.avail_in = static_cast<uInt>(slice);
    status = deflate(&stream, slice == fed ? Z_FINISH : Z_NO_FLUSH);
    if (stream.avail_out == 0 && status == Z_OK) status = Z_BUF_ERROR;  // deflateBound held
  }
  const bool done = status == Z_STREAM_END;
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (!done) return std::nullopt;
  return out;
}

}  // namespace dirserver
