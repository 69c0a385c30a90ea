// config.ini: loaded under each encoding of `encodinglist` in turn, then
// read one value at a time.
#pragma once

#include "module/python.h"

#include "module/ref.h"

namespace fw::batch {

// The parser of the first attempt that worked, or the empty text "" when
// none did. An empty Ref only for an error that is not an attempt's failure.
Ref load_config();
// config.get(section, key); a value whose percent signs the parser rejects
// is read as written.
Ref read_setting(PyObject* config, PyObject* section, PyObject* key);

}  // namespace fw::batch
