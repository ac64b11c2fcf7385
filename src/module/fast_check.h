// The installation check's fast path: the same file-system tests done in C++,
// without the interpreter lock, instead of by calling what the check fetched.
//
// It applies when every function the check fetched is the standard library's
// own as found at import, the file-system encoding is UTF-8, and the mapping
// is None or an exact dict of exact str to exact lists or tuples of exact str.
// Then nothing it does can be told from the calls; otherwise the check calls.
#pragma once

#include <optional>

#include "module/namespace.h"

namespace dorvane {

// The first shortfall, in the texts the check reports: no folder when the
// installation is complete; else the folder, and either that it is missing
// or the files missing from it, in the mapping's order.
struct Finding {
    nb::object folder;
    bool folder_missing = false;
    nb::object missing_files; // a list, made only when files are missing
};

// Records the standard library's own functions; called once, at import.
void prepare_fast_check();

// Whether the check's `os.path.dirname` and `os.path.abspath` are the
// standard library's own, so the base directory may be worked out here.
bool stock_base(nb::handle dirname, nb::handle abspath);

// Whether the tests it fetched (`os.path.join`, `isdir`, `isfile`, and the
// `os.stat` those call) are the standard library's own.
bool stock_tests(nb::handle os, nb::handle join, nb::handle isdir, nb::handle isfile);

// The check over `required_folders` (None for the default layout), once
// the functions passed as stock: `base` is the module file when
// `base_is_module_file`, else the base directory the calls returned.
// Nothing when the mapping or the names are not ones it reads as they stand.
std::optional<Finding> fast_check(nb::handle required_folders, nb::handle base, bool base_is_module_file);

} // namespace dorvane
