// The textual tags the reader takes, and what each becomes in a record. The module reads by
// this table and the host names tags by it when it explains a record, so the two cannot
// disagree about a tag. Standard C++17 alone: the module depends on nothing outside itself.
#pragma once

#include <cstdint>

namespace tiffrules {

enum class TagRole { Title, Author, DateTime, Property };

struct TagRule {
    uint16_t tag;
    TagRole role;
    const char *propertyName; // the property it becomes; a title never becomes one
    const char *tagName;      // the tag's conventional name, for sentences about the file
};

// Author and DateTime take their role only at their first occurrence in a walk (claimRole in
// walk_rules.h); later ones become properties under the name given.
inline constexpr TagRule kTagRules[] = {
    {269, TagRole::Title, nullptr, "DocumentName"},
    {270, TagRole::Property, "Description", "ImageDescription"},
    {271, TagRole::Property, "Make", "Make"},
    {272, TagRole::Property, "Model", "Model"},
    {305, TagRole::Property, "Software", "Software"},
    {306, TagRole::DateTime, "Create_DTM", "DateTime"},
    {315, TagRole::Author, "Author", "Artist"},
    {316, TagRole::Property, "Host Computer", "HostComputer"},
    {333, TagRole::Property, "Ink Set", "InkNames"},
    {337, TagRole::Property, "Target Printer", "TargetPrinter"},
    {33432, TagRole::Property, "Copyright", "Copyright"},
};

// The packet is handed to the host's XMP service whatever the entry's type.
inline constexpr uint16_t kTagXmp = 700;
inline constexpr const char *kXmpTagName = "XMP";

constexpr const TagRule *findTagRule(uint16_t tag)
{
    for (const TagRule &rule : kTagRules)
        if (rule.tag == tag)
            return &rule;
    return nullptr;
}

} // namespace tiffrules
