/* A minimal ZUDOR host in plain C: it loads the module at run time, takes one file through a
 * document's life and prints what the reader found.   usage: minimal_host FILE [MODULE] */
#define _POSIX_C_SOURCE 200809L /* fseeko */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zudor/reader.h"

/* The module stays loaded until the process ends. */
#ifdef _WIN32
#include <windows.h>
#define DEFAULT_MODULE "ZUDOR.dll"
#define seekTo(file, offset) _fseeki64(file, (long long)(offset), SEEK_SET)
static void *entryPoint(const char *path)
{
    HMODULE lib = LoadLibraryA(path);
    return lib ? (void *)GetProcAddress(lib, "tifGetReaderInterface") : NULL;
}
#else
#include <dlfcn.h>
#define DEFAULT_MODULE "libzudor.so.1"
#define seekTo(file, offset) fseeko(file, (off_t)(offset), SEEK_SET)
static void *entryPoint(const char *path)
{
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    return lib ? dlsym(lib, "tifGetReaderInterface") : NULL;
}
#endif

/* Memory comes from the C heap; negative sizes must be refused. */
static size_t atLeastOne(int64_t n) { return n > 0 ? (size_t)n : 1; }
static void *hostRealloc(void *heap, void *block, int64_t size)
{
    (void)heap;
    return size < 0 ? NULL : realloc(block, atLeastOne(size));
}
static void *hostAlloc(void *heap, int64_t size) { return hostRealloc(heap, NULL, size); }
static int32_t hostFree(void *heap, void *block) { (void)heap; free(block); return 0; }
static void *hostCalloc(void *heap, int64_t count, int64_t size)
{
    (void)heap;
    return count < 0 || size < 0 ? NULL : calloc(atLeastOne(count), atLeastOne(size));
}
/* After a refused resize the reader forgets the old block, so the host frees it. */
static void *hostResize(void *heap, void *block, int64_t size)
{
    void *resized = hostRealloc(heap, block, size);
    if (resized == NULL)
        free(block);
    return resized;
}
/* This host's 8-byte time value is plain seconds since 1970. */
static int32_t hostConvertTime(int64_t calendarTime, uint8_t *out) { memcpy(out, &calendarTime, 8); return 0; }

/* The host keeps its own data after the services record; the reader never looks past it. */
typedef struct Host { HostServices services; XmpInfo xmp; } Host;

/* No XMP parsing here: the record only notes the packet's length (size counts its zero). */
static int32_t hostParseXmp(HostServices *services, XmpInfo **result, uint64_t *auxiliary,
                            const char *packet, uint32_t size, uint32_t mode)
{
    Host *host = (Host *)services;
    (void)auxiliary; (void)packet; (void)mode;
    memset(&host->xmp, 0, sizeof host->xmp);
    host->xmp.opaque[0] = size > 0 ? size - 1 : 0;
    *result = &host->xmp;
    return 0;
}

typedef struct FileStream { InputStream stream; FILE *file; } FileStream;
static uint32_t streamRead(InputStream *stream, void *buffer, uint32_t count)
{
    return (uint32_t)fread(buffer, 1, count, ((FileStream *)stream)->file);
}
static int32_t streamSeek(InputStream *stream, uint32_t offset, uint32_t origin)
{
    (void)origin; /* always 0: from the first byte */
    return seekTo(((FileStream *)stream)->file, offset);
}

/* A host picks the reader by the file's first bytes: classic TIFF, in either byte order. */
static int isTiff(FILE *file)
{
    unsigned char magic[4];
    int tiff = fread(magic, 1, 4, file) == 4 &&
               (memcmp(magic, "II*\0", 4) == 0 || memcmp(magic, "MM\0*", 4) == 0);
    rewind(file); /* the reader expects the stream at the first byte */
    return tiff;
}

static void printSummary(const char *path, const SummaryInfo *summary, const XmpInfo *xmp)
{
    int64_t created;
    memcpy(&created, summary->createTime, sizeof created);
    printf("%s\n  title          %s\n  author         %s\n", path,
           summary->title ? summary->title : "(none)", summary->author ? summary->author : "(none)");
    time_t seconds = (time_t)created;
    const struct tm *utc = created != 0 ? gmtime(&seconds) : NULL;
    char text[32];
    if (utc != NULL && strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc) > 0)
        printf("  created        %s\n", text);
    const PropertyList *list = summary->properties;
    for (int32_t i = 0; list != NULL && i < list->count; ++i)
        printf("  %-14s %s\n", list->entries[i].name, list->entries[i].value);
    if (xmp->opaque[0] != 0)
        printf("  xmp            %" PRIu64 " bytes\n", xmp->opaque[0]);
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: minimal_host FILE [MODULE]   (MODULE: %s)\n", DEFAULT_MODULE);
        return 2;
    }
    const char *module = argc == 3 ? argv[2] : DEFAULT_MODULE;
    void *entry = entryPoint(module);
    if (entry == NULL) {
        fprintf(stderr, "minimal_host: cannot load %s\n", module);
        return 2;
    }
    ReaderInterface reader = {0};
    ((TifGetReaderInterfaceFn)entry)(&reader);

    /* Both records must stay valid until the context is freed. */
    FileStream input = { .stream = { .streamRead = streamRead, .streamSeek = streamSeek } };
    input.file = fopen(argv[1], "rb");
    if (input.file == NULL) {
        perror(argv[1]);
        return 1;
    }
    Host *host = calloc(1, sizeof *host); /* zero: every slot the host does not fill */
    if (host == NULL || !isTiff(input.file)) {
        fprintf(stderr, "minimal_host: %s is not a TIFF file\n", argv[1]);
        free(host);
        fclose(input.file);
        return 1;
    }
    host->services.hostAlloc = hostAlloc;
    host->services.hostFree = hostFree;
    host->services.hostRealloc = hostRealloc;
    host->services.hostCalloc = hostCalloc;
    host->services.hostResize = hostResize;
    host->services.hostConvertTime = hostConvertTime;
    host->services.hostParseXmp = hostParseXmp;

    uint32_t status = 0;
    TifContext *context = reader.allocateContext(0, 0, &status, &host->services, 0);
    int read = 0;
    if (context != NULL && reader.initDoc(context, 0, 0, &input.stream) == TIF_STATUS_OK) {
        /* A walk that fails leaves the destinations as they were: all zero. */
        SummaryInfo summary;
        XmpInfo xmp;
        memset(&summary, 0, sizeof summary);
        memset(&xmp, 0, sizeof xmp);
        reader.getSummaryInfo(context, &summary, 0);
        reader.getXmpInfo(context, &xmp, 0);
        printSummary(argv[1], &summary, &xmp);
        reader.getSummaryInfo(context, &summary, 1); /* frees title, author and properties */
        read = 1;
    }
    if (context != NULL)
        reader.freeContext(context);
    fclose(input.file);
    free(host);
    if (!read)
        fprintf(stderr, "minimal_host: the reader could not open %s\n", argv[1]);
    return read ? 0 : 1;
}
