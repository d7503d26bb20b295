// sievecheck's manual, the footer of --help.
#include "manual.h"

#include "zudor_host/isolation.h"

namespace sievecheck {
namespace {

// The manual, in parts.
const char *kManualStart = R"(
DESCRIPTION
  With -i, each INPUT is taken through the reader module and its summary is
  written to OUTPUT ('-' or nothing for standard output): title (DocumentName),
  author (Artist), creation time (the first DateTime, as UTC), the named
  properties in file order, and the XMP packet (every packet goes to the XMP
  service; of several, the record holds the last one it accepted). Without -i,
  'sievecheck INPUT OUTPUT' writes the module's own fixed text output for INPUT,
  one line that is the same whatever the file holds (it reads nothing of it):
  to see a file's metadata, type 'sievecheck -i INPUT -'.
  OUTPUT is never an input, and never an existing TIFF file unless --force is
  given: a shell glob such as 'photos/*.tif' without -i before each file would
  otherwise make its second file OUTPUT (of more, it is refused: give one
  OUTPUT only).

INPUTS
  An INPUT is a file, a directory, or '-' for one document on standard input.
  A directory is walked depth first, each directory's entries in byte order,
  which puts the files in the order of their sorted paths; links to files are
  read, links to directories are not followed. --files-from FILE (or '-') reads
  the files to process from FILE, one per line (LF or CR LF; blank lines are
  passed over), or NUL-separated with -0.

  Before a file reaches the reader its first bytes are checked: a classic TIFF
  header ("II" or "MM" and 42) goes on; a BigTIFF header gets the error "BigTIFF
  is not supported" and anything else "not a TIFF file". Files met while walking
  a directory that are not TIFF files are skipped and only counted; a file named
  on the command line, and a BigTIFF wherever it is met, gets a record with the
  error. --any-file hands every file to the reader whatever its first bytes.
  Named pipes, sockets and devices are refused, never waited on. A directory,
  list or S3 prefix that gives no document says so on the standard error, and
  the exit status is 1, as for a missing file.

  Memory does not grow with the number of files: inputs are walked as they are
  read and each worker has at most a few batches of documents in flight.
  --jobs takes 1 to 256.
)";

const char *kManualRemote = R"(

REMOTE FILES
  An INPUT, or a line of --files-from, may be an http:// or https:// URL,
  s3://bucket/key, or s3://bucket/prefix/ for every key below the prefix (in
  the byte order of the keys, as a directory walk orders its files; keys that
  are not TIFF files are skipped). Each document is read by ranged GETs: its
  first 64 KiB, then a window around each further piece the reader needs.
  Records name the URL as given, less any credentials and signing parameters.
  Up to --connections requests are in flight on one I/O thread, with
)"
#ifdef _WIN32
R"(  connections kept alive (HTTP/1.1 only); --jobs remains the number of
  workers that read the fetched bytes. Failed requests (429, 5xx,
)"
#else
R"(  connections kept alive (HTTP/2 over TLS where offered); --jobs remains the
  number of workers that read the fetched bytes. Failed requests (429, 5xx,
)"
#endif
R"(  resets, timeouts, truncated answers) are tried again with backoff, then the
  document's record says why; --timeout bounds every wait: to connect, for an
  answer's first byte, and between any two of its bytes. S3 requests are
  signed (AWS Signature Version 4) with the credentials of AWS_ACCESS_KEY_ID,
  AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN, or of the profile AWS_PROFILE
)"
#ifdef _WIN32
R"(  in %USERPROFILE%\.aws\credentials and config; AWS_REGION or
  AWS_DEFAULT_REGION name the region, and AWS_ENDPOINT_URL_S3 or
  AWS_ENDPOINT_URL an S3-compatible store (addressed path style).
  Certificates are checked against Windows' certificate store, or those of
  --ca-file FILE (PEM), else of AWS_CA_BUNDLE; one that cannot be read is
  refused at once (exit status 2).
)";
#else
R"(  in ~/.aws/credentials and ~/.aws/config; AWS_REGION or AWS_DEFAULT_REGION
  name the region, and AWS_ENDPOINT_URL_S3 or AWS_ENDPOINT_URL an
  S3-compatible store (addressed path style). Certificates are checked
  against the system's store, or those of --ca-file FILE (PEM), else of
  AWS_CA_BUNDLE; one that cannot be read is refused at once (exit status 2).
)";
#endif

const char *kManualOutput = R"(
OUTPUT
  text   one block per document, readable (the default on a terminal)
  json   JSON Lines, one object per document with the keys file, fileBytes
         (only for a name that is not UTF-8: its exact bytes in base64),
         summary ("complete", "partial" or "none"), title, author, createTime,
         properties ([name, value] pairs), xmp (null, or {packetBytes, and
         properties or packet}), error (null or a message) and warnings (why
         a record is not complete, or its packet was turned down; else [])

XMP
  --xmp parsed (the default) lists each packet's simple properties, without
  their qualifiers, as the XMP toolkit lists them: the same paths, values and
  order, and the same packets turned down. The host reads each packet on its
  own, so a prefix one packet declares never changes what another lists, as
  it does within the toolkit. --xmp raw gives each packet's text.
)"
#ifdef _WIN32
R"(  This build has no XMP toolkit: --xmp toolkit is refused (exit status 2).
)"
#else
R"(  --xmp toolkit has the XMP toolkit (Exempi) read the packets, for its own
  reading, earlier packets' prefixes included.
)"
#endif
R"(
  The progress line on the standard error is left out when the records go to
  the same terminal, where they show the progress themselves.
)";

const char *kManualCatalogue = R"(
CATALOGUE
  --catalog FILE keeps the records in an SQLite database. The first run fills
)"
#ifdef _WIN32
R"(  it; a later run reads only the files that are new or changed (size or last
  write time not the same; for a key under an S3 prefix, the size or ETag its
  listing gives) and removes those its inputs no longer give.
)"
#else
R"(  it; a later run reads only the files that are new or changed (size,
  modification time or inode not the same; for a key under an S3 prefix, the
  size or ETag its listing gives) and removes those its inputs no longer give.
)"
#endif
R"(  The records of inputs a run does not name are kept: inputs relate by their
  names as given, so a path inside an input the catalogue has updates that
  input's files below it, and an input that contains others takes them over.
  --forget INPUT drops an input's records, or those below a path inside one.
  JSON or text is written too when OUTPUT or --format is given, else only
  the files that could not be read and the count of records held unread that
  are not complete, on the standard error; --stats counts what was new,
  changed, unchanged, removed and untouched.
  Batches are committed as they come: a run stopped at any point keeps what it
  committed, and the next run goes on from there. A second run on the same
  catalogue is refused, or waits with --wait. A catalogue keeps its XMP mode,
  --any-file and time zone; later runs take them, and other ones are refused.
  --export writes every record the catalogue holds as a run over its inputs
  without a catalogue would (--format json or text), and reads a catalogue on
  read-only media too.
)";

const char *kManualIsolation = R"(
ISOLATION
  --isolate reads every document in a reader process of its own, made for it
  and ended after it (zudor-worker, found beside sievecheck or in its libexec
  directory, loads the module); sievecheck itself never loads the module. A
  reader sees its own document's bytes and nothing of any other, and what it
  sends can become its own document's record only: a document that crashes its
  reader, takes longer than --document-timeout SECONDS (default 60), makes it
  hold more than --document-memory MIB (default 1024; 0 for no cap) or breaks
  the rules of its channel gets a record that says why; every other record is
  as without --isolate. A process per document costs some 0.75 ms of CPU on
  two cores (see the README): far more than reading a small document in process.
)"
#ifdef _WIN32
R"(  Each reader runs in a job object that holds it to --document-memory, lets it
  start no process and ends it with sievecheck; it sees none of the
  environment's credentials. Windows has no sandbox beyond that: a reader can
  open what the user can.
)";
#else
R"(  Each reader runs in a sandbox (seccomp, and Landlock where the kernel has
  it): the module is loaded with no way to write a file, start a program or
  reach the network already in force, and a reader can open no file, reach no
  network, start no process, and sees none of the environment's credentials.
)";
#endif

const char *kManualEnd = R"(
EXIT STATUS
  0  every document's summary is complete (skipped files do not count); with
     --catalog, every document the catalogue holds
  1  some document's summary is partial or none, a file could not be read, or
     a named directory, list or prefix gave no document
  2  usage error, the module could not be loaded, the output could not be
     written or would replace an input or a TIFF file, or the catalogue could
     not be used

EXAMPLES
  sievecheck -i scan.tif -
)"
#ifdef _WIN32
R"(  sievecheck -i photos out.jsonl --format json --jobs 4 --stats
  sievecheck --files-from list.txt out.jsonl
)"
#else
R"(  sievecheck -i photos/ out.jsonl --format json --jobs 4 --stats
  find archive -name '*.tif' -print0 | sievecheck --files-from - -0 out.jsonl
)"
#endif
R"(  curl -s URL | sievecheck -i - -
)";

const char *kExamplesRemote = R"(  sievecheck -i s3://bucket/scans/ out.jsonl --connections 64 --stats
  sievecheck -i https://example.org/scan.tif -
)";

const char *kExamplesCatalogue = R"(  sievecheck --catalog archive.db -i archive --stats
  sievecheck --catalog archive.db -i archive/2019 --stats
  sievecheck --catalog archive.db --forget archive/old
  sievecheck --catalog archive.db --export archive.jsonl
)";

} // namespace

std::string manual()
{
    std::string text = std::string(kManualStart) + kManualRemote + kManualOutput + kManualCatalogue;
    if (zudorhost::isolationAvailable())
        text += kManualIsolation;
    return text + kManualEnd + kExamplesRemote + kExamplesCatalogue;
}

} // namespace sievecheck
