#include "catalogue/catalogue_source.h"

#include <algorithm>

namespace zudorhost {
namespace {

// Rows read ahead of the walk at a time.
constexpr int kPageRows = 512;

const char *kPage =
    "SELECT source, id, ord, size, modified, inode, checked, etag, 0 FROM documents WHERE input = ?1 AND source > ?2"
    " UNION ALL "
    "SELECT source, id, ord, size, modified, inode, checked, etag, 1 FROM skipped WHERE input = ?1 AND source > ?2"
    " ORDER BY 1 LIMIT 512";

} // namespace

void PendingChanges::append(PendingChanges &other)
{
    gone.insert(gone.end(), other.gone.begin(), other.gone.end());
    for (InputRow &row : other.inputs)
        inputs.push_back(std::move(row));
    orders.insert(orders.end(), other.orders.begin(), other.orders.end());
    other.gone.clear();
    other.inputs.clear();
    other.orders.clear();
}

CatalogueSource::CatalogueSource(CatalogueDb &catalogue, CatalogueInputs inputs, const RemoteOptions &remote)
    : catalogue_(catalogue), inputs_(std::move(inputs)), remote_(remote)
{
}

CatalogueSource::~CatalogueSource()
{
    current_.reset();
    walk_.reset();
    if (inputs_.list != nullptr && inputs_.list != stdin)
        std::fclose(inputs_.list);
}

bool CatalogueSource::start(std::string &error)
{
    db_ = catalogue_.openReader(error);
    if (!db_)
        return false;
    sqlite3 *db = db_.get();
    static_assert(kPageRows == 512, "the page's LIMIT");
    if (!findInput_.prepare(db, "SELECT id, position FROM inputs WHERE kind = ?1 AND path = ?2", error) ||
        !lastInput_.prepare(db, "SELECT max(id) FROM inputs", error) || !page_.prepare(db, kPage, error) ||
        !lookup_.prepare(db,
                         "SELECT source, id, ord, size, modified, inode, checked, etag, 0 FROM documents"
                         " WHERE input = ?1 AND source = ?2 UNION ALL "
                         "SELECT source, id, ord, size, modified, inode, checked, etag, 1 FROM skipped"
                         " WHERE input = ?1 AND source = ?2", error) ||
        !execute(db, "CREATE TEMP TABLE met(source TEXT PRIMARY KEY) WITHOUT ROWID", error) ||
        !remember_.prepare(db, "INSERT OR IGNORE INTO temp.met VALUES (?1)", error) ||
        !unmet_.prepare(db,
                        "SELECT id, 0 FROM documents WHERE input = ?1 AND source NOT IN temp.met UNION ALL "
                        "SELECT id, 1 FROM skipped WHERE input = ?1 AND source NOT IN temp.met", error) ||
        !forget_.prepare(db, "DELETE FROM temp.met", error))
        return false;
    if (lastInput_.step() == SQLITE_ROW)
        nextInput_ = lastInput_.integer(0) + 1;
    lastInput_.reset();
    rows_.resize(kPageRows);
    return true;
}

void CatalogueSource::fail(int code)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (error_.empty())
        error_ = describeFailure(db_.get(), code);
}

bool CatalogueSource::failed(std::string &error) const
{
    std::lock_guard<std::mutex> guard(lock_);
    error = error_;
    return !error_.empty();
}

std::vector<int64_t> CatalogueSource::namedInputs() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return named_;
}

void CatalogueSource::takeChanges(PendingChanges &into)
{
    std::lock_guard<std::mutex> guard(lock_);
    into.append(changes_);
}

bool CatalogueSource::startInput()
{
    while (true) {
        const size_t position = index_;
        std::string path;
        if (index_ < inputs_.paths.size()) {
            kind_ = InputKind::Path;
            path = inputs_.paths[index_++];
        } else if (index_ == inputs_.paths.size() && inputs_.list != nullptr) {
            kind_ = InputKind::List;
            path = inputs_.listName;
            ++index_;
        } else {
            return false;
        }
        int code = findInput_.bind(1, int64_t(kind_)).bind(2, path).step();
        const bool known = code == SQLITE_ROW;
        const int64_t id = known ? findInput_.integer(0) : nextInput_;
        const int64_t oldPosition = known ? findInput_.integer(1) : -1;
        findInput_.reset();
        if (code != SQLITE_ROW && code != SQLITE_DONE) {
            fail(code);
            return false;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            // An input named twice is catalogued once, where it was named first.
            if (std::find(named_.begin(), named_.end(), id) != named_.end())
                continue;
            named_.push_back(id);
            if (!known || oldPosition != int64_t(position))
                changes_.inputs.push_back({id, kind_, path, int64_t(position), !known});
        }
        nextInput_ += !known;
        input_ = id;
        line_ = 0;
        rowAt_ = rowCount_ = 0;
        exhausted_ = false;
        key_.clear();
        // Numbered as named, so a front end can tell which input gave nothing.
        if (kind_ == InputKind::Path) {
            walk_ = pathSource({path}, uint32_t(position + 1));
        } else {
            walk_ = listSource(inputs_.list, inputs_.separator, uint32_t(position + 1));
            inputs_.list = nullptr; // the list's source closes it
        }
        // S3 prefixes are listed here, so that a key is matched before it would be fetched.
        current_ = listedSource(*walk_, remote_);
        return true;
    }
}

void CatalogueSource::endInput()
{
    current_.reset();
    walk_.reset();
    if (kind_ == InputKind::Path) {
        while (rowAt_ < rowCount_ || refill())
            gone(rows_[rowAt_++]);
        return;
    }
    int code;
    while ((code = unmet_.bind(1, input_).step()) == SQLITE_ROW) {
        std::lock_guard<std::mutex> guard(lock_);
        changes_.gone.push_back({unmet_.integer(0), unmet_.integer(1) != 0});
    }
    if (code != SQLITE_DONE || (code = forget_.run()) != SQLITE_DONE)
        fail(code);
}

bool CatalogueSource::next(InputItem &item)
{
    while (true) {
        if (!current_ && !startInput())
            return false;
        item.listed = FileIdentity{};
        if (current_->next(item)) {
            item.catalogue = CatalogueRef{};
            item.catalogue.input = input_;
            kind_ == InputKind::Path ? matchWalked(item) : matchListed(item);
            return true;
        }
        endInput();
    }
}

void CatalogueSource::readRow(const Statement &from, Row &into)
{
    size_t n;
    const char *source = from.text(0, n);
    into.source.assign(source != nullptr ? source : "", source != nullptr ? n : 0);
    into.id = from.integer(1);
    into.order = from.isNull(2) ? -1 : from.integer(2);
    into.identity.size = uint64_t(from.integer(3));
    into.identity.modifiedNs = from.integer(4);
    into.identity.inode = uint64_t(from.integer(5));
    into.identity.takenNs = from.integer(6);
    const char *etag = from.text(7, n);
    into.identity.etag.assign(etag != nullptr ? etag : "", etag != nullptr ? n : 0);
    into.skipped = from.integer(8) != 0;
}

void CatalogueSource::matched(const Row &row, InputItem &item)
{
    item.catalogue.row = row.id;
    item.catalogue.skipped = row.skipped;
    item.catalogue.identity = row.identity;
    item.catalogue.unchanged = item.listed.known() && unchangedSince(row.identity, item.listed);
}

bool CatalogueSource::refill()
{
    if (exhausted_)
        return false;
    // The rows after the last one read: the writer touches only rows the walk has passed.
    const std::string after = rowCount_ > 0 ? rows_[rowCount_ - 1].source : std::string();
    rowAt_ = rowCount_ = 0;
    page_.bind(1, input_).bind(2, after);
    int code;
    while ((code = page_.step()) == SQLITE_ROW)
        readRow(page_, rows_[rowCount_++]);
    if (code != SQLITE_DONE)
        fail(code);
    exhausted_ = rowCount_ < size_t(kPageRows);
    return rowCount_ > 0;
}

void CatalogueSource::gone(const Row &row)
{
    std::lock_guard<std::mutex> guard(lock_);
    changes_.gone.push_back({row.id, row.skipped});
}

void CatalogueSource::matchWalked(InputItem &item)
{
    // A directory that could not be read sorts where the walk met it: as its name and a '/'.
    key_.assign(item.path);
    if (item.directory)
        key_.push_back('/');
    while (rowAt_ < rowCount_ || refill()) {
        const Row &row = rows_[rowAt_];
        const int order = row.source.compare(key_);
        if (order > 0)
            return;
        ++rowAt_;
        if (order < 0) {
            gone(row);
            continue;
        }
        matched(row, item);
        return;
    }
}

void CatalogueSource::matchListed(InputItem &item)
{
    item.catalogue.order = ++line_;
    int code = lookup_.bind(1, input_).bind(2, item.path).step();
    if (code == SQLITE_ROW) {
        Row &row = rows_[0];
        readRow(lookup_, row);
        lookup_.reset();
        matched(row, item);
        if (row.order != line_) {
            std::lock_guard<std::mutex> guard(lock_);
            changes_.orders.push_back({row.id, row.skipped, line_});
        }
    } else if (code != SQLITE_DONE) {
        fail(code);
    }
    if ((code = remember_.bind(1, item.path).run()) != SQLITE_DONE)
        fail(code);
}

} // namespace zudorhost
