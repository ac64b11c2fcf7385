// The installation check: the model folders and files that must lie beside the module.
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/dorvane.h"
#include "module/installation.h"
#include "module/path_scan.h"

namespace dorvane {
namespace {

// The default layout, in order. Kept as C++ text: a check that does the
// file-system work itself builds none of it as Python objects.
constexpr const char *model_files[] = {"whisper_model.safetensors", "voice_clone_00001-of-00002.safetensors",
                                       "musicgen_00002-of-00002.bin", "D_Onigiri_50968.pth"};
constexpr const char *token_files[] = {"tokenizer.json", "mtl_tokenizer.json"};
constexpr const char *zonos_files[] = {"config.py"};
struct DefaultFolder {
    const char *name;
    const char *const *files;
    std::size_t count;
};
constexpr DefaultFolder default_folders[] = {{"models", model_files, std::size(model_files)},
                                             {"token", token_files, std::size(token_files)},
                                             {"zonos", zonos_files, std::size(zonos_files)}};

// Built afresh on every call, so no caller can change it for the next one.
nb::dict default_layout() {
    nb::dict layout;
    for (const DefaultFolder &folder : default_folders) {
        nb::list files;
        for (std::size_t i = 0; i < folder.count; ++i)
            files.append(interned(folder.files[i]));
        layout[interned(folder.name)] = files;
    }
    return layout;
}

const EncodedLayout &default_encoded() {
    static const EncodedLayout layout = [] {
        EncodedLayout encoded;
        for (const DefaultFolder &folder : default_folders) {
            encoded.folders.push_back({folder.name, encoded.files.size(), folder.count});
            encoded.files.insert(encoded.files.end(), folder.files, folder.files + folder.count);
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

// What the check holds from module initialisation on.
struct Held {
    nb::object unpack;
    std::optional<Stock> stock;
};
const Held *held = nullptr;

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
        Stock stock{posixpath.attr("join"), posixpath.attr("isdir"), posixpath.attr("isfile"),
                    posixpath.attr("abspath"), posixpath.attr("dirname"), os.attr("stat")};
        nb::handle function = types.attr("FunctionType");
        bool own = defined_by(stock.join, posixpath, "join", function) &&
                   defined_by(stock.isdir, genericpath, "isdir", function) &&
                   defined_by(stock.isfile, genericpath, "isfile", function) &&
                   defined_by(stock.abspath, posixpath, "abspath", function) &&
                   defined_by(stock.dirname, posixpath, "dirname", function) &&
                   stock.stat.type().is(types.attr("BuiltinFunctionType")) &&
                   stock.stat.attr("__self__").is(posix) && stock.stat.attr("__name__").equal(nb::str("stat"));
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
                PyObject *file = list ? PyList_GetItem(files_read.ptr(), i) : PyTuple_GetItem(files_read.ptr(), i);
                if (!PyUnicode_CheckExact(file) || !encoder.encode(file, name))
                    return false;
                encoded.files.push_back(name);
                files.push_back(nb::borrow(file));
            }
        }
        return true;
    }
};

nb::dict complete() {
    nb::dict payload;
    payload[interned("status")] = true;
    return payload;
}

nb::dict folder_missing(nb::handle folder) {
    return error_payload(concat("Code is not complete. '", folder, "' folder is missing."));
}

nb::dict files_missing(nb::handle folder, nb::handle missing_files) {
    return error_payload(concat("Files not found in '", folder, "': ", nb::str(", ").attr("join")(missing_files)));
}

// The payload for a scan's outcome, with the mapping's own texts when the
// caller gave one; the default layout's are made only now, when needed.
nb::dict report(const Shortfall &shortfall, const EncodedLayout &layout, const CallerLayout *caller) {
    if (shortfall.folder == Shortfall::none)
        return complete();
    const EncodedLayout::Folder &folder = layout.folders[shortfall.folder];
    auto text = [&](const std::vector<nb::object> *held_texts, std::size_t index,
                    std::string_view name) -> nb::object {
        if (held_texts)
            return (*held_texts)[index];
        return nb::str(name.data(), name.size());
    };
    nb::object folder_text = text(caller ? &caller->folders : nullptr, shortfall.folder, folder.name);
    if (shortfall.folder_missing)
        return folder_missing(folder_text);
    nb::list missing_files;
    for (std::size_t j : shortfall.missing_files) {
        std::size_t index = folder.first_file + j;
        missing_files.append(text(caller ? &caller->files : nullptr, index, layout.files[index]));
    }
    return files_missing(folder_text, missing_files);
}

// The check with the file-system work done here, for the standard library's
// own functions: `base` is the module file when the base directory is worked
// out here too, else the base directory that the calls returned. Nothing
// when the names are not ones the scan reads as they stand.
std::optional<nb::dict> check_here(nb::handle required_folders, nb::handle base, bool base_is_module_file) {
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

// `folder, files = item`. A dict's items are exact pairs; anything else is
// unpacked by the interpreter, which words its own errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle item) {
    nb::object pair = nb::borrow(item);
    if (!PyTuple_CheckExact(item.ptr()) || PyTuple_Size(item.ptr()) != 2)
        pair = held->unpack(item);
    return {nb::borrow(PyTuple_GetItem(pair.ptr(), 0)), nb::borrow(PyTuple_GetItem(pair.ptr(), 1))};
}

// The check as a plain def does it, calling the functions it fetched.
nb::dict check_by_calls(nb::handle required_folders, nb::handle base_dir, nb::handle join, nb::handle isdir,
                        nb::handle isfile) {
    nb::object mapping = required_folders.is_none() ? default_layout() : nb::borrow(required_folders);
    for (nb::handle item : mapping.attr(interned("items"))()) {
        auto [folder, files] = unpack_pair(item);
        nb::object folder_path = join(base_dir, folder);
        if (!truthy(isdir(folder_path)))
            return folder_missing(folder);

        // Every name is tested, so the message lists all that are missing.
        nb::list missing_files;
        for (nb::handle f : files)
            if (!truthy(isfile(join(folder_path, f))))
                missing_files.append(f);
        if (nb::len(missing_files))
            return files_missing(folder, missing_files);
    }
    return complete();
}

} // namespace

void prepare_installation_check() {
    // Never destroyed: its references would be dropped after the interpreter
    // has gone.
    auto state = std::make_unique<Held>();
    state->unpack = python_def(nb::str("def unpack(item):\n    folder, files = item\n    return folder, files\n"),
                               "unpack");
    state->stock = standard_library_functions();
    held = state.release();
}

nb::object check_project_structure(const Namespace &ns, Args args) {
    nb::handle required_folders = args[0];

    // Fetched through `os` on every call, once per call and in a plain def's
    // order, so a patch is seen on the next call; by interned names, as this
    // runs before every gated operation.
    nb::object os = ns["os"];
    nb::object path = os.attr(interned("path"));
    nb::object dirname = path.attr(interned("dirname")), abspath = path.attr(interned("abspath"));
    nb::object module_file = ns["__file__"];
    const Stock *stock = held->stock ? &*held->stock : nullptr;

    // The standard library's own two are not called on the way to the tests
    // done here: the base directory is worked out from the module file. If
    // the check goes on by calls after all, they are called then, with the
    // same argument.
    bool stock_base = stock && dirname.is(stock->dirname) && abspath.is(stock->abspath);
    nb::object base_dir;
    if (!stock_base)
        base_dir = dirname(abspath(module_file));

    nb::object join = path.attr(interned("join")), isdir = path.attr(interned("isdir")),
               isfile = path.attr(interned("isfile"));
    // `os.stat` is what genericpath's tests call; a patched one is called.
    if (stock && join.is(stock->join) && isdir.is(stock->isdir) && isfile.is(stock->isfile) &&
        optional_attr(os, "stat").is(stock->stat)) {
        if (std::optional<nb::dict> result =
                check_here(required_folders, stock_base ? module_file : base_dir, stock_base))
            return std::move(*result);
    }

    if (stock_base)
        base_dir = dirname(abspath(module_file));
    return check_by_calls(required_folders, base_dir, join, isdir, isfile);
}

std::optional<nb::object> installation_gate(const Namespace &ns) {
    nb::object check = ns["check_project_structure"]();
    if (contains(check, "error"))
        return nb::make_tuple(check, 400);
    return std::nullopt;
}

} // namespace dorvane
