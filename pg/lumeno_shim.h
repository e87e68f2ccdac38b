/* The extension's way into the index library: plain C, so that PostgreSQL's side (whose errors
 * longjmp) never holds a C++ object, and the C++ side never calls PostgreSQL. Nothing here
 * throws; every fault comes back as a value. One index per backend process. */
#ifndef LUMENO_SHIM_H
#define LUMENO_SHIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What a lookup gave. */
enum LumenoKind {
    LUMENO_INSIDE = 1,  /* in the district */
    LUMENO_NEAR = 2,    /* outside every district, this one's border within the near radius */
    LUMENO_NONE = 3,    /* no district within the near radius: a refused row */
    LUMENO_OUTSIDE = 4, /* outside the service region: a refused row */
    LUMENO_DAMAGED = 5, /* a piece the lookup needed is damaged: an error, never a guess */
    LUMENO_FAULT = 6    /* the library failed (out of memory): an error */
};

typedef struct LumenoAnswer {
    int kind;          /* a LumenoKind */
    uint32_t district; /* for LUMENO_INSIDE and LUMENO_NEAR */
    int32_t metres;    /* LUMENO_NEAR: whole metres to the district's border */
} LumenoAnswer;

typedef struct LumenoText {
    const char* data; /* UTF-8, not terminated; valid until the next index is loaded */
    size_t len;
} LumenoText;

/* Makes the index at path the loaded one unless it already is: 0 unchanged, 1 loaded now, -1
 * on failure with the message (naming the file and the fault) in err. A failed load keeps the
 * previous index loaded, but the caller must not answer from it for this path. */
int lumeno_use_index(const char* path, char* err, size_t errSize);

/* Counts the loads that succeeded (1 after the first): what the caller made from the names of
 * one load is stale once this changes. */
uint64_t lumeno_generation(void);

/* The system by a name users know it (any case); 0 for an unknown name. */
int lumeno_parse_crs(const char* name, size_t len, int* crs);
const char* lumeno_known_crs(void);

/* One position in decimal degrees in the given system, cut to map units as the window cuts. */
void lumeno_lookup(double lon, double lat, int crs, LumenoAnswer* out);

/* The reason a refused row gives, in the batch tool's words. */
const char* lumeno_refusal(int kind);

/* A district's levels (empty texts where it has no such level) and its division code (0 for
 * none: Taiwan, Hong Kong, Macau). */
void lumeno_names(uint32_t district, LumenoText* province, LumenoText* prefecture, LumenoText* county);
uint32_t lumeno_code(uint32_t district);

/* The loaded index: its file, districts and pieces. */
const char* lumeno_index_path(void);
size_t lumeno_district_count(void);
size_t lumeno_piece_count(void);

#ifdef __cplusplus
}
#endif

#endif
