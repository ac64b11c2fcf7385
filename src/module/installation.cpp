// The installation check: the model folders and files that must lie beside the module.
#include <utility>

#include "module/dorvane.h"
#include "module/installation.h"

namespace dorvane {
namespace {

// Built afresh on every call, so no caller can change it for the next one.
nb::dict default_layout() {
    auto names = [](std::initializer_list<const char *> files) {
        nb::list list;
        for (const char *file : files)
            list.append(interned(file));
        return list;
    };
    nb::dict layout;
    layout[interned("models")] = names({"whisper_model.safetensors", "voice_clone_00001-of-00002.safetensors",
                              "musicgen_00002-of-00002.bin", "D_Onigiri_50968.pth"});
    layout[interned("token")] = names({"tokenizer.json", "mtl_tokenizer.json"});
    layout[interned("zonos")] = names({"config.py"});
    return layout;
}

// `folder, files = item`; anything but a pair is unpacked by the interpreter,
// which raises its own error for it.
std::pair<nb::object, nb::object> unpack_pair(nb::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_Size(item.ptr()) == 2)
        return {nb::borrow(PyTuple_GetItem(item.ptr(), 0)), nb::borrow(PyTuple_GetItem(item.ptr(), 1))};
    nb::object unpack = python_def(nb::str("def unpack(item):\n    folder, files = item\n    return folder, files\n"),
                                   "unpack");
    nb::object pair = unpack(item);
    return {pair[0], pair[1]};
}

} // namespace

nb::object check_project_structure(const Namespace &ns, Args args) {
    nb::object required_folders = nb::borrow(args[0]);
    if (required_folders.is_none())
        required_folders = default_layout();

    // Fetched through `os` on every call, once per call; by interned names,
    // as this runs before every gated operation.
    nb::object path = ns["os"].attr(interned("path"));
    nb::object base_dir = path.attr(interned("dirname"))(path.attr(interned("abspath"))(ns["__file__"]));
    nb::object join = path.attr(interned("join")), isdir = path.attr(interned("isdir")),
               isfile = path.attr(interned("isfile"));

    for (nb::handle item : required_folders.attr(interned("items"))()) {
        auto [folder, files] = unpack_pair(item);
        nb::object folder_path = join(base_dir, folder);
        if (!truthy(isdir(folder_path)))
            return error_payload(concat("Code is not complete. '", folder, "' folder is missing."));

        // Every name is tested, so the message lists all that are missing.
        nb::list missing_files;
        for (nb::handle f : files)
            if (!truthy(isfile(join(folder_path, f))))
                missing_files.append(f);
        if (nb::len(missing_files))
            return error_payload(concat("Files not found in '", folder, "': ",
                                        nb::str(", ").attr("join")(missing_files)));
    }

    nb::dict complete;
    complete[interned("status")] = true;
    return complete;
}

std::optional<nb::object> installation_gate(const Namespace &ns) {
    nb::object check = ns["check_project_structure"]();
    if (contains(check, "error"))
        return nb::make_tuple(check, 400);
    return std::nullopt;
}

} // namespace dorvane
