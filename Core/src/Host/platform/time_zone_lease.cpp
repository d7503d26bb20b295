// One zone at a time for the process's C library: readers of one zone share it, a reader of
// another waits for them to end, and the process's own zone comes back when the last ends.
#include <condition_variable>
#include <mutex>

#include "platform/system.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    std::string zone;      // the zone TZ holds while active; empty: the process's own
    unsigned active = 0;   // leases of that zone
    unsigned waiting = 0;  // leases waiting for another zone: new ones of this zone wait too
    std::string saved;     // the process's TZ while another zone is in force
    bool savedSet = false;
};

Gate &gate()
{
    static Gate *shared = new Gate; // never destroyed: a lease may end as the process exits
    return *shared;
}

} // namespace

TimeZoneLease::TimeZoneLease(const std::string &zone)
{
    Gate &g = gate();
    std::unique_lock<std::mutex> guard(g.lock);
    if (g.active != 0 && (g.zone != zone || g.waiting != 0)) {
        ++g.waiting;
        g.changed.wait(guard, [&] { return g.active == 0; });
        --g.waiting;
    }
    if (g.active == 0 && g.zone != zone) {
        if (g.zone.empty())
            g.saved = os::timeZoneVariable(g.savedSet);
        std::string why;
        if (zone.empty())
            os::restoreTimeZoneVariable(g.saved, g.savedSet);
        else
            setTimeZone(zone, why); // checked by the caller: a zone it takes
        g.zone = zone;
    }
    ++g.active;
}

TimeZoneLease::~TimeZoneLease()
{
    Gate &g = gate();
    std::lock_guard<std::mutex> guard(g.lock);
    if (--g.active != 0)
        return;
    if (!g.zone.empty()) {
        os::restoreTimeZoneVariable(g.saved, g.savedSet);
        g.zone.clear();
    }
    g.changed.notify_all();
}

} // namespace zudorhost
