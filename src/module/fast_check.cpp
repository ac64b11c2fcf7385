// The installation check's fast path: the file-system tests in C++, without
// the interpreter lock, for the standard library's own functions.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "module/fast_check.h"
#include "module/installation.h"

namespace dorvane {
namespace {

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

// The tests of the check over `layout`, in its order and as lazily: a folder
// that is not a directory ends the scan, and every file of a folder that is
// one is tested. Uses no Python object.
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

// The default layout in the form the scan reads, made once.
const EncodedLayout &default_encoded() {
    static const EncodedLayout layout = [] {
        EncodedLayout encoded;
        for (const RequiredFolder &folder : default_layout) {
            encoded.folders.push_back({folder.name, encoded.files.size(), folder.file_count});
            encoded.files.insert(encoded.files.end(), folder.files, folder.files + folder.file_count);
        }
        return encoded;
    }();
    return layout;
}

// The standard library's own path functions and `os.stat`, as the module
// found them when it was imported. They are compared by identity only, never
// called: when a check fetches exactly these, it may do their work itself, and
// whatever else it fetches (a patch made after import) it calls. The
// references are strong, so no other object can come to sit at an address
// compared against.
struct Stock {
    nb::object join, isdir, isfile, abspath, dirname, stat;
};

// Set once at import, and never destroyed: its references would be dropped
// after the interpreter has gone. Empty when the fast path never applies.
const Stock *stock = nullptr;

// True if `function` is the def `name` of `module` itself, not a wrapper
// that copied its name and module (as functools.wraps does).
bool defined_by(nb::handle function, nb::handle module, const char *name, nb::handle function_type) {
    return function.type().is(function_type) && function.attr("__globals__").is(module.attr("__dict__")) &&
           function.attr("__code__").attr("co_name").equal(nb::str(name));
}

// A patch made before the module was imported would pass for stock if the
// functions were simply taken as found, so each must be what the standard
// library defines; if any is not, nothing is recorded and every check calls
// what it fetches. The same holds where the file-system encoding is not
// UTF-8, the one the names are encoded in here.
std::optional<Stock> standard_library_functions() {
    try {
        nb::module_ os = nb::module_::import_("os"), posixpath = nb::module_::import_("posixpath"),
                    genericpath = nb::module_::import_("genericpath"), posix = nb::module_::import_("posix"),
                    types = nb::module_::import_("types");
        nb::object encoding = nb::module_::import_("sys").attr("getfilesystemencoding")();
        if (!nb::module_::import_("codecs").attr("lookup")(encoding).attr("name").equal(nb::str("utf-8")) ||
            !os.attr("path").is(posixpath))
            return std::nullopt;
        Stock stock{posixpath.attr("join"),    posixpath.attr("isdir"),   posixpath.attr("isfile"),
                    posixpath.attr("abspath"), posixpath.attr("dirname"), os.attr("stat")};
        nb::handle function = types.attr("FunctionType");
        bool own = defined_by(stock.join, posixpath, "join", function) &&
                   defined_by(stock.isdir, genericpath, "isdir", function) &&
                   defined_by(stock.isfile, genericpath, "isfile", function) &&
                   defined_by(stock.abspath, posixpath, "abspath", function) &&
                   defined_by(stock.dirname, posixpath, "dirname", function) &&
                   stock.stat.type().is(types.attr("BuiltinFunctionType")) &&
                   stock.stat.attr("__self__").is(posix) &&
                   stock.stat.attr("__name__").equal(nb::str("stat"));
        if (!own)
            return std::nullopt;
        return stock;
    } catch (nb::python_error &) {
        // Not the POSIX library this was written for: every check goes by calls.
        return std::nullopt;
    }
}

// `getattr(object, name, None)`, for a name a plain def would not fetch, so
// its absence must not become an error the def would not raise.
nb::object optional_attr(nb::handle object, const char *name) {
    PyObject *value = PyObject_GetAttr(object.ptr(), interned(name).ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(value);
}

// Texts in the file-system encoding, with whatever keeps each encoding alive.
class Encoder {
public:
    // False when `text` has no encoding; `os.stat` would raise ValueError on
    // it, and the check leaves that to the calls, which say so themselves.
    bool encode(nb::handle text, std::string_view &out) {
        Py_ssize_t size;
        // The interpreter keeps a text's UTF-8 form with it, so asking for it
        // again on the next call costs nothing.
        if (const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
            out = std::string_view(utf8, static_cast<std::size_t>(size));
            return true;
        }
        clear_encode_error();
        // Lone surrogates: the file-system error handler decides, and
        // surrogateescape gives back the bytes they stand for.
        PyObject *bytes = PyUnicode_EncodeFSDefault(text.ptr());
        if (!bytes) {
            clear_encode_error();
            return false;
        }
        bytes_.push_back(nb::steal(bytes));
        char *data;
        if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0)
            throw nb::python_error();
        out = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }

private:
    static void clear_encode_error() {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
    }

    std::vector<nb::object> bytes_;
};

// The caller's container as this call reads it. Without the interpreter lock
// another thread may change a dict or a list while it is read here, and drop
// the items taken from it; so a copy is read instead, made under the
// container's own lock (a list's as a tuple). With the lock nothing else runs
// while it is read, and it is read as it stands.
nb::object settled(nb::handle container) {
#ifdef Py_GIL_DISABLED
    PyObject *copy = PyDict_CheckExact(container.ptr())   ? PyDict_Copy(container.ptr())
                     : PyList_CheckExact(container.ptr()) ? PyList_AsTuple(container.ptr())
                                                          : Py_NewRef(container.ptr());
    if (!copy)
        throw nb::python_error();
    return nb::steal(copy);
#else
    return nb::borrow(container);
#endif
}

// The caller's mapping, when the scan can read it as it stands: an exact dict
// of exact str keys whose values are exact lists or tuples of exact str.
// Reading those runs no Python code, so taking the items ahead of the tests
// cannot be told from iterating them. Each text is held, because once the
// lock is released another thread may drop it from the caller's dict.
struct CallerLayout {
    EncodedLayout encoded;
    std::vector<nb::object> folders, files;

    bool collect(nb::handle mapping, Encoder &encoder) {
        if (!PyDict_CheckExact(mapping.ptr()))
            return false;
        nb::object items = settled(mapping);
        Py_ssize_t position = 0;
        PyObject *folder, *names;
        while (PyDict_Next(items.ptr(), &position, &folder, &names)) {
            std::string_view name;
            if (!PyUnicode_CheckExact(folder) || !encoder.encode(folder, name))
                return false;
            if (!PyList_CheckExact(names) && !PyTuple_CheckExact(names))
                return false;
            nb::object files_read = settled(names);
            bool list = PyList_CheckExact(files_read.ptr());
            Py_ssize_t count = list ? PyList_Size(files_read.ptr()) : PyTuple_Size(files_read.ptr());
            encoded.folders.push_back({name, encoded.files.size(), static_cast<std::size_t>(count)});
            folders.push_back(nb::borrow(folder));
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyObject *file =
                    list ? PyList_GetItem(files_read.ptr(), i) : PyTuple_GetItem(files_read.ptr(), i);
                if (!PyUnicode_CheckExact(file) || !encoder.encode(file, name))
                    return false;
                encoded.files.push_back(name);
                files.push_back(nb::borrow(file));
            }
        }
        return true;
    }
};

// The finding for a scan's outcome, with the mapping's own texts when the
// caller gave one; the default layout's are made only now, when needed.
Finding report(const Shortfall &shortfall, const EncodedLayout &layout, const CallerLayout *caller) {
    Finding finding;
    if (shortfall.folder == Shortfall::none)
        return finding;
    const EncodedLayout::Folder &folder = layout.folders[shortfall.folder];
    auto text = [&](const std::vector<nb::object> *held_texts, std::size_t index,
                    std::string_view name) -> nb::object {
        if (held_texts)
            return (*held_texts)[index];
        return nb::str(name.data(), name.size());
    };
    finding.folder = text(caller ? &caller->folders : nullptr, shortfall.folder, folder.name);
    finding.folder_missing = shortfall.folder_missing;
    if (finding.folder_missing)
        return finding;
    nb::list missing_files;
    for (std::size_t j : shortfall.missing_files) {
        std::size_t index = folder.first_file + j;
        missing_files.append(text(caller ? &caller->files : nullptr, index, layout.files[index]));
    }
    finding.missing_files = std::move(missing_files);
    return finding;
}

} // namespace

void prepare_fast_check() {
    if (std::optional<Stock> found = standard_library_functions())
        stock = new Stock(std::move(*found));
}

bool stock_base(nb::handle dirname, nb::handle abspath) {
    return stock && dirname.is(stock->dirname) && abspath.is(stock->abspath);
}

bool stock_tests(nb::handle os, nb::handle join, nb::handle isdir, nb::handle isfile) {
    // `os.stat` is what genericpath's tests call; a patched one is called.
    return stock && join.is(stock->join) && isdir.is(stock->isdir) && isfile.is(stock->isfile) &&
           optional_attr(os, "stat").is(stock->stat);
}

std::optional<Finding> fast_check(nb::handle required_folders, nb::handle base, bool base_is_module_file) {
    Encoder encoder;
    std::string_view base_dir;
    if (!PyUnicode_CheckExact(base.ptr()) || !encoder.encode(base, base_dir))
        return std::nullopt;
    if (base_is_module_file) {
        // A relative module path would make abspath read the current directory.
        if (base_dir.empty() || base_dir.front() != '/')
            return std::nullopt;
        // Per thread, so a call allocates nothing for it once warm; nothing
        // else runs on this thread until the scan below has read it.
        thread_local std::string module_dir;
        base_directory(base_dir, module_dir);
        base_dir = module_dir;
    }
    CallerLayout caller;
    bool caller_given = !required_folders.is_none();
    if (caller_given && !caller.collect(required_folders, encoder))
        return std::nullopt;
    const EncodedLayout &layout = caller_given ? caller.encoded : default_encoded();

    Shortfall shortfall;
    {
        // Each test may wait on a slow disk or mount; no other thread should
        // wait for the interpreter lock meanwhile.
        nb::gil_scoped_release release;
        shortfall = scan(base_dir, layout);
    }
    return report(shortfall, layout, caller_given ? &caller : nullptr);
}

} // namespace dorvane
