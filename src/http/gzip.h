// gzip for the HTTP window's compressed answers (zlib's deflate in a gzip wrapper).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace dirserver {

// `pieces`, joined in order, as one gzip member at zlib's default level, which any HTTP client
// that accepts "gzip" can read. The output grows as it is made and holds nothing beyond it, so a
// large input costs no more memory than its compressed form. Returns nullopt when zlib fails (it
// can only run out of memory); the caller then serves the plain form alone. Costs about 20 ms per
// MiB: call it off any thread that answers.
std::optional<std::string> gzipPieces(std::span<const std::string_view> pieces);

}  // namespace dirserver
