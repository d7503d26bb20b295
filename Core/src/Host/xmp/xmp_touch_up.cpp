// What the toolkit changes after reading a packet, in its order: Dublin Core properties
// written as single values become arrays, aliases move to the properties they stand for, a
// few known properties are mended, and schemas left empty go.
#include <cstring>

#include "xmp/xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace {

constexpr std::string_view kDefaultLang = "x-default";

} // namespace

uint32_t dcArrayForm(std::string_view name)
{
    if (name.size() < 5 || name[0] != 'd' || name[1] != 'c' || name[2] != ':')
        return 0;
    static constexpr struct {
        std::string_view name;
        uint32_t form;
    } kForms[] = {
        {"dc:creator", kIsArray | kIsOrdered},
        {"dc:date", kIsArray | kIsOrdered},
        {"dc:description", kArrayForm},
        {"dc:rights", kArrayForm},
        {"dc:title", kArrayForm},
        {"dc:contributor", kIsArray},
        {"dc:language", kIsArray},
        {"dc:publisher", kIsArray},
        {"dc:relation", kIsArray},
        {"dc:subject", kIsArray},
        {"dc:type", kIsArray},
    };
    for (const auto &entry : kForms)
        if (entry.name == name)
            return entry.form;
    return 0;
}

namespace {

// Older writers wrote a Dublin Core array of one item as a simple property.
void normaliseDcArrays(Prop &tree, Scratch &scratch)
{
    Prop *dc = findSchema(tree, kDcUri, nullptr);
    if (dc == nullptr)
        return;
    for (size_t i = 0; i < dc->children.size; ++i) {
        Prop *property = dc->children[i];
        const uint32_t form = property->options & kComposite ? 0 : dcArrayForm(property->name);
        if (form == 0)
            continue;
        Prop *array = newProp(scratch, dc, property->name, {}, form);
        dc->children.items[i] = array;
        if (property->value.empty())
            continue; // an empty value makes an empty array
        array->children.push(scratch, property);
        property->parent = array;
        property->name = kItemName;
        if ((form & kIsAltText) && !(property->options & kHasLang))
            addLangQualifier(scratch, *property, kDefaultLang);
    }
}

bool moveToItem(Prop &from, size_t at, Prop &array, Scratch &scratch)
{
    Prop *node = from.children[at];
    if (array.options & kIsAltText) {
        if (node->options & kHasLang)
            return false; // the toolkit gives up on an alias with a language of its own
        addLangQualifier(scratch, *node, kDefaultLang);
    }
    from.children.erase(at);
    node->name = kItemName;
    node->parent = &array;
    array.children.insert(scratch, 0, node);
    return true;
}

// An alias goes where its base is; when the base is there already, the alias is dropped.
bool moveAliases(Prop &tree, Scratch &scratch)
{
    for (size_t s = 0; s < tree.children.size;) {
        Prop &schema = *tree.children[s];
        for (size_t p = 0; p < schema.children.size;) {
            Prop *property = schema.children[p];
            if (!(property->options & kIsAlias)) {
                ++p;
                continue;
            }
            property->options &= ~uint32_t(kIsAlias);
            const Alias &alias = *findAlias(property->name);
            Prop *baseSchema = findSchema(tree, alias.baseUri, &scratch);
            Prop *base = findChild(*baseSchema, alias.baseName);
            if (base == nullptr) {
                if (alias.arrayForm == 0) {
                    schema.children.erase(p);
                    property->name = alias.baseName;
                    property->parent = baseSchema;
                    baseSchema->children.push(scratch, property);
                } else {
                    base = newProp(scratch, baseSchema, alias.baseName, {}, alias.arrayForm);
                    baseSchema->children.push(scratch, base);
                    if (!moveToItem(schema, p, *base, scratch))
                        return false;
                }
                continue;
            }
            if (alias.arrayForm == 0) {
                schema.children.erase(p);
                continue;
            }
            bool hasItem;
            if (alias.arrayForm & kIsAltText) {
                long index;
                if (!findLangItem(*base, kDefaultLang, index))
                    return false;
                hasItem = index >= 0;
            } else {
                hasItem = !base->children.empty();
            }
            if (hasItem)
                schema.children.erase(p);
            else if (!moveToItem(schema, p, *base, scratch))
                return false;
        }
        // A schema emptied here goes at once: a later alias may create it again, at the end.
        if (schema.children.empty())
            tree.children.erase(s);
        else
            ++s;
    }
    return true;
}

void appendLangItem(Scratch &scratch, Prop &array, std::string_view lang, std::string_view value)
{
    Prop *item = newProp(scratch, &array, kItemName, value, kHasQualifiers | kHasLang);
    item->qualifiers.push(scratch, newProp(scratch, item, "xml:lang", lang, kIsQualifier));
    array.children.insert(scratch, array.children.empty() || lang != kDefaultLang ? array.children.size : 0, item);
}

// The toolkit's setting of dc:rights' x-default item; false where it throws.
bool setDefaultRights(Prop &dc, std::string_view value, Scratch &scratch)
{
    Prop *rights = findChild(dc, "dc:rights");
    if (rights == nullptr) {
        rights = newProp(scratch, &dc, "dc:rights", {}, kIsArray | kIsOrdered | kIsAlternate);
        dc.children.push(scratch, rights);
    }
    if (!(rights->options & kIsAltText)) {
        if (!rights->children.empty() || !(rights->options & kIsAlternate))
            return false;
        rights->options |= kIsAltText;
    }
    PropList &items = rights->children;
    Prop *defaultItem = nullptr;
    for (size_t i = 0; i < items.size; ++i) {
        const PropList &qualifiers = items[i]->qualifiers;
        if (qualifiers.empty() || qualifiers[0]->name != "xml:lang")
            return false;
        if (qualifiers[0]->value == kDefaultLang) {
            std::swap(items.items[0], items.items[i]);
            defaultItem = items[0];
            break;
        }
    }
    if (items.empty()) {
        appendLangItem(scratch, *rights, kDefaultLang, value);
        return true;
    }
    for (size_t i = 0; i < items.size; ++i) {
        const PropList &qualifiers = items[i]->qualifiers;
        if ((items[i]->options & kComposite) || qualifiers.empty() || qualifiers[0]->name != "xml:lang")
            return false;
    }
    if (defaultItem == nullptr) {
        appendLangItem(scratch, *rights, kDefaultLang, value);
        return true;
    }
    for (size_t i = 0; i < items.size; ++i)
        if (items[i] != defaultItem && items[i]->value == defaultItem->value)
            items[i]->value = value;
    defaultItem->value = value;
    return true;
}

std::string_view concat(Scratch &scratch, std::string_view a, std::string_view b, std::string_view c)
{
    return scratch.join(scratch.join(a, b), c);
}

// An audio file's xmpDM:copyright joins dc:rights' x-default text, after a blank line; what
// fails part way stays as far as it got, as in the toolkit.
void migrateCopyright(Prop &tree, Prop &dm, Prop &copyright, Scratch &scratch)
{
    constexpr std::string_view kBreak = "\n\n";
    Prop &dc = *findSchema(tree, kDcUri, &scratch);
    Prop *rights = findChild(dc, "dc:rights");
    if (rights == nullptr || rights->children.empty()) {
        copyright.value = scratch.join(kBreak, copyright.value);
        if (!setDefaultRights(dc, copyright.value, scratch))
            return;
    } else {
        long index;
        if (!findLangItem(*rights, kDefaultLang, index))
            return;
        if (index < 0) {
            if (!setDefaultRights(dc, rights->children[0]->value, scratch))
                return;
            findLangItem(*rights, kDefaultLang, index);
        }
        Prop &item = *rights->children[size_t(index)];
        const size_t at = item.value.find(kBreak);
        if (at == std::string_view::npos) {
            if (copyright.value != item.value)
                item.value = concat(scratch, item.value, kBreak, copyright.value);
        } else if (item.value.substr(at + 2) != copyright.value) {
            item.value = scratch.join(item.value.substr(0, at + 2), copyright.value);
        }
    }
    for (size_t i = 0; i < dm.children.size; ++i)
        if (dm.children[i] == &copyright) {
            dm.children.erase(i);
            break;
        }
    if (dm.children.empty())
        for (size_t i = 0; i < tree.children.size; ++i)
            if (tree.children[i] == &dm) {
                tree.children.erase(i);
                break;
            }
}

// Language alternatives the toolkit knows must be ones: other arrays become one, losing
// items that are not simple and empty items without a language.
void repairAltText(Prop &tree, std::string_view uri, std::string_view name, Scratch &scratch)
{
    Prop *schema = findSchema(tree, uri, nullptr);
    Prop *array = schema != nullptr ? findChild(*schema, name) : nullptr;
    if (array == nullptr || (array->options & kIsAltText) || !(array->options & kIsArray))
        return;
    array->options |= kIsOrdered | kIsAlternate | kIsAltText;
    for (size_t i = array->children.size; i-- > 0;) {
        Prop &item = *array->children[i];
        if (item.options & kComposite)
            array->children.erase(i);
        else if (!(item.options & kHasLang) && item.value.empty())
            array->children.erase(i);
        else if (!(item.options & kHasLang))
            addLangQualifier(scratch, item, "x-repair");
    }
}

void fixExif(Prop &exif, Scratch &scratch)
{
    if (Prop *stamp = findChild(exif, "exif:GPSTimeStamp")) {
        Prop *date = findChild(exif, "exif:DateTimeOriginal");
        if (date == nullptr)
            date = findChild(exif, "exif:DateTimeDigitized");
        if (date != nullptr) {
            const std::string_view dated = gpsTimeWithDate(stamp->value, date->value, scratch);
            if (!dated.empty())
                stamp->value = dated;
        }
    }
    // exif:UserComment is a language alternative; written as a single value it becomes one.
    Prop *comment = findChild(exif, "exif:UserComment");
    if (comment == nullptr || (comment->options & kComposite))
        return;
    Prop *item = newProp(scratch, comment, kItemName, comment->value, comment->options);
    item->qualifiers = comment->qualifiers;
    comment->qualifiers = PropList();
    if (!(item->options & kHasLang))
        addLangQualifier(scratch, *item, kDefaultLang);
    comment->value = {};
    comment->options = kArrayForm;
    comment->children.push(scratch, item);
}

} // namespace

bool looksLikeUuid(std::string_view name)
{
    if (name.compare(0, 5, "uuid:") == 0)
        return true;
    if (name.size() != 36)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '-' ? i != 8 && i != 13 && i != 18 && i != 23 : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    }
    return true;
}

bool touchUp(Prop &tree, Scratch &scratch)
{
    normaliseDcArrays(tree, scratch);
    if ((tree.options & kHasAliases) && !moveAliases(tree, scratch))
        return false;
    if (Prop *exif = findSchema(tree, kExifUri, nullptr))
        fixExif(*exif, scratch);
    if (Prop *dm = findSchema(tree, kDmUri, nullptr))
        if (Prop *copyright = findChild(*dm, "xmpDM:copyright"))
            migrateCopyright(tree, *dm, *copyright, scratch);
    repairAltText(tree, kDcUri, "dc:description", scratch);
    repairAltText(tree, kDcUri, "dc:rights", scratch);
    repairAltText(tree, kDcUri, "dc:title", scratch);
    repairAltText(tree, kRightsUri, "xmpRights:UsageTerms", scratch);
    repairAltText(tree, kExifUri, "exif:UserComment", scratch);
    // An old instance ID kept in rdf:about moves to xmpMM:InstanceID.
    if (!tree.name.empty() && looksLikeUuid(tree.name)) {
        Prop &mm = *findSchema(tree, kMmUri, &scratch);
        Prop *id = findChild(mm, "xmpMM:InstanceID");
        if (id == nullptr) {
            id = newProp(scratch, &mm, "xmpMM:InstanceID", {}, 0);
            mm.children.push(scratch, id);
        }
        id->options = 0;
        id->value = tree.name;
        id->children = PropList();
        id->qualifiers = PropList();
        tree.name = {};
    }
    for (size_t i = 0; i < tree.children.size;)
        if (tree.children[i]->children.empty())
            tree.children.erase(i);
        else
            ++i;
    return true;
}

} // namespace xmp
} // namespace zudorhost
