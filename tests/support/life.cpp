#include "life.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

#include "reader_fixture.h"

namespace testhost {

namespace {

struct Checker {
    const TestHost &host;
    std::vector<std::string> &violations;

    void expect(bool ok, const std::string &what)
    {
        if (!ok)
            violations.push_back(what);
    }

    // A string the summary points to is null, or a live block with a zero inside it.
    void string(const void *text, const std::string &what)
    {
        if (text == nullptr)
            return;
        if (!host.owns(text))
            return expect(false, what + " is not a live block");
        expect(std::memchr(text, 0, host.blockSize(text)) != nullptr, what + " has no zero inside its block");
    }

    // false when the list cannot be walked.
    bool summary(const SummaryInfo &s, const std::string &when)
    {
        // Only four fields are ever filled; anything else written is a stray write.
        SummaryInfo rest = s;
        rest.title = rest.author = nullptr;
        rest.properties = nullptr;
        std::memset(rest.createTime, 0, sizeof rest.createTime);
        const SummaryInfo zero{};
        expect(std::memcmp(&rest, &zero, sizeof rest) == 0, when + ": stray bytes in the summary");
        string(s.title, when + ": title");
        string(s.author, when + ": author");
        const PropertyList *list = s.properties;
        if (list == nullptr)
            return true;
        if (!host.owns(list) || host.blockSize(list) < sizeof *list)
            return expect(false, when + ": the property list is not a live block"), false;
        expect(list->alignment == 0, when + ": list padding not zero");
        if (list->count < 0)
            return expect(false, when + ": negative count"), false;
        const size_t need = sizeof(PropertyEntry) * static_cast<size_t>(list->count);
        if (list->count > 0 && (!host.owns(list->entries) || host.blockSize(list->entries) != need))
            return expect(false, when + ": entries are not a block of count entries"), false;
        for (int32_t i = 0; i < list->count; ++i) {
            const PropertyEntry &e = list->entries[i];
            const std::string which = when + ": entry " + std::to_string(i);
            expect(e.kind == 1 && e.flag == 1, which + " kind/flag not 1");
            string(e.value, which + " value");
            string(e.name, which + " name");
        }
        return true;
    }

    // An XMP record handed over is all zeros or exactly one the service made.
    std::string xmp(const XmpInfo &x, const std::string &when)
    {
        const XmpInfo zero{};
        if (std::memcmp(&x, &zero, sizeof x) == 0)
            return "0";
        const uint64_t call = x.opaque[0];
        const bool known = call >= 1 && call <= host.xmpCalls.size();
        const XmpInfo made = known ? TestHost::recordFor(call - 1, host.xmpCalls[call - 1].packet) : zero;
        expect(known && std::memcmp(&x, &made, sizeof x) == 0, when + ": XMP record not the service's");
        return "#" + std::to_string(call);
    }
};

std::string text(const char *s) { return s != nullptr ? escaped(s) : "-"; }

std::string render(const SummaryInfo &s)
{
    const uint8_t zero[8] = {};
    std::string out = text(s.title) + "|" + text(s.author) + "|" +
                      (std::memcmp(s.createTime, zero, 8) == 0 ? "-" : std::to_string(secondsFromFileTime(s.createTime))) +
                      "|";
    const PropertyList *list = s.properties;
    for (int32_t i = 0; list != nullptr && i < list->count; ++i)
        out += std::string(i ? "," : "") + text(list->entries[i].name) + "=" + text(list->entries[i].value);
    return out;
}

void checkTextRecord(const ReaderInterface &reader, TifContext *ctx, Checker &check)
{
    uint8_t out[sizeof(TextOutputRecord) + 8];
    std::memset(out, kMarker, sizeof out);
    uint32_t status = 0;
    const uint32_t result = reader.fillBuffer(ctx, out, 0, &status, 0);
    TextOutputRecord record;
    std::memcpy(&record, out, sizeof record);
    check.expect(result == 0 && status == TIF_STATUS_TEXT_DONE, "text record: statuses");
    check.expect(record.leadByte == 0 && record.recordLength == sizeof record && record.textLength == TIF_HINT_LENGTH &&
                     std::memcmp(record.text, TIF_HINT_TEXT, TIF_HINT_LENGTH) == 0,
                 "text record: contents");
    check.expect(out[sizeof record] == kMarker, "text record: written past its end");
}

} // namespace

std::string escaped(const std::string &bytes)
{
    std::string out;
    char cell[8];
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            std::snprintf(cell, sizeof cell, "\\x%02x", u);
            out += cell;
        } else {
            out += c;
        }
    }
    return out;
}

LifeResult liveHostileLife(const ReaderInterface &reader, const std::vector<uint8_t> &document,
                           const LifeScript &script)
{
    LifeResult result;
    TestHost host;
    Checker check{host, result.violations};
    // No honest request outgrows a small multiple of the document.
    host.limitRequests(static_cast<int64_t>(4 * document.size() + 65536));
    if (script.refuseRequest > 0)
        script.refuseOnward ? host.refuseFrom(script.refuseRequest) : host.refuseRequest(script.refuseRequest);
    host.xmpRecordsToGive = script.xmpRecords;
    MemoryStream stream(document);
    std::deque<MemoryStream> again; // a fresh stream for every initDoc after the first
    for (long i = std::count(script.steps.begin(), script.steps.end(), 'I'); i > 1; --i)
        again.emplace_back(document);
    if (script.cutRead > 0)
        stream.cutRead(script.cutRead);

    uint32_t allocateStatus = 0;
    TifContext *ctx = reader.allocateContext(1, 2, &allocateStatus, host.services(), 3);
    check.expect(allocateStatus == TIF_STATUS_ALLOCATED, "allocateContext status");
    result.contextMade = ctx != nullptr;
    check.expect(result.contextMade || script.refuseRequest == 1, "no context without a refusal");
    if (ctx != nullptr) {
        auto say = [&](const std::string &word) { result.transcript += (result.transcript.empty() ? "" : " / ") + word; };
        size_t inits = 0;
        for (size_t step = 0; step < script.steps.size(); ++step) {
            const std::string when = std::string(1, script.steps[step]) + " (step " + std::to_string(step + 1) + ")";
            switch (script.steps[step]) {
            case 'I': {
                const bool first = inits == 0;
                const uint32_t status = reader.initDoc(ctx, 0, 0, (first ? stream : again[inits - 1]).stream());
                ++inits;
                const bool shortHeader = document.size() < 8 || (first && script.cutRead == 1);
                check.expect(status == (shortHeader ? TIF_STATUS_FAILED : TIF_STATUS_OK), when + ": status");
                say("i" + std::to_string(status));
                break;
            }
            case 'S': {
                SummaryInfo s = markedBuffer<SummaryInfo>();
                check.expect(reader.getSummaryInfo(ctx, &s, 0) == TIF_STATUS_OK, when + ": status");
                say(untouched(s) ? "~" : check.summary(s, when) ? render(s) : "broken");
                break;
            }
            case 'X': {
                XmpInfo x = markedBuffer<XmpInfo>();
                check.expect(reader.getXmpInfo(ctx, &x, 0) == TIF_STATUS_OK, when + ": status");
                say(untouched(x) ? "~" : check.xmp(x, when));
                break;
            }
            case 'R':
                check.expect(reader.getSummaryInfo(ctx, nullptr, 1) == TIF_STATUS_OK, when + ": status");
                break;
            case 'T':
                checkTextRecord(reader, ctx, check);
                break;
            }
        }

        // The release flag on the XMP retrieval does nothing at all; a null context only says 6.
        XmpInfo x = markedBuffer<XmpInfo>();
        SummaryInfo s = markedBuffer<SummaryInfo>();
        check.expect(reader.getXmpInfo(ctx, &x, 1) == TIF_STATUS_OK && untouched(x), "XMP with release flag");
        check.expect(reader.getXmpInfo(nullptr, &x, 0) == TIF_STATUS_FAILED && reader.getXmpInfo(nullptr, &x, 1) == 6 &&
                         reader.getSummaryInfo(nullptr, &s, 0) == TIF_STATUS_FAILED &&
                         reader.getSummaryInfo(nullptr, &s, 1) == 6 && untouched(x) && untouched(s),
                     "retrievals without a context");
        check.expect(reader.getSummaryInfo(ctx, nullptr, 1) == TIF_STATUS_OK, "release status");
        check.expect(reader.getSummaryInfo(ctx, nullptr, 1) == TIF_STATUS_OK, "second release status");
        check.expect(reader.freeContext(ctx) == TIF_STATUS_OK, "freeContext status");
    }

    check.expect(host.liveBlocks() == 0, std::to_string(host.liveBlocks()) + " blocks left on the heap");
    for (const std::string &misuse : host.misuse())
        check.expect(false, misuse);
    result.streamLog = stream.log();
    result.heapLog = host.requestLog();
    for (const TestHost::XmpCall &call : host.xmpCalls) {
        check.expect(call.mode == 1, "XMP service called with mode " + std::to_string(call.mode));
        result.packets += (result.packets.empty() ? "" : " / ") + escaped(call.packet);
    }
    result.reads = stream.reads();
    for (const MemoryStream &m : again)
        result.reads += m.reads();
    result.requests = host.requests();
    result.peakBytes = host.peakBytes();
    return result;
}

std::string describe(const LifeResult &result)
{
    std::string out;
    for (const std::string &v : result.violations)
        out += v + "\n";
    return out;
}

} // namespace testhost
