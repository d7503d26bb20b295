// Records cross from the worker threads to Python in a compact encoding: the workers may not
// touch Python objects, so they write each document's record as bytes into the batch's buffer,
// and the caller, holding the GIL, turns those bytes into dicts.
#pragma once

#include <memory>

#include <Python.h>

#include "zudor_host/zudor_host.h"

namespace zudorpy {

// The formatter the workers use; strings are mended and times written as sievecheck's JSON
// writes them, so the dicts equal its parsed records.
std::unique_ptr<zudorhost::RecordFormatter> makeRecordEncoder();

// Appends one dict per record in data[0, size) to list; returns false with a Python error set.
bool decodeRecords(const char *data, size_t size, PyObject *list);

} // namespace zudorpy
