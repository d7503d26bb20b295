// zudor-worker: the reader process of isolated reading. Front ends start it (sievecheck
// --isolate, isolate=True in Python); it loads the module, closes its sandbox and reads what
// it is handed. It takes no arguments a person would give.
// The library's own entry point, not the installed API: this program is part of the library.
#include "run/isolation/worker_program.h"

int main(int argc, char **argv) { return zudorhost::runReaderWorker(argc, argv); }
