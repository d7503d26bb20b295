// Where there is no SQLite to keep a catalogue in (the Windows build): every catalogue is
// refused, saying so.
#include "zudor_host/catalogue.h"

namespace zudorhost {

bool catalogueAvailable() { return false; }

std::unique_ptr<Catalogue> Catalogue::open(const std::string &, Access, const CatalogueOptions &, std::string &error)
{
    error = "this build has no catalogue";
    return nullptr;
}

struct CatalogueUpdate::Run {
    std::string error = "this build has no catalogue";
};

CatalogueUpdate::CatalogueUpdate(Catalogue &, const ReaderInterface &, CatalogueInputs, const RunOptions &,
                                 BatchRunner::FormatterFactory)
    : run_(std::make_unique<Run>())
{
}
CatalogueUpdate::~CatalogueUpdate() = default;
const FinishedBatch *CatalogueUpdate::next() { return nullptr; }
bool CatalogueUpdate::finish() { return false; }
const std::string &CatalogueUpdate::error() const { return run_->error; }
CatalogueCounts CatalogueUpdate::counts() const { return {}; }
InputTally CatalogueUpdate::tally(uint32_t named) const { return InputTally{named, 0, 0}; }
bool CatalogueUpdate::threadsFailed() const { return false; }

} // namespace zudorhost
