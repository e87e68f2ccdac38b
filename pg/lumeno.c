/*
 * lumeno: the district of a position, from the same index and library as lumeno-lookupd and
 * lumeno-geocode. This file is PostgreSQL's side: arguments, results, the setting and errors.
 * It holds no C++ object, so an ERROR's longjmp skips no destructor; the lookups are behind
 * the plain C calls of lumeno_shim.h, which never throw.
 */
#include "postgres.h"

#include "access/htup_details.h"
#include "fmgr.h"
#include "funcapi.h"
#include "mb/pg_wchar.h"
#include "miscadmin.h"
#include "storage/fd.h"
#include "utils/builtins.h"
#include "utils/date.h"
#include "utils/guc.h"
#include "utils/memutils.h"

#include "lumeno_shim.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(lumeno_district);
PG_FUNCTION_INFO_V1(lumeno_district_code);
PG_FUNCTION_INFO_V1(lumeno_index_info);

void _PG_init(void);

/* lumeno.index: the index file; by default the one installed beside the extension. */
static char* index_setting = NULL;
static char default_index[MAXPGPATH];

/* Every district's three names as text, made once per loaded index so that a row costs no
 * copy of its own (the tuple copies them). In TopMemoryContext; NULL where the level is empty. */
static text** name_texts = NULL;
static MemoryContext names_context = NULL;
static uint64_t names_generation = 0; /* the load they were made for; 0: none */

void _PG_init(void) {
    char share[MAXPGPATH];

    get_share_path(my_exec_path, share);
    snprintf(default_index, sizeof default_index, "%s/extension/lookupd.idx", share);
    /* Superusers only: the setting makes the server open any file it can read. */
    DefineCustomStringVariable("lumeno.index", "The district index file lumeno's functions answer from.",
                               "After a new index, reindex whatever is built on lumeno's functions.", &index_setting,
                               default_index, PGC_SUSET, 0, NULL, NULL, NULL);
    MarkGUCPrefixReserved("lumeno");
}

static text* maybe_text(LumenoText t) {
    return t.len ? cstring_to_text_with_len(t.data, (int)t.len) : NULL;
}

/* The index the setting names, loaded (mapped) if it is not yet. */
static void use_index(void) {
    char err[1024];
    const char* path = index_setting ? index_setting : "";
    int r = lumeno_use_index(path, err, sizeof err);

    /* A file that is not there (or not readable) differs from one that is damaged. */
    if (r < 0)
        ereport(ERROR, (errcode(access(path, R_OK) != 0 ? ERRCODE_UNDEFINED_FILE : ERRCODE_DATA_CORRUPTED),
                        errmsg("lumeno: cannot use the index: %s", err),
                        errhint("lumeno.index names the file; it is \"%s\".", path)));
    if (names_generation != lumeno_generation()) {
        /* Made in a context of this query's until complete, so that an error half way (out of
         * memory) leaves the old names or none, and the next call makes them again. */
        MemoryContext made = AllocSetContextCreate(CurrentMemoryContext, "lumeno names", ALLOCSET_DEFAULT_SIZES);
        MemoryContext old = MemoryContextSwitchTo(made);
        size_t n = lumeno_district_count();
        text** texts = palloc0(sizeof(text*) * 3 * (n ? n : 1));
        size_t i;

        for (i = 0; i < n; ++i) {
            LumenoText p, f, c;

            lumeno_names((uint32_t)i, &p, &f, &c);
            texts[3 * i] = maybe_text(p);
            texts[3 * i + 1] = maybe_text(f);
            texts[3 * i + 2] = maybe_text(c);
        }
        MemoryContextSwitchTo(old);
        MemoryContextSetParent(made, TopMemoryContext);
        if (names_context)
            MemoryContextDelete(names_context);
        names_context = made;
        name_texts = texts;
        names_generation = lumeno_generation();
    }
}

static int crs_argument(FunctionCallInfo fcinfo) {
    text* t = PG_GETARG_TEXT_PP(2);
    int crs;

    if (!lumeno_parse_crs(VARDATA_ANY(t), VARSIZE_ANY_EXHDR(t), &crs))
        ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                        errmsg("lumeno: unknown coordinate system \"%s\"", text_to_cstring(t)),
                        errdetail("The known ones are %s.", lumeno_known_crs())));
    return crs;
}

/* The lookup; a damaged index or a failed library is an ERROR, never a guess. */
static void look_up(FunctionCallInfo fcinfo, LumenoAnswer* a) {
    double lon = PG_GETARG_FLOAT8(0);
    double lat = PG_GETARG_FLOAT8(1);
    int crs = crs_argument(fcinfo);

    use_index();
    lumeno_lookup(lon, lat, crs, a);
    if (a->kind == LUMENO_DAMAGED)
        ereport(ERROR,
                (errcode(ERRCODE_DATA_CORRUPTED),
                 errmsg("lumeno: the index \"%s\" is damaged where (%.7f, %.7f) lies", lumeno_index_path(), lon, lat),
                 errhint("lumeno-lookupd --verify --data FILE checks the whole file.")));
    if (a->kind == LUMENO_FAULT)
        ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY),
                        errmsg("lumeno: the lookup of (%.7f, %.7f) failed for want of memory", lon, lat)));
}

Datum lumeno_district(PG_FUNCTION_ARGS) {
    TupleDesc desc = (TupleDesc)fcinfo->flinfo->fn_extra;
    LumenoAnswer a;
    Datum values[6];
    bool nulls[6] = {true, true, true, true, true, true};

    if (GetDatabaseEncoding() != PG_UTF8)
        ereport(ERROR, (errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
                        errmsg("lumeno.district gives UTF-8 names, and this database's encoding is %s",
                               GetDatabaseEncodingName()),
                        errhint("Use a UTF-8 database, or lumeno.district_code, which gives codes alone.")));
    if (desc == NULL) {
        MemoryContext old = MemoryContextSwitchTo(fcinfo->flinfo->fn_mcxt);

        if (get_call_result_type(fcinfo, NULL, &desc) != TYPEFUNC_COMPOSITE)
            elog(ERROR, "lumeno.district must return the composite lumeno.place");
        desc = BlessTupleDesc(CreateTupleDescCopy(desc));
        fcinfo->flinfo->fn_extra = desc;
        MemoryContextSwitchTo(old);
    }
    look_up(fcinfo, &a);
    if (a.kind == LUMENO_INSIDE || a.kind == LUMENO_NEAR) {
        int i;
        uint32_t code = lumeno_code(a.district);

        for (i = 0; i < 3; ++i) {
            text* t = name_texts[3 * a.district + i];

            nulls[i] = t == NULL;
            if (t)
                values[i] = PointerGetDatum(t);
        }
        nulls[3] = code == 0;
        values[3] = Int32GetDatum((int32)code);
        nulls[4] = a.kind != LUMENO_NEAR;
        values[4] = Int32GetDatum(a.metres);
    } else {
        nulls[5] = false;
        values[5] = CStringGetTextDatum(lumeno_refusal(a.kind));
    }
    PG_RETURN_DATUM(HeapTupleGetDatum(heap_form_tuple(desc, values, nulls)));
}

Datum lumeno_district_code(PG_FUNCTION_ARGS) {
    LumenoAnswer a;
    uint32_t code;

    look_up(fcinfo, &a);
    if (a.kind != LUMENO_INSIDE && a.kind != LUMENO_NEAR)
        PG_RETURN_NULL();
    code = lumeno_code(a.district);
    if (code == 0)
        PG_RETURN_NULL();
    PG_RETURN_INT32((int32)code);
}

/* The sidecar the converter writes beside the index: key=value lines. The value of key, or
 * NULL where the file or the line is absent. */
static char* meta_value(const char* key) {
    char path[MAXPGPATH];
    char line[256];
    size_t klen = strlen(key);
    char* found = NULL;
    FILE* f;

    snprintf(path, sizeof path, "%s.meta", lumeno_index_path());
    f = AllocateFile(path, "r");
    if (f == NULL)
        return NULL;
    while (found == NULL && fgets(line, sizeof line, f)) {
        if (strncmp(line, key, klen) == 0 && line[klen] == '=') {
            line[strcspn(line, "\r\n")] = '\0';
            found = pstrdup(line + klen + 1);
        }
    }
    FreeFile(f);
    return found;
}

Datum lumeno_index_info(PG_FUNCTION_ARGS) {
    TupleDesc desc;
    Datum values[5];
    bool nulls[5] = {false, false, false, true, true};
    char* list;
    char* date;

    if (get_call_result_type(fcinfo, NULL, &desc) != TYPEFUNC_COMPOSITE)
        elog(ERROR, "lumeno.index_info must return a record");
    desc = BlessTupleDesc(desc);
    use_index();
    values[0] = CStringGetTextDatum(lumeno_index_path());
    values[1] = Int32GetDatum((int32)lumeno_district_count());
    values[2] = Int64GetDatum((int64)lumeno_piece_count());
    list = meta_value("code_list");
    date = meta_value("code_list_date");
    if (list) {
        nulls[3] = false;
        values[3] = CStringGetTextDatum(list);
    }
    if (date) {
        nulls[4] = false;
        values[4] = DirectFunctionCall1(date_in, CStringGetDatum(date));
    }
    PG_RETURN_DATUM(HeapTupleGetDatum(heap_form_tuple(desc, values, nulls)));
}
