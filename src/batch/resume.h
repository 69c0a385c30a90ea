// The files a resumed batch does not process again: those with a complete
// line in the output file. Each line is kept as a 128-bit fingerprint of its
// name|size|SHA-1, 16 bytes a file whatever the length of its name.
#pragma once

#include "module/python.h"

#include <cstdint>
#include <vector>

#include "module/ref.h"

namespace fw::batch {

class DoneFiles {
public:
    // Reads the output file once, as it is written: UTF-8, undecodable bytes
    // left out. A missing file means nothing is done; a line that is cut or
    // malformed is passed over.
    bool load(PyObject* file_name);
    // 1 when the queue entry (name|size|sha|pickcode) already has its line,
    // 0 when not, -1 on error.
    int has_line(PyObject* entry) const;

    struct Fingerprint {
        uint64_t high, low;
    };

private:
    void add_line(const char* line, size_t size);
    std::vector<Fingerprint> done_;  // sorted once loaded
};

}  // namespace fw::batch
