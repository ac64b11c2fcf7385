// The atomic writer: a file that appears under its final name only when complete.
#include "speech/atomic_file.h"

namespace dorvane {

AtomicFile::AtomicFile(const Namespace &ns, nb::handle final_path)
    : os_(ns["os"]), final_path_(nb::borrow(final_path)) {
    // Same folder as the final path, so the rename never crosses file
    // systems; hidden, so a folder listing does not offer it.
    nb::object folder = os_.attr("path").attr("dirname")(final_path_);
    nb::object token = os_.attr("urandom")(8).attr("hex")();
    temp_path_ = os_.attr("path").attr("join")(folder, concat(".dorvane-", token, ".part"));
    // Exclusive creation: never an existing file, nor one a link points at.
    file_ = ns["open"](temp_path_, "xb");
    // Fetched once: a download writes thousands of chunks, and a fresh
    // lookup and bound method for each made it cost more than the plain loop.
    write_ = file_.attr("write");
}

void AtomicFile::write(nb::handle data) { write_(data); }

void AtomicFile::commit() {
    nb::object file = std::move(file_);
    file.attr("close")();
    os_.attr("replace")(temp_path_, final_path_);
    committed_ = true;
}

AtomicFile::~AtomicFile() {
    if (committed_)
        return;
    // Cleanup while another error is on its way out: its own failures are
    // dropped so that error reaches the caller unchanged. Whatever the
    // failure, it stays here: an exception leaving a destructor during
    // unwinding ends the process.
    try {
        if (file_.is_valid())
            file_.attr("close")();
    } catch (...) {
    }
    try {
        os_.attr("unlink")(temp_path_);
    } catch (...) {
    }
}

} // namespace dorvane
