// The run's output files, replaced whole: a reader sees the earlier file or the new one,
// never a torn mix, whether the process dies or the disk fills while writing.
#pragma once

#include "binding/ref.hpp"

#include <string_view>

namespace tevra {

// Writes `data` (UTF-8 text, written as is) to a fresh file beside `path` and renames it
// over `path`. `path` is the file's path as a str. On failure nothing of the attempt is
// left behind, the earlier file is untouched, and the host's OSError subclass for `path`
// is thrown.
void replace_file(PyObject* path, std::string_view data);

// Removes the file at `path` (a str); a missing file is fine, any other failure throws
// the host's OSError subclass for `path`.
void remove_file(PyObject* path);

}  // namespace tevra
