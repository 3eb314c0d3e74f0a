// The demo page's files, served from one folder.
#pragma once

#include <optional>
#include <string>

namespace stripedrvd {

// The file below `dir` that a request target names ("/" is index.html), or
// nothing when the target is not an absolute path, holds "..", a NUL or a
// backslash, or names no regular file whose real path (links resolved) lies
// below the folder. A query ("?...") is ignored.
std::optional<std::string> staticPath(const std::string &dir, const std::string &target);

// The content type for a file name, from its extension.
std::string contentType(const std::string &path);

} // namespace stripedrvd
