#include "record_codec.h"

#include <cstring>
#include <string>

#include "zudor_host/text_encoding.h"

namespace zudorpy {
namespace {

using zudorhost::DocumentView;
using zudorhost::OutputBuffer;

// A string is its length (4 bytes, native order) and its UTF-8 bytes; two lengths no string
// can have stand for None and for the end of a list.
constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint32_t kEndOfList = 0xFFFFFFFE;

enum XmpKind : uint8_t { kNoXmp, kParsedXmp, kRawXmp };

class RecordEncoder : public zudorhost::RecordFormatter {
public:
    void format(const DocumentView &doc, OutputBuffer &records, OutputBuffer &) override
    {
        out_ = &records;
        string(doc.input->path.data(), doc.input->path.size());
        byte(uint8_t(doc.summary));
        optional(doc.title);
        optional(doc.author);
        if (doc.createTime == 0) {
            length(kNone);
        } else {
            char text[40];
            const size_t n = zudorhost::isoTime(doc.createTime, text);
            length(uint32_t(n));
            out_->append(text, n);
        }
        for (size_t i = 0; i < doc.propertyCount; ++i)
            pair(doc.properties[i].name, doc.properties[i].value);
        length(kEndOfList);
        xmp(doc.xmp);
        optional(doc.error);
    }

private:
    void byte(uint8_t b) { out_->push(char(b)); }
    void length(uint32_t n) { out_->append(reinterpret_cast<const char *>(&n), sizeof n); }

    void string(const char *text, size_t n)
    {
        const char *utf8 = zudorhost::asUtf8(text, n, scratch_);
        length(uint32_t(n));
        out_->append(utf8, n);
    }
    void string(const char *text) { string(text, std::strlen(text)); }
    void optional(const char *text) { text != nullptr ? string(text) : length(kNone); }

    void pair(const char *name, const char *value)
    {
        string(name != nullptr ? name : "");
        string(value != nullptr ? value : "");
    }

    void xmp(const zudorhost::HostXmpRecord *record)
    {
        if (record == nullptr) {
            byte(kNoXmp);
            return;
        }
        byte(record->packet != nullptr ? kRawXmp : kParsedXmp);
        out_->append(reinterpret_cast<const char *>(&record->packetBytes), sizeof record->packetBytes);
        if (record->packet != nullptr) {
            string(record->packet);
            return;
        }
        zudorhost::forEachXmpProperty(record->document, [](void *self, const char *path, const char *value) {
            static_cast<RecordEncoder *>(self)->pair(path, value);
        }, this);
        length(kEndOfList);
    }

    OutputBuffer *out_ = nullptr;
    std::string scratch_;
};

// Keys and the summary names, made once: every dict shares them.
struct Names {
    PyObject *file, *summary, *title, *author, *createTime, *properties, *xmp, *error;
    PyObject *packetBytes, *packet;
    PyObject *states[3];
};

Names *names()
{
    static Names *made = [] {
        auto *n = new Names;
        n->file = PyUnicode_InternFromString("file");
        n->summary = PyUnicode_InternFromString("summary");
        n->title = PyUnicode_InternFromString("title");
        n->author = PyUnicode_InternFromString("author");
        n->createTime = PyUnicode_InternFromString("createTime");
        n->properties = PyUnicode_InternFromString("properties");
        n->xmp = PyUnicode_InternFromString("xmp");
        n->error = PyUnicode_InternFromString("error");
        n->packetBytes = PyUnicode_InternFromString("packetBytes");
        n->packet = PyUnicode_InternFromString("packet");
        for (auto state : {zudorhost::SummaryState::Complete, zudorhost::SummaryState::Partial,
                           zudorhost::SummaryState::None})
            n->states[int(state)] = PyUnicode_InternFromString(zudorhost::summaryName(state));
        return n;
    }();
    return made;
}

// Reads what RecordEncoder wrote. The bytes come from our own workers, so they are trusted
// to be well formed; only Python's allocations can fail.
class Decoder {
public:
    Decoder(const char *data, size_t size) : at_(data), end_(data + size) {}
    bool more() const { return at_ < end_; }

    PyObject *record()
    {
        const Names &n = *names();
        PyObject *dict = PyDict_New();
        if (dict == nullptr)
            return nullptr;
        bool ok = put(dict, n.file, string());
        const uint8_t state = byte();
        ok = ok && put(dict, n.summary, borrowed(n.states[state < 3 ? state : 2]));
        ok = ok && put(dict, n.title, string());
        ok = ok && put(dict, n.author, string());
        ok = ok && put(dict, n.createTime, string());
        ok = ok && put(dict, n.properties, pairs());
        ok = ok && put(dict, n.xmp, xmp());
        ok = ok && put(dict, n.error, string());
        if (!ok) {
            Py_DECREF(dict);
            return nullptr;
        }
        return dict;
    }

private:
    static PyObject *borrowed(PyObject *o)
    {
        Py_INCREF(o);
        return o;
    }

    // Takes the value's reference; a null value means an error is set.
    static bool put(PyObject *dict, PyObject *key, PyObject *value)
    {
        if (value == nullptr)
            return false;
        const int status = PyDict_SetItem(dict, key, value);
        Py_DECREF(value);
        return status == 0;
    }

    uint8_t byte() { return uint8_t(*at_++); }
    uint32_t length()
    {
        uint32_t n;
        std::memcpy(&n, at_, sizeof n);
        at_ += sizeof n;
        return n;
    }

    PyObject *text(uint32_t n)
    {
        PyObject *s = PyUnicode_DecodeUTF8(at_, Py_ssize_t(n), "strict");
        at_ += n;
        return s;
    }

    PyObject *string()
    {
        const uint32_t n = length();
        return n == kNone ? borrowed(Py_None) : text(n);
    }

    // [[name, value], ...] up to the end marker; lists, as a JSON parser gives them.
    PyObject *pairs()
    {
        PyObject *list = PyList_New(0);
        for (uint32_t n; list != nullptr && (n = length()) != kEndOfList;) {
            PyObject *pair = PyList_New(2);
            PyObject *name = text(n);
            PyObject *value = name != nullptr ? text(length()) : nullptr;
            if (pair == nullptr || name == nullptr || value == nullptr) {
                Py_XDECREF(pair), Py_XDECREF(name), Py_XDECREF(value), Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(pair, 0, name);
            PyList_SET_ITEM(pair, 1, value);
            const int status = PyList_Append(list, pair);
            Py_DECREF(pair);
            if (status != 0)
                Py_CLEAR(list);
        }
        return list;
    }

    PyObject *xmp()
    {
        const uint8_t kind = byte();
        if (kind == kNoXmp)
            return borrowed(Py_None);
        uint64_t bytes;
        std::memcpy(&bytes, at_, sizeof bytes);
        at_ += sizeof bytes;
        const Names &n = *names();
        PyObject *dict = PyDict_New();
        if (dict == nullptr || !put(dict, n.packetBytes, PyLong_FromUnsignedLongLong(bytes)) ||
            !put(dict, kind == kRawXmp ? n.packet : n.properties, kind == kRawXmp ? string() : pairs())) {
            Py_XDECREF(dict);
            return nullptr;
        }
        return dict;
    }

    const char *at_;
    const char *end_;
};

} // namespace

std::unique_ptr<zudorhost::RecordFormatter> makeRecordEncoder()
{
    return std::make_unique<RecordEncoder>();
}

bool decodeRecords(const char *data, size_t size, PyObject *list)
{
    Decoder decoder(data, size);
    while (decoder.more()) {
        PyObject *record = decoder.record();
        if (record == nullptr)
            return false;
        const int status = PyList_Append(list, record);
        Py_DECREF(record);
        if (status != 0)
            return false;
    }
    return true;
}

} // namespace zudorpy
