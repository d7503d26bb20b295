// A record as the dict Python callers get, built with the GIL held by visiting the record walk:
// the keys and their order are the walk's, as in sievecheck's JSON.
#pragma once

#include <Python.h>

#include "zudor_host/record.h"

namespace zudorpy {

class DictBuilder : public zudorhost::RecordVisitor {
public:
    DictBuilder();
    ~DictBuilder() override;
    // The last record's dict (a new reference), or null with a Python error set.
    PyObject *take();

    void beginRecord(bool failed) override;
    void string(zudorhost::Field field, const char *text, size_t length) override;
    void number(zudorhost::Field field, uint64_t value) override;
    void beginList(zudorhost::Field field) override;
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) override;
    void item(const char *text, size_t length) override;
    void endList(zudorhost::Field field) override;
    void beginGroup(zudorhost::Field field) override;
    void endGroup(zudorhost::Field field) override;
    void endRecord() override;

private:
    // Takes value's reference; a null value means an error is already set.
    void put(zudorhost::Field field, PyObject *value);

    PyObject *record_ = nullptr;
    PyObject *group_ = nullptr; // borrowed: record_ or the Xmp dict inside it
    PyObject *list_ = nullptr;  // borrowed: the list pairs go to
    bool failed_ = false;
};

} // namespace zudorpy
