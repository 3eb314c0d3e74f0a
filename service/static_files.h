// The demo page's files, served from one folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace stripedrvd {

// The file below `dir` that a request target names ("/" is index.html), or
// nothing when the target is not an absolute path, holds "..", a NUL or a
// backslash, or names no regular file whose real path (links resolved) lies
// below the folder. A query ("?...") is ignored.
std::optional<std::string> staticPath(const std::string &dir, const std::string &target);

// A file built into the service: the JavaScript client and its declarations
// (generated from clients/js by cmake/EmbedFiles.cmake).
struct BuiltinFile {
    const char *target; // "/stripedrv-client.js"
    const char *content;
};
extern const BuiltinFile kBuiltinFiles[];
extern const size_t kBuiltinFileCount;

// The built-in file a request target names (a query is ignored), if any.
std::optional<std::string_view> builtinFile(const std::string &target);

// The content type for a file name, from its extension.
std::string contentType(const std::string &path);

} // namespace stripedrvd
