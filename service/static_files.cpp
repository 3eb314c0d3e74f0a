#include "static_files.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace stripedrvd {

namespace {

// The path with every symbolic link resolved; empty when it names nothing.
std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// A link in the folder may lead anywhere (/etc/passwd, /proc/self/environ):
// only what really lies below the folder is served.
bool inside(const std::string &dir, const std::string &path)
{
    const std::string realDir = realPath(dir), real = realPath(path);
    return !realDir.empty() && real.size() > realDir.size() + 1 &&
           real.compare(0, realDir.size(), realDir) == 0 && real[realDir.size()] == '/';
}

} // namespace

std::optional<std::string> staticPath(const std::string &dir, const std::string &target)
{
    std::string path = target.substr(0, target.find('?'));
    if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos ||
        path.find('\\') != std::string::npos || path.find('\0') != std::string::npos ||
        dir.empty())
        return std::nullopt;
    if (path.back() == '/')
        path += "index.html";
    std::string full = dir + path;
    struct stat info {};
    if (stat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !inside(dir, full))
        return std::nullopt;
    return full;
}

std::optional<std::string_view> builtinFile(const std::string &target)
{
    const std::string path = target.substr(0, target.find('?'));
    for (size_t i = 0; i < kBuiltinFileCount; ++i)
        if (path == kBuiltinFiles[i].target)
            return std::string_view(kBuiltinFiles[i].content);
    return std::nullopt;
}

std::string contentType(const std::string &path)
{
    struct Type {
        const char *extension;
        const char *type;
    };
    static const Type kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".d.ts", "text/plain; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/vnd.microsoft.icon"},
        {".txt", "text/plain; charset=utf-8"},
    };
    for (const Type &t : kTypes) {
        const std::string ext = t.extension;
        if (path.size() >= ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0)
            return t.type;
    }
    return "application/octet-stream";
}

} // namespace stripedrvd
