// A descriptor table of a worker thread's own, which the runner asks for; a front end never does.
#pragma once

namespace zudorhost {

// Gives the calling thread a descriptor table of its own where the system allows it (Linux,
// outside the thread sanitizer, which keeps one table per process); false where the thread
// goes on sharing the process's table, which is as correct, only more contended.
bool takeOwnDescriptorTable();

} // namespace zudorhost
