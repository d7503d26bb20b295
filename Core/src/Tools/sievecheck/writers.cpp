#include "writers.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "text_encoding.h"

namespace sievecheck {
namespace {

using Json = nlohmann::ordered_json;

// Text reaches here as valid UTF-8; the file name, which may hold any bytes, goes through the
// same Latin-1 fallback first.
Json optionalString(const std::optional<std::string> &value)
{
    return value ? Json(*value) : Json(nullptr);
}

Json pairs(const NamedValues &values)
{
    Json array = Json::array();
    for (const auto &[name, value] : values)
        array.push_back(Json::array({name, value}));
    return array;
}

Json xmpJson(const std::optional<XmpResult> &xmp)
{
    if (!xmp)
        return nullptr;
    Json object = {{"packetBytes", xmp->packetBytes}};
    if (xmp->raw)
        object["packet"] = xmp->packet;
    else
        object["properties"] = pairs(xmp->properties);
    return object;
}

Json errorJson(const std::string &error) { return error.empty() ? Json(nullptr) : Json(error); }

std::string jsonSummary(const DocumentResult &doc)
{
    Json record;
    record["file"] = toUtf8(doc.file.c_str());
    record["summary"] = summaryName(doc.summary);
    record["title"] = optionalString(doc.title);
    record["author"] = optionalString(doc.author);
    record["createTime"] = doc.createTime == 0 ? Json(nullptr) : Json(filetimeToIso(doc.createTime));
    record["properties"] = pairs(doc.properties);
    record["xmp"] = xmpJson(doc.xmp);
    record["error"] = errorJson(doc.error);
    return record.dump() + "\n";
}

void line(std::string &out, const char *label, const std::string &value)
{
    char head[32];
    std::snprintf(head, sizeof head, "  %-14s ", label);
    out += head;
    out += value;
    out += '\n';
}

std::string textSummary(const DocumentResult &doc)
{
    std::string out = doc.file + "\n";
    if (!doc.error.empty()) {
        line(out, "error", doc.error);
        return out;
    }
    line(out, "summary", summaryName(doc.summary));
    if (doc.title)
        line(out, "title", *doc.title);
    if (doc.author)
        line(out, "author", *doc.author);
    if (doc.createTime != 0)
        line(out, "created", filetimeToIso(doc.createTime));
    for (const auto &[name, value] : doc.properties)
        line(out, name.c_str(), value);
    if (doc.xmp) {
        line(out, "xmp", std::to_string(doc.xmp->packetBytes) + " bytes");
        if (doc.xmp->raw)
            out += doc.xmp->packet + "\n";
        for (const auto &[path, value] : doc.xmp->properties)
            out += "    " + path + " = " + value + "\n";
    }
    return out;
}

} // namespace

const char *summaryName(SummaryState state)
{
    switch (state) {
    case SummaryState::Complete: return "complete";
    case SummaryState::Partial: return "partial";
    case SummaryState::None: break;
    }
    return "none";
}

std::string filetimeToIso(uint64_t ticks)
{
    const int64_t seconds = int64_t(ticks / 10000000) - 11644473600;
    const time_t when = time_t(seconds);
    struct tm utc;
    char text[40];
    if (gmtime_r(&when, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        std::snprintf(text, sizeof text, "@%" PRId64, seconds);
    return text;
}

std::string formatSummary(const DocumentResult &doc, Format format)
{
    return format == Format::Json ? jsonSummary(doc) : textSummary(doc);
}

std::string formatTextOutput(const DocumentResult &doc, Format format)
{
    if (format == Format::Json) {
        Json record;
        record["file"] = toUtf8(doc.file.c_str());
        record["text"] = doc.error.empty() ? Json(doc.text) : Json(nullptr);
        record["error"] = errorJson(doc.error);
        return record.dump() + "\n";
    }
    return doc.error.empty() ? doc.text + "\n" : "";
}

} // namespace sievecheck
