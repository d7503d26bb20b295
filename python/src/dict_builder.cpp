#include "dict_builder.h"

#include <cstring>

namespace zudorpy {
namespace {

using zudorhost::Field;

constexpr int kFields = zudorhost::kFieldCount;

// The keys and the summary names, made once and shared by every dict.
PyObject *key(Field field)
{
    static PyObject **keys = [] {
        auto **made = new PyObject *[kFields];
        for (int i = 0; i < kFields; ++i)
            made[i] = PyUnicode_InternFromString(zudorhost::fieldName(Field(i)));
        return made;
    }();
    return keys[int(field)];
}

PyObject *summaryValue(const char *text, size_t length)
{
    static PyObject *states[3] = {PyUnicode_InternFromString("complete"), PyUnicode_InternFromString("partial"),
                                  PyUnicode_InternFromString("none")};
    for (PyObject *state : states)
        if (size_t(PyUnicode_GET_LENGTH(state)) == length && std::strncmp(PyUnicode_AsUTF8(state), text, length) == 0) {
            Py_INCREF(state);
            return state;
        }
    return PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "strict");
}

PyObject *none()
{
    Py_INCREF(Py_None);
    return Py_None;
}

} // namespace

DictBuilder::DictBuilder() = default;
DictBuilder::~DictBuilder() { Py_XDECREF(record_); }

PyObject *DictBuilder::take()
{
    PyObject *record = failed_ ? nullptr : record_;
    if (failed_)
        Py_XDECREF(record_);
    record_ = group_ = list_ = nullptr;
    return record;
}

void DictBuilder::put(Field field, PyObject *value)
{
    if (value == nullptr || PyDict_SetItem(group_, key(field), value) != 0)
        failed_ = true;
    Py_XDECREF(value);
}

void DictBuilder::beginRecord(bool)
{
    Py_XDECREF(record_);
    record_ = group_ = PyDict_New();
    list_ = nullptr;
    failed_ = record_ == nullptr;
}

void DictBuilder::string(Field field, const char *text, size_t length)
{
    if (failed_)
        return;
    if (text == nullptr)
        put(field, none());
    else if (field == Field::Summary)
        put(field, summaryValue(text, length));
    else
        put(field, PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "strict"));
}

void DictBuilder::number(Field field, uint64_t value)
{
    if (!failed_)
        put(field, PyLong_FromUnsignedLongLong(value));
}

// [[name, value], ...]: lists, as a JSON parser gives them.
void DictBuilder::beginList(Field field)
{
    if (failed_)
        return;
    list_ = PyList_New(0);
    Py_XINCREF(list_);
    put(field, list_);
}

void DictBuilder::pair(const char *name, size_t nameLength, const char *value, size_t valueLength)
{
    if (failed_)
        return;
    PyObject *pair = PyList_New(2);
    PyObject *n = PyUnicode_DecodeUTF8(name, Py_ssize_t(nameLength), "strict");
    PyObject *v = PyUnicode_DecodeUTF8(value, Py_ssize_t(valueLength), "strict");
    if (pair == nullptr || n == nullptr || v == nullptr) {
        Py_XDECREF(pair), Py_XDECREF(n), Py_XDECREF(v);
        failed_ = true;
        return;
    }
    PyList_SET_ITEM(pair, 0, n);
    PyList_SET_ITEM(pair, 1, v);
    failed_ = PyList_Append(list_, pair) != 0;
    Py_DECREF(pair);
}

void DictBuilder::item(const char *text, size_t length)
{
    if (failed_)
        return;
    PyObject *value = PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "strict");
    failed_ = value == nullptr || PyList_Append(list_, value) != 0;
    Py_XDECREF(value);
}

void DictBuilder::endList(Field)
{
    Py_XDECREF(list_);
    list_ = nullptr;
}

void DictBuilder::beginGroup(Field field)
{
    if (failed_)
        return;
    PyObject *group = PyDict_New();
    Py_XINCREF(group);
    put(field, group);
    group_ = failed_ ? record_ : group;
    if (group != nullptr)
        Py_DECREF(group); // the record holds it now
}

void DictBuilder::endGroup(Field) { group_ = record_; }

void DictBuilder::endRecord() {}

} // namespace zudorpy
