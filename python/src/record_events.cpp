#include "record_events.h"

#include <cstring>
#include <string>

namespace zudorpy {
namespace {

using zudorhost::Field;
using zudorhost::OutputBuffer;

enum Event : char { kBegin, kString, kNull, kNumber, kList, kPair, kListEnd, kGroup, kGroupEnd, kEnd };

class EventRecorder : public zudorhost::RecordFormatter, private zudorhost::RecordVisitor {
public:
    void format(const zudorhost::DocumentView &doc, OutputBuffer &records, OutputBuffer &) override
    {
        out_ = &records;
        walker_.summary(doc, *this);
    }

private:
    void event(Event e, Field field) { out_->push(e), out_->push(char(field)); }
    void bytes(const char *text, size_t length)
    {
        const auto n = uint32_t(length);
        out_->append(reinterpret_cast<const char *>(&n), sizeof n);
        out_->append(text, length);
    }

    void beginRecord(bool failed) override { event(kBegin, Field(failed)); }
    void string(Field field, const char *text, size_t length) override
    {
        event(text != nullptr ? kString : kNull, field);
        if (text != nullptr)
            bytes(text, length);
    }
    void number(Field field, uint64_t value) override
    {
        event(kNumber, field);
        out_->append(reinterpret_cast<const char *>(&value), sizeof value);
    }
    void beginList(Field field) override { event(kList, field); }
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) override
    {
        event(kPair, Field::File);
        bytes(name, nameLength);
        bytes(value, valueLength);
    }
    void endList(Field field) override { event(kListEnd, field); }
    void beginGroup(Field field) override { event(kGroup, field); }
    void endGroup(Field field) override { event(kGroupEnd, field); }
    void endRecord() override { event(kEnd, Field::File); }

    zudorhost::RecordWalker walker_;
    OutputBuffer *out_ = nullptr;
};

// Reads what EventRecorder wrote. The bytes come from our own workers, so they are trusted to
// be well formed.
class Player {
public:
    Player(const char *data, size_t size) : at_(data), end_(data + size) {}

    void play(zudorhost::RecordVisitor &v)
    {
        while (at_ < end_) {
            const auto event = Event(*at_++);
            const auto field = Field(*at_++);
            switch (event) {
            case kBegin: v.beginRecord(field != Field(0)); break;
            case kString: {
                const uint32_t n = length();
                v.string(field, take(n), n);
                break;
            }
            case kNull: v.string(field, nullptr, 0); break;
            case kNumber: {
                uint64_t value;
                std::memcpy(&value, take(sizeof value), sizeof value);
                v.number(field, value);
                break;
            }
            case kList: v.beginList(field); break;
            case kPair: {
                const uint32_t nameLength = length();
                const char *name = take(nameLength);
                const uint32_t valueLength = length();
                v.pair(name, nameLength, take(valueLength), valueLength);
                break;
            }
            case kListEnd: v.endList(field); break;
            case kGroup: v.beginGroup(field); break;
            case kGroupEnd: v.endGroup(field); break;
            case kEnd: v.endRecord(); break;
            }
        }
    }

private:
    const char *take(size_t n)
    {
        const char *at = at_;
        at_ += n;
        return at;
    }
    uint32_t length()
    {
        uint32_t n;
        std::memcpy(&n, take(sizeof n), sizeof n);
        return n;
    }

    const char *at_;
    const char *end_;
};

} // namespace

std::unique_ptr<zudorhost::RecordFormatter> makeEventRecorder() { return std::make_unique<EventRecorder>(); }

void replayEvents(const char *data, size_t size, zudorhost::RecordVisitor &visitor)
{
    Player(data, size).play(visitor);
}

} // namespace zudorpy
