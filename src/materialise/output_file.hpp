// The run's output files, replaced whole: a reader sees the earlier file or the new one,
// never a torn mix, whether the process dies or the disk fills while writing.
#pragma once

#include "binding/ref.hpp"

#include <string_view>

namespace tevra {

// The output directory, opened once: every file operation of a run is made relative to it,
// so the files land in the directory that was set up, whatever the working directory or
// the path's symbolic links say by the time they are written.
class OutputDirectory {
public:
    // Opens the directory that holds the file at `file_path` (a str, the path of one of the
    // files to be written); failure throws the host's OSError subclass for that path.
    explicit OutputDirectory(PyObject* file_path);
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;
    ~OutputDirectory();

    // Writes `data` (UTF-8 text, written as is) to a fresh file in the directory and renames
    // it over the file `name`. `path` is that file's path as a str, the name errors give. On
    // failure nothing of the attempt is left behind, the earlier file is untouched, and the
    // host's OSError subclass for `path` is thrown.
    void replace_file(std::string_view name, PyObject* path, std::string_view data) const;

    // Removes the file `name`; a missing file is fine, any other failure throws the host's
    // OSError subclass for `path`.
    void remove_file(std::string_view name, PyObject* path) const;

private:
    int fd_ = -1;
};

}  // namespace tevra
