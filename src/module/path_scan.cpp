// The installation check's file-system tests in plain C++, run without the interpreter lock.
#include <algorithm>

#include <sys/stat.h>

#include "module/path_scan.h"

namespace dorvane {
namespace {

// `posixpath.join(head, tail)` into `out`.
void join(std::string &out, std::string_view head, std::string_view tail) {
    if (!tail.empty() && tail.front() == '/') {
        out.assign(tail);
        return;
    }
    out.assign(head);
    if (!out.empty() && out.back() != '/')
        out.push_back('/');
    out.append(tail);
}

// `genericpath.isdir` / `isfile`: stat follows links, and any failure is a
// no. A name with a NUL byte cannot reach the system (os.stat raises
// ValueError, which genericpath also turns into a no).
bool has_type(const std::string &path, mode_t type) {
    if (path.find('\0') != std::string::npos)
        return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

} // namespace

void base_directory(std::string_view file, std::string &out) {
    // normpath: POSIX gives exactly two leading slashes a meaning of their
    // own, so those stay; more collapse to one.
    std::size_t slashes = std::min(file.find_first_not_of('/'), file.size());
    std::size_t root = slashes == 2 ? 2 : 1;
    out.assign(root, '/');
    for (std::size_t start = 0; start <= file.size();) {
        std::size_t end = file.find('/', start);
        if (end == std::string_view::npos)
            end = file.size();
        std::string_view part = file.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            // Never above the root.
            std::size_t last = out.rfind('/');
            out.resize(last < root ? root : last);
            continue;
        }
        if (out.size() > root)
            out.push_back('/');
        out.append(part);
    }
    // dirname: the head up to the last slash, without its trailing slashes
    // unless it is nothing but slashes.
    std::size_t head = out.rfind('/') + 1;
    out.resize(head > root ? head - 1 : head);
}

Shortfall scan(std::string_view base_dir, const EncodedLayout &layout) {
    // Kept per thread, so a scan allocates nothing once its thread has
    // seen names as long.
    thread_local std::string folder_path, file_path;
    Shortfall shortfall;
    for (std::size_t i = 0; i < layout.folders.size(); ++i) {
        const EncodedLayout::Folder &folder = layout.folders[i];
        join(folder_path, base_dir, folder.name);
        if (!has_type(folder_path, S_IFDIR)) {
            shortfall.folder = i;
            shortfall.folder_missing = true;
            return shortfall;
        }
        for (std::size_t j = 0; j < folder.file_count; ++j) {
            join(file_path, folder_path, layout.files[folder.first_file + j]);
            if (!has_type(file_path, S_IFREG))
                shortfall.missing_files.push_back(j);
        }
        if (!shortfall.missing_files.empty()) {
            shortfall.folder = i;
            return shortfall;
        }
    }
    return shortfall;
}

} // namespace dorvane
