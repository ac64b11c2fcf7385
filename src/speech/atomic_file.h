// The atomic writer: a file that appears under its final name only when complete.
#pragma once

#include "module/namespace.h"

namespace dorvane {

// Writes go to a fresh temporary file in the folder of the final path, which
// is renamed over the final path by `commit`. The web application serves
// that folder: a reader sees the old file or the new one, never a part, and
// concurrent writers of one name never mix their bytes. Unless committed, the
// temporary file is removed when the writer goes out of scope.
class AtomicFile {
public:
    AtomicFile(const Namespace &ns, nb::handle final_path);
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;
    ~AtomicFile();

    void write(nb::handle data);

    // Closes the temporary file and renames it over the final path; the
    // last commit of a name wins.
    void commit();

private:
    nb::object os_;
    nb::object final_path_;
    nb::object temp_path_;
    nb::object file_;
    nb::object write_; // the file's own `write`
    bool committed_ = false;
};

} // namespace dorvane
