#include "catalogue/catalogue_plan.h"

#include <algorithm>

#include "catalogue/catalogue_writer.h"
#include "io/remote/url.h"
#include "zudor_host/remote.h"

namespace zudorhost {
namespace {

struct KnownInput {
    int64_t id;
    InputKind kind;
    std::string name;
    int64_t position;
};

class Planner {
public:
    explicit Planner(CatalogueWriter &writer) : writer_(writer), db_(writer.db()) {}

    bool load(std::string &error)
    {
        Statement all;
        if (!all.prepare(db_, "SELECT id, kind, path, position FROM inputs ORDER BY position, id", error))
            return false;
        int code;
        while ((code = all.step()) == SQLITE_ROW)
            known_.push_back({all.integer(0), InputKind(all.integer(1)), all.string(2), all.integer(3)});
        return code == SQLITE_DONE || failed(code, error);
    }

    // False, with refused set, for a name that holds nothing.
    bool forget(const std::string &given, std::string &error, bool &refused)
    {
        const std::string name = inputName(given);
        bool held = false;
        // The inputs of that name, and those below it, go whole.
        for (size_t i = 0; i < known_.size();) {
            const KnownInput &input = known_[i];
            if (input.name != name && !(input.kind == InputKind::Path && containsInput(name, input.name))) {
                ++i;
                continue;
            }
            uint64_t rows = 0;
            if (!writer_.removeKeys(input.id, {}, rows, error) || !dropInput(input.id, error))
                return false;
            known_.erase(known_.begin() + ptrdiff_t(i));
            held = true;
        }
        // A path inside an input: that input's files below it.
        for (const KnownInput &input : known_) {
            if (input.kind != InputKind::Path || !containsInput(input.name, name))
                continue;
            uint64_t rows = 0;
            if (!writer_.removeKeys(input.id, keysOf(name), rows, error))
                return false;
            held = held || rows != 0;
        }
        if (!held)
            error = "cannot forget " + name + ": the catalogue holds no input of that name, nor any file below it; nothing "
                                         "was forgotten (its inputs: SELECT path FROM inputs)";
        refused = !held;
        return held;
    }

    // The catalogue's input for a path the run names whole, made when there is none.
    bool settle(const std::string &name, RunTarget &target, std::string &error)
    {
        if ((target.input = find(InputKind::Path, name)) != 0)
            return true;
        for (const KnownInput &input : known_)
            if (input.kind == InputKind::Path && containsInput(input.name, name)) {
                target.input = input.id;
                target.ranges = keysOf(name);
                return true;
            }
        // The inputs it contains become one, known by its name: the first named of them keeps
        // its place and its rows, the others' rows move to it.
        std::vector<size_t> contained;
        for (size_t i = 0; i < known_.size(); ++i)
            if (known_[i].kind == InputKind::Path && containsInput(name, known_[i].name))
                contained.push_back(i);
        if (contained.empty())
            return add(InputKind::Path, name, target, error);
        KnownInput &keeper = known_[contained[0]];
        Statement rename;
        int code;
        if (!rename.prepare(db_, "UPDATE inputs SET path = ?2 WHERE id = ?1", error))
            return false;
        if ((code = rename.bind(1, keeper.id).bind(2, name).run()) != SQLITE_DONE)
            return failed(code, error);
        keeper.name = name;
        target.input = keeper.id;
        for (size_t k = contained.size(); k-- > 1;) {
            if (!writer_.mergeInput(known_[contained[k]].id, keeper.id, error))
                return false;
            known_.erase(known_.begin() + ptrdiff_t(contained[k]));
        }
        return true;
    }

    bool settleList(const std::string &name, RunTarget &target, std::string &error)
    {
        return (target.input = find(InputKind::List, name)) != 0 || add(InputKind::List, name, target, error);
    }

private:
    int64_t find(InputKind kind, const std::string &name) const
    {
        for (const KnownInput &input : known_)
            if (input.kind == kind && input.name == name)
                return input.id;
        return 0;
    }

    bool add(InputKind kind, const std::string &name, RunTarget &target, std::string &error)
    {
        int64_t position = 0;
        for (const KnownInput &input : known_)
            position = std::max(position, input.position + 1);
        Statement insert;
        if (!insert.prepare(db_, "INSERT INTO inputs(kind, path, position) VALUES (?1, ?2, ?3)", error))
            return false;
        const int code = insert.bind(1, int64_t(kind)).bind(2, name).bind(3, position).run();
        if (code != SQLITE_DONE)
            return failed(code, error);
        target.input = sqlite3_last_insert_rowid(db_);
        known_.push_back({target.input, kind, name, position});
        return true;
    }

    bool dropInput(int64_t id, std::string &error)
    {
        Statement drop;
        if (!drop.prepare(db_, "DELETE FROM inputs WHERE id = ?1", error))
            return false;
        const int code = drop.bind(1, id).run();
        return code == SQLITE_DONE || failed(code, error);
    }

    bool failed(int code, std::string &error)
    {
        error = describeFailure(db_, code);
        return false;
    }

    CatalogueWriter &writer_;
    sqlite3 *db_;
    std::vector<KnownInput> known_;
};

} // namespace

bool planRun(CatalogueWriter &writer, const CatalogueInputs &inputs, RunPlan &plan, std::string &error)
{
    Planner planner(writer);
    if (!writer.begin(error))
        return false;
    bool ok = planner.load(error);
    for (size_t i = 0; ok && i < inputs.forget.size(); ++i)
        ok = planner.forget(inputs.forget[i], error, plan.refused);
    std::vector<std::string> names;
    for (const std::string &path : inputs.paths)
        names.push_back(inputName(path));
    plan.targets.clear();
    for (size_t i = 0; ok && i < names.size(); ++i) {
        RunTarget target;
        target.given = inputs.paths[i];
        target.named = uint32_t(i + 1);
        // Inside another input of the run, or named again: read for the output, and kept once.
        bool covered = false;
        for (size_t j = 0; j < names.size() && !covered; ++j)
            covered = j != i && (containsInput(names[j], names[i]) || (j < i && names[j] == names[i]));
        if (!covered)
            ok = planner.settle(names[i], target, error);
        plan.targets.push_back(std::move(target));
    }
    if (ok && inputs.list != nullptr) {
        RunTarget target;
        target.kind = InputKind::List;
        target.given = inputs.listName;
        target.named = uint32_t(inputs.paths.size() + 1);
        ok = planner.settleList(inputs.listName, target, error);
        plan.targets.push_back(std::move(target));
    }
    if (ok && writer.commit(error))
        return true;
    writer.rollback();
    return false;
}

bool countUntouched(CatalogueWriter &writer, const RunPlan &plan, uint64_t &count, std::string &error)
{
    sqlite3 *db = writer.db();
    std::vector<int64_t> whole;
    for (const RunTarget &target : plan.targets)
        if (target.input != 0 && target.ranges.empty())
            whole.push_back(target.input);
    std::sort(whole.begin(), whole.end());
    whole.erase(std::unique(whole.begin(), whole.end()), whole.end());
    Statement inputs, all, ofInput, inRange;
    if (!inputs.prepare(db, "SELECT count(*) FROM inputs", error))
        return false;
    int code = inputs.step();
    if (code != SQLITE_ROW) {
        error = describeFailure(db, code);
        return false;
    }
    const bool everyInputWhole = uint64_t(inputs.integer(0)) == whole.size();
    inputs.reset();
    count = 0;
    // A run over every input leaves nothing untouched, and costs no count.
    if (everyInputWhole)
        return true;
    if (!all.prepare(db, "SELECT count(*) FROM documents", error) ||
        !ofInput.prepare(db, "SELECT count(*) FROM documents WHERE input = ?1", error) ||
        !inRange.prepare(db, "SELECT count(*) FROM documents WHERE input = ?1 AND key >= ?2 AND key < ?3", error))
        return false;
    const auto take = [&](Statement &statement, int64_t &into) {
        const int result = statement.step();
        if (result != SQLITE_ROW) {
            error = describeFailure(db, result);
            return false;
        }
        into = statement.integer(0);
        statement.reset();
        return true;
    };
    int64_t total = 0, covered = 0, part = 0;
    if (!take(all, total))
        return false;
    for (int64_t id : whole) {
        if (!take(ofInput.bind(1, id), part))
            return false;
        covered += part;
    }
    for (const RunTarget &target : plan.targets)
        for (const KeyRange &range : target.ranges) {
            if (!take(inRange.bind(1, target.input).bindBytes(2, range.low).bindBytes(3, range.high), part))
                return false;
            covered += part;
        }
    count = uint64_t(std::max<int64_t>(0, total - covered));
    return true;
}

} // namespace zudorhost
