#include "catalogue/catalogue_source.h"

#include <algorithm>

#include "io/remote/url.h"
#include "run/input_carried.h"

namespace zudorhost {

namespace {

// Rows read ahead of the walk at a time.
constexpr int kPageRows = 512;

// An input's rows in the order of their keys, the documents' and the skipped files' merged.
std::string pageQuery(const char *where)
{
    const std::string columns = "key, id, ord, size, modified, inode, checked, etag, ";
    return "SELECT " + columns + "0 FROM documents WHERE input = ?1 AND " + where + " UNION ALL SELECT " + columns +
           "1 FROM skipped WHERE input = ?1 AND " + where + " ORDER BY 1 LIMIT " + std::to_string(kPageRows);
}

} // namespace

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

bool CatalogueSource::start(const RunPlan &plan, std::string &error)
{
    targets_ = plan.targets;
    db_ = catalogue_.openReader(error);
    if (!db_)
        return false;
    sqlite3 *db = db_.get();
    if (!pageAll_.prepare(db, pageQuery("key > ?2").c_str(), error) ||
        !pageFrom_.prepare(db, pageQuery("key >= ?2 AND key < ?3").c_str(), error) ||
        !pageAfter_.prepare(db, pageQuery("key > ?2 AND key < ?3").c_str(), error) ||
        !lookup_.prepare(db,
                         "SELECT key, id, ord, size, modified, inode, checked, etag, 0 FROM documents"
                         " WHERE input = ?1 AND key = ?2 UNION ALL "
                         "SELECT key, id, ord, size, modified, inode, checked, etag, 1 FROM skipped"
                         " WHERE input = ?1 AND key = ?2", error) ||
        !execute(db, "CREATE TEMP TABLE met(key BLOB PRIMARY KEY) WITHOUT ROWID", error) ||
        !remember_.prepare(db, "INSERT OR IGNORE INTO temp.met VALUES (?1)", error) ||
        !unmet_.prepare(db,
                        "SELECT id, 0 FROM documents WHERE input = ?1 AND key NOT IN temp.met UNION ALL "
                        "SELECT id, 1 FROM skipped WHERE input = ?1 AND key NOT IN temp.met", error) ||
        !forget_.prepare(db, "DELETE FROM temp.met", error))
        return false;
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

void CatalogueSource::takeChanges(PendingChanges &into)
{
    std::lock_guard<std::mutex> guard(lock_);
    into.append(changes_);
}

bool CatalogueSource::startInput()
{
    if (index_ == targets_.size())
        return false;
    target_ = &targets_[index_++];
    line_ = 0;
    rowAt_ = rowCount_ = 0;
    exhausted_ = pagedRange_ = false;
    // Every key of the input, or those of the range it covers.
    ranges_ = target_->ranges.empty() ? std::vector<KeyRange>(1) : target_->ranges;
    rangeAt_ = 0;
    key_.clear();
    // Numbered as named, so a front end can tell which input gave nothing.
    if (target_->kind == InputKind::Path) {
        walk_ = pathSource({target_->given}, target_->named, inputs_.output);
    } else {
        walk_ = listSource(inputs_.list, inputs_.separator, target_->named, inputs_.output);
        inputs_.list = nullptr; // the list's source closes it
    }
    // S3 prefixes are listed here, so that a key is matched before it would be fetched.
    current_ = listedSource(*walk_, remote_);
    return true;
}

void CatalogueSource::endInput()
{
    current_.reset();
    walk_.reset();
    if (target_->input == 0)
        return;
    if (target_->kind == InputKind::Path) {
        while (rowAt_ < rowCount_ || refill())
            gone(rows_[rowAt_++]);
        return;
    }
    int code;
    while ((code = unmet_.bind(1, target_->input).step()) == SQLITE_ROW) {
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
        if (item.carried)
            carriedToChange(item).listed = FileIdentity{};
        if (current_->next(item)) {
            CatalogueRef ref;
            ref.input = target_->input;
            if (target_->input != 0) // else read for the output alone
                target_->kind == InputKind::Path ? matchWalked(item, ref) : matchListed(item, ref);
            carriedToChange(item).keeperTag = std::make_shared<const CatalogueRef>(std::move(ref));
            return true;
        }
        endInput();
    }
}

void CatalogueSource::readRow(const Statement &from, Row &into)
{
    size_t n;
    const char *key = from.bytes(0, n);
    into.key.assign(key != nullptr ? key : "", key != nullptr ? n : 0);
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

void CatalogueSource::matched(const Row &row, CatalogueRef &ref)
{
    ref.row = row.id;
    ref.skipped = row.skipped;
    ref.identity = row.identity;
}

bool CatalogueSource::page(Statement &statement, const KeyRange &range, const std::string &after)
{
    statement.bind(1, target_->input);
    if (&statement == &pageFrom_)
        statement.bindBytes(2, range.low).bindBytes(3, range.high);
    else if (&statement == &pageAfter_)
        statement.bindBytes(2, after).bindBytes(3, range.high);
    else
        statement.bindBytes(2, after);
    int code;
    while ((code = statement.step()) == SQLITE_ROW)
        readRow(statement, rows_[rowCount_++]);
    if (code != SQLITE_DONE)
        fail(code);
    exhausted_ = rowCount_ < size_t(kPageRows);
    return rowCount_ > 0;
}

bool CatalogueSource::refill()
{
    while (rangeAt_ < ranges_.size()) {
        const KeyRange &range = ranges_[rangeAt_];
        if (!exhausted_) {
            // The rows after the last one read: the writer touches only rows the walk has passed.
            const std::string after = pagedRange_ ? rows_[rowCount_ - 1].key : std::string();
            Statement &statement = !range.bounded ? pageAll_ : pagedRange_ ? pageAfter_ : pageFrom_;
            pagedRange_ = true;
            rowAt_ = rowCount_ = 0;
            if (page(statement, range, after))
                return true;
        }
        ++rangeAt_;
        exhausted_ = pagedRange_ = false;
        rowAt_ = rowCount_ = 0;
    }
    return false;
}

void CatalogueSource::gone(const Row &row)
{
    std::lock_guard<std::mutex> guard(lock_);
    changes_.gone.push_back({row.id, row.skipped});
}

void CatalogueSource::matchWalked(const InputItem &item, CatalogueRef &ref)
{
    // A directory that could not be read sorts where the walk met it: as its name and a '/'.
    // A URL is known without its secrets.
    if (isRemoteInput(item.path))
        key_ = redactUrl(item.path);
    else
        key_.assign(item.path);
    if (item.directory)
        key_.push_back('/');
    while (rowAt_ < rowCount_ || refill()) {
        const Row &row = rows_[rowAt_];
        const int order = row.key.compare(key_);
        if (order > 0)
            return;
        ++rowAt_;
        if (order < 0) {
            gone(row);
            continue;
        }
        matched(row, ref);
        return;
    }
}

void CatalogueSource::matchListed(const InputItem &item, CatalogueRef &ref)
{
    ref.order = ++line_;
    key_ = inputName(item.path);
    int code = lookup_.bind(1, target_->input).bindBytes(2, key_).step();
    if (code == SQLITE_ROW) {
        Row &row = rows_[0];
        readRow(lookup_, row);
        lookup_.reset();
        matched(row, ref);
        if (row.order != line_) {
            std::lock_guard<std::mutex> guard(lock_);
            changes_.orders.push_back({row.id, row.skipped, line_});
        }
    } else if (code != SQLITE_DONE) {
        fail(code);
    }
    if ((code = remember_.bindBytes(1, key_).run()) != SQLITE_DONE)
        fail(code);
}

} // namespace zudorhost
