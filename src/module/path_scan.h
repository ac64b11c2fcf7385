// The installation check's file-system tests in plain C++, run without the interpreter lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dorvane {

// Folder and file names as `os.stat` would hand them to the system, that is
// already in the file-system encoding; the views point into texts the caller
// keeps alive for the whole scan.
struct EncodedLayout {
    struct Folder {
        std::string_view name;
        std::size_t first_file, file_count; // a run of `files`
    };
    std::vector<Folder> folders;
    std::vector<std::string_view> files;
};

// The first shortfall a scan met, or none when the installation is complete.
struct Shortfall {
    static constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t folder = none;
    bool folder_missing = false;
    std::vector<std::size_t> missing_files; // positions within the folder's files
};

// `os.path.dirname(os.path.abspath(file))` for an absolute `file`, into `out`:
// the same text posixpath gives, so the same names reach the system.
void base_directory(std::string_view file, std::string &out);

// The tests of `check_project_structure` over `layout`, in its order and as
// lazily: a folder that is not a directory ends the scan, and every file of a
// folder that is one is tested. Uses no Python object.
Shortfall scan(std::string_view base_dir, const EncodedLayout &layout);

} // namespace dorvane
