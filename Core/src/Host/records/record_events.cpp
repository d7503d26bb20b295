#include "zudor_host/record_events.h"

#include <cstdint>
#include <cstring>

namespace zudorhost {
namespace {

enum Event : char { kBegin, kString, kNull, kNumber, kList, kPair, kItem, kListEnd, kGroup, kGroupEnd, kEnd };

class Player {
public:
    Player(const char *data, size_t size) : start_(data), at_(data), end_(data + size) {}

    size_t playOne(RecordVisitor &v)
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
            case kItem: {
                const uint32_t n = length();
                v.item(take(n), n);
                break;
            }
            case kListEnd: v.endList(field); break;
            case kGroup: v.beginGroup(field); break;
            case kGroupEnd: v.endGroup(field); break;
            case kEnd: v.endRecord(); return size_t(at_ - start_);
            }
        }
        return size_t(at_ - start_);
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

    const char *start_;
    const char *at_;
    const char *end_;
};

} // namespace

void EventRecorder::record(const DocumentView &doc, OutputBuffer &out)
{
    out_ = &out;
    walker_.summary(doc, *this);
}

void EventRecorder::event(char e, Field field) { out_->push(e), out_->push(char(field)); }

void EventRecorder::bytes(const char *text, size_t length)
{
    const auto n = uint32_t(length);
    out_->append(reinterpret_cast<const char *>(&n), sizeof n);
    out_->append(text, length);
}

void EventRecorder::beginRecord(bool failed) { event(kBegin, Field(failed)); }

void EventRecorder::string(Field field, const char *text, size_t length)
{
    event(text != nullptr ? kString : kNull, field);
    if (text != nullptr)
        bytes(text, length);
}

void EventRecorder::number(Field field, uint64_t value)
{
    event(kNumber, field);
    out_->append(reinterpret_cast<const char *>(&value), sizeof value);
}

void EventRecorder::beginList(Field field) { event(kList, field); }

void EventRecorder::pair(const char *name, size_t nameLength, const char *value, size_t valueLength)
{
    event(kPair, Field::File);
    bytes(name, nameLength);
    bytes(value, valueLength);
}

void EventRecorder::item(const char *text, size_t length)
{
    event(kItem, Field::File);
    bytes(text, length);
}

void EventRecorder::endList(Field field) { event(kListEnd, field); }
void EventRecorder::beginGroup(Field field) { event(kGroup, field); }
void EventRecorder::endGroup(Field field) { event(kGroupEnd, field); }
void EventRecorder::endRecord() { event(kEnd, Field::File); }

size_t replayRecord(const char *data, size_t size, RecordVisitor &visitor)
{
    return Player(data, size).playOne(visitor);
}

void replayEvents(const char *data, size_t size, RecordVisitor &visitor)
{
    for (size_t at = 0; at < size;)
        at += replayRecord(data + at, size - at, visitor);
}

} // namespace zudorhost
