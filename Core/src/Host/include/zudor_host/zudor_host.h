// The reference host library: what every front end (sievecheck, the Python package) uses to
// take documents through the reader. One header per job:
//   module.h          loading the module, where it is installed, identifying a file by its
//                     first bytes
//   inputs.h          paths, directory walks and lists of paths
//   file_identity.h   what tells one version of a file from another, and the wall clock
//   driver.h          one document through the reader table, and the view of what it gave
//   stream_counts.h   what reading a document cost its stream
//   xmp_mode.h        how XMP packets are read, and whether the XMP toolkit is there
//   runner.h          many documents on worker threads, records back in input order
//   run_policy.h      the rules of a run that every front end shares
//   isolation.h       readers in sandboxed processes of their own
//   remote.h          URLs and S3 objects: the options a front end chooses, what it counts
//   record.h          the fields of a record and their order, walked for any output
//   record_events.h   a record's walk written down, to play back on another thread
//   record_writers.h  the record as JSON Lines or text
//   output_buffer.h   the bytes they are written into
//   text_encoding.h   UTF-8 mending, control characters made visible, ISO times
//   catalogue.h       records kept in SQLite, read again only where files changed
//   failure.h         a failure's kind and words
//   platform.h        what a command line does differently on each platform
// The reference host's services, its streams and the OS layer are the library's own.
#pragma once

#include "zudor_host/catalogue.h"
#include "zudor_host/driver.h"
#include "zudor_host/failure.h"
#include "zudor_host/file_identity.h"
#include "zudor_host/inputs.h"
#include "zudor_host/isolation.h"
#include "zudor_host/module.h"
#include "zudor_host/output_buffer.h"
#include "zudor_host/platform.h"
#include "zudor_host/record.h"
#include "zudor_host/record_events.h"
#include "zudor_host/record_writers.h"
#include "zudor_host/remote.h"
#include "zudor_host/run_policy.h"
#include "zudor_host/runner.h"
#include "zudor_host/stream_counts.h"
#include "zudor_host/text_encoding.h"
#include "zudor_host/xmp_mode.h"
