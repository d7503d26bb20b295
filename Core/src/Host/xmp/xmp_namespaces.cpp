// The namespaces every XMP reader knows by a fixed prefix, and the standard aliases: published
// facts of XMP, fixed at build time. A packet's own declarations never change them.
#include <cstdint>

#include "xmp/xmp_lister_parts.h"

namespace zudorhost {
namespace xmp {

namespace {

constexpr KnownNamespace kKnown[] = {
    {"http://www.w3.org/XML/1998/namespace", "xml:"},
    {"http://www.w3.org/1999/02/22-rdf-syntax-ns#", "rdf:"},
    {"http://purl.org/dc/elements/1.1/", "dc:"},
    {"http://ns.adobe.com/xap/1.0/", "xmp:"},
    {"http://ns.adobe.com/pdf/1.3/", "pdf:"},
    {"http://ns.adobe.com/photoshop/1.0/", "photoshop:"},
    {"http://ns.adobe.com/album/1.0/", "album:"},
    {"http://ns.adobe.com/exif/1.0/", "exif:"},
    {"http://ns.adobe.com/exif/1.0/aux/", "aux:"},
    {"http://cipa.jp/exif/1.0/", "exifEX:"},
    {"http://ns.adobe.com/tiff/1.0/", "tiff:"},
    {"http://ns.adobe.com/png/1.0/", "png:"},
    {"http://ns.adobe.com/jpeg/1.0/", "jpeg:"},
    {"http://ns.adobe.com/jp2k/1.0/", "jp2k:"},
    {"http://ns.adobe.com/camera-raw-settings/1.0/", "crs:"},
    {"http://ns.adobe.com/asf/1.0/", "asf:"},
    {"http://ns.adobe.com/xmp/wav/1.0/", "wav:"},
    {"http://ns.adobe.com/StockPhoto/1.0/", "bmsp:"},
    {"http://ns.adobe.com/creatorAtom/1.0/", "creatorAtom:"},
    {"http://ns.adobe.com/xap/1.0/rights/", "xmpRights:"},
    {"http://ns.adobe.com/xap/1.0/mm/", "xmpMM:"},
    {"http://ns.adobe.com/xap/1.0/bj/", "xmpBJ:"},
    {"http://ns.adobe.com/xmp/note/", "xmpNote:"},
    {"http://ns.adobe.com/xmp/1.0/DynamicMedia/", "xmpDM:"},
    {"http://ns.adobe.com/xmp/1.0/Script/", "xmpScript:"},
    {"http://ns.adobe.com/bwf/bext/1.0/", "bext:"},
    {"http://ns.adobe.com/aes/cart/", "AEScart:"},
    {"http://ns.adobe.com/riff/info/", "riffinfo:"},
    {"http://ns.adobe.com/xap/1.0/t/", "xmpT:"},
    {"http://ns.adobe.com/xap/1.0/t/pg/", "xmpTPg:"},
    {"http://ns.adobe.com/xap/1.0/g/", "xmpG:"},
    {"http://ns.adobe.com/xap/1.0/g/img/", "xmpGImg:"},
    {"http://ns.adobe.com/xap/1.0/sType/Font#", "stFnt:"},
    {"http://ns.adobe.com/xap/1.0/sType/Dimensions#", "stDim:"},
    {"http://ns.adobe.com/xap/1.0/sType/ResourceEvent#", "stEvt:"},
    {"http://ns.adobe.com/xap/1.0/sType/ResourceRef#", "stRef:"},
    {"http://ns.adobe.com/xap/1.0/sType/Version#", "stVer:"},
    {"http://ns.adobe.com/xap/1.0/sType/Job#", "stJob:"},
    {"http://ns.adobe.com/xap/1.0/sType/ManifestItem#", "stMfs:"},
    {"http://ns.adobe.com/xmp/Identifier/qual/1.0/", "xmpidq:"},
    {"http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/", "Iptc4xmpCore:"},
    {"http://iptc.org/std/Iptc4xmpExt/2008-02-29/", "Iptc4xmpExt:"},
    {"http://ns.adobe.com/DICOM/", "DICOM:"},
    {"http://ns.useplus.org/ldf/xmp/1.0/", "plus:"},
    {"http://www.aiim.org/pdfa/ns/schema#", "pdfaSchema:"},
    {"http://www.aiim.org/pdfa/ns/property#", "pdfaProperty:"},
    {"http://www.aiim.org/pdfa/ns/type#", "pdfaType:"},
    {"http://www.aiim.org/pdfa/ns/field#", "pdfaField:"},
    {"http://www.aiim.org/pdfa/ns/id/", "pdfaid:"},
    {"http://www.aiim.org/pdfa/ns/extension/", "pdfaExtension:"},
    {"http://ns.adobe.com/pdfx/1.3/", "pdfx:"},
    {"http://www.npes.org/pdfx/ns/id/", "pdfxid:"},
    {"adobe:ns:meta/", "x:"},
    {"http://ns.adobe.com/iX/1.0/", "iX:"},
    {"http://ns.adobe.com/ixml/1.0/", "iXML:"},
};

constexpr size_t kKnownCount = sizeof kKnown / sizeof kKnown[0];

// Open addressing over a fixed list of names, built at compile time: each slot holds an index
// into the list plus one, or 0.
template <size_t Slots>
struct NameTable {
    uint8_t slot[Slots] = {};

    template <typename Name>
    constexpr NameTable(const Name *names, size_t count, std::string_view (*key)(const Name &))
    {
        for (size_t i = 0; i < count; ++i) {
            size_t at = textHash(key(names[i])) % Slots;
            while (slot[at] != 0)
                at = (at + 1) % Slots;
            slot[at] = uint8_t(i + 1);
        }
    }
    template <typename Name>
    const Name *find(const Name *names, std::string_view (*key)(const Name &), std::string_view name) const
    {
        for (size_t at = textHash(name) % Slots; slot[at] != 0; at = (at + 1) % Slots)
            if (key(names[slot[at] - 1]) == name)
                return &names[slot[at] - 1];
        return nullptr;
    }
};

constexpr std::string_view uriOf(const KnownNamespace &known) { return known.uri; }
constexpr std::string_view prefixOf(const KnownNamespace &known) { return known.prefix; }
constexpr NameTable<128> kByUri(kKnown, kKnownCount, uriOf);
constexpr NameTable<128> kByPrefix(kKnown, kKnownCount, prefixOf);

constexpr uint32_t kSeq = kIsArray | kIsOrdered;
constexpr uint32_t kLangAlt = kIsArray | kIsOrdered | kIsAlternate | kIsAltText;

constexpr std::string_view kXmpUri = "http://ns.adobe.com/xap/1.0/";

// The standard aliases: the property named first stands for the one named second, or for
// the first item of the array named second (the x-default item of a language alternative).
constexpr Alias kAliases[] = {
    {"xmp:Author", "http://purl.org/dc/elements/1.1/", "dc:creator", kSeq},
    {"xmp:Authors", "http://purl.org/dc/elements/1.1/", "dc:creator", 0},
    {"xmp:Description", "http://purl.org/dc/elements/1.1/", "dc:description", 0},
    {"xmp:Format", "http://purl.org/dc/elements/1.1/", "dc:format", 0},
    {"xmp:Keywords", "http://purl.org/dc/elements/1.1/", "dc:subject", 0},
    {"xmp:Locale", "http://purl.org/dc/elements/1.1/", "dc:language", 0},
    {"xmp:Title", "http://purl.org/dc/elements/1.1/", "dc:title", 0},
    {"xmpRights:Copyright", "http://purl.org/dc/elements/1.1/", "dc:rights", 0},
    {"pdf:Author", "http://purl.org/dc/elements/1.1/", "dc:creator", kSeq},
    {"pdf:BaseURL", kXmpUri, "xmp:BaseURL", 0},
    {"pdf:CreationDate", kXmpUri, "xmp:CreateDate", 0},
    {"pdf:Creator", kXmpUri, "xmp:CreatorTool", 0},
    {"pdf:ModDate", kXmpUri, "xmp:ModifyDate", 0},
    {"pdf:Subject", "http://purl.org/dc/elements/1.1/", "dc:description", kLangAlt},
    {"pdf:Title", "http://purl.org/dc/elements/1.1/", "dc:title", kLangAlt},
    {"photoshop:Author", "http://purl.org/dc/elements/1.1/", "dc:creator", kSeq},
    {"photoshop:Caption", "http://purl.org/dc/elements/1.1/", "dc:description", kLangAlt},
    {"photoshop:Copyright", "http://purl.org/dc/elements/1.1/", "dc:rights", kLangAlt},
    {"photoshop:Keywords", "http://purl.org/dc/elements/1.1/", "dc:subject", 0},
    {"photoshop:Marked", "http://ns.adobe.com/xap/1.0/rights/", "xmpRights:Marked", 0},
    {"photoshop:Title", "http://purl.org/dc/elements/1.1/", "dc:title", kLangAlt},
    {"photoshop:WebStatement", "http://ns.adobe.com/xap/1.0/rights/", "xmpRights:WebStatement", 0},
    {"tiff:Artist", "http://purl.org/dc/elements/1.1/", "dc:creator", kSeq},
    {"tiff:Copyright", "http://purl.org/dc/elements/1.1/", "dc:rights", 0},
    {"tiff:DateTime", kXmpUri, "xmp:ModifyDate", 0},
    {"exif:DateTimeDigitized", kXmpUri, "xmp:CreateDate", 0},
    {"tiff:ImageDescription", "http://purl.org/dc/elements/1.1/", "dc:description", kLangAlt},
    {"tiff:Software", kXmpUri, "xmp:CreatorTool", 0},
    {"png:Author", "http://purl.org/dc/elements/1.1/", "dc:creator", kSeq},
    {"png:Copyright", "http://purl.org/dc/elements/1.1/", "dc:rights", kLangAlt},
    {"png:CreationTime", kXmpUri, "xmp:CreateDate", 0},
    {"png:Description", "http://purl.org/dc/elements/1.1/", "dc:description", kLangAlt},
    {"png:ModificationTime", kXmpUri, "xmp:ModifyDate", 0},
    {"png:Software", kXmpUri, "xmp:CreatorTool", 0},
    {"png:Title", "http://purl.org/dc/elements/1.1/", "dc:title", kLangAlt},
};

constexpr size_t kAliasCount = sizeof kAliases / sizeof kAliases[0];
constexpr std::string_view nameOf(const Alias &alias) { return alias.name; }
constexpr NameTable<128> kAliasByName(kAliases, kAliasCount, nameOf);

} // namespace

const std::string_view kXmlUri = kKnown[0].uri;
const std::string_view kRdfUri = kKnown[1].uri;
const std::string_view kDcUri = kKnown[2].uri;
const std::string_view kExifUri = kKnown[7].uri;
const std::string_view kRightsUri = kKnown[19].uri;
const std::string_view kMmUri = kKnown[20].uri;
const std::string_view kDmUri = kKnown[23].uri;

const KnownNamespace *knownNamespaceByUri(std::string_view uri) { return kByUri.find(kKnown, uriOf, uri); }

bool knownPrefix(std::string_view prefix) { return kByPrefix.find(kKnown, prefixOf, prefix) != nullptr; }

const Alias *findAlias(std::string_view name)
{
    // Only these prefixes have aliases; most properties stop at the first letter.
    switch (name.empty() ? 0 : name[0]) {
    case 'x': case 'p': case 't': case 'e':
        break;
    default:
        return nullptr;
    }
    return kAliasByName.find(kAliases, nameOf, name);
}

} // namespace xmp
} // namespace zudorhost
