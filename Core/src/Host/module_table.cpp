// What every platform's loader checks of the table the module wrote.
#include "zudor_host/zudor_host.h"

namespace zudorhost {

bool LoadedModule::takeTable(TifGetReaderInterfaceFn entry, const std::string &file, ReaderInterface &table,
                             std::string &error)
{
    if (entry != nullptr)
        entry(&table);
    if (entry == nullptr || table.allocateContext == nullptr || table.freeContext == nullptr ||
        table.initDoc == nullptr || table.fillBuffer == nullptr ||
        table.getSummaryInfo == nullptr || table.getXmpInfo == nullptr) {
        error = file + (entry == nullptr ? ": no tifGetReaderInterface entry point"
                                         : ": the reader's table is incomplete");
        return false;
    }
    return true;
}

} // namespace zudorhost
