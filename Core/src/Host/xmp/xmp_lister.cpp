// The lister's stages in order (xmp_text_feed, xmp_xml_tree, xmp_rdf, xmp_touch_up) and the
// listing they end in: a depth-first walk of the schemas, their properties, fields and items,
// writing each simple value with the toolkit's path ("dc:title[1]", "xmpMM:History[2]/
// stEvt:action").
//
// Where the toolkit is plainly wrong the lister keeps to what was meant:
//  - "&#xE9;", "&#x41;" and any other character reference of one or two hex digits lost its
//    character to a space; only the references to control characters XML forbids do here;
//  - listing a packet whose alias was moved into a struct where an array belonged (a struct
//    dc:creator with no fields, and tiff:Artist) threw out of the toolkit's iterator and ended
//    the process; here the item is listed under the path the toolkit made for it;
//  - packets nested more than a thousand elements deep are refused rather than read on a stack
//    that the toolkit overruns some tens of thousands of levels down.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xmp/xmp_lister.h"
#include "xmp/xmp_lister_parts.h"

namespace zudorhost {

namespace xmp {

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kSpareChunks = 4;

} // namespace

Scratch::~Scratch()
{
    reset();
    while (spare_ != nullptr) {
        Chunk *next = spare_->next;
        std::free(spare_);
        spare_ = next;
    }
}

void Scratch::grow(size_t bytes)
{
    Chunk *chunk = nullptr;
    if (bytes + sizeof(Chunk) <= kChunkBytes && spare_ != nullptr) {
        chunk = spare_;
        spare_ = chunk->next;
    } else {
        const size_t size = bytes + sizeof(Chunk) <= kChunkBytes ? kChunkBytes : bytes + sizeof(Chunk);
        chunk = static_cast<Chunk *>(std::malloc(size));
        if (chunk == nullptr)
            throw std::bad_alloc();
        chunk->size = size;
    }
    chunk->next = chunks_;
    chunks_ = chunk;
    top_ = reinterpret_cast<char *>(chunk + 1);
    end_ = reinterpret_cast<char *>(chunk) + chunk->size;
}

void Scratch::reset()
{
    size_t spares = 0;
    for (Chunk *chunk = spare_; chunk != nullptr; chunk = chunk->next)
        ++spares;
    while (chunks_ != nullptr) {
        Chunk *next = chunks_->next;
        if (chunks_->size == kChunkBytes && spares < kSpareChunks) {
            chunks_->next = spare_;
            spare_ = chunks_;
            ++spares;
        } else {
            std::free(chunks_);
        }
        chunks_ = next;
    }
    top_ = end_ = nullptr;
}

std::string_view Scratch::copy(const char *text, size_t size)
{
    auto *copy = static_cast<char *>(take(size + 1));
    if (size != 0)
        std::memcpy(copy, text, size);
    copy[size] = '\0';
    return {copy, size};
}

std::string_view Scratch::join(std::string_view a, std::string_view b)
{
    auto *joined = static_cast<char *>(take(a.size() + b.size() + 1));
    if (!a.empty())
        std::memcpy(joined, a.data(), a.size());
    if (!b.empty())
        std::memcpy(joined + a.size(), b.data(), b.size());
    joined[a.size() + b.size()] = '\0';
    return {joined, a.size() + b.size()};
}

namespace {

// Thrown when the listing outgrows its limit.
struct TooLong {};

class ListingWriter {
public:
    ListingWriter(XmpListing &out, std::string &path, size_t limit) : out_(out), path_(path), limit_(limit) {}

    void schemas(const Prop &tree)
    {
        for (size_t s = 0; s < tree.children.size; ++s) {
            const Prop &schema = *tree.children[s];
            for (size_t p = 0; p < schema.children.size; ++p) {
                path_.assign(schema.children[p]->name);
                node(*schema.children[p]);
            }
        }
    }

private:
    void entry(std::string_view value)
    {
        const size_t size = 8 + path_.size() + value.size() + 2;
        if (size > limit_ - std::min(limit_, out_.bytes.size()))
            throw TooLong();
        const uint32_t lengths[2] = {uint32_t(path_.size()), uint32_t(value.size())};
        char *at = out_.bytes.reserve(size);
        std::memcpy(at, lengths, 8);
        std::memcpy(at + 8, path_.data(), path_.size());
        at[8 + path_.size()] = '\0';
        if (!value.empty())
            std::memcpy(at + 9 + path_.size(), value.data(), value.size());
        at[size - 1] = '\0';
        out_.bytes.commit(size);
        ++out_.count;
    }

    void node(const Prop &node)
    {
        if (!(node.options & kComposite))
            entry(node.value);
        if (node.children.empty())
            return;
        const size_t base = path_.size();
        if (node.options & kIsStruct)
            path_.push_back('/');
        const size_t stem = path_.size();
        for (size_t i = 0; i < node.children.size; ++i) {
            if (node.options & kIsArray) {
                char digits[24], *first = digits + sizeof digits;
                *--first = ']';
                for (size_t n = i + 1; n != 0; n /= 10)
                    *--first = char('0' + n % 10);
                *--first = '[';
                path_.append(first, size_t(digits + sizeof digits - first));
            } else {
                path_.append(node.children[i]->name);
            }
            this->node(*node.children[i]);
            path_.resize(stem);
        }
        path_.resize(base);
    }

    XmpListing &out_;
    std::string &path_;
    size_t limit_;
};

} // namespace

} // namespace xmp

struct XmpLister::Work {
    ~Work()
    {
        xmp::deleteDirectWork(direct);
        xmp::deleteQuickWork(quick);
    }
    xmp::Scratch scratch;
    xmp::TreeBuilder builder;
    xmp::XmlTree tree;
    xmp::NameIndex index;
    std::string path;
    xmp::DirectWork *direct = xmp::newDirectWork();
    xmp::QuickWork *quick = xmp::newQuickWork();
};

XmpLister::XmpLister(HexReferences references) : work_(new Work)
{
    toolkitReferences_ = references == HexReferences::AsToolkit;
    work_->builder.setToolkitReferences(toolkitReferences_);
}

XmpLister::~XmpLister() = default;

XmpListStatus XmpLister::list(const char *packet, size_t size, XmpListing &out)
{
    out.bytes.clear();
    out.count = 0;
    if (size == 0)
        return XmpListStatus::Listed; // the toolkit takes an empty packet for an empty one
    Work &work = *work_;
    try {
        // Most packets are plain enough to list straight from their bytes; the rest go
        // through the trees, from the start.
        bool quick = true;
        if (direct_) {
            work.scratch.reset();
            switch (xmp::listDirect(packet, size, *work.direct, *work.quick, work.scratch, out.bytes, out.count, limit_,
                                    toolkitReferences_)) {
            case xmp::DirectResult::Listed:
                return XmpListStatus::Listed;
            case xmp::DirectResult::NotQuick:
                quick = false;
                break;
            case xmp::DirectResult::Declined:
                break;
            }
            out.bytes.clear();
            out.count = 0;
        }
        switch (work.builder.build(packet, size, work.scratch, work.tree, quick)) {
        case xmp::TreeBuilder::Built:
            break;
        case xmp::TreeBuilder::Refused:
            return XmpListStatus::Refused;
        case xmp::TreeBuilder::OutOfMemory:
            return XmpListStatus::OutOfMemory;
        }
        const xmp::XmlNode *rdf = xmp::findRdfRoot(work.tree);
        if (rdf == nullptr)
            return XmpListStatus::Listed;
        xmp::Prop root;
        if (!xmp::readRdf(*rdf, root, work.tree.nodeCount, work.scratch, work.index) ||
            !xmp::touchUp(root, work.scratch))
            return XmpListStatus::Refused;
        xmp::ListingWriter(out, work.path, limit_).schemas(root);
    } catch (const xmp::TooLong &) {
        out.bytes.clear();
        out.count = 0;
        return XmpListStatus::OutOfMemory;
    } catch (const std::bad_alloc &) {
        out.bytes.clear();
        out.count = 0;
        return XmpListStatus::OutOfMemory;
    }
    return XmpListStatus::Listed;
}

void visitXmpListing(const char *bytes, size_t size, XmpPropertyVisitor visit, void *state)
{
    for (const char *end = bytes + size; bytes < end;) {
        uint32_t lengths[2];
        std::memcpy(lengths, bytes, 8);
        const char *path = bytes + 8;
        const char *value = path + lengths[0] + 1;
        visit(state, path, lengths[0], value, lengths[1]);
        bytes = value + lengths[1] + 1;
    }
}

} // namespace zudorhost
