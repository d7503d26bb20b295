#include "dict_builder.h"

#include <cstdint>
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

// The strings records repeat: the names of properties and XMP paths ("xmpMM:History[2]/
// stEvt:when"), and short values ("saved", "0"). A str made once is handed out again rather
// than made afresh for every pair; str is immutable, so a record cannot tell. A fixed number of
// slots, each holding the last string that hashed to it, used with the GIL held.
class StringCache {
public:
    // A new reference to the str of the bytes, or null with a Python error set.
    PyObject *get(const char *text, size_t length)
    {
        if (length > kLongest)
            return PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "strict");
        uint64_t hash = 0x9E3779B97F4A7C15ull ^ length;
        size_t at = 0;
        for (; at + 8 <= length; at += 8) {
            uint64_t word;
            std::memcpy(&word, text + at, 8);
            hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
            hash ^= hash >> 32;
        }
        uint64_t tail = 0;
        std::memcpy(&tail, text + at, length - at);
        hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ull;
        Slot &slot = slots_[(hash ^ (hash >> 29)) % kSlots];
        if (slot.str != nullptr && slot.length == length && std::memcmp(slot.bytes, text, length) == 0) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        PyObject *str = PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "strict");
        if (str == nullptr)
            return nullptr;
        Py_XDECREF(slot.str);
        Py_INCREF(str);
        slot.str = str;
        slot.length = uint8_t(length);
        std::memcpy(slot.bytes, text, length);
        return str;
    }

    static constexpr size_t kLongest = 48;

private:
    static constexpr size_t kSlots = 4096;
    struct Slot {
        PyObject *str = nullptr;
        uint8_t length = 0;
        char bytes[kLongest];
    };
    Slot slots_[kSlots];
};

// Shared by every builder, as the same names come back in every batch of a scan; the GIL
// guards it. Never freed: a bounded few hundred kilobytes, to the end of the process.
StringCache &stringCache()
{
    static StringCache *cache = new StringCache;
    return *cache;
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
    PyObject *n = stringCache().get(name, nameLength);
    PyObject *v = valueLength <= 16 ? stringCache().get(value, valueLength)
                                    : PyUnicode_DecodeUTF8(value, Py_ssize_t(valueLength), "strict");
    if (pair == nullptr || n == nullptr || v == nullptr) {
        Py_XDECREF(pair), Py_XDECREF(n), Py_XDECREF(v);
        failed_ = true;
        return;
    }
    PyList_SET_ITEM(pair, 0, n);
    PyList_SET_ITEM(pair, 1, v);
    // Two strings make no cycle: the collector need not track the pair, as it does not track a
    // tuple of strings. Tracked, a scan's hundreds of thousands of pairs outlive the young
    // collections and make the full ones walk them again and again (a sixth of a scan of
    // photo packets). A caller who makes a pair hold itself leaks that pair; nothing worse.
    PyObject_GC_UnTrack(pair);
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
