// gzip for the HTTP window's compressed answers (zlib's deflate in a gzip wrapper).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dirserver {

// `data` as one gzip member at zlib's default level, which any HTTP client that accepts "gzip"
// can read. Returns nullopt when zlib fails (it can only run out of memory); the caller then
// serves the plain form alone. Costs about 20 ms per MiB: call it off any thread that answers.
std::optional<std::string> gzipText(std::string_view data);

}  // namespace dirserver
