// The installation check: the model folders and files that must lie beside
// the module. This is the check as a plain def runs it:
//
//     def check_project_structure(required_folders=None):
//         if required_folders is None:
//             required_folders = <the default layout>
//         base_dir = os.path.dirname(os.path.abspath(__file__))
//         for folder, files in required_folders.items():
//             folder_path = os.path.join(base_dir, folder)
//             if not os.path.isdir(folder_path):
//                 return {"error": f"Code is not complete. '{folder}' folder is missing."}
//             missing_files = [f for f in files if not os.path.isfile(os.path.join(folder_path, f))]
//             if missing_files:
//                 return {"error": f"Files not found in '{folder}': {', '.join(missing_files)}"}
//         return {"status": True}
//
// When what it fetched is the standard library's own, the fast path
// (fast_check.h) does the same file-system work without calling it.
#include <utility>

#include "module/dorvane.h"
#include "module/fast_check.h"
#include "module/installation.h"

namespace dorvane {
namespace {

// `folder, files = item`, compiled by the running interpreter, which words
// its own unpacking errors. Never destroyed: it would be dropped after the
// interpreter has gone.
nb::object *unpack = nullptr;

// Built afresh on every call, so no caller can change it for the next one.
nb::dict default_layout_dict() {
    nb::dict layout;
    for (const RequiredFolder &folder : default_layout) {
        nb::list files;
        for (std::size_t i = 0; i < folder.file_count; ++i)
            files.append(interned(folder.files[i]));
        layout[interned(folder.name)] = files;
    }
    return layout;
}

nb::dict complete() {
    nb::dict payload;
    payload[interned("status")] = true;
    return payload;
}

nb::dict folder_missing(nb::handle folder) {
    return error_payload(concat("Code is not complete. '", folder, "' folder is missing."));
}

nb::dict files_missing(nb::handle folder, nb::handle missing_files) {
    return error_payload(
        concat("Files not found in '", folder, "': ", nb::str(", ").attr("join")(missing_files)));
}

nb::dict answer(const Finding &finding) {
    if (!finding.folder.is_valid())
        return complete();
    if (finding.folder_missing)
        return folder_missing(finding.folder);
    return files_missing(finding.folder, finding.missing_files);
}

// A dict's items are exact pairs and are taken apart here; anything else is
// unpacked by the interpreter.
std::pair<nb::object, nb::object> unpack_pair(nb::handle item) {
    nb::object pair = nb::borrow(item);
    if (!PyTuple_CheckExact(item.ptr()) || PyTuple_Size(item.ptr()) != 2)
        pair = (*unpack)(item);
    return {nb::borrow(PyTuple_GetItem(pair.ptr(), 0)), nb::borrow(PyTuple_GetItem(pair.ptr(), 1))};
}

// The loop of the def, calling the functions it fetched.
nb::dict check_by_calls(nb::handle required_folders, nb::handle base_dir, nb::handle join, nb::handle isdir,
                        nb::handle isfile) {
    nb::object mapping = required_folders.is_none() ? default_layout_dict() : nb::borrow(required_folders);
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
    unpack = new nb::object(python_def(
        nb::str("def unpack(item):\n    folder, files = item\n    return folder, files\n"), "unpack"));
    prepare_fast_check();
}

nb::object check_project_structure(const Namespace &ns, const CheckArgs &args) {
    nb::handle required_folders = args.required_folders;

    // Fetched through `os` on every call, once per call and in the def's
    // order, so a patch is seen on the next call; by interned names, as this
    // runs before every gated operation.
    nb::object os = ns["os"];
    nb::object path = os.attr(interned("path"));
    nb::object dirname = path.attr(interned("dirname")), abspath = path.attr(interned("abspath"));
    nb::object module_file = ns["__file__"];

    // The standard library's own pair is not called on the way to the fast
    // path, which works the base directory out from the module file. If the
    // check goes on by calls after all, they are called then, with the same
    // argument.
    bool base_here = stock_base(dirname, abspath);
    nb::object base_dir;
    if (!base_here)
        base_dir = dirname(abspath(module_file));

    nb::object join = path.attr(interned("join")), isdir = path.attr(interned("isdir")),
               isfile = path.attr(interned("isfile"));
    if (stock_tests(os, join, isdir, isfile)) {
        if (std::optional<Finding> finding =
                fast_check(required_folders, base_here ? module_file : base_dir, base_here))
            return answer(*finding);
    }

    if (base_here)
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
