#include "writers.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "text_encoding.h"

namespace sievecheck {
namespace {

// JSON is written by hand: the records are flat, and building a document tree for each one
// cost more than reading the file did. Text comes here as valid UTF-8; the file name, which
// may hold any bytes, goes through the same Latin-1 fallback first.
struct EscapeTable {
    bool escape[256] = {};
    constexpr EscapeTable()
    {
        for (int c = 0; c < 0x20; ++c)
            escape[c] = true;
        escape[int('"')] = escape[int('\\')] = true;
    }
};
constexpr EscapeTable kEscape;

void jsonString(std::string &out, const std::string &text)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    const char *plain = text.data();
    const char *const end = plain + text.size();
    for (const char *p = plain; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!kEscape.escape[c])
            continue;
        out.append(plain, size_t(p - plain));
        plain = p + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    out.append(plain, size_t(end - plain));
    out += '"';
}

// Starts the next member of the object being written.
void jsonKey(std::string &out, const char *key)
{
    if (out.back() != '{')
        out += ',';
    out += '"';
    out += key;
    out += "\":";
}

void jsonOptional(std::string &out, const std::optional<std::string> &value)
{
    if (value)
        jsonString(out, *value);
    else
        out += "null";
}

void jsonPairs(std::string &out, const NamedValues &values)
{
    out += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        out += i == 0 ? "[" : ",[";
        jsonString(out, values[i].first);
        out += ',';
        jsonString(out, values[i].second);
        out += ']';
    }
    out += ']';
}

void jsonXmp(std::string &out, const std::optional<XmpResult> &xmp)
{
    if (!xmp) {
        out += "null";
        return;
    }
    out += '{';
    jsonKey(out, "packetBytes");
    out += std::to_string(xmp->packetBytes);
    if (xmp->raw) {
        jsonKey(out, "packet");
        jsonString(out, xmp->packet);
    } else {
        jsonKey(out, "properties");
        jsonPairs(out, xmp->properties);
    }
    out += '}';
}

void jsonError(std::string &out, const std::string &error)
{
    jsonKey(out, "error");
    if (error.empty())
        out += "null";
    else
        jsonString(out, error);
}

std::string jsonSummary(const DocumentResult &doc)
{
    std::string out = "{";
    jsonKey(out, "file");
    jsonString(out, toUtf8(doc.file.c_str()));
    jsonKey(out, "summary");
    jsonString(out, summaryName(doc.summary));
    jsonKey(out, "title");
    jsonOptional(out, doc.title);
    jsonKey(out, "author");
    jsonOptional(out, doc.author);
    jsonKey(out, "createTime");
    jsonOptional(out, doc.createTime == 0 ? std::nullopt
                                          : std::optional<std::string>(filetimeToIso(doc.createTime)));
    jsonKey(out, "properties");
    jsonPairs(out, doc.properties);
    jsonKey(out, "xmp");
    jsonXmp(out, doc.xmp);
    jsonError(out, doc.error);
    out += "}\n";
    return out;
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
        std::string out = "{";
        jsonKey(out, "file");
        jsonString(out, toUtf8(doc.file.c_str()));
        jsonKey(out, "text");
        if (doc.error.empty())
            jsonString(out, doc.text);
        else
            out += "null";
        jsonError(out, doc.error);
        out += "}\n";
        return out;
    }
    return doc.error.empty() ? doc.text + "\n" : "";
}

} // namespace sievecheck
