// The reference host library: what every front end (sievecheck, the Python package) uses to
// take documents through the reader. One header per job:
//   module.h          loading the module, identifying a file by its first bytes
//   inputs.h          paths, directory walks and lists of paths
//   stream.h          the input stream over a file or over bytes in memory
//   services.h        the host's services: heap, time conversion, XMP
//   driver.h          one document through the reader table, and the view of what it gave
//   runner.h          many documents on worker threads, records back in input order
//   record.h          the fields of a record and their order, walked for any output
//   record_writers.h  the record as JSON Lines or text
//   text_encoding.h   UTF-8 mending, control characters made visible, ISO times
//   platform.h        what a command line does differently on each platform
#pragma once

#include "zudor_host/driver.h"
#include "zudor_host/inputs.h"
#include "zudor_host/module.h"
#include "zudor_host/output_buffer.h"
#include "zudor_host/platform.h"
#include "zudor_host/record.h"
#include "zudor_host/record_writers.h"
#include "zudor_host/runner.h"
#include "zudor_host/services.h"
#include "zudor_host/stream.h"
#include "zudor_host/text_encoding.h"
