#include "hostile_life.h"

#include <cstring>

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
        expect(std::memchr(text, 0, host.blockSize(text)) != nullptr,
               what + " has no zero inside its block");
    }

    void summary(const SummaryInfo &s, const std::string &when)
    {
        // Only four fields are ever filled; anything else written is a stray write.
        SummaryInfo rest = s;
        rest.title = nullptr;
        rest.author = nullptr;
        rest.properties = nullptr;
        std::memset(rest.createTime, 0, sizeof rest.createTime);
        const SummaryInfo zero{};
        expect(std::memcmp(&rest, &zero, sizeof rest) == 0, when + ": stray bytes in the summary");
        string(s.title, when + ": title");
        string(s.author, when + ": author");
        const PropertyList *list = s.properties;
        if (list == nullptr)
            return;
        if (!host.owns(list) || host.blockSize(list) < sizeof *list)
            return expect(false, when + ": the property list is not a live block");
        expect(list->alignment == 0, when + ": list padding not zero");
        if (list->count < 0)
            return expect(false, when + ": negative count " + std::to_string(list->count));
        if (list->count == 0)
            return;
        const size_t need = sizeof(PropertyEntry) * static_cast<size_t>(list->count);
        if (!host.owns(list->entries) || host.blockSize(list->entries) < need)
            return expect(false, when + ": entries do not hold count entries");
        for (int32_t i = 0; i < list->count; ++i) {
            const PropertyEntry &e = list->entries[i];
            const std::string which = when + ": entry " + std::to_string(i);
            expect(e.kind == 1 && e.flag == 1, which + " kind/flag not 1");
            string(e.value, which + " value");
            string(e.name, which + " name");
        }
    }

    // An XMP record handed over is all zeros or exactly one the service made.
    void xmp(const XmpInfo &x, const std::string &when)
    {
        const XmpInfo zero{};
        if (std::memcmp(&x, &zero, sizeof x) == 0)
            return;
        const uint64_t call = x.opaque[0];
        const bool known = call >= 1 && call <= host.xmpCalls.size();
        const XmpInfo made = known ? TestHost::recordFor(call - 1, host.xmpCalls[call - 1].packet) : zero;
        expect(known && std::memcmp(&x, &made, sizeof x) == 0, when + ": XMP record not the service's");
    }
};

std::string render(const SummaryInfo &s)
{
    std::string out = std::string(s.title ? s.title : "-") + "|" + (s.author ? s.author : "-");
    const PropertyList *list = s.properties;
    for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        const PropertyEntry &e = list->entries[i];
        out += std::string("|") + (e.name ? e.name : "-") + "=" + (e.value ? e.value : "-");
    }
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
    check.expect(record.leadByte == 0 && record.recordLength == sizeof record &&
                     record.textLength == TIF_HINT_LENGTH &&
                     std::memcmp(record.text, TIF_HINT_TEXT, TIF_HINT_LENGTH) == 0,
                 "text record: contents");
    check.expect(out[sizeof record] == kMarker, "text record: written past its end");
}

} // namespace

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
    MemoryStream stream(document), again(document);
    if (script.cutRead > 0)
        stream.cutRead(script.cutRead);

    uint32_t allocateStatus = 0;
    TifContext *ctx = reader.allocateContext(1, 2, &allocateStatus, host.services(), 3);
    check.expect(allocateStatus == TIF_STATUS_ALLOCATED, "allocateContext status");
    result.contextMade = ctx != nullptr;
    check.expect(result.contextMade || script.refuseRequest == 1, "no context without a refusal");
    if (ctx != nullptr) {
        if (script.textFirst)
            checkTextRecord(reader, ctx, check);
        result.initStatus = reader.initDoc(ctx, 0, 0, stream.stream());
        const bool shortHeader = document.size() < 8 || script.cutRead == 1;
        check.expect(result.initStatus == (shortHeader ? TIF_STATUS_FAILED : TIF_STATUS_OK),
                     "initDoc status " + std::to_string(result.initStatus));

        int step = 0;
        bool firstSummary = true;
        auto summary = [&] {
            const std::string when = "summary " + std::to_string(++step);
            SummaryInfo s = markedBuffer<SummaryInfo>();
            check.expect(reader.getSummaryInfo(ctx, &s, 0) == TIF_STATUS_OK, when + ": status");
            const bool written = !untouched(s);
            if (written)
                check.summary(s, when);
            if (firstSummary) {
                firstSummary = false;
                result.summaryWritten = written;
                if (written && result.violations.empty()) // a broken list is not walked
                    result.gathered = render(s);
            }
        };
        auto xmp = [&] {
            const std::string when = "xmp " + std::to_string(++step);
            XmpInfo x = markedBuffer<XmpInfo>();
            check.expect(reader.getXmpInfo(ctx, &x, 0) == TIF_STATUS_OK, when + ": status");
            if (!untouched(x))
                check.xmp(x, when);
        };
        // The release flag on the XMP retrieval does nothing at all; a null context only says 6.
        auto idleCalls = [&] {
            XmpInfo x = markedBuffer<XmpInfo>();
            SummaryInfo s = markedBuffer<SummaryInfo>();
            check.expect(reader.getXmpInfo(ctx, &x, 1) == TIF_STATUS_OK && untouched(x), "xmp with release flag");
            check.expect(reader.getXmpInfo(nullptr, &x, 0) == TIF_STATUS_FAILED &&
                             reader.getSummaryInfo(nullptr, &s, 0) == TIF_STATUS_FAILED && untouched(x) && untouched(s),
                         "retrievals without a context");
        };
        auto release = [&] {
            check.expect(reader.getSummaryInfo(ctx, nullptr, 1) == TIF_STATUS_OK, "release status");
        };

        for (int pass = 0; pass < (script.repeat ? 2 : 1); ++pass) {
            script.xmpFirst ? xmp() : summary();
            if (pass == 0 && script.releaseBetween)
                release();
            if (pass == 0)
                idleCalls();
            script.xmpFirst ? summary() : xmp();
        }
        if (script.reopen) {
            check.expect(reader.initDoc(ctx, 0, 0, again.stream()) == TIF_STATUS_OK ||
                             document.size() < 8,
                         "second initDoc status");
            summary();
            xmp();
        }
        if (!script.textFirst)
            checkTextRecord(reader, ctx, check);
        release();
        release();
        check.expect(reader.freeContext(ctx) == TIF_STATUS_OK, "freeContext status");
    }

    check.expect(host.liveBlocks() == 0, std::to_string(host.liveBlocks()) + " blocks left on the heap");
    for (const std::string &misuse : host.misuse())
        check.expect(false, misuse);
    result.reads = stream.reads() + again.reads();
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
