#include "catalogue/stored_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "catalogue/catalogue_db.h"

#include "zudor_host/text_encoding.h"

namespace zudorhost {
namespace {

std::string_view viewOf(const char *text, size_t length) { return {text, text != nullptr ? length : 0}; }

void assign(std::string &to, std::string_view value)
{
    to.clear();
    if (value.data() != nullptr)
        to.append(value.data(), value.size());
}

// What of a packet's XML is worth searching: the text of its elements and the values of its
// attributes, one a line; names, namespace declarations and processing instructions are left
// out. Markup is most of a packet, and the index would otherwise hold every packet's
// namespace URIs and spend most of its time on them.
void appendPacketText(std::string &to, std::string_view packet)
{
    const char *p = packet.data(), *end = p + packet.size();
    while (p < end) {
        const char *tag = static_cast<const char *>(std::memchr(p, '<', size_t(end - p)));
        const char *text = p;
        p = tag != nullptr ? tag : end;
        if (std::find_if(text, p, [](char c) { return c != ' ' && c != '\n' && c != '\r' && c != '\t'; }) != p) {
            to.append(text, size_t(p - text));
            to.push_back('\n');
        }
        if (p == end)
            break;
        const bool declaration = p + 1 < end && (p[1] == '?' || p[1] == '!');
        // Inside a tag: each quoted value, unless it declares a namespace.
        const char *name = ++p;
        while (p < end && *p != '>') {
            if (*p == '=' || *p == ' ' || *p == '\n' || *p == '\t' || *p == '\r') {
                ++p;
                continue;
            }
            if (*p != '"' && *p != '\'') {
                name = p;
                while (p < end && *p != '=' && *p != '>' && *p != ' ' && *p != '\n' && *p != '\t' && *p != '\r')
                    ++p;
                continue;
            }
            const char quote = *p++;
            const char *value = p;
            while (p < end && *p != quote)
                ++p;
            if (!declaration && std::string_view(name, size_t(end - name)).compare(0, 5, "xmlns") != 0 && p > value) {
                to.append(value, size_t(p - value));
                to.push_back('\n');
            }
            p += p < end;
        }
        p += p < end;
    }
}

void appendLines(std::string &to, std::string_view value)
{
    if (!to.empty())
        to.push_back('\n');
    to.append(value.data(), value.size());
}

} // namespace

void RecordFields::clear()
{
    summary = title = author = createTime = error = packet = std::string_view();
    hasXmp = false;
    packetBytes = 0;
    properties.clear();
    xmpProperties.clear();
    warnings.clear();
}

void FieldCollector::string(Field field, const char *text, size_t length)
{
    const std::string_view value = viewOf(text, length);
    switch (field) {
    case Field::Summary: fields.summary = value; break;
    case Field::Title: fields.title = value; break;
    case Field::Author: fields.author = value; break;
    case Field::CreateTime: fields.createTime = value; break;
    case Field::Packet: fields.packet = value; break;
    case Field::Error: fields.error = value; break;
    default: break; // the file is the catalogue's source; a null xmp is no group
    }
}

void FieldCollector::number(Field field, uint64_t value)
{
    if (field == Field::PacketBytes)
        fields.packetBytes = value;
}

void FieldCollector::pair(const char *name, size_t nameLength, const char *value, size_t valueLength)
{
    auto &list = list_ == Field::XmpProperties ? fields.xmpProperties : fields.properties;
    list.emplace_back(std::string_view(name, nameLength), std::string_view(value, valueLength));
}

void warningsJson(const std::vector<std::string_view> &warnings, std::string &out)
{
    out.assign("[");
    for (std::string_view warning : warnings) {
        if (out.size() > 1)
            out.push_back(',');
        out.push_back('"');
        for (char c : warning) {
            if (c == '"' || c == '\\') {
                out.push_back('\\');
                out.push_back(c);
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                out.append(escaped);
            } else {
                out.push_back(c);
            }
        }
        out.push_back('"');
    }
    out.push_back(']');
}

void searchColumns(const RecordFields &fields, std::string (&columns)[4])
{
    assign(columns[0], fields.title);
    assign(columns[1], fields.author);
    columns[2].clear();
    for (const auto &property : fields.properties)
        appendLines(columns[2], property.second);
    columns[3].clear();
    if (fields.packet.data() != nullptr)
        appendPacketText(columns[3], fields.packet);
    for (const auto &property : fields.xmpProperties)
        appendLines(columns[3], property.second);
}

bool RecordLoader::prepare(sqlite3 *db, int schema, std::string &error)
{
    db_ = db;
    const std::string document = std::string("SELECT summary, title, author, createTime, error, packet, packetBytes, ") +
                                 warningsColumn(schema) + " FROM documents WHERE id = ?1";
    return document_.prepare(db, document.c_str(), error) &&
           properties_.prepare(db, "SELECT name, value FROM properties WHERE document = ?1 ORDER BY seq", error) &&
           xmp_.prepare(db, "SELECT path, value FROM xmp_properties WHERE document = ?1 ORDER BY seq", error) &&
           warnings_.prepare(db, "SELECT value FROM json_each(?1)", error);
}

bool RecordLoader::fail(int code, std::string &error)
{
    error = code == SQLITE_DONE ? "a catalogued document is missing" : describeFailure(db_, code);
    return false;
}

bool RecordLoader::load(int64_t id, RecordFields &fields, std::string &error)
{
    // Every text is copied first and viewed after, as the strings move while the list grows.
    size_t used = 0;
    std::vector<bool> nulls;
    const auto keep = [&](const Statement &row, int column) {
        if (texts_.size() == used)
            texts_.emplace_back();
        size_t n;
        const char *text = row.text(column, n);
        nulls.push_back(row.isNull(column));
        texts_[used++].assign(text != nullptr ? text : "", text != nullptr ? n : 0);
    };
    int code = document_.bind(1, id).step();
    if (code != SQLITE_ROW)
        return fail(code, error);
    for (int column = 0; column < 6; ++column)
        keep(document_, column);
    fields.clear();
    fields.hasXmp = !document_.isNull(6);
    fields.packetBytes = uint64_t(document_.integer(6));
    // Most records have no warnings, and cost no statement for them.
    size_t warningCount = 0;
    if (!document_.isNull(7)) {
        size_t n;
        const char *json = document_.text(7, n);
        warnings_.bind(1, json, n);
        while ((code = warnings_.step()) == SQLITE_ROW) {
            if (warningTexts_.size() == warningCount)
                warningTexts_.emplace_back();
            warningTexts_[warningCount++] = warnings_.string(0);
        }
        if (code != SQLITE_DONE) {
            document_.reset();
            return fail(code, error);
        }
    }
    document_.reset();
    size_t propertyCount = 0, xmpCount = 0;
    for (auto *list : {&properties_, &xmp_}) {
        while ((code = list->bind(1, id).step()) == SQLITE_ROW) {
            keep(*list, 0);
            keep(*list, 1);
            ++(list == &properties_ ? propertyCount : xmpCount);
        }
        if (code != SQLITE_DONE)
            return fail(code, error);
    }
    const auto text = [&](size_t i) {
        return nulls[i] ? std::string_view() : std::string_view(texts_[i].c_str(), texts_[i].size());
    };
    fields.summary = text(0), fields.title = text(1), fields.author = text(2);
    fields.createTime = text(3), fields.error = text(4), fields.packet = text(5);
    size_t at = 6;
    for (size_t i = 0; i < propertyCount; ++i, at += 2)
        fields.properties.emplace_back(text(at), text(at + 1));
    for (size_t i = 0; i < xmpCount; ++i, at += 2)
        fields.xmpProperties.emplace_back(text(at), text(at + 1));
    for (size_t i = 0; i < warningCount; ++i)
        fields.warnings.emplace_back(warningTexts_[i]);
    return true;
}

const DocumentView &RecordLoader::view(const RecordFields &fields, const std::string &path)
{
    // The texts are the loader's own zero-terminated copies.
    const auto cString = [](std::string_view text) { return text.data() != nullptr ? text.data() : nullptr; };
    const bool directory = !path.empty() && path.back() == '/';
    item_.path.assign(path, 0, path.size() - directory);
    view_ = DocumentView{};
    view_.input = &item_;
    view_.error = cString(fields.error);
    summary_.assign(fields.summary.data(), fields.summary.size());
    view_.summary = summary_ == "complete" ? SummaryState::Complete
                    : summary_ == "partial" ? SummaryState::Partial : SummaryState::None;
    view_.title = cString(fields.title);
    view_.author = cString(fields.author);
    if (fields.createTime.data() != nullptr)
        view_.createTime = ticksFromIsoTime(fields.createTime.data(), fields.createTime.size());
    const auto entries = [](const auto &list, std::vector<PropertyEntry> &into) {
        into.clear();
        for (const auto &property : list)
            into.push_back({1, 1, const_cast<char *>(property.second.data()), const_cast<char *>(property.first.data())});
    };
    entries(fields.properties, entries_);
    view_.properties = entries_.data();
    view_.propertyCount = entries_.size();
    if (fields.hasXmp && fields.packet.data() != nullptr) {
        xmpRecord_ = HostXmpRecord{kXmpRecordMagic, uint32_t(XmpMode::Raw), fields.packetBytes, nullptr,
                                   fields.packet.data(), 0, 1};
        view_.xmp = &xmpRecord_;
    } else if (fields.hasXmp) {
        // The stored properties as a listing, which the record walk reads as the lister's.
        startListing(listing_);
        for (const auto &property : fields.xmpProperties)
            addListedProperty(listing_, property.first, property.second);
        xmpRecord_ = listedRecord(listing_, fields.packetBytes);
        view_.xmp = &xmpRecord_;
    }
    warningCopies_.assign(fields.warnings.begin(), fields.warnings.end());
    view_.warnings = warningCopies_.data();
    view_.warningCount = warningCopies_.size();
    return view_;
}

} // namespace zudorhost
